// chip_support.h - helpers of the match-on-chip tests: a trace of the driver's pauses interleaved with
// what the host was told, frames with chosen edges, and scripted on-chip answers.
#ifndef KELVRA_CHIP_SUPPORT_H
#define KELVRA_CHIP_SUPPORT_H

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "bio_host_program.h"
#include "harness.h"
#include "kelvra_platform.h"
#include "kelvs_control.h"

namespace chip_test {

constexpr int kSide = 96;

// Records, in order, every pause the driver takes ("sleep 50") and every status, result and notify
// change of the host ("S201", "Rc4", "N9"). Pauses advance the fake clock by their length. Tests
// may react to either through the hooks (for example to raise a stop at a chosen moment).
class Trace {
public:
    explicit Trace(kelvra_test::Device &device);
    ~Trace();
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    std::vector<std::string> entries() const;
    std::string joined() const;                   // entries separated by ", "
    std::vector<int> sleeps() const;              // the pauses only
    std::vector<std::string> messages() const;    // extra_info each time notify 9 was set
    std::vector<int> notifies() const;
    void clear();

    std::function<void(int ms, int nth)> on_sleep;           // nth: 1 for the first pause since clear
    std::function<void(const bio_event &)> on_event;

private:
    static void sleep_hook(int ms);
    static void event_hook(bio_dev *dev, const bio_event *event, void *user);
    void add(const std::string &entry);

    kelvra_test::Device &device_;
    kelvra::Platform previous_{};
    mutable std::mutex lock_;
    std::vector<std::string> entries_;
    std::vector<int> sleeps_;
    std::vector<std::string> messages_;
    std::vector<int> notifies_;
};

// A light frame with dark marks only where the probes look: rows top and bottom on the nine probe
// columns, columns left and right on the nine probe rows. The estimator then finds exactly these
// edges (top, bottom, left and right must lie off the probe lines of 96).
std::vector<unsigned char> edge_frame(int top, int bottom, int left, int right);
std::vector<unsigned char> full_press_frame();  // all dark: 97.93
std::vector<unsigned char> empty_frame();       // all light: 0
float measure(std::vector<unsigned char> frame);

// Frames whose whole-number score is the one given: 90 (edges 2..94 x 2..93), 10 (95 x 10), 84 (one
// step below 85) and 85 (one step above it).
std::vector<unsigned char> frame_scoring(int wholeScore);

// Queues capture answers in this order.
void queue_frames(const std::vector<std::vector<unsigned char>> &frames);

// The frames a complete six-press enrollment takes: a press, then three empty frames after each
// of presses 1 to 4; presses 5 and 6 without lift frames between them.
std::vector<std::vector<unsigned char>> enrollment_frames();
void queue_steps(std::initializer_list<int> codes);
// Everything a six-press enrollment needs scripted: its frames, six accepted steps and a store that
// answers 0 (the sensor's own store only takes templates its own steps built).
void script_accepted_enrollment();

// Calls made to the virtual sensor, in order.
std::vector<kelvs_call_record> calls_of(kelvs_call call);

// One record with the given samples (data texts), stored through the host.
void store_record(kelvra_test::Device &device, int uid, int index, const char *name,
                  const std::vector<std::string> &samples, const char *driver = nullptr);

// Options of a device whose virtual sensor works in match-on-chip mode.
kelvra_test::Device::Options chip_options(int timeout_ms = 5000);

std::string hex(const unsigned char *bytes, size_t count);

}  // namespace chip_test

#endif
