// chip_e2e_test.cpp - a finger enrolled on the virtual sensor in match-on-chip mode, then matched by a
// later run of the driver that finds the template only in the sensor's persisted store.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "chip_support.h"
#include "harness.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"

namespace {

class ChipEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvra-chip-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // One run of the driver against the sensor: a fresh virtual sensor that loads its store from the
    // state file, and the host's feature database in a file, both kept across runs.
    std::unique_ptr<kelvra_test::Device> start_run(int capacity = 50)
    {
        kelvra_test::Device::Options options = chip_test::chip_options(30000);
        std::string profile = kelvra_test::kChipModeProfile;
        const std::string sensor_keys =
            "StateFile=" + dir_ + "/sensor-store\nCapacity=" + std::to_string(capacity) + "\n[Finger]";
        profile.replace(profile.find("[Finger]"), 8, sensor_keys);
        options.profile = profile;
        auto device = std::make_unique<kelvra_test::Device>(options);
        // The installed driver's directory, with its marker file, stays from run to run (a fresh one
        // would mean a reinstalled system, whose open drops the templates of the earlier one).
        std::filesystem::create_directories(dir_ + "/driver");
        marker_dir_ = dir_ + "/driver";
        kelvra::Platform p = kelvra::platform();
        p.marker_dir = marker_dir_.c_str();
        kelvra::set_platform_for_testing(p);
        EXPECT_EQ(bio_sto_set_db_path((dir_ + "/features.db").c_str()), 0);
        EXPECT_EQ(device->open(), 0);
        EXPECT_NE(mocmohFlag_Dev1, 0);
        device->mark();
        return device;
    }

    int enroll(kelvra_test::Device &device, int uid, int idx, const char *finger)
    {
        kelvs_finger_auto(finger);
        std::string name = std::string(finger) + " " + std::to_string(idx);
        testing::internal::CaptureStdout();  // the presence wait's score lines
        const int ret = kelvra_ops_enroll(device.dev(), ACTION_START, uid, idx, name.data());
        testing::internal::GetCapturedStdout();
        kelvs_finger_auto(nullptr);
        return ret;
    }

    std::string dir_;
    std::string marker_dir_;
};

TEST_F(ChipEndToEnd, EnrolledFingerIsMatchedByALaterRun)
{
    {
        auto run = start_run();
        EXPECT_EQ(enroll(*run, 1000, 1, "thumb"), 0);
        const std::string journal = run->journal();
        EXPECT_EQ(journal.substr(0, 5), "S201 ");
        EXPECT_EQ(journal.substr(journal.size() - 12), "R200 N200 S0");
        EXPECT_EQ(kelvs_store_count(), 1);
        EXPECT_EQ(kelvs_store_has(1000, 1), 1);
        run->close();
    }

    // A later run: everything the first one knew is gone but the state file and the database.
    auto run = start_run();
    ASSERT_EQ(kelvs_store_count(), 1);

    kelvs_finger_auto("thumb");
    EXPECT_EQ(kelvra_ops_verify(run->dev(), ACTION_START, 1000, 1), 1);
    EXPECT_EQ(run->journal(), "S301 N10 R300 N300 S0");

    run->mark();
    EXPECT_EQ(kelvra_ops_identify(run->dev(), ACTION_START, 1000, 0, -1), 1000);
    EXPECT_EQ(run->journal(), "S401 N10 R400 N400 S0");

    run->mark();
    feature_info *found = kelvra_ops_search(run->dev(), ACTION_START, 1000, 0, -1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->index, 1);
    EXPECT_STREQ(found->index_name, "thumb 1");
    EXPECT_EQ(found->next, nullptr);
    bio_sto_free_feature_info_list(found);
    EXPECT_EQ(run->journal(), "S601 N10 R600 N600 S0");

    // Another finger is not the enrolled one; and the thumb is not another user's.
    run->close();
    ASSERT_EQ(run->open(), 0);
    run->mark();
    kelvs_finger_auto("index");
    EXPECT_EQ(kelvra_ops_verify(run->dev(), ACTION_START, 1000, 1), 0);
    EXPECT_EQ(run->journal(), "S301 N10 R301 N301 S0");
    run->mark();
    kelvs_finger_auto("thumb");
    EXPECT_EQ(kelvra_ops_identify(run->dev(), ACTION_START, 2000, 0, -1), -1);
    EXPECT_EQ(run->journal(), "S401 N10 R401 N401 S0");
    kelvs_finger_auto(nullptr);
}

TEST_F(ChipEndToEnd, SameFingerTwiceIsRefusedBySensor)
{
    auto run = start_run();
    EXPECT_EQ(enroll(*run, 1000, 1, "thumb"), 0);
    run->mark();
    EXPECT_EQ(enroll(*run, 1000, 2, "thumb"), -1);
    EXPECT_STREQ(run->priv()->extra_info, "该手指已注册\n");
    EXPECT_EQ(bio_get_ops_result(run->dev()), OPS_ENROLL_FAIL);
    EXPECT_EQ(kelvs_store_count(), 1);
}

TEST_F(ChipEndToEnd, FullSensorKeepsWhatItHas)
{
    auto run = start_run(1);
    EXPECT_EQ(enroll(*run, 1000, 1, "thumb"), 0);
    run->mark();
    EXPECT_EQ(enroll(*run, 1000, 2, "ring"), -1);
    EXPECT_STREQ(run->priv()->extra_info, "No more userid to store tempFeature, error code: 50");
    EXPECT_EQ(run->take_errors(), std::vector<std::string>{"No more userid to store tempFeature, error code: 50\n"});
    const std::string journal = run->journal();
    EXPECT_EQ(journal.substr(journal.size() - 9), "Rc2 S0 N9");
    EXPECT_EQ(kelvs_store_count(), 1);
    EXPECT_EQ(kelvs_store_has(1000, 2), 0);

    // Only the stored finger is listed by the host.
    feature_info *list = kelvra_ops_get_feature_list(run->dev(), ACTION_START, 1000, 0, -1);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->index, 1);
    EXPECT_EQ(list->next, nullptr);
    bio_sto_free_feature_info_list(list);

    // Cleaning the finger frees the slot on the sensor as well.
    EXPECT_EQ(kelvra_ops_clean(run->dev(), ACTION_START, 1000, 1, 1), 0);
    EXPECT_EQ(kelvs_store_count(), 0);
    ASSERT_EQ(run->open(), 0);
    EXPECT_EQ(enroll(*run, 1000, 2, "ring"), 0);
    EXPECT_EQ(kelvs_store_has(1000, 2), 1);
}

}  // namespace
