// end_to_end_test.cpp - match-on-host runs on the virtual sensor with virtual fingers, and stops from a second thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bio_host_testing.h"
#include "harness.h"
#include "host_support.h"
#include "kelvra_internal.h"

using namespace kelvra_test;
using namespace host_test;

namespace {

constexpr char kDriver[] = "kelvra-test";
constexpr char kDuplicateText[] = "当前手指已注册，请更换手指并按压！";

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Every piece of work is an open, one operation and a close.
void reopen(Device &d)
{
    d.close();
    ASSERT_EQ(d.open(), 0);
    d.mark();
}

int enroll(Device &d, const char *finger, int uid, int idx)
{
    kelvs_finger_auto(finger);
    std::string name = std::string(finger) + " #" + std::to_string(idx);
    return kelvra_ops_enroll(d.dev(), ACTION_START, uid, idx, name.data());
}

size_t record_count()
{
    size_t n = 0;
    FeatureListPtr list = stored_records(kDriver);
    for (const feature_info *r = list.get(); r != nullptr; r = r->next)
        ++n;
    return n;
}

TEST(EndToEnd, EnrolledFingersAreVerifiedIdentifiedAndSearched)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    d.mark();

    ASSERT_EQ(enroll(d, "alice-thumb", 1, 0), 0);
    EXPECT_TRUE(ends_with(d.journal(), "N9 N12 R200 N200 S0")) << d.journal();
    reopen(d);
    ASSERT_EQ(enroll(d, "bob-index", 2, 0), 0);
    reopen(d);
    ASSERT_EQ(enroll(d, "carol-ring", 3, 1), 0);
    EXPECT_EQ(record_count(), 3u);

    reopen(d);
    kelvs_finger_auto("alice-thumb");
    EXPECT_EQ(kelvra_ops_verify(d.dev(), ACTION_START, 1, 0), 1);
    EXPECT_TRUE(ends_with(d.journal(), "N12 N13 R300 N300 S0")) << d.journal();

    reopen(d);
    kelvs_finger_auto("dave-pinky");
    EXPECT_EQ(kelvra_ops_verify(d.dev(), ACTION_START, 1, 0), 0);
    EXPECT_TRUE(ends_with(d.journal(), "N12 N13 R301 N301 S0")) << d.journal();

    reopen(d);
    kelvs_finger_auto("alice-thumb");
    EXPECT_EQ(kelvra_ops_verify(d.dev(), ACTION_START, 2, 0), 0) << "alice's thumb is not bob's";

    reopen(d);
    kelvs_finger_auto("bob-index");
    EXPECT_EQ(kelvra_ops_identify(d.dev(), ACTION_START, -1, 0, -1), 2);
    EXPECT_TRUE(ends_with(d.journal(), "N13 R400 N400 S0")) << d.journal();

    reopen(d);
    kelvs_finger_auto("carol-ring");
    FeatureListPtr found(kelvra_ops_search(d.dev(), ACTION_START, -1, 0, -1));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->uid, 3);
    EXPECT_EQ(found->index, 1);
    EXPECT_STREQ(found->index_name, "carol-ring #1");
    EXPECT_TRUE(ends_with(d.journal(), "N13 R600 N600 S0")) << d.journal();

    reopen(d);
    kelvs_finger_auto("dave-pinky");
    EXPECT_EQ(kelvra_ops_identify(d.dev(), ACTION_START, -1, 0, -1), -1);
    EXPECT_TRUE(ends_with(d.journal(), "N13 R401 N401 S0")) << d.journal();
    EXPECT_EQ(bio_testing_open_connections(), 0);
}

TEST(EndToEnd, SameFingerIsADuplicateForItsOwnerOnly)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    ASSERT_EQ(enroll(d, "alice-thumb", 1, 0), 0);

    reopen(d);
    NoticeRecorder notices(d);
    int refusals = 0;
    // After three refusals the user gives up and takes the finger away; the press wait then times out.
    notices.on_notice([&refusals](const Notice &n) {
        if (n.text == kDuplicateText && ++refusals == 3)
            kelvs_finger_auto(nullptr);
    });
    EXPECT_EQ(enroll(d, "alice-thumb", 1, 1), -1);
    const std::vector<std::string> expected_press = {
        "[1/6] fingerprint is being sampled. Please press different parts of your finger"};
    std::vector<std::string> expected;
    for (int k = 0; k < 3; ++k) {
        expected.push_back(expected_press[0]);
        expected.push_back(kDuplicateText);
    }
    expected.push_back(expected_press[0]);
    EXPECT_EQ(notices.texts(), expected);
    EXPECT_TRUE(ends_with(d.journal(), "Rc4 Nc4 S0")) << d.journal();
    EXPECT_EQ(record_count(), 1u);

    reopen(d);
    EXPECT_EQ(enroll(d, "alice-thumb", 2, 0), 0);
    EXPECT_EQ(record_count(), 2u);
}

Device::Options real_time()
{
    Device::Options o;
    o.fake_time = false;
    o.timeout_ms = 5000;
    return o;
}

TEST(EndToEnd, StopFromAnotherThreadWhileWaitingForTheFinger)
{
    for (bool enrolling : {false, true}) {
        SCOPED_TRACE(enrolling ? "enroll" : "verify");
        Device d(real_time());  // no finger ever comes
        ASSERT_EQ(d.open(), 0);
        d.mark();
        std::atomic<int> stopped{99};
        std::thread stopper([&] {
            // Past the enrollment's entry pause, into the finger wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(enrolling ? 1200 : 150));
            stopped = kelvra_ops_stop_by_user(d.dev(), 3000);
        });
        std::string name = "x";
        const int ret = enrolling ? kelvra_ops_enroll(d.dev(), ACTION_START, 1, 0, name.data())
                                  : kelvra_ops_verify(d.dev(), ACTION_START, 1, 0);
        stopper.join();

        EXPECT_EQ(ret, -1);
        EXPECT_EQ(stopped.load(), 0);
        EXPECT_EQ(d.journal(), enrolling ? "S201 N9 Rc3 Nc3 S0" : "S301 N10 Rc3 Nc3 S0");
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOPPED);
    }
}

TEST(EndToEnd, StopFromAnotherThreadDuringTheWalk)
{
    constexpr int kSamples = 200;
    Device d(real_time());
    ASSERT_EQ(d.open(), 0);
    // Templates the sensor cannot take for its own: every comparison misses.
    store_record(kDriver, 1, 0, "many", std::vector<std::string>(kSamples, encode(blocks_template({0xEE}))));
    d.mark();
    VerifySpy spy;
    kelvs_finger_press("alice-thumb", KELVS_CONTACT_FULL);

    std::atomic<int> stopped{99};
    std::thread stopper([&] {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (spy.count() == 0 && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        stopped = kelvra_ops_stop_by_user(d.dev(), 3000);
    });
    const int ret = kelvra_ops_verify(d.dev(), ACTION_START, 1, 0);
    stopper.join();

    EXPECT_EQ(ret, -1);
    EXPECT_EQ(stopped.load(), 0);
    EXPECT_EQ(d.journal(), "S301 N10 N12 N13 Rc3 Nc3 S0");
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_STOPPED);
    EXPECT_GE(spy.count(), 1u);
    EXPECT_LT(spy.count(), size_t(kSamples)) << "the walk ran to its end instead of stopping";
}

}  // namespace
