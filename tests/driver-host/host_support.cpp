// host_support.cpp - the comparisons made, notify recorder and stored-record helpers of the match-on-host tests.
#include "host_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "kelvra_type.h"

namespace host_test {
namespace {

std::mutex g_spy_lock;
std::vector<VerifyCall> g_spy_calls;
std::function<void(int)> g_spy_hook;

void record_comparison(const kelvs_call_record *record, void *)
{
    if (record->call != KELVS_VerifyExt)
        return;
    std::function<void(int)> hook;
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(g_spy_lock);
        g_spy_calls.push_back(
            {record->rc, record->arg[0], record->arg[1], record->data_digest[0], record->data_digest[1]});
        n = static_cast<int>(g_spy_calls.size());
        hook = g_spy_hook;
    }
    if (hook)
        hook(n);
}

struct RecorderState {
    std::mutex lock;
    kelvra_test::Device *device = nullptr;
    std::vector<Notice> notices;
    std::function<void(const Notice &)> hook;
};
RecorderState g_recorder;

void record_notice(bio_dev *dev, const bio_event *event, void *)
{
    if (event->kind != BIO_EVENT_NOTIFY)
        return;
    std::function<void(const Notice &)> hook;
    Notice n{event->value, event->common != 0, {}, kelvra_test::FakeTime::now_us()};
    {
        std::lock_guard<std::mutex> lock(g_recorder.lock);
        if (g_recorder.device == nullptr || dev != g_recorder.device->dev())
            return;
        if (event->value == 9 && event->common == 0)
            n.text = g_recorder.device->priv()->extra_info;
        g_recorder.notices.push_back(n);
        hook = g_recorder.hook;
    }
    if (hook)
        hook(n);
}

}  // namespace

uint64_t digest(const std::vector<unsigned char> &bytes) { return kelvs_digest(bytes.data(), bytes.size()); }

VerifySpy::VerifySpy()
{
    {
        std::lock_guard<std::mutex> lock(g_spy_lock);
        g_spy_calls.clear();
        g_spy_hook = nullptr;
    }
    kelvs_set_call_listener(record_comparison, nullptr);
}

VerifySpy::~VerifySpy()
{
    kelvs_set_call_listener(nullptr, nullptr);
    std::lock_guard<std::mutex> lock(g_spy_lock);
    g_spy_calls.clear();
    g_spy_hook = nullptr;
}

void VerifySpy::after_call(std::function<void(int n)> hook)
{
    std::lock_guard<std::mutex> lock(g_spy_lock);
    g_spy_hook = std::move(hook);
}

std::vector<VerifyCall> VerifySpy::calls() const
{
    std::lock_guard<std::mutex> lock(g_spy_lock);
    return g_spy_calls;
}

size_t VerifySpy::count() const
{
    std::lock_guard<std::mutex> lock(g_spy_lock);
    return g_spy_calls.size();
}

NoticeRecorder::NoticeRecorder(kelvra_test::Device &device) : device_(device)
{
    {
        std::lock_guard<std::mutex> lock(g_recorder.lock);
        g_recorder.device = &device_;
        g_recorder.notices.clear();
        g_recorder.hook = nullptr;
    }
    bio_set_event_listener(record_notice, nullptr);
}

NoticeRecorder::~NoticeRecorder()
{
    bio_set_event_listener(nullptr, nullptr);
    std::lock_guard<std::mutex> lock(g_recorder.lock);
    g_recorder.device = nullptr;
    g_recorder.notices.clear();
    g_recorder.hook = nullptr;
}

void NoticeRecorder::on_notice(std::function<void(const Notice &)> hook)
{
    std::lock_guard<std::mutex> lock(g_recorder.lock);
    g_recorder.hook = std::move(hook);
}

std::vector<Notice> NoticeRecorder::notices() const
{
    std::lock_guard<std::mutex> lock(g_recorder.lock);
    return g_recorder.notices;
}

std::vector<std::string> NoticeRecorder::texts() const
{
    std::vector<std::string> out;
    for (const Notice &n : notices())
        if (n.mid == 9 && !n.common)
            out.push_back(n.text);
    return out;
}

void open_host(kelvra_test::Device &d)
{
    ASSERT_EQ(d.open(), 0);
    ASSERT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
    d.mark();
    d.clear_logs();
    kelvs_log_clear();
}

std::string encode(const std::vector<unsigned char> &bytes)
{
    std::string text(bytes.size() / 3 * 4 + 8, '\0');
    const int n = bio_base64_encode(bytes.data(), text.data(), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

std::vector<unsigned char> blocks_template(std::initializer_list<unsigned char> values)
{
    std::vector<unsigned char> out(kTemplate, 0);
    size_t k = 0;
    for (unsigned char v : values)
        std::memset(out.data() + kBlock * k++, v, kBlock);
    return out;
}

std::vector<unsigned char> coreutils_decode(const std::string &text)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvra-b64-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
    const std::string command = std::string("base64 -d > ") + pattern;
    FILE *pipe = popen(command.c_str(), "w");
    EXPECT_NE(pipe, nullptr);
    if (pipe == nullptr)
        return {};
    std::fwrite(text.data(), 1, text.size(), pipe);
    EXPECT_EQ(pclose(pipe), 0) << "base64 -d refused the stored text";
    std::ifstream in(pattern, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(pattern);
    return bytes;
}

void store_record(const std::string &driver, int uid, int idx, const std::string &name,
                  const std::vector<std::string> &sample_texts)
{
    feature_info *info = bio_sto_new_feature_info(uid, BioT_FingerPrint, driver.c_str(), idx, name.c_str());
    ASSERT_NE(info, nullptr);
    feature_sample **tail = &info->sample;
    int no = 1;
    for (const std::string &text : sample_texts) {
        *tail = bio_sto_new_feature_sample(no++, text.c_str());
        tail = &(*tail)->next;
    }
    bio_sto_db *db = bio_sto_connect_db();
    ASSERT_NE(db, nullptr);
    const int rc = bio_sto_set_feature_info(db, info);
    bio_sto_disconnect_db(db);
    bio_sto_free_feature_info_list(info);
    ASSERT_EQ(rc, 0);
}

FeatureListPtr stored_records(const std::string &driver)
{
    bio_sto_db *db = bio_sto_connect_db();
    EXPECT_NE(db, nullptr);
    if (db == nullptr)
        return nullptr;
    FeatureListPtr list(bio_sto_get_feature_info(db, -1, BioT_FingerPrint, driver.c_str(), 0, -1));
    bio_sto_disconnect_db(db);
    return list;
}

size_t count_events(const std::vector<bio_event> &events, bio_event_kind kind, int value)
{
    size_t n = 0;
    for (const bio_event &e : events)
        if (e.kind == kind && e.value == value)
            ++n;
    return n;
}


}  // namespace host_test
