// fuzz_device.h - one opened driver device on the virtual sensor, kept for a whole fuzzing run.
#ifndef KELVRA_FUZZ_DEVICE_H
#define KELVRA_FUZZ_DEVICE_H

#include <glib.h>

#include <string>
#include <vector>

#include "bio_host.h"
#include "kelvra_type.h"

namespace kelvra_fuzz {

// A finding: prints the reason and aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void die(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Match-on-host sensor, 160 x 160, no finger of its own, captures that take no time worth waiting for.
extern const char kHostProfile[];

// Presses the named finger fully on the sensor, captures and extracts one feature block.
std::vector<unsigned char> press_and_extract(void *handle, const char *finger, int width, int height);

// Configured and opened like a host does it: the driver's marker directory is a private temporary one
// and its shell commands are swallowed, the feature database is the process's in-memory one and the
// host's log is silent.
class Device {
public:
    Device(const char *name, const char *profile);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    bio_dev *dev() { return &dev_; }
    kelvra_driver_t *priv() { return static_cast<kelvra_driver_t *>(dev_.dev_priv); }

private:
    std::string name_;
    std::string temp_dir_;
    std::string marker_dir_;
    GKeyFile *conf_ = nullptr;
    bio_dev dev_{};
};

}  // namespace kelvra_fuzz

#endif
