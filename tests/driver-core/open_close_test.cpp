// open_close_test.cpp - discovery, open (work mode, marker, geometry) and close (firmware trigger).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "harness.h"
#include "kelvra_internal.h"

using kelvra_test::Device;
using kelvra_test::FakeTime;
using kelvra_test::commands_run;
using kelvra_test::sdk_calls;

namespace {

const std::string kUpdateScript = "/usr/share/fwupdate/updateFW.sh";

std::vector<std::string> log_texts(const Device &d)
{
    std::vector<std::string> out;
    for (const auto &line : d.logs())
        out.push_back(line.text);
    return out;
}

Device::Options chip_mode()
{
    Device::Options options;
    options.profile = kelvra_test::kChipModeProfile;
    return options;
}

std::string profile_with_firmware(int minor, int version, int mcu, int sensor)
{
    return "[Sensor]\nWorkMode=host\nCount=1\nWidth=160\nHeight=160\nDpi=508\nFwMinorVersion=" +
           std::to_string(minor) + "\nFwVersion=" + std::to_string(version) + "\nMcuType=" + std::to_string(mcu) +
           "\nSensorType=" + std::to_string(sensor) + "\n";
}

}  // namespace

// Discover reports the count, an error code or none, with the arguments of each line in its order.
TEST(Discover, ReportsAnSdkErrorCodeAfterTheName)
{
    Device d;
    d.clear_logs();
    kelvs_script_rc(KELVS_GetDeviceCount, -3);
    EXPECT_EQ(kelvra_ops_discover(d.dev()), -3);
    EXPECT_EQ(log_texts(d), (std::vector<std::string>{"Detecting kelvra-test device ...\n",
                                                      "Detect kelvra-test device error, error code: -3\n"}));
    EXPECT_EQ(d.take_errors(), (std::vector<std::string>{"Detect kelvra-test device error, error code: -3\n"}));
    EXPECT_EQ(d.journal(), "") << "discover sets no status, result or notify id";
}

TEST(Discover, CountsSensorsWithoutSettingUpTheSdk)
{
    Device d;
    d.clear_logs();
    kelvs_script_out(KELVS_GetDeviceCount, 0, 2, 0);
    EXPECT_EQ(kelvra_ops_discover(d.dev()), 2);
    EXPECT_EQ(log_texts(d).back(), "There is 2 kelvra-test fingerprint device detected\n");
    EXPECT_EQ(sdk_calls(), "GetDeviceCount");
    EXPECT_EQ(kelvs_is_initialised(), 0);
}

TEST(Discover, NoSensorIsZero)
{
    Device d;
    d.clear_logs();
    kelvs_script_out(KELVS_GetDeviceCount, 0, 0, 0);
    EXPECT_EQ(kelvra_ops_discover(d.dev()), 0);
    EXPECT_EQ(log_texts(d).back(), "No kelvra-test device detected\n");
}

// Makes sure a successful open leaves the device ready for an operation; an example failure is a
// capture buffer of the wrong size or a run flag that is not armed.
TEST(Open, SucceedsInMatchOnHostMode)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101 S0 R100");
    kelvra_driver_t *priv = d.priv();
    EXPECT_NE(priv->handle, nullptr);
    EXPECT_EQ(priv->imageW, 160);
    EXPECT_EQ(priv->imageH, 160);
    EXPECT_EQ(priv->imageDPI, 508);
    EXPECT_EQ(priv->timeoutMS, 5000);
    EXPECT_EQ(priv->ctrlFlag.load(), CTRL_RUNNING);
    ASSERT_NE(priv->rawImage, nullptr);
    EXPECT_EQ(mocmohFlag_Dev1, 0);
    EXPECT_EQ(sdk_calls(), "GetDeviceCount GlobalInit OpenDevice GetDeviceWorkMode GetImageInfo");
    EXPECT_FALSE(std::filesystem::exists(d.marker_path())) << "the marker belongs to match-on-chip mode";
    EXPECT_TRUE(commands_run().empty());
}

TEST(Open, WithoutSensorRunsTheUpdateScriptOnce)
{
    Device d;
    kelvs_script_out(KELVS_GetDeviceCount, 0, 0, 0);
    EXPECT_EQ(d.open(), -1);
    EXPECT_STREQ(d.priv()->extra_info, "无可用设备");
    EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101 S0 Rc2 N9");
    EXPECT_EQ(d.take_errors(), (std::vector<std::string>{"无可用设备\n"}));
    EXPECT_EQ(commands_run(), (std::vector<std::string>{kUpdateScript}));
    EXPECT_EQ(sdk_calls(), "GetDeviceCount");
}

