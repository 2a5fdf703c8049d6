// security_test.cpp - what must hold against hostile names, a lying comparison, damaged templates and
// fingers that are deleted or could not be recorded: stored text stays text, and nobody is let in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bio_host_testing.h"
#include "harness.h"
#include "hardening_support.h"
#include "kelvra_internal.h"

using namespace kelvra_test;
using namespace hardening;

namespace {

// Every piece of work is an open, one operation and a close.
void reopen(Device &d)
{
    d.close();
    ASSERT_EQ(d.open(), 0);
    d.mark();
}

int enroll(Device &d, const char *finger, int uid, int idx, std::string name)
{
    kelvs_finger_auto(finger);
    testing::internal::CaptureStdout();  // the on-chip presence wait prints a line per frame
    const int ret = kelvra_ops_enroll(d.dev(), ACTION_START, uid, idx, name.data());
    testing::internal::GetCapturedStdout();
    kelvs_finger_auto(nullptr);
    return ret;
}

int verify(Device &d, const char *finger, int uid, int idx)
{
    kelvs_finger_auto(finger);
    const int ret = kelvra_ops_verify(d.dev(), ACTION_START, uid, idx);
    kelvs_finger_auto(nullptr);
    return ret;
}

class HostileNames : public testing::TestWithParam<bool> {};

// The device name (also the driver key of every record) and the index name reach the database only as
// bound parameters: quotes and SQL in them are stored and read back as the very same text, and records
// of another driver stay untouched.
TEST_P(HostileNames, AreStoredAndReadBackAsText)
{
    const bool chip = GetParam();
    Device::Options options;
    options.name = "kelvra'; DROP TABLE feature; --";
    options.config = "[" + options.name + "]\nEnable=true\n";
    options.profile = chip ? kChipModeProfile : kHostModeProfile;
    Device d(options);

    feature_info *other = bio_sto_new_feature_info(7, BioT_FingerPrint, "other-driver", 3, "kept");
    other->sample = bio_sto_new_feature_sample(1, "");
    bio_sto_db *db = bio_sto_connect_db();
    ASSERT_EQ(bio_sto_set_feature_info(db, other), 0);
    bio_sto_disconnect_db(db);
    bio_sto_free_feature_info_list(other);

    const std::string index_name = "it's \"mine\"'); DELETE FROM sample WHERE ('1'='1";
    ASSERT_EQ(d.open(), 0);
    ASSERT_EQ(enroll(d, "alice", 1, 0, index_name), 0) << d.journal();
    reopen(d);

    feature_info *list = kelvra_ops_get_feature_list(d.dev(), ACTION_START, 1, 0, -1);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_STREQ(list->driver, options.name.c_str());
    EXPECT_STREQ(list->index_name, index_name.c_str());
    ASSERT_NE(list->sample, nullptr);
    EXPECT_EQ(list->sample->next, nullptr);
    bio_sto_free_feature_info_list(list);

    const std::vector<StoredRecord> kept = stored_records("other-driver");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].name, "kept");

    // Clean through the hostile name deletes its own record only.
    reopen(d);
    EXPECT_EQ(kelvra_ops_clean(d.dev(), ACTION_START, 1, 0, -1), 0);
    EXPECT_TRUE(stored_records(options.name).empty());
    EXPECT_EQ(stored_records("other-driver").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothModes, HostileNames, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "MatchOnChip" : "MatchOnHost");
                         });

// A comparison the SDK refuses is a miss even when it leaves a "match" in its outputs: a stranger is not
// let in by a failing comparison, in any of the three matching operations.
TEST(FalseAccept, FailingComparisonIsNeverAHit)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    ASSERT_EQ(enroll(d, "alice", 1, 0, "alice"), 0);

    kelvs_answer lying{};
    lying.rc = 7;
    lying.has_out = 1;
    lying.out[0] = 999;  // similarity
    lying.out[1] = 0;    // the match word says "hit"
    kelvs_script_always(KELVS_VerifyExt, &lying);

    reopen(d);
    EXPECT_EQ(verify(d, "mallory", 1, 0), 0);
    EXPECT_EQ(bio_get_ops_result(d.dev()), OPS_VERIFY_NO_MATCH);
    reopen(d);
    kelvs_finger_auto("mallory");
    EXPECT_EQ(kelvra_ops_identify(d.dev(), ACTION_START, 1, 0, -1), -1);
    EXPECT_EQ(bio_get_ops_result(d.dev()), OPS_IDENTIFY_NO_MATCH);
    reopen(d);
    EXPECT_EQ(kelvra_ops_search(d.dev(), ACTION_START, 1, 0, -1), nullptr);
    EXPECT_EQ(bio_get_ops_result(d.dev()), OPS_SEARCH_NO_MATCH);
    kelvs_finger_auto(nullptr);
    EXPECT_GE(kelvs_log_count(KELVS_VerifyExt), 3u);
}

