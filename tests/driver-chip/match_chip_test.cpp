// match_chip_test.cpp - the on-chip search loop, verify / identify / search in match-on-chip mode,
// search's walk over the bookkeeping records, and on-chip deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "bio_host_testing.h"
#include "chip_support.h"
#include "harness.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"

namespace {

using chip_test::calls_of;
using chip_test::store_record;
using chip_test::Trace;

class ChipMatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(device.open(), 0);
        ASSERT_NE(mocmohFlag_Dev1, 0);
        kelvs_log_clear();
        device.mark();
    }

    static void answer_search(int rc, int matchedId = 0)
    {
        kelvs_script_out(KELVS_SearchForOS, rc, matchedId, 90);
    }

    kelvra_test::Device device{chip_test::chip_options()};
};

// A clock that moves one millisecond each time it is read, for loops that never pause.
std::atomic<int> g_clock_reads{0};
void ticking_now(int64_t *seconds, int64_t *microseconds)
{
    ++g_clock_reads;
    kelvra_test::FakeTime::advance_ms(1);
    const int64_t now = kelvra_test::FakeTime::now_us();
    *seconds = now / 1'000'000;
    *microseconds = now % 1'000'000;
}

// ---- The search loop --------------------------------------------------------------------------

TEST_F(ChipMatch, SearchLoopPausesHalfASecondOnOtherCodes)
{
    Trace trace(device);
    answer_search(5);
    answer_search(5);
    answer_search(0, 7);
    int matched = -1;
    EXPECT_EQ(iops_fingerIdentify_status_check(device.dev(), 1000, &matched), 0);
    EXPECT_EQ(matched, 7);
    EXPECT_EQ(trace.joined(), "sleep 500, sleep 500");
    EXPECT_EQ(kelvs_log_count(KELVS_SearchForOS), 3u);

    answer_search(9);
    EXPECT_EQ(iops_fingerIdentify_status_check(device.dev(), 1000, &matched), 9);
    EXPECT_EQ(device.journal(), "");
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_RUNNING);
}

TEST_F(ChipMatch, SearchLoopUserRecord)
{
    answer_search(9);
    answer_search(9);
    int matched = -1;
    iops_fingerIdentify_status_check(device.dev(), 1000, &matched);
    iops_fingerIdentify_status_check(device.dev(), -1, &matched);
    const auto searches = calls_of(KELVS_SearchForOS);
    ASSERT_EQ(searches.size(), 2u);
    unsigned char user[64] = {0xE8, 0x03, 0x00, 0x00};
    EXPECT_EQ(chip_test::hex(searches[0].user_record, 64), chip_test::hex(user, 64));
    unsigned char everyone[64] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(chip_test::hex(searches[1].user_record, 64), chip_test::hex(everyone, 64));
}

TEST_F(ChipMatch, BusySensorIsAskedAgainAtOnceUntilTheTimeOut)
{
    Trace trace(device);
    kelvra::Platform p = kelvra::platform();
    p.now = ticking_now;
    const kelvra::Platform previous = kelvra::set_platform_for_testing(p);
    kelvs_answer busy{};
    busy.rc = 2;
    kelvs_script_always(KELVS_SearchForOS, &busy);
    device.priv()->timeoutMS = 300;
    g_clock_reads = 0;

    int matched = -1;
    EXPECT_EQ(iops_fingerIdentify_status_check(device.dev(), 1, &matched), -1);
    kelvra::set_platform_for_testing(previous);

    EXPECT_EQ(trace.joined(), "Rc4, Nc4, S0");  // no pause at all
    // One clock read at the start, then one after every call: 300 calls fill 300 ms.
    EXPECT_EQ(kelvs_log_count(KELVS_SearchForOS), 300u);
    EXPECT_EQ(g_clock_reads.load(), 301);
}

