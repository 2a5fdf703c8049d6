// claim.cpp - one owner per sensor: the process that opens the sensor holds a lock the kernel drops when
// the process dies, so that two programs never write the on-chip store or serve its socket at once.
#include "vs_internal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

namespace kelvs {
namespace {

// The pid a holder wrote into its lock file; -1 when there is none yet (it is written just after the
// lock is taken) or the file says something else.
int pid_in(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return -1;
    char *end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return pid > 0 && pid <= 0x3fffffff && (*end == '\n' || *end == '\0') ? int(pid) : -1;
}

// The holder's pid: it writes it just after it takes the lock, over the pid of whoever held the lock
// before (a program that was killed leaves its own), so a refusal in that moment waits a little for a
// live one; -1 when none comes (a holder in a folder it may not write).
int live_pid_in(int fd)
{
    constexpr int kTries = 100;
    constexpr useconds_t kPauseUs = 5000;
    for (int i = 0; i < kTries; ++i) {
        const int pid = pid_in(fd);
        if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM))
            return pid;
        ::usleep(kPauseUs);
    }
    return -1;
}

}  // namespace

LockAttempt take_lock(const std::string &path)
{
    LockAttempt attempt;
    bool writable = true;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        // A folder this process may not write: nobody like it can change what lies there, but a
        // lock file someone else made still tells whether that someone is at work.
        writable = false;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0)
        return attempt;  // unavailable
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        attempt.result = errno == EWOULDBLOCK ? LockAttempt::held_elsewhere : LockAttempt::unavailable;
        if (attempt.result == LockAttempt::held_elsewhere)
            attempt.owner = live_pid_in(fd);
        ::close(fd);
        return attempt;
    }
    if (writable) {
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
            // The claim holds all the same; only a refused program cannot name its owner.
        }
    }
    attempt.result = LockAttempt::taken;
    attempt.fd = fd;
    return attempt;
}

void release_lock(int &fd)
{
    // The file stays: removing it could let a newcomer lock a fresh file while a third program still
    // waits on the old one.
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int claim_sensor(State &s, int index)
{
    for (const auto &[handle, device] : s.devices)
        if (device.index == index)
            return int(::getpid());
    if (!s.devices.empty() || s.profile.state_file.empty())
        return 0;  // this process holds the claim already, or keeps no state another could share
    LockAttempt attempt = take_lock(s.profile.state_file + ".lock");
    switch (attempt.result) {
    case LockAttempt::taken:
        s.claim_fd = attempt.fd;
        return 0;
    case LockAttempt::held_elsewhere:
        return attempt.owner;
    case LockAttempt::unavailable:
        break;
    }
    return 0;
}

void release_claim_if_unused(State &s)
{
    if (s.devices.empty())
        release_lock(s.claim_fd);
}

}  // namespace kelvs

KELVS_EXPORT int kelvs_open_refused_by(void)
{
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    return s.open_refused_by;
}
