// device_state_test.cpp - status, result and notify setters, the journal and its listener, notify texts,
// the enable key, driver ids and the operation time-out.
#include "bio_host_program.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<bio_event> journal_from(size_t first)
{
    const size_t size = bio_journal_size();
    std::vector<bio_event> out(size > first ? size - first : 0);
    out.resize(bio_journal_read(first, out.data(), out.size()));
    return out;
}

bio_dev make_dev(int driver_id)
{
    bio_dev dev{};
    dev.driver_id = driver_id;
    return dev;
}

class DeviceState : public ::testing::Test {
protected:
    void SetUp() override { bio_journal_clear(); }
    void TearDown() override
    {
        bio_set_event_listener(nullptr, nullptr);
        bio_journal_clear();
    }
};

TEST_F(DeviceState, SettersUpdateTheDeviceAndItsOperation)
{
    bio_dev dev = make_dev(4);
    EXPECT_EQ(dev.current_operation, 0);

    bio_set_dev_status(&dev, DEVS_ENROLL_DOING);
    EXPECT_EQ(bio_get_dev_status(&dev), DEVS_ENROLL_DOING);
    EXPECT_EQ(dev.current_operation, 2);

    // Common codes are recorded as given, with the operation that was running.
    bio_set_ops_result(&dev, OPS_COMM_STOP_BY_USER);
    bio_set_notify_mid(&dev, NOTIFY_COMM_STOP_BY_USER);
    EXPECT_EQ(bio_get_ops_result(&dev), OPS_COMM_STOP_BY_USER);
    EXPECT_EQ(bio_get_notify_mid(&dev), NOTIFY_COMM_STOP_BY_USER);

    // Going idle keeps the operation that last ran.
    bio_set_dev_status(&dev, DEVS_COMM_IDLE);
    EXPECT_EQ(dev.current_operation, 2);

    bio_set_dev_status(&dev, DEVS_CLEAN_DOING);
    bio_set_ops_result(&dev, OPS_CLEAN_FAIL);
    bio_set_ops_abs_result(&dev, OPS_CLEAN_SUCCESS);
    bio_set_notify_abs_mid(&dev, 12);
    EXPECT_EQ(dev.current_operation, 7);
    EXPECT_EQ(dev.ops_result, OPS_CLEAN_SUCCESS);
    EXPECT_EQ(dev.notify_mid, 12);

    const auto events = journal_from(0);
    ASSERT_EQ(events.size(), 8u);
    struct Expected {
        bio_event_kind kind;
        int common;
        int value;
        int operation;
    };
    const Expected expected[] = {
        {BIO_EVENT_STATUS, 0, 201, 2}, {BIO_EVENT_RESULT, 1, 3, 2}, {BIO_EVENT_NOTIFY, 1, 3, 2},
        {BIO_EVENT_STATUS, 0, 0, 2},   {BIO_EVENT_STATUS, 0, 701, 7}, {BIO_EVENT_RESULT, 1, 701, 7},
        {BIO_EVENT_RESULT, 0, 700, 7}, {BIO_EVENT_NOTIFY, 0, 12, 7},
    };
    for (size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i].seq, i + 1);
        EXPECT_EQ(events[i].driver_id, 4);
        EXPECT_EQ(events[i].kind, expected[i].kind);
        EXPECT_EQ(events[i].common, expected[i].common);
        EXPECT_EQ(events[i].value, expected[i].value);
        EXPECT_EQ(events[i].operation, expected[i].operation);
    }
}