TEST_F(ChipMatch, NoOpenSinceTheLastWalkTimesOutWithoutSearching)
{
    Trace trace(device);
    device.priv()->ctrlFlag = CTRL_FINISHED;
    int matched = -1;
    EXPECT_EQ(iops_fingerIdentify_status_check(device.dev(), 1, &matched), -1);
    EXPECT_EQ(trace.joined(), "Rc4, Nc4, S0");
    EXPECT_EQ(kelvs_log_count(KELVS_SearchForOS), 0u);

    device.mark();
    EXPECT_EQ(kelvra_ops_verify(device.dev(), ACTION_START, 1, 0), -1);
    EXPECT_EQ(device.journal(), "S301 N10 Rc4 Nc4 S0");
    device.mark();
    EXPECT_EQ(kelvra_ops_search(device.dev(), ACTION_START, 1, 0, -1), nullptr);
    EXPECT_EQ(device.journal(), "S601 N10 Rc4 Nc4 S0");
    EXPECT_EQ(kelvs_log_count(KELVS_SearchForOS), 0u);
}

TEST_F(ChipMatch, StopDuringTheSensorSearchIsAcknowledged)
{
    Trace trace(device);
    kelvs_answer pending{};
    pending.rc = 1;
    kelvs_script_always(KELVS_SearchForOS, &pending);
    trace.on_sleep = [&](int, int nth) {
        if (nth == 2)
            device.priv()->ctrlFlag = CTRL_STOP_REQUESTED;
    };
    EXPECT_EQ(kelvra_ops_identify(device.dev(), ACTION_START, 5, 0, -1), -1);
    EXPECT_EQ(device.journal(), "S401 N10 Rc3 Nc3 S0");
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_STOPPED);
    EXPECT_EQ(kelvs_log_count(KELVS_SearchForOS), 2u);
}

TEST_F(ChipMatch, MatchArrivingWithAStopRequestWins)
{
    // The stop request lands once the sensor has answered with its match.
    store_record(device, 5, 3, "three", {""});
    Trace trace(device);
    answer_search(5);
    answer_search(0, 3);
    trace.on_event = [&](const bio_event &e) {
        if (e.kind == BIO_EVENT_RESULT && e.value == OPS_VERIFY_MATCH)
            device.priv()->ctrlFlag = CTRL_STOP_REQUESTED;
    };
    EXPECT_EQ(kelvra_ops_verify(device.dev(), ACTION_START, 5, 3), 1);
    EXPECT_EQ(device.journal(), "S301 N10 R300 N300 S0");
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_STOP_REQUESTED);  // verify leaves it for the next open
}

// ---- Verify and identify ---------------------------------------------------------------------

TEST_F(ChipMatch, VerifyOutcomes)
{
    store_record(device, 42, 4, "four", {""});
    answer_search(0, 4);
    EXPECT_EQ(kelvra_ops_verify(device.dev(), ACTION_START, 42, 4), 1);
    EXPECT_EQ(device.journal(), "S301 N10 R300 N300 S0");
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_RUNNING);

    device.mark();
    answer_search(9);
    EXPECT_EQ(kelvra_ops_verify(device.dev(), ACTION_START, 42, 4), 0);
    EXPECT_EQ(device.journal(), "S301 N10 R301 N301 S0");

    // Only the press prompt, no host-side prompts: no capture, no extraction on the host.
    EXPECT_EQ(kelvs_log_count(KELVS_CaptureRawData), 0u);
    EXPECT_EQ(kelvs_log_count(KELVS_ExtractFeature), 0u);
    EXPECT_EQ(kelvs_log_count(KELVS_ResetIdentifyCntForOS), 0u);
    EXPECT_EQ(device.count_line(BIO_LOG_DEBUG, "Please press your finger\n"), 2u) << "once per verify";
}

