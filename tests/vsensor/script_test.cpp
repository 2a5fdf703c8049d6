// script_test.cpp - scripted answers, the call log and the hand-control commands and socket.
#include "vs_fixture.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <sys/socket.h>
#include <sys/un.h>

TEST_F(VirtualSensor, QueuedAnswersComeFirstThenTheStandingOneThenTheSensorItself)
{
    auto h = open();
    kelvs_script_out(KELVS_GetFwMinorVersion, 0, 11, 0);
    kelvs_script_rc(KELVS_GetFwMinorVersion, -70);
    kelvs_answer always{};
    always.rc = 0;
    always.has_out = 1;
    always.out[0] = 33;
    kelvs_script_always(KELVS_GetFwMinorVersion, &always);
    EXPECT_EQ(kelvs_scripts_pending(KELVS_GetFwMinorVersion), 2u);

    int minor = -1;
    EXPECT_EQ(KELFPSCAN_GetFwMinorVersion(h, &minor), 0);
    EXPECT_EQ(minor, 11);
    minor = -1;
    EXPECT_EQ(KELFPSCAN_GetFwMinorVersion(h, &minor), -70);
    EXPECT_EQ(minor, -1) << "an answer without outputs leaves them alone";
    EXPECT_EQ(KELFPSCAN_GetFwMinorVersion(h, &minor), 0);
    EXPECT_EQ(minor, 33);
    EXPECT_EQ(KELFPSCAN_GetFwMinorVersion(h, &minor), 0);
    EXPECT_EQ(minor, 33);
    EXPECT_EQ(kelvs_scripts_pending(KELVS_GetFwMinorVersion), 0u);
    kelvs_script_always(KELVS_GetFwMinorVersion, nullptr);
    EXPECT_EQ(KELFPSCAN_GetFwMinorVersion(h, &minor), 0);
    EXPECT_EQ(minor, 80);

    // Scripts of one call leave the others alone, and clearing drops them all.
    kelvs_script_out(KELVS_GetMcuType, 0, 1, 2);
    kelvs_script_rc(KELVS_VerifyExt, 5);
    int mcu = 0, sensor = 0;
    EXPECT_EQ(KELFPSCAN_GetMcuType(h, &mcu, &sensor), 0);
    EXPECT_EQ(mcu, 1);
    EXPECT_EQ(sensor, 2);
    kelvs_clear_scripts();
    EXPECT_EQ(kelvs_scripts_pending(KELVS_VerifyExt), 0u);
}

TEST_F(VirtualSensor, ScriptedOutputsOfEachKind)
{
    auto h = open();
    int count = 0;
    kelvs_script_out(KELVS_GetDeviceCount, 0, 2, 0);
    EXPECT_EQ(KELFPSCAN_GetDeviceCount(&count), 0);
    EXPECT_EQ(count, 2);
    kelvs_script_rc(KELVS_GetDeviceCount, -8);
    EXPECT_EQ(KELFPSCAN_GetDeviceCount(&count), -8);

    kelvs_answer info{};
    info.has_out = 1;
    info.out[0] = 10;
    info.out[1] = 20;
    info.out[2] = 30;
    kelvs_script(KELVS_GetImageInfo, &info);
    int w, ht, dpi;
    EXPECT_EQ(KELFPSCAN_GetImageInfo(h, &w, &ht, &dpi), 0);
    EXPECT_EQ(w * 10000 + ht * 100 + dpi, 102030);

    // A short image is padded with light pixels; an image-less answer paints every pixel out[0].
    const unsigned char dark[3] = {1, 2, 3};
    kelvs_answer frame{};
    frame.image = dark;
    frame.image_size = sizeof dark;
    kelvs_script(KELVS_CaptureRawData, &frame);
    kelvs_script_out(KELVS_CaptureRawData, 0, 7, 0);
    std::vector<unsigned char> img(160 * 160, 0);
    ASSERT_EQ(KELFPSCAN_CaptureRawData(h, 0, img.data()), 0);
    EXPECT_EQ(img[0], 1);
    EXPECT_EQ(img[2], 3);
    EXPECT_EQ(img[3], 255);
    EXPECT_EQ(img.back(), 255);
    ASSERT_EQ(KELFPSCAN_CaptureRawData(h, 0, img.data()), 0);
    EXPECT_EQ(img[0], 7);
    EXPECT_EQ(img.back(), 7);

    kelvs_script_out(KELVS_ExtractFeature, 0, 0xAB, 0);
    std::vector<unsigned char> feature(KELFPSCAN_FEATURE_SIZE, 0);
    EXPECT_EQ(KELFPSCAN_ExtractFeature(h, 0, feature.data()), 0);
    EXPECT_EQ(feature.front(), 0xAB);
    EXPECT_EQ(feature.back(), 0xAB);

    kelvs_script_out(KELVS_VerifyExt, 0, 77, 0);
    int sim = 0, match = 1;
    EXPECT_EQ(KELFPSCAN_VerifyExt(h, 5, feature.data(), 1, feature.data(), &sim, &match), 0);
    EXPECT_EQ(sim, 77);
    EXPECT_EQ(match, 0);

    kelvs_script_out(KELVS_ImgQuality, 0, 64, 0);
    int q = 0;
    EXPECT_EQ(KELFPSCAN_ImgQuality(160, 160, img.data(), &q), 0);
    EXPECT_EQ(q, 64);
}