TEST_F(DeviceState, JournalReadsWindowsAndClears)
{
    bio_dev a = make_dev(1);
    bio_dev b = make_dev(2);
    bio_set_dev_status(&a, DEVS_VERIFY_DOING);
    bio_set_dev_status(&b, DEVS_SEARCH_DOING);
    bio_set_ops_abs_result(&a, OPS_VERIFY_MATCH);
    bio_set_ops_abs_result(&b, OPS_SEARCH_NO_MATCH);
    ASSERT_EQ(bio_journal_size(), 4u);

    bio_event window[3]{};
    ASSERT_EQ(bio_journal_read(1, window, 2), 2u);
    EXPECT_EQ(window[0].driver_id, 2);
    EXPECT_EQ(window[0].seq, 2u);
    EXPECT_EQ(window[1].value, OPS_VERIFY_MATCH);
    EXPECT_EQ(window[1].operation, 3);
    EXPECT_EQ(bio_journal_read(3, window, 3), 1u);
    EXPECT_EQ(window[0].operation, 6);
    EXPECT_EQ(bio_journal_read(4, window, 3), 0u);
    EXPECT_EQ(bio_journal_read(0, nullptr, 3), 0u);

    bio_journal_clear();
    EXPECT_EQ(bio_journal_size(), 0u);
    bio_set_notify_mid(&a, NOTIFY_COMM_IDLE);
    ASSERT_EQ(bio_journal_read(0, window, 1), 1u);
    EXPECT_EQ(window[0].seq, 1u);
}

struct Heard {
    std::vector<bio_event> events;
    std::vector<size_t> journal_sizes;
    std::vector<int> statuses;
    std::thread::id thread;
};

void listen(bio_dev *dev, const bio_event *event, void *user)
{
    auto *heard = static_cast<Heard *>(user);
    heard->events.push_back(*event);
    // Asking the journal from inside the listener would hang if the lock were still held.
    heard->journal_sizes.push_back(bio_journal_size());
    heard->statuses.push_back(dev->dev_status);
    heard->thread = std::this_thread::get_id();
}

TEST_F(DeviceState, ListenerHearsEachChangeAfterItIsRecorded)
{
    bio_dev dev = make_dev(3);
    Heard heard;
    bio_set_event_listener(listen, &heard);

    std::thread setter([&dev] {
        bio_set_dev_status(&dev, DEVS_IDENTIFY_DOING);
        bio_set_notify_abs_mid(&dev, 13);
    });
    const std::thread::id setter_id = setter.get_id();
    setter.join();

    ASSERT_EQ(heard.events.size(), 2u);
    EXPECT_EQ(heard.thread, setter_id);
    EXPECT_EQ(heard.events[0].value, DEVS_IDENTIFY_DOING);
    EXPECT_EQ(heard.events[0].operation, 4);
    EXPECT_EQ(heard.events[1].value, 13);
    EXPECT_EQ(heard.journal_sizes, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(heard.statuses[0], DEVS_IDENTIFY_DOING);

    bio_set_event_listener(nullptr, nullptr);
    bio_set_dev_status(&dev, DEVS_COMM_IDLE);
    EXPECT_EQ(heard.events.size(), 2u);
    EXPECT_EQ(bio_journal_size(), 3u);
}

TEST_F(DeviceState, ConcurrentSettersKeepOneOrder)
{
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<bio_dev> devs;
    for (int t = 0; t < kThreads; ++t)
        devs.push_back(make_dev(100 + t));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&devs, t] {
            for (int i = 0; i < kEach; ++i)
                bio_set_ops_abs_result(&devs[static_cast<size_t>(t)], i);
        });
    }
    for (auto &th : threads)
        th.join();

    const auto events = journal_from(0);
    ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (size_t i = 0; i < events.size(); ++i) {
        ASSERT_EQ(events[i].seq, i + 1);
        const int t = events[i].driver_id - 100;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        ASSERT_EQ(events[i].value, next[static_cast<size_t>(t)]++) << "a thread's changes left their order";
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(devs[static_cast<size_t>(t)].ops_result, kEach - 1);
}

const char *driver_text(bio_dev *) { return "Press your finger"; }
const char *driver_without_text(bio_dev *) { return nullptr; }

