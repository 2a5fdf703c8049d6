// claim_test.cpp - one owner per sensor: opens refused while another handle or program holds it, the
// claim and the socket freed when their owner dies, and an unreadable store kept instead of replaced.
#include "vs_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace {

// Another program that opens the sensor with a profile and holds it until it is killed.
class OtherProgram {
public:
    explicit OtherProgram(const std::string &profile)
    {
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::string program = KELVS_OTHER_PROGRAM;
        std::string text = profile;
        char *argv[] = {program.data(), text.data(), nullptr};
        EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            said_ += c;
        ::close(out[0]);
    }
    ~OtherProgram() { kill(); }
    void kill()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int pid() const { return pid_; }
    const std::string &said() const { return said_; }

private:
    pid_t pid_ = -1;
    std::string said_;
};


}  // namespace

class Claim : public VirtualSensor {
protected:
    void SetUp() override
    {
        VirtualSensor::SetUp();
        state_file = (dir / "store").string();
        socket_path = (dir / "ctl.sock").string();
        profile = "[Sensor]\nWorkMode=chip\nCount=2\nStateFile=" + state_file + "\nControlSocket=" + socket_path + "\n";
        load(profile);
        ASSERT_EQ(KELFPSCAN_GlobalInit(), 0);
    }
    std::string state_file, socket_path, profile;
};

// Example failure: two programs enroll at once and the store keeps only the last writer's templates.
TEST_F(Claim, AnOpenSensorRefusesEveryOtherOpenHereAndElsewhereUntilClosed)
{
    KELFPSCAN_HANDLE first = nullptr, again = nullptr, second = nullptr;
    ASSERT_EQ(KELFPSCAN_OpenDevice(&first, 0), 0);
    EXPECT_EQ(kelvs_open_refused_by(), 0);
    EXPECT_EQ(KELFPSCAN_OpenDevice(&again, 0), KELVS_ERR_BUSY);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(kelvs_open_refused_by(), int(::getpid()));
    EXPECT_EQ(KELFPSCAN_OpenDevice(&second, 1), 0) << "the other sensor is free";
    EXPECT_EQ(kelvs_open_refused_by(), 0);

    OtherProgram refused(profile);
    EXPECT_EQ(refused.said(), "refused " + std::to_string(::getpid()));
    refused.kill();

    EXPECT_EQ(KELFPSCAN_CloseDevice(&first), 0);
    EXPECT_EQ(KELFPSCAN_CloseDevice(&second), 0);
    OtherProgram owner(profile);
    ASSERT_EQ(owner.said(), "opened");
    EXPECT_EQ(KELFPSCAN_OpenDevice(&first, 0), KELVS_ERR_BUSY);
    EXPECT_EQ(kelvs_open_refused_by(), owner.pid());
    EXPECT_EQ(KELFPSCAN_OpenDevice(&second, 1), KELVS_ERR_BUSY) << "the state is claimed, not one sensor";
    // Its socket is its own: nothing here serves or removes it.
    int fd = connect_to(socket_path);
    EXPECT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(kelvs_serve_control(socket_path.c_str()), -1);
    EXPECT_GE(fd = connect_to(socket_path), 0);
    ::close(fd);

    // Killed: the kernel lets the claim go, and the socket it left behind is taken over.
    owner.kill();
    ASSERT_EQ(KELFPSCAN_OpenDevice(&first, 0), 0);
    EXPECT_EQ(kelvs_open_refused_by(), 0);
    const int mine = connect_to(socket_path);
    ASSERT_GE(mine, 0);
    ::close(mine);
}

// Example failure: a refusal in the moment between the holder's lock and its pid names no owner, or
// the pid of a killed earlier holder that the lock file still holds.
TEST_F(Claim, ARefusalNamesTheHoldersPidWrittenJustAfterItsLock)
{
    for (const std::string &before : {std::string(), std::string("999999999\n")}) {
        SCOPED_TRACE("lock file before: '" + before + "'");
        const std::string lock_path = state_file + ".lock";
        const int holder = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(::write(holder, before.data(), before.size()), ssize_t(before.size()));
        ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        // The holder: its pid comes a moment after its lock (here the pid of this process, which lives).
        std::thread writes_its_pid([holder] {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            const std::string pid = std::to_string(::getpid()) + "\n";
            EXPECT_EQ(::ftruncate(holder, 0), 0);
            EXPECT_EQ(::pwrite(holder, pid.data(), pid.size(), 0), ssize_t(pid.size()));
        });
        KELFPSCAN_HANDLE h = nullptr;
        EXPECT_EQ(KELFPSCAN_OpenDevice(&h, 0), KELVS_ERR_BUSY);
        writes_its_pid.join();
        EXPECT_EQ(kelvs_open_refused_by(), int(::getpid()));
        ::close(holder);
    }
}

TEST_F(Claim, AStoreThatCannotBeReadIsKeptAsideOnceAndNeverWrittenOver)
{
    std::ofstream(state_file) << "kelvs-store 1\nnot a template\n";
    testing::internal::CaptureStderr();
    KELFPSCAN_HANDLE h = nullptr;
    ASSERT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
    EXPECT_EQ(kelvs_store_count(), 0);
    ASSERT_EQ(KELFPSCAN_CloseDevice(&h), 0);
    ASSERT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
    const std::string warnings = testing::internal::GetCapturedStderr();

    std::vector<std::filesystem::path> kept;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().rfind("store.unreadable-", 0) == 0)
            kept.push_back(entry.path());
    ASSERT_EQ(kept.size(), 1u);
    std::stringstream text;
    text << std::ifstream(kept[0]).rdbuf();
    EXPECT_EQ(text.str(), "kelvs-store 1\nnot a template\n");
    EXPECT_NE(warnings.find(kept[0].string()), std::string::npos) << warnings;
    EXPECT_EQ(warnings.find("kept as"), warnings.rfind("kept as")) << "warned more than once: " << warnings;
}