// Damaged stored templates (not base64, longer than a template, cut short, empty) neither overrun the
// decode area nor match a stranger; the genuine record next to them still matches its owner.
TEST(FalseAccept, DamagedStoredTemplatesMatchNobody)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    ASSERT_EQ(enroll(d, "alice", 1, 0, "alice"), 0);
    const std::string genuine = stored_records(d.dev()->device_name).at(0).samples.at(0).data;

    const std::vector<std::string> damaged = {
        "!!!! not base64 ''; --",
        genuine + "QUJD",                     // three bytes longer than a template
        genuine.substr(0, genuine.size() / 2),  // half a template
        genuine.substr(0, 4097),              // not a whole base64 quantum
        "",
    };
    bio_sto_db *db = bio_sto_connect_db();
    for (size_t i = 0; i < damaged.size(); ++i) {
        feature_info *info = bio_sto_new_feature_info(1, BioT_FingerPrint, d.dev()->device_name, int(i) + 1, "bad");
        info->sample = bio_sto_new_feature_sample(1, damaged[i].c_str());
        ASSERT_EQ(bio_sto_set_feature_info(db, info), 0);
        bio_sto_free_feature_info_list(info);
    }
    bio_sto_disconnect_db(db);

    for (int idx = 1; idx <= static_cast<int>(damaged.size()); ++idx) {
        reopen(d);
        EXPECT_EQ(verify(d, "mallory", 1, idx), 0) << "index " << idx;
    }
    reopen(d);
    kelvs_finger_auto("mallory");
    EXPECT_EQ(kelvra_ops_identify(d.dev(), ACTION_START, 1, 0, -1), -1);
    kelvs_finger_auto(nullptr);
    reopen(d);
    EXPECT_EQ(verify(d, "alice", 1, 0), 1);
    // The texts that cannot be decoded into the area are reported, by each verify and by the identify;
    // a shorter one and an empty one are compared as they decode.
    const std::vector<std::string> refused = {damaged_sample_line(1, 1, 1), damaged_sample_line(1, 2, 1),
                                              damaged_sample_line(1, 4, 1)};
    std::vector<std::string> expected = refused;
    expected.insert(expected.end(), refused.begin(), refused.end());
    EXPECT_EQ(d.take_errors(), expected);
}

class OnChip : public testing::Test {
protected:
    OnChip() : d(chip_options()) {}
    static Device::Options chip_options()
    {
        Device::Options options;
        options.profile = kChipModeProfile;
        return options;
    }
    void SetUp() override
    {
        ASSERT_EQ(d.open(), 0);
        ASSERT_EQ(enroll(d, "alice", 1, 0, "alice"), 0);
        ASSERT_EQ(enroll_after_reopen("alice-index", 1, 1), 0);
        reopen(d);
        ASSERT_EQ(verify(d, "alice", 1, 0), 1) << "the enrolled finger matches before it is deleted";
    }
    int enroll_after_reopen(const char *finger, int uid, int idx)
    {
        d.close();
        EXPECT_EQ(d.open(), 0);
        return enroll(d, finger, uid, idx, finger);
    }
    Device d;
};

// In match-on-chip mode the sensor decides a match by itself, so a finger the database no longer lists
// must be gone from the sensor too.
TEST_F(OnChip, CleanedFingerNoLongerMatches)
{
    reopen(d);
    ASSERT_EQ(kelvra_ops_clean(d.dev(), ACTION_START, 1, 0, 0), 0);
    EXPECT_FALSE(kelvs_store_has(1, 0));
    reopen(d);
    EXPECT_EQ(verify(d, "alice", 1, 0), 0);
    reopen(d);
    EXPECT_EQ(verify(d, "alice-index", 1, 1), 1) << "the other finger is kept";

    reopen(d);
    ASSERT_EQ(kelvra_ops_clean(d.dev(), ACTION_START, 1, 0, -1), 0);
    EXPECT_EQ(kelvs_store_count(), 0);
    reopen(d);
    EXPECT_EQ(verify(d, "alice-index", 1, 1), 0);
}

// A clean whose removal of the record the database refuses once, after the sensor let the finger go, asks
// again: no record is left listing a finger the sensor no longer holds.
TEST_F(OnChip, CleanWhoseDatabasePartFailsOnceStillRemovesTheRecord)
{
    reopen(d);
    bio_testing_fail_nth(BIO_FAULT_CLEAN, 1);
    EXPECT_EQ(kelvra_ops_clean(d.dev(), ACTION_START, 1, 0, 0), 0);
    EXPECT_EQ(d.take_errors(), std::vector<std::string>{injected_fault_line(BIO_FAULT_CLEAN)});
    EXPECT_EQ(stored_records(d.dev()->device_name).size(), 1u);
    EXPECT_FALSE(kelvs_store_has(1, 0));
    reopen(d);
    EXPECT_EQ(verify(d, "alice", 1, 0), 0);
}

// A finger whose bookkeeping record could not be written is removed from the sensor again, so it does
// not match as an unlisted finger.
TEST_F(OnChip, FingerThatCouldNotBeRecordedDoesNotMatch)
{
    d.close();
    ASSERT_EQ(d.open(), 0);
    bio_testing_fail_nth(BIO_FAULT_STORE, 1);
    EXPECT_EQ(enroll(d, "bob", 2, 0, "bob"), -1);
    EXPECT_EQ(d.take_errors(), (std::vector<std::string>{injected_fault_line(BIO_FAULT_STORE),
                                                         "The fingerprint could not be recorded and was removed from "
                                                         "the sensor again. Please enroll it again\n"}));
    EXPECT_FALSE(kelvs_store_has(2, 0));
    reopen(d);
    EXPECT_EQ(verify(d, "bob", 2, 0), 0);
}

}  // namespace