TEST_F(VirtualSensor, ScriptedLifecycleFailuresReplaceTheCall)
{
    kelvs_script_rc(KELVS_GlobalInit, 3);
    EXPECT_EQ(KELFPSCAN_GlobalInit(), 3);
    EXPECT_EQ(kelvs_is_initialised(), 0);
    EXPECT_EQ(KELFPSCAN_GlobalInit(), 0);
    kelvs_script_rc(KELVS_OpenDevice, -12);
    KELFPSCAN_HANDLE h = nullptr;
    EXPECT_EQ(KELFPSCAN_OpenDevice(&h, 0), -12);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(kelvs_open_handles(), 0);
    kelvs_script_rc(KELVS_OpenDevice, 0);
    EXPECT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
    EXPECT_NE(h, nullptr) << "a scripted success still opens";
    kelvs_script_rc(KELVS_CloseDevice, -1);
    EXPECT_EQ(KELFPSCAN_CloseDevice(&h), -1);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(KELFPSCAN_CloseDevice(&h), 0);
    kelvs_script_rc(KELVS_GlobalFree, 1);
    EXPECT_EQ(KELFPSCAN_GlobalFree(), 1);
    EXPECT_EQ(kelvs_is_initialised(), 1);
}

TEST_F(VirtualSensor, CallLogRecordsEveryCallWithItsArguments)
{
    load("[Sensor]\nWorkMode=chip\n");
    auto h = open();
    kelvs_log_clear();
    std::vector<unsigned char> img(96 * 96);
    EXPECT_EQ(KELFPSCAN_CaptureRawData(h, 0, img.data()), 0);
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 3), KELFPSCAN_ENROLL_NOT_FINISHED);
    unsigned char user[100] = {0xE8, 0x03, 0x00, 0x00};
    unsigned char finger[100] = {2};
    finger[55] = 4;
    std::memcpy(finger + 56, "zuvo", 4);
    finger[70] = 0x5A;  // beyond the 64 bytes the sensor reads
    EXPECT_EQ(KELFPSCAN_DelUserFpsFroOS(h, user, finger), 0);
    EXPECT_EQ(KELFPSCAN_DelOSInfoFpsFroOS(h, "zuvo"), 0);
    EXPECT_EQ(KELFPSCAN_ResetIdentifyCntForOS(h, 4), 0);
    kelvs_script_rc(KELVS_VerifyExt, -33);
    int sim, match;
    EXPECT_EQ(KELFPSCAN_VerifyExt(h, 5, img.data(), 6, img.data(), &sim, &match), -33);

    ASSERT_EQ(kelvs_log_size(), 6u);
    kelvs_call_record r{};
    ASSERT_EQ(kelvs_log_get(0, &r), 0);
    EXPECT_EQ(r.call, KELVS_CaptureRawData);
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(kelvs_log_get(1, &r), 0);
    EXPECT_EQ(r.call, KELVS_EnrollForOS);
    EXPECT_EQ(r.arg[0], 3);
    EXPECT_EQ(r.rc, KELFPSCAN_ENROLL_NOT_FINISHED);
    ASSERT_EQ(kelvs_log_get(2, &r), 0);
    EXPECT_EQ(r.call, KELVS_DelUserFpsFroOS);
    EXPECT_EQ(r.has_record, 2);
    EXPECT_EQ(0, std::memcmp(r.user_record, user, 64));
    EXPECT_EQ(0, std::memcmp(r.finger_record, finger, 64));
    ASSERT_EQ(kelvs_log_get(3, &r), 0);
    EXPECT_STREQ(r.tag, "zuvo");
    ASSERT_EQ(kelvs_log_get(4, &r), 0);
    EXPECT_EQ(r.arg[0], 4);
    ASSERT_EQ(kelvs_log_get(5, &r), 0);
    EXPECT_EQ(r.call, KELVS_VerifyExt);
    EXPECT_EQ(r.arg[0], 5);
    EXPECT_EQ(r.arg[1], 6);
    EXPECT_EQ(r.rc, -33);
    EXPECT_EQ(kelvs_log_get(6, &r), -1);
    EXPECT_EQ(kelvs_log_count(KELVS_CaptureRawData), 1u);
    EXPECT_EQ(kelvs_log_count(KELVS_StoreTemplateForOS), 0u);
    EXPECT_STREQ(kelvs_call_name(KELVS_DelOSInfoFpsFroOS), "DelOSInfoFpsFroOS");
    EXPECT_STREQ(kelvs_call_name(KELVS_GetDeviceCount), "GetDeviceCount");
    kelvs_log_clear();
    EXPECT_EQ(kelvs_log_size(), 0u);
}