TEST_F(ChipMatch, IdentifyReturnsTheAskedUidOnAMatch)
{
    store_record(device, 1001, 6, "six", {""});
    answer_search(0, 6);
    EXPECT_EQ(kelvra_ops_identify(device.dev(), ACTION_START, 1001, 0, -1), 1001);
    EXPECT_EQ(device.journal(), "S401 N10 R400 N400 S0");
    const auto resets = calls_of(KELVS_ResetIdentifyCntForOS);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0].arg[0], 4);
    // The reset comes before the search.
    kelvs_call_record first{};
    ASSERT_EQ(kelvs_log_get(0, &first), 0);
    EXPECT_EQ(first.call, KELVS_ResetIdentifyCntForOS);

    device.mark();
    answer_search(9);
    EXPECT_EQ(kelvra_ops_identify(device.dev(), ACTION_START, 1001, 0, -1), -1);
    EXPECT_EQ(device.journal(), "S401 N10 R401 N401 S0");
}

// ---- A match counts only for a finger the database lists -------------------------------------------
// Makes sure a template the database does not list, or lists outside the range asked about, never
// verifies or identifies anyone. An example failure: the finger of a record deleted while the sensor
// kept it still unlocking its user, or verify of index 1 answering "match" for the user's finger 0.

TEST(ChipMatchListed, SensorMatchCountsOnlyForARecordInTheRange)
{
    enum class Op { Verify, Identify, Search };
    struct Case {
        const char *what;
        Op op;
        int uid, from, to;      // verify: from is idx
        int matched;            // the finger the sensor reports
        bio_fault_point fault;  // BIO_FAULT_POINT_COUNT: none
        int returned;           // verify and identify; search: 1 for a list, 0 for none
        std::string journal;
        int confirmed = 0;      // among every user: the sensor's answer when asked about user 6 alone
    };
    // User 5 has fingers 0, 2 and 300; user 6 has finger 3.
    const Case cases[] = {
        {"verify of the matched finger", Op::Verify, 5, 2, 2, 2, BIO_FAULT_POINT_COUNT, 1, "S301 N10 R300 N300 S0"},
        {"verify of another finger of the user", Op::Verify, 5, 0, 0, 2, BIO_FAULT_POINT_COUNT, 0,
         "S301 N10 R301 N301 S0"},
        {"verify of a finger not listed", Op::Verify, 5, 1, 1, 1, BIO_FAULT_POINT_COUNT, 0, "S301 N10 R301 N301 S0"},
        {"verify of an index above 255", Op::Verify, 5, 300, 300, 44, BIO_FAULT_POINT_COUNT, 1,
         "S301 N10 R300 N300 S0"},
        {"verify with an unreadable database", Op::Verify, 5, 2, 2, 2, BIO_FAULT_CONNECT, 0, "S301 N10 R301 N301 S0"},
        {"identify within the range", Op::Identify, 5, 0, -1, 2, BIO_FAULT_POINT_COUNT, 5, "S401 N10 R400 N400 S0"},
        {"identify outside the range", Op::Identify, 5, 3, -1, 2, BIO_FAULT_POINT_COUNT, -1, "S401 N10 R401 N401 S0"},
        {"identify of another user's finger", Op::Identify, 5, 0, -1, 3, BIO_FAULT_POINT_COUNT, -1,
         "S401 N10 R401 N401 S0"},
        {"identify of any user", Op::Identify, -1, 0, -1, 3, BIO_FAULT_POINT_COUNT, -1, "S401 N10 R400 N400 S0"},
        {"identify of any user, not confirmed", Op::Identify, -1, 0, -1, 3, BIO_FAULT_POINT_COUNT, -1,
         "S401 N10 R401 N401 S0", 9},
        {"identify with an unreadable database", Op::Identify, 5, 0, -1, 2, BIO_FAULT_QUERY, -1,
         "S401 N10 R401 N401 S0"},
        {"search within the range", Op::Search, 5, 0, 9, 2, BIO_FAULT_POINT_COUNT, 1, "S601 N10 R600 N600 S0"},
        {"search outside the range", Op::Search, 5, 3, -1, 2, BIO_FAULT_POINT_COUNT, 0, "S601 N10 R601 N601 S0"},
        {"search of a finger not listed", Op::Search, 5, 0, -1, 7, BIO_FAULT_POINT_COUNT, 0, "S601 N10 R601 N601 S0"},
        {"search with an unreadable database", Op::Search, 5, 0, -1, 2, BIO_FAULT_CONNECT, 0, "S601 N10 R601 N601 S0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kelvra_test::Device device{chip_test::chip_options()};
        ASSERT_EQ(device.open(), 0);
        for (int index : {0, 2, 300})
            store_record(device, 5, index, "finger", {""});
        store_record(device, 6, 3, "someone else's", {""});
        kelvs_script_out(KELVS_SearchForOS, 0, c.matched, 90);
        if (c.uid == -1)
            kelvs_script_out(KELVS_SearchForOS, c.confirmed, c.matched, 90);
        device.mark();
        device.clear_logs();
        bio_testing_fail_nth(c.fault, 1);

        int returned = 0;
        if (c.op == Op::Verify) {
            returned = kelvra_ops_verify(device.dev(), ACTION_START, c.uid, c.from);
        } else if (c.op == Op::Identify) {
            returned = kelvra_ops_identify(device.dev(), ACTION_START, c.uid, c.from, c.to);
        } else {
            feature_info *found = kelvra_ops_search(device.dev(), ACTION_START, c.uid, c.from, c.to);
            returned = found != nullptr ? 1 : 0;
            if (found != nullptr) {
                EXPECT_EQ(found->index & 0xFF, c.matched);
                EXPECT_EQ(found->next, nullptr);
            }
            bio_sto_free_feature_info_list(found);
        }
        bio_testing_clear_faults();
        EXPECT_EQ(returned, c.returned);
        EXPECT_EQ(device.journal(), c.journal);
        const bool counted = c.journal.find("R300") != std::string::npos ||
                             c.journal.find("R400") != std::string::npos || c.journal.find("R600") != std::string::npos;
        std::vector<std::string> errors;
        if (c.fault != BIO_FAULT_POINT_COUNT)
            errors.push_back(kelvra_test::injected_fault_line(c.fault));
        if (!counted && c.confirmed != 0)
            errors.push_back("[kelvra-test] The sensor matched fingerprint " + std::to_string(c.matched) +
                             " among every user, but not for any user the feature database lists it for; it does "
                             "not count as a match\n");
        else if (!counted)
            errors.push_back("[kelvra-test] The sensor matched fingerprint " + std::to_string(c.matched) + " of UID " +
                             std::to_string(c.uid) +
                             ", which the feature database does not list there; it does not count as a match\n");
        EXPECT_EQ(device.take_errors(), errors);
    }
}

// ---- Search and its walk ---------------------------------------------------------------------

TEST_F(ChipMatch, SearchReturnsTheFirstRecordOfTheMatchedIndexWithItsFirstSample)
{
    store_record(device, 7, 1, "one", {"s1"});
    store_record(device, 7, 3, "three first", {"a1", "a2"});
    store_record(device, 7, 3, "three second", {"b1"});
    answer_search(0, 3);

    feature_info *found = kelvra_ops_search(device.dev(), ACTION_START, 7, 0, -1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->next, nullptr);
    EXPECT_EQ(found->uid, 7);
    EXPECT_EQ(found->index, 3);
    EXPECT_STREQ(found->index_name, "three first");
    EXPECT_STREQ(found->driver, device.dev()->device_name);
    ASSERT_NE(found->sample, nullptr);
    EXPECT_EQ(found->sample->next, nullptr);
    EXPECT_EQ(found->sample->no, 1);
    EXPECT_STREQ(found->sample->data, "a1");
    bio_sto_free_feature_info_list(found);

    EXPECT_EQ(device.journal(), "S601 N10 R600 N600 S0");
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_FINISHED);
}

