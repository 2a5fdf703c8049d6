// search_walk_bench.cpp - time per stored template of the host-side template walk, the host library's read
// path, and the floor of reading and decoding the same rows without the host library.
//
// One SQLite feature database per N (10, 100, 1000) holds N host-side templates of one user: random
// 122880-byte blocks, base64-encoded as an enrollment stores them. The virtual sensor cannot take them
// for feature blocks, so every comparison misses and the walk visits all N. Four figures per N:
//   walk        iops_internel_search over the user's records
//   hostapi     the same rows through bio_sto_get_feature_info (the walk's own read path) and
//               bio_base64_decode of each into one reused area, nothing else
//   floor/copy  the sample texts read straight from the file with sqlite3 (mmap_size 256 MiB), each
//               copied into a heap block of its own that is freed at once, and decoded from the copy
//               with modp_b64_decode into one reused area
//   floor       the same without the copy: modp_b64_decode straight from SQLite's answer
// The four run one after another in every iteration, so that all meet the same load and page cache; at
// the end the medians and the ratios are printed.
// clear_template_area times the clearing of the whole decode area that the walk does before each decode.
#include <benchmark/benchmark.h>
#include <glib.h>
#include <modp_b64.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "bio_host_program.h"
#include "kelfpscan.h"
#include "kelvra_internal.h"
#include "kelvs_control.h"

namespace {

using bench::kDeviceName;
using bench::kUid;
using bench::die;

// The floors map this much of the database file, as the host library did when the read path was first
// measured.
constexpr long long kFloorMmapBytes = 256LL * 1024 * 1024;

std::string g_dir;

std::string db_path(int n) { return g_dir + "/features-" + std::to_string(n) + ".db"; }

// Builds the database of n templates once; later benchmarks of the same n reuse the file.
void ensure_database(int n)
{
    static std::map<int, bool> made;
    if (!made[n])
        bench::make_template_database(db_path(n), n);
    made[n] = true;
}

// An opened device and a real feature block of a virtual finger as the probe.
struct Bench {
    bench::HostModeDevice device;
    bio_dev &dev = *device.dev();
    std::vector<unsigned char> probe = std::vector<unsigned char>(KELVRA_FEATURE_SIZE);

