// harness.h - one simulated device per test: host state, virtual sensor, driver platform and time.
#ifndef KELVRA_TEST_HARNESS_H
#define KELVRA_TEST_HARNESS_H

#include <glib.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bio_host_program.h"
#include "bio_host_testing.h"
#include "kelvs_control.h"
#include "kelvra_type.h"

namespace kelvra_test {

// Profiles of the virtual sensor most tests start from.
extern const char kHostModeProfile[];  // match-on-host, 160 x 160, no finger
extern const char kChipModeProfile[];  // match-on-chip, 96 x 96, no finger

// Time that moves only when the driver or the sensor waits: the driver's pauses and the sensor's
// capture time advance it, so a test of a 30 s time-out runs in microseconds and always the same way.
class FakeTime {
public:
    static void install();     // driver platform and virtual sensor both on fake time
    static void uninstall();   // back to the real clocks
    static int64_t now_us();
    static void advance_ms(int64_t ms);
};

// What the driver ran through the shell, instead of running it.
std::vector<std::string> commands_run();

// What the host has handed out and not had back: feature records and samples, database connections.
struct HostLoans {
    int records = 0;
    int connections = 0;
};
HostLoans host_loans();
// What was handed out since `before` and is still out: "" when nothing, else for example "3 feature records
// or samples". A device checks it when it goes, after the test's last operation.
std::string host_leftovers(HostLoans before = {});

// The host's journal as compact text: "S201 Rc3 Nc3 S0" (S status, R result, N notify; c marks a
// common code given to bio_set_ops_result / bio_set_notify_mid).
std::string describe(const std::vector<bio_event> &events);

// Log lines the host printed (all levels), captured for a test.
struct LogLine {
    bio_log_level level;
    std::string text;
};

class Device {
public:
    struct Options {
        std::string name = "kelvra-test";
        std::string config;              // key-file text; empty: a group with Enable=true only
        std::string profile = kHostModeProfile;
        bool fake_time = true;
        int timeout_ms = 5000;
    };

    Device();
    explicit Device(const Options &options);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    bio_dev *dev() { return &dev_; }
    kelvra_driver_t *priv() { return static_cast<kelvra_driver_t *>(dev_.dev_priv); }

    int open();                     // kelvra_ops_open, asserting nothing
    void close();                   // kelvra_ops_close if open() succeeded and no close since

    // Journal: mark a point, then read or describe what happened since.
    void mark();
    std::vector<bio_event> events() const;
    std::string journal() const { return describe(events()); }

    // Every line the host logged since the device was made or the logs were cleared, at every level.
    std::vector<LogLine> logs() const;
    size_t count_line(bio_log_level level, const std::string &text) const;  // lines of exactly that text
    void clear_logs();  // forgets lines, but not error lines still undeclared
    // Error lines are failures unless the test declares them: take_errors() hands over, in order, the
    // error lines logged since the last take, for the test to compare exactly with the lines it expects.
    // Any error line never taken fails the test when the device goes away.
    std::vector<std::string> take_errors();

    const std::string &marker_dir() const { return marker_dir_; }
    std::string marker_path() const { return marker_dir_ + "/KELAUTHENFILE"; }
    const std::string &temp_dir() const { return temp_dir_; }

private:
    Options options_;
    bio_dev dev_{};
    GKeyFile *conf_ = nullptr;
    std::string temp_dir_;
    std::string marker_dir_;
    size_t journal_mark_ = 0;
    bool opened_ = false;
    HostLoans loans_at_start_;
};

// Captures standard output while the on-chip presence wait prints its score lines, and prints everything
// else that was written meanwhile (GoogleTest's failure messages) when it ends, on every way out of the
// scope, so that a failing ASSERT inside neither hides its message nor leaves the capture running.
class QuietScoreLines {
public:
    QuietScoreLines();
    ~QuietScoreLines();
    QuietScoreLines(const QuietScoreLines &) = delete;
    QuietScoreLines &operator=(const QuietScoreLines &) = delete;
    // Ends the capture now and prints what is not a score line ("\n enroll imgScore = N").
    void finish();

private:
    bool capturing_ = true;
};

// The host's error line when the fault armed at that point fires (the database being the default one).
std::string injected_fault_line(bio_fault_point point);
// The driver's error lines of the stored-template walks, on the device "kelvra-test".
std::string damaged_sample_line(int uid, int index, int sample);
extern const char kNothingComparedLine[];

// Grey 96 x 96 (or w x h) frames for scripted captures.
std::vector<unsigned char> light_frame(int w, int h);
// Dark (value 0) over rows [top, bottom] and columns [left, right], inclusive; light (255) elsewhere.
std::vector<unsigned char> dark_rect_frame(int w, int h, int top, int bottom, int left, int right);

// The SDK calls made since the sensor's log was last cleared, by name: "GetDeviceCount GlobalInit ...".
std::string sdk_calls();

// Scripted-answer shortcuts.
void script_capture_frame(const std::vector<unsigned char> &frame, bool always = false);
void script_quality(std::initializer_list<int> grades);

}  // namespace kelvra_test

#endif
