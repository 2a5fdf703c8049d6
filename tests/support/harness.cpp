// harness.cpp - the simulated device, fake time and journal helpers shared by the driver tests.
#include "harness.h"

#include <gtest/gtest.h>
#include <libintl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "kelvra_internal.h"
#include "kelvra_platform.h"

namespace kelvra_test {

const char kHostModeProfile[] =
    "[Sensor]\nWorkMode=host\nCount=1\nWidth=160\nHeight=160\nDpi=508\nCaptureMs=30\n"
    "FwMinorVersion=80\nFwVersion=24\nMcuType=7\nSensorType=37\n[Finger]\nName=none\n";
const char kChipModeProfile[] =
    "[Sensor]\nWorkMode=chip\nCount=1\nWidth=96\nHeight=96\nDpi=508\nCaptureMs=30\n"
    "FwMinorVersion=80\nFwVersion=24\nMcuType=7\nSensorType=37\n[Finger]\nName=none\n";

namespace {

std::atomic<int64_t> g_fake_now_us{1'000'000'000};
std::mutex g_commands_lock;
std::vector<std::string> g_commands;

std::mutex g_log_lock;
std::vector<LogLine> g_logs;
std::vector<std::string> g_undeclared_errors;

void fake_now(int64_t *seconds, int64_t *microseconds)
{
    const int64_t now = g_fake_now_us.load();
    *seconds = now / 1'000'000;
    *microseconds = now % 1'000'000;
}

void fake_sleep_ms(int ms)
{
    if (ms > 0)
        g_fake_now_us += static_cast<int64_t>(ms) * 1000;
}

int64_t sensor_now_us(void *) { return g_fake_now_us.load(); }
void sensor_sleep_us(void *, int64_t us)
{
    if (us > 0)
        g_fake_now_us += us;
}

int record_command(const char *command)
{
    std::lock_guard<std::mutex> lock(g_commands_lock);
    g_commands.emplace_back(command);
    return 0;
}

void capture_log(bio_log_level level, const char *line, void *)
{
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_logs.push_back({level, line});
    if (level == BIO_LOG_ERROR)
        g_undeclared_errors.emplace_back(line);
}

std::string make_temp_dir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvra-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    return pattern;
}

}  // namespace

void FakeTime::install()
{
    kelvra::Platform p = kelvra::platform();
    p.now = fake_now;
    p.sleep_ms = fake_sleep_ms;
    kelvra::set_platform_for_testing(p);
    kelvs_clock clock{sensor_now_us, sensor_sleep_us, nullptr};
    kelvs_set_clock(&clock);
}

void FakeTime::uninstall()
{
    kelvra::Platform p = kelvra::platform();
    p.now = kelvra::default_platform().now;
    p.sleep_ms = kelvra::default_platform().sleep_ms;
    kelvra::set_platform_for_testing(p);
    kelvs_set_clock(nullptr);
}

int64_t FakeTime::now_us() { return g_fake_now_us.load(); }
void FakeTime::advance_ms(int64_t ms) { g_fake_now_us += ms * 1000; }

std::vector<std::string> commands_run()
{
    std::lock_guard<std::mutex> lock(g_commands_lock);
    return g_commands;
}

HostLoans host_loans() { return {bio_testing_outstanding_records(), bio_testing_open_connections()}; }

std::string host_leftovers(HostLoans before)
{
    const HostLoans now = host_loans();
    std::string out;
    if (now.records != before.records)
        out = std::to_string(now.records - before.records) + " feature records or samples";
    if (now.connections != before.connections)
        out += (out.empty() ? "" : ", ") + std::to_string(now.connections - before.connections) +
               " database connections";
    return out;
}

std::string describe(const std::vector<bio_event> &events)
{
    std::ostringstream out;
    for (size_t i = 0; i < events.size(); ++i) {
        const bio_event &e = events[i];
        if (i > 0)
            out << ' ';
        out << (e.kind == BIO_EVENT_STATUS ? 'S' : e.kind == BIO_EVENT_RESULT ? 'R' : 'N');
        if (e.common && e.kind != BIO_EVENT_STATUS)
            out << 'c';
        out << e.value;
    }
    return out.str();
}

Device::Device() : Device(Options{}) {}

Device::Device(const Options &options) : options_(options)
{
    temp_dir_ = make_temp_dir();
    marker_dir_ = temp_dir_ + "/driver";
    std::filesystem::create_directories(marker_dir_);

    {
        std::lock_guard<std::mutex> lock(g_commands_lock);
        g_commands.clear();
    }
    clear_logs();
    bio_log_set_listener(capture_log, nullptr);
    bio_log_set_threshold(BIO_LOG_NONE);

    // The driver's fixed paths point into this test's own directory.
    kelvra::Platform p = kelvra::default_platform();
    p.run_command = record_command;
    p.marker_dir = marker_dir_.c_str();
    kelvra::set_platform_for_testing(p);
    if (options_.fake_time)
        FakeTime::install();
    else
        FakeTime::uninstall();

    bio_sto_set_db_path(":memory:");
    bio_set_ops_timeout_ms(options_.timeout_ms);
    bio_journal_clear();

    kelvs_reset();
    char error[256] = {};
    if (kelvs_load_profile_data(options_.profile.c_str(), error, sizeof error) != 0)
        ADD_FAILURE() << "virtual sensor profile refused: " << error;
    if (options_.fake_time)
        FakeTime::install();  // kelvs_reset went back to the real clock

    mocmohFlag_Dev1 = 0;

    conf_ = g_key_file_new();
    const std::string config =
        options_.config.empty() ? "[" + options_.name + "]\nEnable=true\n" : options_.config;
    GError *err = nullptr;
    if (!g_key_file_load_from_data(conf_, config.c_str(), config.size(), G_KEY_FILE_NONE, &err)) {
        ADD_FAILURE() << "test configuration refused: " << err->message;
        g_error_free(err);
    }

    dev_.device_name = const_cast<char *>(options_.name.c_str());
    dev_.full_name = dev_.device_name;
    loans_at_start_ = host_loans();
    kelvra_ops_configure(&dev_, conf_);
    mark();
}

Device::~Device()
{
    if (opened_)
        kelvra_ops_close(&dev_);
    kelvra_ops_free(&dev_);
    g_key_file_free(conf_);
    // The test's own lists are gone by now, so whatever is still out was lost by the driver.
    EXPECT_EQ(host_leftovers(loans_at_start_), "") << "the host never got these back";
    bio_log_set_listener(nullptr, nullptr);
    const std::vector<std::string> undeclared = take_errors();
    if (!undeclared.empty())
        ADD_FAILURE() << "error lines the test did not declare: " << testing::PrintToString(undeclared);
    kelvs_reset();
    FakeTime::uninstall();
    kelvra::set_platform_for_testing(kelvra::default_platform());
    std::error_code ignored;
    std::filesystem::permissions(marker_dir_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(temp_dir_, ignored);
}

int Device::open()
{
    const int ret = kelvra_ops_open(&dev_);
    opened_ = true;
    return ret;
}

void Device::close()
{
    kelvra_ops_close(&dev_);
    opened_ = false;
}

void Device::mark() { journal_mark_ = bio_journal_size(); }

std::vector<bio_event> Device::events() const
{
    const size_t size = bio_journal_size();
    std::vector<bio_event> out(size > journal_mark_ ? size - journal_mark_ : 0);
    out.resize(bio_journal_read(journal_mark_, out.data(), out.size()));
    return out;
}

std::vector<LogLine> Device::logs() const
{
    std::lock_guard<std::mutex> lock(g_log_lock);
    return g_logs;
}

size_t Device::count_line(bio_log_level level, const std::string &text) const
{
    size_t n = 0;
    for (const LogLine &line : logs())
        n += line.level == level && line.text == text ? 1 : 0;
    return n;
}

void Device::clear_logs()
{
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_logs.clear();
}

std::vector<std::string> Device::take_errors()
{
    std::lock_guard<std::mutex> lock(g_log_lock);
    std::vector<std::string> taken;
    taken.swap(g_undeclared_errors);
    return taken;
}

QuietScoreLines::QuietScoreLines()
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
}

QuietScoreLines::~QuietScoreLines() { finish(); }

void QuietScoreLines::finish()
{
    if (!capturing_)
        return;
    capturing_ = false;
    std::fflush(stdout);
    const std::string captured = testing::internal::GetCapturedStdout();
    static const std::string kScore = "\n enroll imgScore = ";
    std::string rest;
    size_t at = 0;
    for (size_t found; (found = captured.find(kScore, at)) != std::string::npos;) {
        size_t end = found + kScore.size();
        if (end < captured.size() && captured[end] == '-')
            ++end;
        while (end < captured.size() && std::isdigit(static_cast<unsigned char>(captured[end])))
            ++end;
        rest.append(captured, at, found - at);
        at = end;
    }
    rest.append(captured, at, std::string::npos);
    if (!rest.empty()) {
        std::fwrite(rest.data(), 1, rest.size(), stdout);
        std::fflush(stdout);
    }
}

std::string sdk_calls()
{
    std::string out;
    kelvs_call_record record{};
    for (size_t i = 0; kelvs_log_get(i, &record) == 0; ++i) {
        if (!out.empty())
            out += ' ';
        out += kelvs_call_name(record.call);
    }
    return out;
}

std::string injected_fault_line(bio_fault_point point)
{
    switch (point) {
    case BIO_FAULT_CONNECT: return "feature database :memory: cannot be opened: injected fault\n";
    case BIO_FAULT_QUERY: return "feature database: query failed: injected fault\n";
    case BIO_FAULT_CLEAN: return "feature database: clean failed: injected fault\n";
    case BIO_FAULT_NEW_RECORD: return "host: out of memory for a feature record: injected fault\n";
    case BIO_FAULT_NEW_SAMPLE: return "host: out of memory for a feature sample: injected fault\n";
    default: return "feature database: store failed: injected fault\n";
    }
}

std::string damaged_sample_line(int uid, int index, int sample)
{
    return "[kelvra-test] The stored fingerprint template of UID " + std::to_string(uid) + ", index " +
           std::to_string(index) + ", sample " + std::to_string(sample) + " is damaged and was skipped\n";
}

const char kNothingComparedLine[] =
    "[kelvra-test] Unable to open the feature database, no stored fingerprint can be compared\n";

std::vector<unsigned char> light_frame(int w, int h) { return std::vector<unsigned char>(size_t(w) * h, 255); }

std::vector<unsigned char> dark_rect_frame(int w, int h, int top, int bottom, int left, int right)
{
    std::vector<unsigned char> frame = light_frame(w, h);
    for (int r = top; r <= bottom; ++r)
        for (int c = left; c <= right; ++c)
            frame[size_t(r) * w + c] = 0;
    return frame;
}

void script_capture_frame(const std::vector<unsigned char> &frame, bool always)
{
    kelvs_answer answer{};
    answer.rc = 0;
    answer.has_out = 1;
    answer.image = frame.data();
    answer.image_size = frame.size();
    if (always)
        kelvs_script_always(KELVS_CaptureRawData, &answer);
    else
        kelvs_script(KELVS_CaptureRawData, &answer);
}

void script_quality(std::initializer_list<int> grades)
{
    for (int grade : grades)
        kelvs_script_out(KELVS_ImgQuality, 0, grade, 0);
}

}  // namespace kelvra_test
