// estimator_bench.cpp - match-on-chip finger detection: the finger-area estimator per 96 x 96 frame, and
// the processor time a wait for a finger that never comes takes per second of waiting.
//
// Three frames: an empty sensor (what the wait sees almost always), a full press, and the frame that
// costs this estimator most, in which every scan runs to its far end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bio_host_program.h"
#include "kelvra_internal.h"
#include "kelvs_control.h"

namespace {

constexpr int kSide = 96;

void measure_frame(benchmark::State &state, std::vector<unsigned char> frame)
{
    float size = 0.0f;
    for (auto _ : state) {
        DevAlg_ImgQsize(frame.data(), kSide, kSide, &size);
        benchmark::DoNotOptimize(size);
        benchmark::ClobberMemory();
    }
    state.counters["percent"] = size;
}

// Probe groups dark only on the first lines past the edge and on the last ones, in crossed order: in each
// direction the near scan completes on the last line and the far scan on line 1, so neither stops early
// and no scan is skipped. The finger reads as absent (extents of 1).
std::vector<unsigned char> slowest_frame()
{
    std::vector<unsigned char> frame(kSide * kSide, 255);
    const int middle = kSide / 2, quarter = kSide / 4, three_quarters = 3 * kSide / 4, last = kSide - 1;
    auto mark = [&frame](int row, int col) { frame[size_t(row) * kSide + col] = 0; };
    mark(last, middle);  // columns: the middle group only at the bottom, the others only at row 1
    mark(1, quarter);
    mark(1, three_quarters);
    mark(middle, last);  // rows: the same across the columns
    mark(quarter, 1);
    mark(three_quarters, 1);
    return frame;
}

// No finger: before the scans were made to skip work, every scan ran out of lines (3438 pixel reads).
void BM_EstimatorEmptyFrame(benchmark::State &state) { measure_frame(state, std::vector<unsigned char>(kSide * kSide, 255)); }
// A full press: every scan stops on its first line.
void BM_EstimatorFullPress(benchmark::State &state) { measure_frame(state, std::vector<unsigned char>(kSide * kSide, 0)); }
void BM_EstimatorSlowestFrame(benchmark::State &state) { measure_frame(state, slowest_frame()); }

BENCHMARK(BM_EstimatorEmptyFrame);
BENCHMARK(BM_EstimatorFullPress);
BENCHMARK(BM_EstimatorSlowestFrame);

double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A device of the driver on the virtual sensor in match-on-chip mode with nobody touching it, on the
// real clock.
struct IdleChipDevice {
    bio_dev dev{};
    GKeyFile *conf = g_key_file_new();
    std::string name = "kelvra-bench";
    bool opened = false;

    explicit IdleChipDevice(int timeout_ms)
    {
        bio_log_set_threshold(BIO_LOG_NONE);
        bio_sto_set_db_path(":memory:");
        bio_set_ops_timeout_ms(timeout_ms);
        kelvs_reset();
        const char profile[] = "[Sensor]\nWorkMode=chip\nCount=1\nCaptureMs=30\n[Finger]\nName=none\n";
        char error[256] = {};
        if (kelvs_load_profile_data(profile, error, sizeof error) != 0)
            std::fprintf(stderr, "virtual sensor profile refused: %s\n", error);
        const std::string config = "[" + name + "]\nEnable=true\n";
        g_key_file_load_from_data(conf, config.c_str(), config.size(), G_KEY_FILE_NONE, nullptr);
        dev.device_name = name.data();
        dev.full_name = name.data();
        kelvra_ops_configure(&dev, conf);
        opened = kelvra_ops_open(&dev) == 0;
    }
    ~IdleChipDevice()
    {
        if (opened)
            kelvra_ops_close(&dev);
        kelvra_ops_free(&dev);
        g_key_file_free(conf);
    }
};

// The wait prints a score line per frame; those go to /dev/null while it runs.
class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_ = -1;
};

void BM_PresenceWaitWithoutFinger(benchmark::State &state)
{
    const int timeout_ms = static_cast<int>(state.range(0));
    IdleChipDevice device(timeout_ms);
    if (!device.opened) {
        state.SkipWithError("the virtual sensor did not open");
        return;
    }
    double cpu = 0.0;
    double wall = 0.0;
    size_t frames = 0;
    for (auto _ : state) {
        kelvs_log_clear();
        const double cpu_start = cpu_seconds();
        const auto wall_start = std::chrono::steady_clock::now();
        int ret = 0;
        {
            QuietStdout quiet;
            ret = iops_finger_status_check_moc(&device.dev, 1, 1);
        }
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        cpu += cpu_seconds() - cpu_start;
        frames += kelvs_log_count(KELVS_CaptureRawData);
        if (ret != -1)
            state.SkipWithError("a finger was found on an empty sensor");
    }
    state.counters["cpu_ms_per_s"] = 1000.0 * cpu / wall;
    state.counters["frames_per_s"] = double(frames) / wall;
}

BENCHMARK(BM_PresenceWaitWithoutFinger)->Arg(2000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
