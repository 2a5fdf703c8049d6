// identify_memory_peak.cpp - the memory one identify over N stored templates takes at its peak.
//
//   identify_memory_peak [N...]      (default: 100 1000)
//
// For each N, a child process makes a feature database of N random templates of one user (see
// bench_support.h), and a second child, started afresh from this small process, runs one
// kelvra_ops_identify on the virtual sensor in match-on-host mode with a finger that matches none of
// them, so that the walk visits all N. That child reports:
//   resident peak    VmHWM of /proc/self/status, reset just before the identify: every resident page,
//                    the database file's mapped pages included
//   anonymous peak   the largest RssAnon seen at each comparison of the walk (the list of stored
//                    templates is complete then) and every millisecond by a sampling thread
//   file at the peak RssFile when the anonymous peak was seen: mostly the mapped database file
// The anonymous figures are what the host library and the driver allocate; the target for them is
// N x 165 KiB (a 163840-character text each) + 16 MiB.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "bio_host_program.h"
#include "kelvra_internal.h"
#include "kelvs_control.h"

namespace {

constexpr double kKiB = 1024.0;
constexpr double kMiB = 1024.0 * 1024.0;

// A field of /proc/self/status in bytes ("VmHWM:    1234 kB"); -1 when it is missing.
long long status_bytes(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::atoll(line.c_str() + length + 1) * 1024;
    return -1;
}

// Sampled by the walk's thread and by the sampling thread.
struct Peak {
    std::mutex lock;
    long long anon = 0;
    long long file_at_peak = 0;

    void sample()
    {
        const long long anon_now = status_bytes("RssAnon");
        const long long file_now = status_bytes("RssFile");
        std::lock_guard<std::mutex> held(lock);
        if (anon_now > anon) {
            anon = anon_now;
            file_at_peak = file_now;
        }
    }
};

void sample_at_comparison(const kelvs_call_record *record, void *user)
{
    if (record->call == KELVS_VerifyExt)
        static_cast<Peak *>(user)->sample();
}

// Runs in a child of its own: one identify over the database at `path`, then the figures on stdout.
void measure(const std::string &path, int n)
{
    bio_sto_set_db_path(path.c_str());
    bench::HostModeDevice device;
    const long long anon_before = status_bytes("RssAnon");

    // "5" resets the resident peak to what is resident now.
    std::ofstream("/proc/self/clear_refs") << "5";
    Peak peak;
    peak.sample();
    kelvs_set_call_listener(sample_at_comparison, &peak);
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done) {
            peak.sample();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    kelvs_log_clear();
    kelvs_finger_auto("bench-thumb");
    const int found = kelvra_ops_identify(device.dev(), ACTION_START, bench::kUid, 0, -1);
    const size_t comparisons = kelvs_log_count(KELVS_VerifyExt);
    done = true;
    sampler.join();
    kelvs_set_call_listener(nullptr, nullptr);
    const long long resident_peak = status_bytes("VmHWM");

    if (found != -1 || comparisons != static_cast<size_t>(n)) {
        std::fprintf(stderr, "identify_memory_peak: the identify answered %d after %zu comparisons, not a miss "
                             "after %d\n", found, comparisons, n);
        std::exit(1);
    }
    const double target = n * 165 * kKiB + 16 * kMiB;
    std::printf("%6d %14.1f %14.1f %14.1f %14.1f %14.1f %14.1f %9s\n", n, resident_peak / kMiB,
                peak.anon / kMiB, anon_before / kMiB, (peak.anon - anon_before) / kMiB,
                peak.file_at_peak / kMiB, target / kMiB, peak.anon <= target ? "yes" : "NO");
    std::fflush(stdout);
}

// Runs `body` in a child process and waits for it; false when the child failed.
template <typename Body>
bool in_child(Body body)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0)
        bench::die("cannot fork");
    if (pid == 0) {
        body();
        std::exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    g_set_prgname("identify_memory_peak");
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {100, 1000};

    char pattern[] = "/tmp/kelvra-memory-peak-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        bench::die("cannot make a temporary directory");
    const std::string dir = pattern;

    std::printf("one identify over N stored templates, MiB (anonymous target: N x 165 KiB + 16 MiB)\n");
    std::printf("%6s %14s %14s %14s %14s %14s %14s %9s\n", "N", "resident peak", "anon peak", "anon before",
                "anon growth", "file at peak", "anon target", "in target");
    bool ok = true;
    for (int n : sizes) {
        const std::string path = dir + "/features-" + std::to_string(n) + ".db";
        ok = ok && in_child([&] { bench::make_template_database(path, n); }) && in_child([&] { measure(path, n); });
        std::filesystem::remove(path);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return ok ? 0 : 1;
}
