// device_test.cpp - profiles, library set-up, handles and the facts the sensor reports.
#include "vs_fixture.h"

#include <fstream>

TEST_F(VirtualSensor, ProfileSetsWhatTheSensorReports)
{
    load("[Sensor]\nWorkMode=host\nCount=2\nWidth=200\nHeight=180\nDpi=500\n"
         "FwMinorVersion=72\nFwVersion=23\nMcuType=6\nSensorType=38\n");
    int count = -1;
    ASSERT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
    EXPECT_EQ(count, 2);
    auto h = open();
    unsigned char mode = 9;
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(h, &mode), 0);
    EXPECT_EQ(mode, 0);
    int w = 0, ht = 0, dpi = 0;
    EXPECT_EQ(KELFPSCAN_GetImageInfo(h, &w, &ht, &dpi), 0);
    EXPECT_EQ(w, 200);
    EXPECT_EQ(ht, 180);
    EXPECT_EQ(dpi, 500);
    int minor = 0, mcu = 0, sensor = 0;
    unsigned char version = 0;
    EXPECT_EQ(KELFPSCAN_GetFwMinorVersion(h, &minor), 0);
    EXPECT_EQ(KELFPSCAN_GetFwVersion(h, &version), 0);
    EXPECT_EQ(KELFPSCAN_GetMcuType(h, &mcu, &sensor), 0);
    EXPECT_EQ(minor, 72);
    EXPECT_EQ(version, 23);
    EXPECT_EQ(mcu, 6);
    EXPECT_EQ(sensor, 38);
    EXPECT_EQ(kelvs_update_flagged(), 0);
    EXPECT_EQ(KELFPSCAN_SetTQ300UpdateFlag(h), 0);
    EXPECT_EQ(kelvs_update_flagged(), 1);
    // A second sensor can be opened too; a third does not exist.
    KELFPSCAN_HANDLE second = nullptr, third = nullptr;
    EXPECT_EQ(KELFPSCAN_OpenDevice(&second, 1), 0);
    EXPECT_EQ(KELFPSCAN_OpenDevice(&third, 2), KELVS_ERR_NO_DEVICE);
    EXPECT_EQ(third, nullptr);
    EXPECT_EQ(kelvs_open_handles(), 2);
}

TEST_F(VirtualSensor, ChipModeReportsSmallFramesAndDefaultsAreSane)
{
    load("[Sensor]\nWorkMode=chip\nWidth=200\n");
    auto h = open();
    unsigned char mode = 0;
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(h, &mode), 0);
    EXPECT_NE(mode, 0);
    int w = 0, ht = 0, dpi = 0;
    EXPECT_EQ(KELFPSCAN_GetImageInfo(h, &w, &ht, &dpi), 0);
    EXPECT_EQ(w, 96);
    EXPECT_EQ(ht, 96);
    EXPECT_EQ(dpi, 508);
    // An open sensor keeps what it reported: the driver's 96 x 96 buffer stays the right size.
    load("[Sensor]\nWorkMode=host\nWidth=300\nHeight=300\n");
    EXPECT_EQ(KELFPSCAN_GetImageInfo(h, &w, &ht, &dpi), 0);
    EXPECT_EQ(w, 96);
    EXPECT_EQ(ht, 96);
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(h, &mode), 0);
    EXPECT_NE(mode, 0);
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    std::vector<unsigned char> frame(96 * 96 + 16, 0xEE);
    EXPECT_EQ(KELFPSCAN_CaptureRawData(h, 0, frame.data()), 0);
    EXPECT_EQ(frame[96 * 96], 0xEE);
    EXPECT_LT(frame[96 * 48 + 48], 220);

    // Reset brings back the default: one match-on-host sensor of 160 x 160 that nobody set up.
    kelvs_reset();
    EXPECT_EQ(kelvs_is_initialised(), 0);
    auto h2 = open();
    EXPECT_EQ(KELFPSCAN_GetImageInfo(h2, &w, &ht, &dpi), 0);
    EXPECT_EQ(w, 160);
    EXPECT_EQ(ht, 160);
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(h2, &mode), 0);
    EXPECT_EQ(mode, 0);
}