// A search among every user hears only the finger's id from the sensor, which may be another user's
// template: the sensor is asked about each user whose records stand for it alone, and the first it
// matches under the same id owns the finger.
TEST(ChipSearch, AmongEveryUserAsksTheSensorWhoseSharedFingerItIs)
{
    struct Case {
        std::vector<std::pair<int, int>> narrowing;  // the sensor's answers (code, id) for users 5 and 6
        const char *found;                          // the record's name, or nullptr for no match
        std::string journal;
    };
    const std::string matched = "S601 N10 R600 N600 S0";
    const std::string no_match = "S601 N10 R601 N601 S0";
    const Case cases[] = {
        {{{9, 0}, {0, 0}}, "six", matched},
        {{{0, 0}}, "five", matched},
        {{{0, 3}, {0, 0}}, "six", matched},
        {{{9, 0}, {9, 0}}, nullptr, no_match},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.journal + (c.found ? c.found : " none"));
        kelvra_test::Device device{chip_test::chip_options()};
        ASSERT_EQ(device.open(), 0);
        store_record(device, 5, 0, "five", {""});
        store_record(device, 6, 256, "six", {""});
        kelvs_script_out(KELVS_SearchForOS, 0, 0, 90);
        for (const auto &[code, id] : c.narrowing)
            kelvs_script_out(KELVS_SearchForOS, code, id, 90);
        kelvs_log_clear();
        device.clear_logs();
        device.mark();

        feature_info *found = kelvra_ops_search(device.dev(), ACTION_START, -1, 0, -1);
        EXPECT_EQ(device.journal(), c.journal);
        const auto searches = calls_of(KELVS_SearchForOS);
        ASSERT_EQ(searches.size(), 1 + c.narrowing.size());
        for (size_t i = 0; i < c.narrowing.size(); ++i)
            EXPECT_EQ(searches[1 + i].user_record[0], 5 + i);
        if (c.found == nullptr) {
            EXPECT_EQ(found, nullptr);
            EXPECT_EQ(device.take_errors(),
                      std::vector<std::string>{"[kelvra-test] The sensor matched fingerprint 0 among every user, but "
                                               "not for any user the feature database lists it for; it does not "
                                               "count as a match\n"});
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_STREQ(found->index_name, c.found);
        EXPECT_EQ(found->uid, c.found[0] == 'f' ? 5 : 6);
        bio_sto_free_feature_info_list(found);
    }
}