TEST(Open, RefusedGlobalInitLeavesTheOpenStatus)
{
    Device d;
    kelvs_script_rc(KELVS_GlobalInit, 1);
    EXPECT_EQ(d.open(), -1);
    EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101");
    EXPECT_EQ(bio_get_dev_status(d.dev()), DEVS_OPEN_DOING);
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_IDLE);
    EXPECT_EQ(kelvs_log_count(KELVS_OpenDevice), 0u);
}

TEST(Open, RefusedOpenDeviceLeavesTheSdkInitialised)
{
    Device d;
    kelvs_script_rc(KELVS_OpenDevice, -7);
    EXPECT_EQ(d.open(), -1);
    EXPECT_STREQ(d.priv()->extra_info, "打开设备失败，错误码：-7");
    EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101 S0 Rc2 N9");
    EXPECT_EQ(d.take_errors(), (std::vector<std::string>{"打开设备失败，错误码：-7\n"}));
    EXPECT_EQ(kelvs_is_initialised(), 1);

    // A second open without a close finds no handle, releases nothing, and the SDK refuses the
    // repeated set-up.
    kelvs_log_clear();
    EXPECT_EQ(d.open(), -1);
    EXPECT_EQ(sdk_calls(), "GetDeviceCount GlobalInit");
}

TEST(Open, SecondOpenReleasesTheEarlierSensorFirst)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    kelvs_log_clear();
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(sdk_calls(),
              "GetDeviceCount CloseDevice GlobalFree GlobalInit OpenDevice GetDeviceWorkMode GetImageInfo");
    EXPECT_EQ(kelvs_open_handles(), 1);
}

// An image size the capture buffer cannot hold safely: the open fails and releases what it took,
// instead of allocating a buffer the SDK would write past.
class UnusableGeometry : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(UnusableGeometry, FailsOpenAndReleasesTheSensor)
{
    Device d;
    const auto [width, height] = GetParam();
    kelvs_answer geometry{};
    geometry.has_out = 1;
    geometry.out[0] = width;
    geometry.out[1] = height;
    geometry.out[2] = 508;
    kelvs_script(KELVS_GetImageInfo, &geometry);

    EXPECT_EQ(d.open(), -1);
    EXPECT_EQ(std::string(d.priv()->extra_info),
              "The sensor reported an unusable image size: " + std::to_string(width) + " x " + std::to_string(height));
    EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101 Rc2 N9 S0");
    EXPECT_EQ(d.take_errors(), std::vector<std::string>{std::string(d.priv()->extra_info) + "\n"});
    EXPECT_EQ(d.priv()->rawImage, nullptr);
    EXPECT_EQ(d.priv()->handle, nullptr);
    EXPECT_NE(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
    EXPECT_EQ(kelvs_open_handles(), 0);
    EXPECT_EQ(kelvs_is_initialised(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, UnusableGeometry,
                         ::testing::Values(std::tuple{0, 160}, std::tuple{160, 0}, std::tuple{-5, 160},
                                           std::tuple{160, -1}, std::tuple{65536, 65536}));

// The operating-system marker: the first match-on-chip open after a fresh installation deletes the
// templates stored under the tag, every later open leaves them alone.
TEST(Marker, FirstChipOpenCreatesItAndDeletesTheTagOnce)
{
    Device d(chip_mode());
    ASSERT_EQ(d.open(), 0);
    EXPECT_NE(mocmohFlag_Dev1, 0);
    EXPECT_TRUE(std::filesystem::exists(d.marker_path()));
    EXPECT_EQ(std::filesystem::file_size(d.marker_path()), 0u);
    ASSERT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 1u);
    const std::string removed = "No marker file " + d.marker_path() +
                                ": the sensor removed the fingerprints stored under the tag \"zuvo\"\n";
    EXPECT_EQ(d.count_line(BIO_LOG_INFO, removed), 1u);
    kelvs_call_record record{};
    for (size_t i = 0; kelvs_log_get(i, &record) == 0; ++i) {
        if (record.call == KELVS_DelOSInfoFpsFroOS) {
            EXPECT_STREQ(record.tag, "zuvo");
        }
    }
    d.close();

    kelvs_log_clear();
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 0u);
    EXPECT_EQ(ReinstallOSCheck(d.dev()), 0);
    EXPECT_EQ(d.count_line(BIO_LOG_INFO, removed), 1u) << "only the open that removed them says so";
}

TEST(Marker, FailedDeletionStillLeavesTheMarker)
{
    Device d(chip_mode());
    kelvs_script_rc(KELVS_DelOSInfoFpsFroOS, -2);
    ASSERT_EQ(d.open(), 0);
    EXPECT_TRUE(std::filesystem::exists(d.marker_path()));
    EXPECT_EQ(d.count_line(BIO_LOG_INFO, "No marker file " + d.marker_path() +
                                             ": the sensor did not remove the fingerprints stored under the tag "
                                             "\"zuvo\" (error code -2)\n"),
              1u);
    kelvs_log_clear();
    d.close();
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 0u) << "no retry";
}

