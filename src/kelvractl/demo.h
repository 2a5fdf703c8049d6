// demo.h - kelvractl's guided tour: every operation in both work modes on a throw-away virtual sensor.
#ifndef KELVRACTL_DEMO_H
#define KELVRACTL_DEMO_H

#include "args.h"
#include "interrupt.h"
#include "output.h"
#include "session.h"
#include "vsensor.h"

namespace kelvractl {

// Its exit status: 0 when every step behaved as it should.
int run_demo(const Options &options, const Module &module, const VirtualSensor &sensor, Printer &printer,
             InterruptWatcher &watcher);

}  // namespace kelvractl

#endif