TEST_F(DeviceState, NotifyTextComesFromTheDriverOnlyForItsOwnIds)
{
    bio_dev dev = make_dev(5);
    dev.ops_get_notify_mid_mesg = driver_text;

    for (int mid : {9, 10, 13, 99}) {
        bio_set_notify_abs_mid(&dev, mid);
        EXPECT_STREQ(bio_get_notify_mid_mesg(&dev), "Press your finger") << mid;
    }
    bio_set_notify_abs_mid(&dev, NOTIFY_VERIFY_NO_MATCH);
    EXPECT_STREQ(bio_get_notify_mid_mesg(&dev), "Fingerprint does not match");
    bio_set_notify_mid(&dev, NOTIFY_COMM_TIMEOUT);
    EXPECT_STREQ(bio_get_notify_mid_mesg(&dev), bio_host_notify_text(NOTIFY_COMM_TIMEOUT));

    // A driver without an answer still gives the user a text.
    bio_set_notify_abs_mid(&dev, 10);
    dev.ops_get_notify_mid_mesg = driver_without_text;
    ASSERT_NE(bio_get_notify_mid_mesg(&dev), nullptr);
    EXPECT_STRNE(bio_get_notify_mid_mesg(&dev), "");
    dev.ops_get_notify_mid_mesg = nullptr;
    ASSERT_NE(bio_get_notify_mid_mesg(&dev), nullptr);
    EXPECT_NE(bio_get_notify_mid_mesg(nullptr), nullptr);
}

TEST(HostTexts, EveryCodeHasAText)
{
    for (int code = -10; code <= 1000; ++code) {
        ASSERT_NE(bio_host_notify_text(code), nullptr);
        ASSERT_NE(bio_host_result_text(code), nullptr);
        ASSERT_NE(bio_host_status_text(code), nullptr);
    }
    EXPECT_STREQ(bio_host_notify_text(NOTIFY_ENROLL_SUCCESS), "Enrollment succeeded");
    EXPECT_STREQ(bio_host_result_text(OPS_ENROLL_SUCCESS), "Enrollment succeeded");
    // Every common notify id has its own text.
    std::set<std::string> common;
    for (int mid = NOTIFY_COMM_IDLE; mid <= NOTIFY_COMM_DEVICE_BUSY; ++mid)
        common.insert(bio_host_notify_text(mid));
    EXPECT_EQ(common.size(), 9u);
}

TEST(DeviceEnable, ReadsTheBooleanKeyOfTheDevicesGroup)
{
    GKeyFile *conf = g_key_file_new();
    const char *text =
        "[off]\nEnable=false\n"
        "[on]\nEnable=true\n"
        "[odd]\nEnable=maybe\n"
        "[silent]\nSecurityLevel=5\n";
    ASSERT_TRUE(g_key_file_load_from_data(conf, text, static_cast<gsize>(-1), G_KEY_FILE_NONE, nullptr));
    bio_dev dev{};
    const auto enabled = [&](const char *group) {
        dev.device_name = const_cast<char *>(group);
        return bio_dev_is_enable(&dev, conf);
    };
    EXPECT_EQ(enabled("off"), 0);
    EXPECT_EQ(enabled("on"), 1);
    EXPECT_EQ(enabled("odd"), 1);
    EXPECT_EQ(enabled("silent"), 1);
    EXPECT_EQ(enabled("absent"), 1);
    g_key_file_free(conf);
}

TEST(DriverIds, AreNeverHandedOutTwice)
{
    std::set<int> ids;
    std::mutex lock;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                const int id = bio_get_empty_driver_id();
                std::lock_guard<std::mutex> guard(lock);
                ids.insert(id);
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(ids.size(), 400u);
}

TEST(OpsTimeout, DefaultsTo30sAndTakesNewValues)
{
    EXPECT_EQ(bio_get_ops_timeout_ms(), 30000);
    bio_log_set_threshold(BIO_LOG_NONE);
    bio_set_ops_timeout_ms(1500);
    EXPECT_EQ(bio_get_ops_timeout_ms(), 1500);
    bio_set_ops_timeout_ms(-1);
    EXPECT_EQ(bio_get_ops_timeout_ms(), 1500);
    bio_set_ops_timeout_ms(30000);
    bio_log_set_threshold(BIO_LOG_INFO);
}

}  // namespace
