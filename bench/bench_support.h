// bench_support.h - what the match-on-host benchmarks share: a feature database of random templates and a
// device of the driver opened on the virtual sensor.
#ifndef KELVRA_BENCH_SUPPORT_H
#define KELVRA_BENCH_SUPPORT_H

#include <glib.h>

#include <string>

#include "bio_host.h"

namespace bench {

constexpr char kDeviceName[] = "kelvra-bench";
constexpr int kUid = 1;

// Prints "PROGRAM: what" and ends the program.
[[noreturn]] void die(const char *what);

// Makes `path` a feature database holding n host-side templates of kUid, one record with one sample each:
// random 122880-byte blocks, base64-encoded as an enrollment stores them. The virtual sensor takes none
// of them for a feature block, so a walk over them visits all n. Leaves the host library pointed at it.
void make_template_database(const std::string &path, int n);

// A device of the driver on the virtual sensor in match-on-host mode, configured and opened; the host's
// log is silenced.
class HostModeDevice {
public:
    HostModeDevice();
    ~HostModeDevice();
    HostModeDevice(const HostModeDevice &) = delete;
    HostModeDevice &operator=(const HostModeDevice &) = delete;
    bio_dev *dev() { return &dev_; }

private:
    bio_dev dev_{};
    GKeyFile *conf_ = nullptr;
};

}  // namespace bench

#endif  // KELVRA_BENCH_SUPPORT_H