TEST_F(ChipMatch, SearchWithoutMatch)
{
    store_record(device, 7, 3, "three", {"x"});
    answer_search(9);
    EXPECT_EQ(kelvra_ops_search(device.dev(), ACTION_START, 7, 0, -1), nullptr);
    EXPECT_EQ(device.journal(), "S601 N10 R601 N601 S0");
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_RUNNING);  // no walk ran
}

TEST_F(ChipMatch, StopPendingWhenTheWalkBeginsEndsTheSearchAsStopped)
{
    store_record(device, 7, 3, "three", {"x"});
    answer_search(0, 3);
    Trace trace(device);
    trace.on_event = [&](const bio_event &e) {
        if (e.kind == BIO_EVENT_NOTIFY && e.value == NOTIFY_SEARCH_MATCH)
            device.priv()->ctrlFlag = CTRL_STOP_REQUESTED;
    };
    EXPECT_EQ(kelvra_ops_search(device.dev(), ACTION_START, 7, 0, -1), nullptr);
    EXPECT_EQ(device.journal(), "S601 N10 R600 N600 Rc3 Nc3 S0");
    EXPECT_EQ(device.priv()->ctrlFlag.load(), CTRL_STOPPED);
}

// ---- On-chip deletion ---------------------------------------------------------------------------

