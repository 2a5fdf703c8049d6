// recorder_bench.cpp - what the trace recorder adds to the driver's capture cycle (one frame captured
// and graded): the cycle straight on the virtual sensor, and the same cycle through the recorder writing
// every frame into a trace. The sensor's own exposure time is set to 0 so only the work around it
// counts; a real capture takes tens of milliseconds on top.
#include "kelfpscan.h"
#include "kelrec_control.h"
#include "kelvs_control.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kRecorder = std::string(KELVRA_BENCH_BUILD_DIR) + "/lib/recorder/libKelDactylen.so";
const std::string kSensor = std::string(KELVRA_BENCH_BUILD_DIR) + "/lib/libKelDactylen.so";

struct Calls {
    decltype(&KELFPSCAN_GlobalInit) GlobalInit = &KELFPSCAN_GlobalInit;
    decltype(&KELFPSCAN_GlobalFree) GlobalFree = &KELFPSCAN_GlobalFree;
    decltype(&KELFPSCAN_OpenDevice) OpenDevice = &KELFPSCAN_OpenDevice;
    decltype(&KELFPSCAN_CloseDevice) CloseDevice = &KELFPSCAN_CloseDevice;
    decltype(&KELFPSCAN_GetImageInfo) GetImageInfo = &KELFPSCAN_GetImageInfo;
    decltype(&KELFPSCAN_CaptureRawData) CaptureRawData = &KELFPSCAN_CaptureRawData;
    decltype(&KELFPSCAN_ImgQuality) ImgQuality = &KELFPSCAN_ImgQuality;
    decltype(&kelrec_configure) configure = nullptr;
    decltype(&kelrec_finish) finish = nullptr;
};

template <typename Fn>
void look_up(void *library, const char *name, Fn &out)
{
    void *symbol = dlsym(library, name);
    std::memcpy(&out, &symbol, sizeof out);
}

const Calls *recorder()
{
    static const Calls *calls = [] () -> const Calls * {
        void *library = dlopen(kRecorder.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return nullptr;
        auto *c = new Calls;
        look_up(library, "KELFPSCAN_GlobalInit", c->GlobalInit);
        look_up(library, "KELFPSCAN_GlobalFree", c->GlobalFree);
        look_up(library, "KELFPSCAN_OpenDevice", c->OpenDevice);
        look_up(library, "KELFPSCAN_CloseDevice", c->CloseDevice);
        look_up(library, "KELFPSCAN_GetImageInfo", c->GetImageInfo);
        look_up(library, "KELFPSCAN_CaptureRawData", c->CaptureRawData);
        look_up(library, "KELFPSCAN_ImgQuality", c->ImgQuality);
        look_up(library, "kelrec_configure", c->configure);
        look_up(library, "kelrec_finish", c->finish);
        return c;
    }();
    return calls;
}

// state.range(0): the sensor's noise (15: every frame differs in every pixel, the worst case for the
// trace's compression; 0: clean frames).
void capture_cycles(benchmark::State &state, const Calls &calls, const std::string &trace)
{
    kelvs_reset();
    const std::string profile = "[Sensor]\nCaptureMs=0\nNoise=" + std::to_string(state.range(0)) + "\n";
    kelvs_load_profile_data(profile.c_str(), nullptr, 0);
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    if (!trace.empty()) {
        unlink(trace.c_str());
        char error[256] = "";
        if (calls.configure(kSensor.c_str(), trace.c_str(), error, sizeof error) != 0) {
            state.SkipWithError(error);
            return;
        }
    }
    calls.GlobalInit();
    KELFPSCAN_HANDLE handle = nullptr;
    calls.OpenDevice(&handle, 0);
    int width = 0, height = 0, dpi = 0;
    calls.GetImageInfo(handle, &width, &height, &dpi);
    std::vector<unsigned char> image(std::size_t(width) * std::size_t(height));
    for (auto _ : state) {
        int quality = 0;
        calls.CaptureRawData(handle, 0, image.data());
        calls.ImgQuality(width, height, image.data(), &quality);
        benchmark::DoNotOptimize(quality);
    }
    calls.CloseDevice(&handle);
    calls.GlobalFree();
    if (!trace.empty()) {
        calls.finish(nullptr, 0);
        struct stat st{};
        if (stat(trace.c_str(), &st) == 0)
            state.counters["trace_bytes_per_cycle"] = double(st.st_size) / double(state.iterations());
        unlink(trace.c_str());
    }
}

void BM_CaptureCycleOnTheSensor(benchmark::State &state) { capture_cycles(state, Calls{}, {}); }

void BM_CaptureCycleThroughTheRecorder(benchmark::State &state)
{
    const Calls *calls = recorder();
    if (calls == nullptr || calls->configure == nullptr) {
        state.SkipWithError("the recorder cannot be loaded");
        return;
    }
    capture_cycles(state, *calls, "/tmp/kelvra-recorder-bench-" + std::to_string(getpid()) + ".trace");
}

}  // namespace

BENCHMARK(BM_CaptureCycleOnTheSensor)->Arg(15)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CaptureCycleThroughTheRecorder)->Arg(15)->Arg(0)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