TEST_F(VirtualSensor, CommandsPlayTheFinger)
{
    char answer[128];
    EXPECT_EQ(kelvs_command("state", answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "finger none");
    EXPECT_EQ(kelvs_command("press alice\n", answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "ok");
    EXPECT_EQ(kelvs_command("state", answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "finger alice full");
    EXPECT_EQ(kelvs_command("smear bob", answer, sizeof answer), 0);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_SMEARED);
    EXPECT_EQ(kelvs_command("partial bob", answer, sizeof answer), 0);
    EXPECT_EQ(kelvs_command("state", answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "finger bob partial");
    EXPECT_EQ(kelvs_command("lift", answer, sizeof answer), 0);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_NONE);
    EXPECT_EQ(kelvs_command("unplug", answer, sizeof answer), 0);
    EXPECT_EQ(kelvs_command("state", answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "finger none unplugged");
    EXPECT_EQ(kelvs_command("replug", answer, sizeof answer), 0);
    EXPECT_EQ(kelvs_command("auto carol", answer, sizeof answer), 0);
    clock.advance_ms(1000);  // past the 400 ms start and the 150 ms landing
    EXPECT_EQ(kelvs_command("state", answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "finger carol full");

    EXPECT_EQ(kelvs_command("press", answer, sizeof answer), -1);
    EXPECT_EQ(std::string(answer).rfind("error: ", 0), 0u) << answer;
    EXPECT_EQ(kelvs_command("lift now", answer, sizeof answer), -1);
    EXPECT_EQ(kelvs_command("jump", answer, sizeof answer), -1);
    EXPECT_NE(std::string(answer).find("jump"), std::string::npos);
    EXPECT_EQ(kelvs_command("", answer, sizeof answer), -1);
}

namespace {

std::string ask(int fd, const std::string &line)
{
    std::string out = line + "\n";
    EXPECT_EQ(::send(fd, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
    std::string reply;
    char c;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n')
        reply += c;
    return reply;
}


}  // namespace

TEST_F(VirtualSensor, ControlSocketServesCommandsWhileASensorIsOpen)
{
    std::string path = (dir / "ctl.sock").string();
    load("[Sensor]\nControlSocket=" + path + "\n");
    ASSERT_EQ(KELFPSCAN_GlobalInit(), 0);
    EXPECT_EQ(connect_to(path), -1) << "nothing listens before the sensor is opened";
    KELFPSCAN_HANDLE h = nullptr;
    ASSERT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
    int fd = connect_to(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ask(fd, "press dave"), "ok");
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_FULL);
    EXPECT_EQ(ask(fd, "state"), "finger dave full");
    EXPECT_EQ(ask(fd, "fly").rfind(std::string(KELVS_ANSWER_REFUSED) + "unknown command \"fly\"", 0), 0u);
    ::close(fd);
    EXPECT_EQ(KELFPSCAN_CloseDevice(&h), 0);
    EXPECT_EQ(connect_to(path), -1) << "closing the sensor stops the profile's socket";
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(KELFPSCAN_GlobalFree(), 0);

    // A socket a host asks for itself stays up across set-up, open, close and release.
    ASSERT_EQ(kelvs_serve_control(path.c_str()), 0);
    h = open();
    ASSERT_EQ(KELFPSCAN_CloseDevice(&h), 0);
    ASSERT_EQ(KELFPSCAN_GlobalFree(), 0);
    fd = connect_to(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ask(fd, "lift"), "ok");
    ::close(fd);
    EXPECT_EQ(kelvs_serve_control(nullptr), 0);
    EXPECT_EQ(connect_to(path), -1);
}

TEST_F(VirtualSensor, HandControlFromAnotherThreadWhileTheDriverCaptures)
{
    load("[Sensor]\nWorkMode=chip\nCaptureMs=1\n");
    auto h = open();
    std::atomic<bool> done{false};
    std::thread hand([&] {
        char answer[64];
        for (int i = 0; !done; ++i) {
            kelvs_command(i % 3 == 0 ? "press alice" : i % 3 == 1 ? "smear alice" : "lift", answer, sizeof answer);
            kelvs_log_size();
        }
    });
    std::vector<unsigned char> img(96 * 96);
    int captured = 0;
    for (int i = 0; i < 300; ++i) {
        captured += KELFPSCAN_CaptureRawData(h, 0, img.data()) == 0;
        KELFPSCAN_EnrollForOS(h, 1);
    }
    done = true;
    hand.join();
    EXPECT_EQ(captured, 300);
    EXPECT_EQ(kelvs_log_count(KELVS_CaptureRawData), 300u);
}