    Bench()
    {
        auto *priv = kelvra::priv_of(&dev);
        kelvs_finger_press("bench-thumb", KELVS_CONTACT_FULL);
        if (KELFPSCAN_CaptureRawData(priv->handle, 0, priv->rawImage) != 0 ||
            KELFPSCAN_ExtractFeature(priv->handle, 0, probe.data()) != 0)
            die("cannot take the probe block");
        kelvs_finger_lift();
    }
};

Bench &bench_device()
{
    static Bench b;
    return b;
}

// One pass of each of the ways of reading the user's templates; each returns how many it decoded.
size_t run_walk(Bench &b)
{
    feature_info *found = iops_internel_search(&b.dev, b.probe.data(), kUid, 0, -1);
    if (found != nullptr) {
        bio_sto_free_feature_info_list(found);
        die("a random template was taken for the probe");
    }
    if (kelvra::priv_of(&b.dev)->ctrlFlag.load() != CTRL_FINISHED)
        die("the walk did not finish");
    return 0;
}

size_t run_floor_hostapi(std::vector<unsigned char> &area)
{
    bio_sto_db *db = bio_sto_connect_db();
    feature_info *list = bio_sto_get_feature_info(db, kUid, BioT_FingerPrint, kDeviceName, 0, -1);
    bio_sto_disconnect_db(db);
    size_t decoded = 0;
    for (const feature_info *r = list; r != nullptr; r = r->next)
        for (const feature_sample *s = r->sample; s != nullptr; s = s->next)
            decoded += bio_base64_decode(s->data, area.data()) > 0;
    bio_sto_free_feature_info_list(list);
    return decoded;
}

// The floors read the rows as the host library does (the order over the keys, then each text by its row
// id), without building a list. With `copy`, each text first goes into a heap block of its own.
size_t run_floor(const std::string &path, std::vector<unsigned char> &area, bool copy)
{
    static const std::string pragma = "PRAGMA mmap_size = " + std::to_string(kFloorMmapBytes);
    sqlite3 *conn = nullptr;
    if (sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        die("cannot open the database file");
    sqlite3_exec(conn, pragma.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(conn, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *keys = nullptr;
    sqlite3_stmt *text = nullptr;
    sqlite3_prepare_v2(conn,
                       "SELECT s.id FROM feature AS f JOIN sample AS s ON s.feature_id = f.id "
                       "WHERE f.driver = ?1 AND f.biotype = ?2 AND f.uid = ?3 ORDER BY f.idx, f.id, s.no, s.id",
                       -1, &keys, nullptr);
    sqlite3_prepare_v2(conn, "SELECT data FROM sample WHERE id = ?1", -1, &text, nullptr);
    sqlite3_bind_text(keys, 1, kDeviceName, -1, SQLITE_STATIC);
    sqlite3_bind_int(keys, 2, BioT_FingerPrint);
    sqlite3_bind_int(keys, 3, kUid);
    size_t decoded = 0;
    while (sqlite3_step(keys) == SQLITE_ROW) {
        sqlite3_reset(text);
        sqlite3_bind_int64(text, 1, sqlite3_column_int64(keys, 0));
        if (sqlite3_step(text) != SQLITE_ROW)
            die("a sample row went missing");
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(text, 0));
        const size_t length = static_cast<size_t>(sqlite3_column_bytes(text, 0));
        char *block = nullptr;
        if (copy) {
            block = static_cast<char *>(std::malloc(length + 1));
            if (block == nullptr)
                die("out of memory");
            std::memcpy(block, data, length + 1);
            data = block;
        }
        decoded += modp_b64_decode(reinterpret_cast<char *>(area.data()), data, length) == KELVRA_TEMPLATE_SIZE;
        std::free(block);
    }
    sqlite3_finalize(text);
    sqlite3_finalize(keys);
    sqlite3_exec(conn, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(conn);
    return decoded;
}

// Processor time of this thread: on a shared machine, time other processes take is not counted.
struct Clocks {
    double cpu_s;
    double real_s;
};
Clocks now()
{
    timespec cpu{};
    timespec real{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    clock_gettime(CLOCK_MONOTONIC, &real);
    return {cpu.tv_sec + cpu.tv_nsec * 1e-9, real.tv_sec + real.tv_nsec * 1e-9};
}

// The walk, the host read path and both floors, one after another in every iteration, so that all four
// meet the same machine load and page cache. The iteration time reported is the walk's processor time.
void BM_WalkAgainstFloor(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    ensure_database(n);
    const std::string path = db_path(n);
    bio_sto_set_db_path(path.c_str());
    Bench &b = bench_device();
    // modp writes four bytes for every three it decodes, so its area has room for one more.
    std::vector<unsigned char> area(KELVRA_TEMPLATE_SIZE + 4);

    enum Part { kWalk, kHostApi, kFloorCopy, kFloor, kParts };
    double cpu[kParts] = {};
    double real[kParts] = {};
    for (auto _ : state) {
        Clocks t[kParts + 1];
        t[kWalk] = now();
        run_walk(b);
        t[kHostApi] = now();
        const size_t host = run_floor_hostapi(area);
        t[kFloorCopy] = now();
        const size_t copied = run_floor(path, area, true);
        t[kFloor] = now();
        const size_t floor = run_floor(path, area, false);
        t[kParts] = now();
        if (host != size_t(n) || copied != size_t(n) || floor != size_t(n))
            die("a floor did not read every row");
        benchmark::DoNotOptimize(area.data());
        state.SetIterationTime(t[kWalk + 1].cpu_s - t[kWalk].cpu_s);
        for (int p = 0; p < kParts; ++p) {
            cpu[p] += t[p + 1].cpu_s - t[p].cpu_s;
            real[p] += t[p + 1].real_s - t[p].real_s;
        }
    }
    const double per = 1e6 / (static_cast<double>(state.iterations()) * n);
    const char *names[kParts] = {"walk", "hostapi", "floor_copy", "floor"};
    for (int p = 0; p < kParts; ++p) {
        state.counters[std::string(names[p]) + "_us"] = cpu[p] * per;
        state.counters[std::string(names[p]) + "_real_us"] = real[p] * per;
    }
    state.counters["walk/hostapi"] = cpu[kWalk] / cpu[kHostApi];
    state.counters["hostapi/floor_copy"] = cpu[kHostApi] / cpu[kFloorCopy];
    state.counters["hostapi/floor"] = cpu[kHostApi] / cpu[kFloor];
}

// What the walk adds per stored template for hosts whose decoder does not answer the byte count: the
// whole 122880-byte area is cleared before each decode.
void BM_ClearTemplateArea(benchmark::State &state)
{
    std::vector<unsigned char> area(KELVRA_TEMPLATE_SIZE, 0x5A);
    for (auto _ : state) {
        iops_buf_clean(area.data(), area.size());
        benchmark::DoNotOptimize(area.data());
        benchmark::ClobberMemory();
    }
}

void register_all()
{
    benchmark::RegisterBenchmark("clear_template_area", BM_ClearTemplateArea)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    for (int n : {10, 100, 1000})
        benchmark::RegisterBenchmark("walk_against_floor", BM_WalkAgainstFloor)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->MinTime(1.0)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
}

// The console report, followed by a table of the medians per stored template and the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
                run.run_name.function_name == "walk_against_floor")
                medians_[std::atoi(run.run_name.args.c_str())] = run.counters;
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nper stored template, median of the repetitions (microseconds of processor time; real "
                    "time in brackets)\n");
        std::printf("%6s %19s %19s %19s %19s %13s %13s %13s\n", "N", "walk", "hostapi", "floor/copy", "floor",
                    "walk/hostapi", "host/copy", "host/floor");
        for (auto &[n, c] : medians_) {
            std::printf("%6d", n);
            for (const char *part : {"walk", "hostapi", "floor_copy", "floor"})
                std::printf(" %7.1f [%8.1f]", double(c[std::string(part) + "_us"]),
                            double(c[std::string(part) + "_real_us"]));
            std::printf(" %12.3fx %12.3fx %12.3fx\n", double(c["walk/hostapi"]), double(c["hostapi/floor_copy"]),
                        double(c["hostapi/floor"]));
        }
    }

private:
    std::map<int, benchmark::UserCounters> medians_;
};

}  // namespace

int main(int argc, char **argv)
{
    char pattern[] = "/tmp/kelvra-walk-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        die("cannot make a temporary directory");
    g_dir = pattern;

    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
    return 0;
}