TEST_F(VirtualSensor, BadProfilesAreRefusedAndLeaveThePreviousOne)
{
    load("[Sensor]\nWorkMode=chip\nCount=3\n");
    struct Case {
        const char *text;
        const char *mentions;
    } cases[] = {
        {"[Sensor]\nWorkMode=both\n", "WorkMode"},
        {"[Sensor]\nCount=-1\n", "Count"},
        {"[Sensor]\nWidth=abc\n", "Width"},
        {"[Sensor]\nHeight=12\n", "Height"},
        {"[Sensor]\nCaptureMs=30ms\n", "CaptureMs"},
        {"[Sensor]\nCapacty=50\n", "Capacty"},
        {"[Finger]\nLandMs=0\nPressMs=0\nLeaveMs=0\nAwayMs=0\n", "timeline"},
        {"[Finger]\nPressMs=\n", "PressMs"},
        {"this is not a key file", "key file"},
    };
    for (const auto &c : cases) {
        char error[256] = "";
        EXPECT_EQ(kelvs_load_profile_data(c.text, error, sizeof error), -1) << c.text;
        EXPECT_NE(std::string(error).find(c.mentions), std::string::npos) << c.text << " gave: " << error;
    }
    int count = 0;
    ASSERT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
    EXPECT_EQ(count, 3);

    char error[256] = "";
    EXPECT_EQ(kelvs_load_profile_file((dir / "missing.ini").c_str(), error, sizeof error), -1);
    EXPECT_NE(std::string(error).find("missing.ini"), std::string::npos) << error;

    // Groups other than the sensor's own belong to someone else and are left alone.
    std::ofstream(dir / "p.ini") << "[Host]\nWhatever=1\n[Sensor]\nCount=0\n";
    EXPECT_EQ(kelvs_load_profile_file((dir / "p.ini").c_str(), error, sizeof error), 0) << error;
    ASSERT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
    EXPECT_EQ(count, 0);
}

TEST_F(VirtualSensor, GlobalInitAndFreeAnswerNonZeroWhenRepeated)
{
    int count = -1;
    // Counting needs no set-up.
    EXPECT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_NE(KELFPSCAN_GlobalFree(), 0);
    KELFPSCAN_HANDLE h = nullptr;
    EXPECT_EQ(KELFPSCAN_OpenDevice(&h, 0), KELVS_ERR_NOT_INITIALISED);
    EXPECT_EQ(KELFPSCAN_GlobalInit(), 0);
    EXPECT_EQ(kelvs_is_initialised(), 1);
    EXPECT_NE(KELFPSCAN_GlobalInit(), 0);
    EXPECT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
    EXPECT_EQ(KELFPSCAN_GlobalFree(), 0);
    EXPECT_EQ(kelvs_is_initialised(), 0);
    EXPECT_NE(KELFPSCAN_GlobalFree(), 0);
    // Releasing the library released the sensor with it.
    EXPECT_EQ(kelvs_open_handles(), 0);
    unsigned char mode = 0;
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(h, &mode), KELVS_ERR_HANDLE);
}

TEST_F(VirtualSensor, NullClosedAndUnpluggedHandlesFail)
{
    auto h = open();
    unsigned char mode = 0;
    int w, ht, dpi;
    EXPECT_LT(KELFPSCAN_GetDeviceWorkMode(nullptr, &mode), 0);
    EXPECT_LT(KELFPSCAN_GetImageInfo(nullptr, &w, &ht, &dpi), 0);
    EXPECT_LT(KELFPSCAN_CaptureRawData(nullptr, 0, std::vector<unsigned char>(160 * 160).data()), 0);
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(h, nullptr), KELVS_ERR_ARGUMENT);
    KELFPSCAN_HANDLE copy = h;
    EXPECT_EQ(KELFPSCAN_CloseDevice(&h), 0);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(copy, &mode), KELVS_ERR_HANDLE);
    EXPECT_EQ(KELFPSCAN_CloseDevice(&copy), KELVS_ERR_HANDLE);
    EXPECT_EQ(KELFPSCAN_CloseDevice(&h), KELVS_ERR_HANDLE);

    // Unplugged: the open handle fails, nothing is counted or opened until the sensor comes back,
    // and the dead handle can still be given back.
    ASSERT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
    kelvs_unplug();
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(h, &mode), KELVS_ERR_GONE);
    EXPECT_EQ(KELFPSCAN_CaptureRawData(h, 0, std::vector<unsigned char>(160 * 160).data()), KELVS_ERR_GONE);
    int count = -1;
    EXPECT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
    EXPECT_EQ(count, 0);
    KELFPSCAN_HANDLE other = nullptr;
    EXPECT_EQ(KELFPSCAN_OpenDevice(&other, 0), KELVS_ERR_NO_DEVICE);
    kelvs_replug();
    EXPECT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(h, &mode), KELVS_ERR_GONE);
    EXPECT_EQ(KELFPSCAN_CloseDevice(&h), 0);
    EXPECT_EQ(KELFPSCAN_OpenDevice(&other, 0), 0);
    EXPECT_EQ(KELFPSCAN_GetDeviceWorkMode(other, &mode), 0);
}

TEST_F(VirtualSensor, CaptureTakesTheProfilesCaptureTimeOnTheInstalledClock)
{
    load("[Sensor]\nCaptureMs=45\n");
    auto h = open();
    int64_t before = clock.now;
    capture(h, 160, 160);
    capture(h, 160, 160);
    EXPECT_EQ(clock.now - before, 90'000);
}
