// backend.h - what a command handler may ask of the running kelvractl: the driver's operations on the
// configured device (each one open, the operation and close), the demo, the virtual sensor's hand
// control, and the user's screen. kelvractl implements it over the loaded driver; tests fake it.
#ifndef KELVRACTL_BACKEND_H
#define KELVRACTL_BACKEND_H

#include "args.h"
#include "report.h"

#include <string>

namespace kelvractl {

class Backend {
public:
    virtual ~Backend() = default;

    virtual Report discover() = 0;
    virtual Report enroll(int uid, int index, const std::string &name) = 0;
    virtual Report verify(int uid, int index) = 0;
    virtual Report identify(int uid, int from, int to) = 0;
    virtual Report search(int uid, int from, int to) = 0;
    virtual Report list(int uid, int from, int to) = 0;
    virtual Report clean(int uid, int from, int to) = 0;
    // The fingers the host's database holds for the device, read without the driver (a list report).
    virtual Report stored(int uid, int from, int to) = 0;
    // The guided tour; its exit status (it shows its own outcome).
    virtual int demo() = 0;
    // Reruns the session recorded in a trace and compares it; its exit status (it shows its verdict).
    virtual int replay(const std::string &trace) = 0;
    // One hand-control line to the virtual sensor of another kelvractl.
    virtual Report hand_control(const std::string &line) = 0;

    // A line of kelvractl's own for the user; not shown with --json.
    virtual void note(const std::string &line) = 0;
    // The command's outcome, in words or as JSON.
    virtual void show(const Report &report) = 0;
    virtual void print_help(const std::string &text) = 0;
    virtual Defaults defaults() const = 0;
};

}  // namespace kelvractl

#endif