TEST(Marker, UnwritableDirectoryDeletesNothingAndOpenSucceeds)
{
    Device d(chip_mode());
    // root writes through permission bits; a directory that is not there cannot be written by anyone.
    if (geteuid() == 0)
        std::filesystem::remove_all(d.marker_dir());
    else
        ASSERT_EQ(chmod(d.marker_dir().c_str(), 0500), 0);

    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 0u);
    EXPECT_EQ(ReinstallOSCheck(d.dev()), -1);
    EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 0u);
}

TEST(Marker, HostModeNeverLooksForIt)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    EXPECT_FALSE(std::filesystem::exists(d.marker_path()));
    EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 0u);
}

// Close flags a firmware update for exactly one combination: minor version up to 72, version 23,
// sensor type 37 and MCU type 7.
TEST(Close, FlagsTheUpdateAndRunsTheScriptAfter300ms)
{
    Device::Options options;
    options.profile = profile_with_firmware(72, 23, 7, 37);
    Device d(options);
    ASSERT_EQ(d.open(), 0);
    kelvs_log_clear();
    const int64_t before = FakeTime::now_us();
    d.close();
    EXPECT_EQ(sdk_calls(), "GetFwMinorVersion GetFwVersion GetMcuType SetTQ300UpdateFlag CloseDevice GlobalFree");
    EXPECT_EQ(commands_run(), (std::vector<std::string>{kUpdateScript}));
    EXPECT_EQ(FakeTime::now_us() - before, 300'000);
    EXPECT_EQ(kelvs_update_flagged(), 1);
    EXPECT_EQ(d.priv()->handle, nullptr);
    EXPECT_EQ(d.priv()->rawImage, nullptr);
    EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101 S0 R100") << "close sets nothing";
}

class FirmwareThatNeedsNoUpdate : public ::testing::TestWithParam<std::tuple<int, int, int, int, std::string>> {};

TEST_P(FirmwareThatNeedsNoUpdate, SkipsTheUpdate)
{
    const auto &[minor, version, mcu, sensor, calls] = GetParam();
    Device::Options options;
    options.profile = profile_with_firmware(minor, version, mcu, sensor);
    Device d(options);
    ASSERT_EQ(d.open(), 0);
    kelvs_log_clear();
    d.close();
    EXPECT_EQ(sdk_calls(), calls + " CloseDevice GlobalFree");
    EXPECT_TRUE(commands_run().empty());
    EXPECT_EQ(kelvs_update_flagged(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, FirmwareThatNeedsNoUpdate,
    ::testing::Values(std::tuple{73, 23, 7, 37, std::string("GetFwMinorVersion")},
                      std::tuple{72, 22, 7, 37, std::string("GetFwMinorVersion GetFwVersion")},
                      std::tuple{72, 23, 7, 38, std::string("GetFwMinorVersion GetFwVersion GetMcuType")},
                      std::tuple{72, 23, 6, 37, std::string("GetFwMinorVersion GetFwVersion GetMcuType")}));

TEST(Close, AFailingQuerySkipsTheLaterOnes)
{
    Device::Options options;
    options.profile = profile_with_firmware(72, 23, 7, 37);
    for (kelvs_call failing : {KELVS_GetFwMinorVersion, KELVS_GetFwVersion, KELVS_GetMcuType}) {
        Device d(options);
        ASSERT_EQ(d.open(), 0);
        kelvs_script_rc(failing, -1);
        kelvs_log_clear();
        d.close();
        const std::string calls = sdk_calls();
        EXPECT_EQ(calls.find("SetTQ300UpdateFlag"), std::string::npos) << calls;
        EXPECT_TRUE(calls.ends_with(std::string(kelvs_call_name(failing)) + " CloseDevice GlobalFree")) << calls;
        EXPECT_TRUE(commands_run().empty());
    }
}

TEST(Close, WithoutSensorStillReleasesTheSdkAndTwiceIsHarmless)
{
    Device d;
    kelvs_script_rc(KELVS_OpenDevice, -7);
    ASSERT_EQ(d.open(), -1);
    EXPECT_EQ(d.take_errors(), (std::vector<std::string>{"打开设备失败，错误码：-7\n"}));
    kelvs_log_clear();
    d.clear_logs();
    d.close();
    EXPECT_EQ(sdk_calls(), "GlobalFree");
    EXPECT_EQ(d.logs().back().text, "释放kelvra-test SDK成功\n");
    d.close();
    EXPECT_EQ(d.logs().back().text, "kelvra-test SDK未初始化，已忽略释放\n");
}

TEST(Close, KeepsTheRunFlagAndTheWorkMode)
{
    Device d(chip_mode());
    ASSERT_EQ(d.open(), 0);
    d.close();
    EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_RUNNING);
    EXPECT_NE(mocmohFlag_Dev1, 0);
}