TEST_F(ChipMatch, DeletionOfOneFingerOrEveryFinger)
{
    EXPECT_EQ(iops_fingerDel_status_check(device.dev(), 258, 2), 0);
    EXPECT_EQ(iops_fingerDel_status_check(device.dev(), 258, 255), 0);
    EXPECT_EQ(iops_fingerDel_status_check(device.dev(), -1, -1), 0);
    kelvs_script_rc(KELVS_DelUserFpsFroOS, 13);
    EXPECT_EQ(iops_fingerDel_status_check(device.dev(), 5, 300), 13);

    const auto singles = calls_of(KELVS_DelUserFpsFroOS);
    const auto alls = calls_of(KELVS_DelAllUserFpsFroOS);
    ASSERT_EQ(singles.size(), 3u);
    ASSERT_EQ(alls.size(), 1u);
    unsigned char user258[64] = {0x02, 0x01};
    unsigned char finger2[64] = {0x02};
    EXPECT_EQ(chip_test::hex(singles[0].user_record, 64), chip_test::hex(user258, 64));
    EXPECT_EQ(chip_test::hex(singles[0].finger_record, 64), chip_test::hex(finger2, 64));
    EXPECT_EQ(chip_test::hex(alls[0].user_record, 64), chip_test::hex(user258, 64));
    // Only exactly 255 means every finger: -1 is finger byte FF of the single deletion.
    unsigned char everyone[64] = {0xFF, 0xFF, 0xFF, 0xFF};
    unsigned char fingerFF[64] = {0xFF};
    EXPECT_EQ(chip_test::hex(singles[1].user_record, 64), chip_test::hex(everyone, 64));
    EXPECT_EQ(chip_test::hex(singles[1].finger_record, 64), chip_test::hex(fingerFF, 64));
    EXPECT_EQ(singles[2].finger_record[0], 300 & 0xFF);
    EXPECT_EQ(device.journal(), "");
}

// ---- Clean on the sensor and in the database --------------------------------------------------------
// Makes sure a clean deletes on the sensor exactly the fingers it deletes from the database. An example
// failure: a range such as 2 to 6 deleting every finger of the user on the sensor while the database
// keeps listing those outside it, or a failed deletion losing the record of a finger the sensor keeps.

std::vector<int> listed_indexes(kelvra_test::Device &device, int uid)
{
    bio_sto_db *db = bio_sto_connect_db();
    feature_info *list = bio_sto_get_feature_info(db, uid, BioT_FingerPrint, device.dev()->device_name, 0, -1);
    bio_sto_disconnect_db(db);
    std::vector<int> indexes;
    for (const feature_info *record = list; record != nullptr; record = record->next)
        indexes.push_back(record->index);
    bio_sto_free_feature_info_list(list);
    return indexes;
}

// "1 3 all": the finger bytes of the single deletions and "all" for the deletion of every finger, in order.
std::string sensor_deletions()
{
    std::string out;
    kelvs_call_record record{};
    for (size_t i = 0; kelvs_log_get(i, &record) == 0; ++i) {
        if (record.call != KELVS_DelUserFpsFroOS && record.call != KELVS_DelAllUserFpsFroOS)
            continue;
        out += out.empty() ? "" : " ";
        out += record.call == KELVS_DelAllUserFpsFroOS ? "all" : std::to_string(record.finger_record[0]);
    }
    return out;
}

