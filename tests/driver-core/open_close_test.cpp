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

// Makes sure an open that fails at the SDK's set-up or at the sensor tells the host and leaves nothing that
// keeps the next open from working. An example failure: the status left at 101 ("opening") for ever, or
// every later open refused by an SDK that was set up and never released.
TEST(Open, FailedSetUpOrSensorOpenIsReportedAndTheNextOpenWorks)
{
    struct Case {
        kelvs_call fails;
        int code;
        std::string text;
        std::string calls;
    };
    const Case cases[] = {
        {KELVS_GlobalInit, 1, "Unable to set up the sensor SDK, error code: 1", "GetDeviceCount GlobalInit"},
        {KELVS_OpenDevice, -7, "打开设备失败，错误码：-7", "GetDeviceCount GlobalInit OpenDevice GlobalFree"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Device d;
        kelvs_script_rc(c.fails, c.code);
        EXPECT_EQ(d.open(), -1);
        EXPECT_EQ(std::string(d.priv()->extra_info), c.text);
        EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101 S0 Rc2 N9");
        EXPECT_EQ(d.take_errors(), (std::vector<std::string>{c.text + "\n"}));
        EXPECT_EQ(sdk_calls(), c.calls);
        EXPECT_EQ(kelvs_is_initialised(), 0);
        EXPECT_EQ(d.priv()->handle, nullptr);
        EXPECT_EQ(d.priv()->ctrlFlag.load(), CTRL_IDLE);

        kelvs_log_clear();
        d.mark();
        EXPECT_EQ(d.open(), 0);
        EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101 S0 R100");
        EXPECT_EQ(sdk_calls(), "GetDeviceCount GlobalInit OpenDevice GetDeviceWorkMode GetImageInfo");
    }
    // The set-up's refusal keeps its debug line.
    Device d;
    kelvs_script_rc(KELVS_GlobalInit, 1);
    d.clear_logs();
    EXPECT_EQ(d.open(), -1);
    EXPECT_EQ(d.count_line(BIO_LOG_DEBUG, "kelvra-test SDK已初始化，已忽略初始化\n"), 1u);
    d.take_errors();
}

// Makes sure a host that was told "no device" is not left with the earlier sensor open behind it. An
// example failure: the sensor of an open without close kept after the failed open, and the next enrollment
// run and stored on it.
TEST(Open, WithoutSensorAfterAnOpenLetsTheEarlierSensorGo)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    kelvs_log_clear();
    d.mark();
    kelvs_script_out(KELVS_GetDeviceCount, 0, 0, 0);
    EXPECT_EQ(d.open(), -1);
    EXPECT_EQ(d.journal(), "S0 Rc0 Nc0 S101 S0 Rc2 N9");
    EXPECT_EQ(d.take_errors(), (std::vector<std::string>{"无可用设备\n"}));
    EXPECT_EQ(sdk_calls(), "GetDeviceCount CloseDevice GlobalFree");
    EXPECT_EQ(kelvs_open_handles(), 0);
    EXPECT_EQ(kelvs_is_initialised(), 0);
    EXPECT_EQ(d.priv()->handle, nullptr);
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

// Makes sure the templates of an earlier installation do not stay on the sensor for good when their deletion
// fails once. An example failure: the marker written before the deletion and kept after it failed.
TEST(Marker, FailedDeletionIsTriedAgainAtTheNextOpen)
{
    Device d(chip_mode());
    kelvs_script_rc(KELVS_DelOSInfoFpsFroOS, -2);
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 1u);
    EXPECT_FALSE(std::filesystem::exists(d.marker_path()));
    EXPECT_EQ(d.count_line(BIO_LOG_INFO, "No marker file " + d.marker_path() +
                                             ": the sensor did not remove the fingerprints stored under the tag "
                                             "\"zuvo\" (error code -2); the next open tries again\n"),
              1u);
    d.close();

    kelvs_log_clear();
    ASSERT_EQ(d.open(), 0);
    EXPECT_EQ(kelvs_log_count(KELVS_DelOSInfoFpsFroOS), 1u) << "tried again";
    EXPECT_TRUE(std::filesystem::exists(d.marker_path()));

    // The check answers what the sensor answered.
    std::filesystem::remove(d.marker_path());
    kelvs_script_rc(KELVS_DelOSInfoFpsFroOS, -2);
    EXPECT_EQ(ReinstallOSCheck(d.dev()), -2);
    EXPECT_FALSE(std::filesystem::exists(d.marker_path()));
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
    // The failed open released the SDK already.
    EXPECT_EQ(sdk_calls(), "GlobalFree");
    EXPECT_EQ(d.logs().back().text, "kelvra-test SDK未初始化，已忽略释放\n");
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

// Makes sure no operation calls the SDK while the driver has no sensor open: after a close, after a failed
// open (also one that found no sensor after an open without close), before any open. An example failure: an operation run after close polling the SDK with a released
// handle until its time-out.
TEST(NotOpen, OperationsThatNeedTheSensorEndAtOnceWithoutAnSdkCall)
{
    enum class Op { Enroll, Verify, Identify, Search, Clean };
    enum class State { Closed, FailedOpen, NoSensorAfterOpen, NeverOpened };
    const std::string text = "The fingerprint sensor is not open";
    for (bool chip : {false, true}) {
        for (State state : {State::Closed, State::FailedOpen, State::NoSensorAfterOpen, State::NeverOpened}) {
            for (Op op : {Op::Enroll, Op::Verify, Op::Identify, Op::Search, Op::Clean}) {
                if (op == Op::Clean && !chip)
                    continue;
                SCOPED_TRACE(testing::Message() << (chip ? "chip" : "host") << " state " << int(state) << " op "
                                                << int(op));
                Device d(chip ? chip_mode() : Device::Options{});
                if (state == State::Closed) {
                    ASSERT_EQ(d.open(), 0);
                    d.close();
                } else if (state == State::FailedOpen) {
                    kelvs_script_rc(KELVS_OpenDevice, -7);
                    ASSERT_EQ(d.open(), -1);
                    d.take_errors();
                } else if (state == State::NoSensorAfterOpen) {
                    ASSERT_EQ(d.open(), 0);
                    kelvs_script_out(KELVS_GetDeviceCount, 0, 0, 0);
                    ASSERT_EQ(d.open(), -1);
                    d.take_errors();
                }
                mocmohFlag_Dev1 = chip ? 1 : 0;
                kelvs_log_clear();
                d.mark();
                char name[] = "x";
                int ret = 0;
                switch (op) {
                case Op::Enroll: ret = kelvra_ops_enroll(d.dev(), ACTION_START, 1, 0, name); break;
                case Op::Verify: ret = kelvra_ops_verify(d.dev(), ACTION_START, 1, 0); break;
                case Op::Identify: ret = kelvra_ops_identify(d.dev(), ACTION_START, 1, 0, -1); break;
                case Op::Search:
                    ret = kelvra_ops_search(d.dev(), ACTION_START, 1, 0, -1) == nullptr ? -1 : 0;
                    break;
                case Op::Clean: ret = kelvra_ops_clean(d.dev(), ACTION_START, 1, 0, -1); break;
                }
                EXPECT_EQ(ret, -1);
                EXPECT_EQ(d.journal(), "S0 Rc2 N9");
                EXPECT_EQ(std::string(d.priv()->extra_info), text);
                EXPECT_EQ(d.take_errors(), std::vector<std::string>{text + "\n"});
                EXPECT_EQ(sdk_calls(), "");
            }
        }
    }
}

// What needs only the database works without a sensor.
TEST(NotOpen, FeatureListAndHostSideCleanStillWork)
{
    Device d;
    ASSERT_EQ(d.open(), 0);
    d.close();
    mocmohFlag_Dev1 = 0;
    kelvs_log_clear();
    d.mark();
    EXPECT_EQ(kelvra_ops_get_feature_list(d.dev(), ACTION_START, 1, 0, -1), nullptr);
    EXPECT_EQ(kelvra_ops_clean(d.dev(), ACTION_START, 1, 0, -1), 0);
    EXPECT_EQ(d.journal(), "S801 S0 R800 N800 S701 R700 N700 S0");
    EXPECT_EQ(sdk_calls(), "");
}
