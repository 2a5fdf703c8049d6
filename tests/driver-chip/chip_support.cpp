// chip_support.cpp - trace, frames and scripted answers shared by the match-on-chip tests.
#include "chip_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "kelvra_internal.h"
#include "kelvra_platform.h"

namespace chip_test {
namespace {

Trace *g_trace = nullptr;
int g_sleep_count = 0;

constexpr std::array<int, 9> kProbeLines{24, 26, 28, 48, 50, 52, 72, 74, 76};

std::string event_text(const bio_event &e)
{
    std::string text(1, e.kind == BIO_EVENT_STATUS ? 'S' : e.kind == BIO_EVENT_RESULT ? 'R' : 'N');
    if (e.common && e.kind != BIO_EVENT_STATUS)
        text += 'c';
    return text + std::to_string(e.value);
}

}  // namespace

Trace::Trace(kelvra_test::Device &device) : device_(device)
{
    g_trace = this;
    g_sleep_count = 0;
    kelvra::Platform p = kelvra::platform();
    p.sleep_ms = sleep_hook;
    previous_ = kelvra::set_platform_for_testing(p);
    bio_set_event_listener(event_hook, this);
}

Trace::~Trace()
{
    bio_set_event_listener(nullptr, nullptr);
    kelvra::set_platform_for_testing(previous_);
    g_trace = nullptr;
}

void Trace::sleep_hook(int ms)
{
    kelvra_test::FakeTime::advance_ms(ms);
    Trace *trace = g_trace;
    if (trace == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(trace->lock_);
        trace->sleeps_.push_back(ms);
        trace->entries_.push_back("sleep " + std::to_string(ms));
    }
    const int nth = ++g_sleep_count;
    if (trace->on_sleep)
        trace->on_sleep(ms, nth);
}

void Trace::event_hook(bio_dev *dev, const bio_event *event, void *user)
{
    auto *trace = static_cast<Trace *>(user);
    {
        std::lock_guard<std::mutex> lock(trace->lock_);
        trace->entries_.push_back(event_text(*event));
        if (event->kind == BIO_EVENT_NOTIFY) {
            trace->notifies_.push_back(event->value);
            if (event->value == 9 && dev->dev_priv != nullptr)
                trace->messages_.emplace_back(static_cast<kelvra_driver_t *>(dev->dev_priv)->extra_info);
        }
    }
    if (trace->on_event)
        trace->on_event(*event);
}

std::vector<std::string> Trace::entries() const
{
    std::lock_guard<std::mutex> lock(lock_);
    return entries_;
}

std::string Trace::joined() const
{
    std::string out;
    for (const std::string &e : entries()) {
        if (!out.empty())
            out += ", ";
        out += e;
    }
    return out;
}

std::vector<int> Trace::sleeps() const
{
    std::lock_guard<std::mutex> lock(lock_);
    return sleeps_;
}

std::vector<std::string> Trace::messages() const
{
    std::lock_guard<std::mutex> lock(lock_);
    return messages_;
}

std::vector<int> Trace::notifies() const
{
    std::lock_guard<std::mutex> lock(lock_);
    return notifies_;
}

void Trace::clear()
{
    std::lock_guard<std::mutex> lock(lock_);
    entries_.clear();
    sleeps_.clear();
    messages_.clear();
    notifies_.clear();
    g_sleep_count = 0;
}

std::vector<unsigned char> edge_frame(int top, int bottom, int left, int right)
{
    std::vector<unsigned char> frame = kelvra_test::light_frame(kSide, kSide);
    for (int line : kProbeLines) {
        frame[size_t(top) * kSide + line] = 0;
        frame[size_t(bottom) * kSide + line] = 0;
        frame[size_t(line) * kSide + left] = 0;
        frame[size_t(line) * kSide + right] = 0;
    }
    return frame;
}

std::vector<unsigned char> full_press_frame() { return std::vector<unsigned char>(kSide * kSide, 0); }
std::vector<unsigned char> empty_frame() { return kelvra_test::light_frame(kSide, kSide); }

float measure(std::vector<unsigned char> frame)
{
    float size = -1.0f;
    DevAlg_ImgQsize(frame.data(), kSide, kSide, &size);
    return size;
}

std::vector<unsigned char> frame_scoring(int wholeScore)
{
    switch (wholeScore) {
    case 90:
        return edge_frame(2, 94, 2, 93);  // 92 x 91 = 8372: 90.84
    case 10:
        return edge_frame(0, 95, 41, 51);  // 95 x 10 = 950: 10.31
    case 84:
        return edge_frame(3, 92, 3, 91);  // 89 x 88 = 7832: 84.98
    case 85:
        return edge_frame(3, 92, 3, 92);  // 89 x 89 = 7921: 85.95
    default:
        ADD_FAILURE() << "no frame for score " << wholeScore;
        return empty_frame();
    }
}

void queue_frames(const std::vector<std::vector<unsigned char>> &frames)
{
    for (const auto &frame : frames)
        kelvra_test::script_capture_frame(frame);
}

std::vector<std::vector<unsigned char>> enrollment_frames()
{
    std::vector<std::vector<unsigned char>> frames;
    for (int press = 1; press <= 6; ++press) {
        frames.push_back(full_press_frame());
        if (press <= 4)
            for (int k = 0; k < 3; ++k)
                frames.push_back(empty_frame());
    }
    return frames;
}

void queue_steps(std::initializer_list<int> codes)
{
    for (int code : codes)
        kelvs_script_rc(KELVS_EnrollForOS, code);
}

void script_accepted_enrollment()
{
    queue_frames(enrollment_frames());
    queue_steps({0, 0, 0, 0, 0, 0});
    kelvs_script_rc(KELVS_StoreTemplateForOS, 0);
}

std::vector<kelvs_call_record> calls_of(kelvs_call call)
{
    std::vector<kelvs_call_record> out;
    kelvs_call_record record{};
    for (size_t i = 0; kelvs_log_get(i, &record) == 0; ++i)
        if (record.call == call)
            out.push_back(record);
    return out;
}

void store_record(kelvra_test::Device &device, int uid, int index, const char *name,
                  const std::vector<std::string> &samples, const char *driver)
{
    feature_info *info = bio_sto_new_feature_info(uid, device.dev()->bioinfo.biotype,
                                                  driver != nullptr ? driver : device.dev()->device_name, index, name);
    feature_sample **tail = &info->sample;
    int no = 1;
    for (const std::string &data : samples) {
        *tail = bio_sto_new_feature_sample(no++, data.c_str());
        tail = &(*tail)->next;
    }
    bio_sto_db *db = bio_sto_connect_db();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(bio_sto_set_feature_info(db, info), 0);
    bio_sto_disconnect_db(db);
    bio_sto_free_feature_info_list(info);
}

kelvra_test::Device::Options chip_options(int timeout_ms)
{
    kelvra_test::Device::Options options;
    options.profile = kelvra_test::kChipModeProfile;
    options.timeout_ms = timeout_ms;
    return options;
}

std::string hex(const unsigned char *bytes, size_t count)
{
    std::string out;
    char part[8];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(part, sizeof part, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += part;
    }
    return out;
}

}  // namespace chip_test