TEST(ChipClean, DeletesOnTheSensorWhatItDeletesFromTheDatabase)
{
    constexpr char kFailed[] = "S701 Rc701 N701 S0";
    constexpr char kCleaned[] = "S701 R700 N700 S0";
    auto nothing_listed = [](int from, int to) {
        return "[kelvra-test] The feature database could not tell which fingerprints of UID 7 lie in indexes " +
               std::to_string(from) + " to " + std::to_string(to) + "; nothing was deleted\n";
    };
    auto not_alone = [](int finger) {
        return "[kelvra-test] The sensor cannot delete fingerprint " + std::to_string(finger) +
               " of UID 7 without other fingerprints of the user; its record is kept\n";
    };
    auto refused = [](int finger, int code) {
        return "[kelvra-test] The sensor could not delete fingerprint " + std::to_string(finger) +
               " of UID 7 (error code " + std::to_string(code) + "); its record is kept\n";
    };
    auto none_deleted = [](int code) {
        return "[kelvra-test] The sensor could not delete the fingerprints (error code " + std::to_string(code) +
               "); the records are kept\n";
    };
    const std::string unopened =
        "[kelvra-test] The feature database could not be opened; no fingerprint of UID 7 was deleted\n";
    struct Case {
        int from, to;
        std::vector<int> answers;  // the sensor's answers to its deletions (one or all), in order; else 0
        bio_fault_point fault;     // BIO_FAULT_POINT_COUNT: none
        std::string deletions;     // what the sensor was asked to delete
        std::vector<int> kept;     // user 7's indexes the database lists afterwards
        std::string journal;
        int returned;
        std::vector<std::string> errors;
    };
    // User 7 has fingers 1, 2, 3 (two records), 4, 6, 7 and 255: each range below has fingers at both of
    // its ends and next to them outside it. The sensor's codes of failure are negative, positive and 1.
    const std::vector<int> all7{1, 2, 3, 3, 4, 6, 7, 255};
    const Case cases[] = {
        {3, 3, {}, BIO_FAULT_POINT_COUNT, "3", {1, 2, 4, 6, 7, 255}, kCleaned, 0, {}},
        {0, -1, {}, BIO_FAULT_POINT_COUNT, "all", {}, kCleaned, 0, {}},
        {-4, -1, {}, BIO_FAULT_POINT_COUNT, "all", {}, kCleaned, 0, {}},
        {2, 6, {}, BIO_FAULT_POINT_COUNT, "2 3 4 6", {1, 7, 255}, kCleaned, 0, {}},
        {4, -1, {}, BIO_FAULT_POINT_COUNT, "4 6 7", {1, 2, 3, 3, 255}, kFailed, -1, {not_alone(255)}},
        {-1, -1, {}, BIO_FAULT_POINT_COUNT, "all", {}, kCleaned, 0, {}},
        {255, 255, {}, BIO_FAULT_POINT_COUNT, "", all7, kFailed, -1, {not_alone(255)}},
        {200, 300, {}, BIO_FAULT_POINT_COUNT, "", all7, kFailed, -1, {not_alone(255)}},
        {3, 3, {-5}, BIO_FAULT_POINT_COUNT, "3", all7, kFailed, -5, {none_deleted(-5)}},
        {3, 3, {7}, BIO_FAULT_POINT_COUNT, "3", all7, kFailed, 7, {none_deleted(7)}},
        {3, 3, {1}, BIO_FAULT_POINT_COUNT, "3", all7, kFailed, 1, {none_deleted(1)}},
        {0, -1, {-5}, BIO_FAULT_POINT_COUNT, "all", all7, kFailed, -5, {none_deleted(-5)}},
        {0, -1, {7}, BIO_FAULT_POINT_COUNT, "all", all7, kFailed, 7, {none_deleted(7)}},
        {0, -1, {1}, BIO_FAULT_POINT_COUNT, "all", all7, kFailed, 1, {none_deleted(1)}},
        {4, -1, {21, 0, 0}, BIO_FAULT_POINT_COUNT, "4 6 7", {1, 2, 3, 3, 4, 255}, kFailed, 21,
         {refused(4, 21), not_alone(255)}},
        {2, 6, {0, 13}, BIO_FAULT_POINT_COUNT, "2 3 4 6", {1, 3, 3, 7, 255}, kFailed, 13, {refused(3, 13)}},
        {2, 6, {0, 0, -5}, BIO_FAULT_POINT_COUNT, "2 3 4 6", {1, 4, 7, 255}, kFailed, -5, {refused(4, -5)}},
        {2, 6, {1}, BIO_FAULT_POINT_COUNT, "2 3 4 6", {1, 2, 7, 255}, kFailed, 1, {refused(2, 1)}},
        {0, 9, {13, 0, 0, 0, 0, 21}, BIO_FAULT_POINT_COUNT, "1 2 3 4 6 7", {1, 7, 255}, kFailed, 13,
         {refused(1, 13), refused(7, 21)}},
        {8, 20, {}, BIO_FAULT_POINT_COUNT, "", all7, kFailed, -1, {nothing_listed(8, 20)}},
        {2, 6, {}, BIO_FAULT_QUERY, "", all7, kFailed, -1,
         {"feature database: query failed: injected fault\n", nothing_listed(2, 6)}},
        {2, 6, {}, BIO_FAULT_CONNECT, "", all7, kFailed, -1,
         {"feature database :memory: cannot be opened: injected fault\n", unopened}},
        {0, -1, {}, BIO_FAULT_CONNECT, "", all7, kFailed, -1,
         {"feature database :memory: cannot be opened: injected fault\n", unopened}},
        {3, 3, {}, BIO_FAULT_CLEAN, "3", {1, 2, 4, 6, 7, 255}, kCleaned, 0,
         {"feature database: clean failed: injected fault\n"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "clean " << c.from << " to " << c.to);
        kelvra_test::Device device{chip_test::chip_options()};
        ASSERT_EQ(device.open(), 0);
        for (int index : all7)
            store_record(device, 7, index, "finger", {""});
        store_record(device, 8, 3, "someone else's", {""});
        for (int answer : c.answers) {
            kelvs_script_rc(KELVS_DelUserFpsFroOS, answer);
            kelvs_script_rc(KELVS_DelAllUserFpsFroOS, answer);
        }
        kelvs_log_clear();
        device.clear_logs();
        device.mark();
        bio_testing_fail_nth(c.fault, 1);

        EXPECT_EQ(kelvra_ops_clean(device.dev(), ACTION_START, 7, c.from, c.to), c.returned);
        bio_testing_clear_faults();
        EXPECT_EQ(sensor_deletions(), c.deletions);
        EXPECT_EQ(listed_indexes(device, 7), c.kept);
        EXPECT_EQ(listed_indexes(device, 8), std::vector<int>{3});
        EXPECT_EQ(device.journal(), c.journal);
        EXPECT_EQ(device.take_errors(), c.errors);
    }
}

// An index above 254 is held on the sensor as its low byte, which another of the user's indexes may share:
// such a finger cannot be deleted alone, and one whose byte nobody else uses goes with that byte.
TEST(ChipClean, IndexesAboveTheFingerByteDeleteByTheirByte)
{
    auto not_alone = [](int finger) {
        return "[kelvra-test] The sensor cannot delete fingerprint " + std::to_string(finger) +
               " of UID 9 without other fingerprints of the user; its record is kept\n";
    };
    struct Case {
        std::vector<int> stored;
        int from, to;
        std::string deletions;
        std::vector<int> kept;
        int returned;
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {{1, 300}, 300, 300, "44", {1}, 0, {}},
        {{44, 300}, 300, 300, "", {44, 300}, -1, {not_alone(300)}},
        {{44, 300}, 40, 50, "", {44, 300}, -1, {not_alone(44)}},
        {{44, 300}, 40, 400, "44", {}, 0, {}},
        {{1, 44, 300}, 2, 400, "44", {1}, 0, {}},
        {{44, 300}, 44, 44, "", {44, 300}, -1, {not_alone(44)}},
        {{44}, 44, 44, "44", {}, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "clean " << c.from << " to " << c.to);
        kelvra_test::Device device{chip_test::chip_options()};
        ASSERT_EQ(device.open(), 0);
        for (int index : c.stored)
            store_record(device, 9, index, "finger", {""});
        kelvs_log_clear();
        device.clear_logs();
        device.mark();

        EXPECT_EQ(kelvra_ops_clean(device.dev(), ACTION_START, 9, c.from, c.to), c.returned);
        EXPECT_EQ(sensor_deletions(), c.deletions);
        EXPECT_EQ(listed_indexes(device, 9), c.kept);
        EXPECT_EQ(device.journal(), c.returned == 0 ? "S701 R700 N700 S0" : "S701 Rc701 N701 S0");
        EXPECT_EQ(device.take_errors(), c.errors);
    }
}

}  // namespace
