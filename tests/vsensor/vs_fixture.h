// vs_fixture.h - a fresh virtual sensor per test, paced by a clock the test moves.
#ifndef VS_FIXTURE_H
#define VS_FIXTURE_H

#include "kelfpscan.h"
#include "kelvs_control.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

// Time stands still until a test (or a sensor's pause) moves it on.
struct ManualClock {
    std::atomic<int64_t> now{1'000'000'000};
    std::atomic<int64_t> slept{0};
    static int64_t read(void *self) { return static_cast<ManualClock *>(self)->now.load(); }
    static void sleep(void *self, int64_t us)
    {
        auto *c = static_cast<ManualClock *>(self);
        c->now += us;
        c->slept += us;
    }
    void advance_ms(int64_t ms) { now += ms * 1000; }
};

// A client of a control socket: its fd, or -1 when nothing listens at path.
inline int connect_to(const std::string &path)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class VirtualSensor : public ::testing::Test {
protected:
    void SetUp() override
    {
        kelvs_reset();
        kelvs_clock c{&ManualClock::read, &ManualClock::sleep, &clock};
        kelvs_set_clock(&c);
        // A parameterised test is named "Name/3": one folder per test, not a folder per name holding one
        // per parameter, so that TearDown removes all it made.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        dir = std::filesystem::temp_directory_path() / ("kelvs-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override
    {
        kelvs_reset();
        kelvs_set_clock(nullptr);
        std::filesystem::remove_all(dir);
    }

    void load(const std::string &text)
    {
        char error[256] = "";
        ASSERT_EQ(kelvs_load_profile_data(text.c_str(), error, sizeof error), 0) << error;
    }

    // Sets the library up and opens the first sensor.
    KELFPSCAN_HANDLE open()
    {
        EXPECT_EQ(KELFPSCAN_GlobalInit(), 0);
        KELFPSCAN_HANDLE h = nullptr;
        EXPECT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
        EXPECT_NE(h, nullptr);
        return h;
    }

    std::vector<unsigned char> capture(KELFPSCAN_HANDLE h, int w, int ht)
    {
        std::vector<unsigned char> img(size_t(w) * ht, 0);
        EXPECT_EQ(KELFPSCAN_CaptureRawData(h, 0, img.data()), 0);
        return img;
    }

    ManualClock clock;
    std::filesystem::path dir;
};

#endif
