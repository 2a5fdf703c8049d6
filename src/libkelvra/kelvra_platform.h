// kelvra_platform.h - what the driver takes from the system: time, pauses, fixed paths, the shell.
//
// Production uses the real clock and the fixed paths of the installed driver. Tests link the driver's
// static core and replace these through set_platform_for_testing; the shared module does not export
// that call, so nothing outside the module (no environment, no configuration) can redirect them.
#ifndef KELVRA_PLATFORM_H
#define KELVRA_PLATFORM_H

#include <cstdint>

namespace kelvra {

inline constexpr const char kInstallDir[] = "/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen";
inline constexpr const char kMarkerName[] = "KELAUTHENFILE";
inline constexpr const char kUpdateScript[] = "/usr/share/fwupdate/updateFW.sh";

struct Platform {
    // Monotonic time as seconds and microseconds, like a struct timeval.
    void (*now)(int64_t *seconds, int64_t *microseconds);
    void (*sleep_ms)(int milliseconds);
    // Runs a command through the system shell and waits for it.
    int (*run_command)(const char *command);
    const char *marker_dir;     // the directory that holds the marker file
    const char *update_script;  // the firmware update script
};

const Platform &platform();

// Milliseconds since a start taken with start_clock(): seconds difference x 1000 plus microseconds
// difference / 1000 (truncated), as the polling loops compare it with timeoutMS.
struct Stopwatch {
    int64_t seconds = 0;
    int64_t microseconds = 0;
};
Stopwatch start_clock();
int elapsed_ms(const Stopwatch &start);
void sleep_ms(int milliseconds);

// Only for the driver's own tests, which link the static core. Returns the previous platform.
Platform set_platform_for_testing(const Platform &replacement);
const Platform &default_platform();

}  // namespace kelvra

#endif
