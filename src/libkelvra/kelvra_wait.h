// kelvra_wait.h - the one loop every wait of the driver runs: a pass, a pause, the flag and the time-out.
//
// A wait asks the sensor something again and again until the answer settles it. What one pass asks is the
// caller's; the loop owns the rest: it runs while ctrlFlag is "running" and the host's time-out has not
// passed on the platform clock, pauses between passes for as long as the pass asks, and on its way out
// tells a stop request from a time-out. It reads the flag but never writes it: the operation that ends
// because of a stop answers the request.
#ifndef KELVRA_WAIT_H
#define KELVRA_WAIT_H

#include "kelvra_platform.h"
#include "kelvra_type.h"

namespace kelvra {

// What one pass found.
struct Pass {
    enum class Kind {
        NotYet,       // nothing settled: pause, then ask again
        Retry,        // the user was asked to press again (a poor image): pause, then ask again
        Satisfied,    // what the wait waited for
        Answer,       // the sensor gave a code the caller decides on
        SensorError,  // the sensor failed in a way that ends the wait at once, whatever the flag says
    };
    Kind kind;
    int code = 0;      // Answer, SensorError
    int pause_ms = 0;  // NotYet, Retry: 0 asks again at once

    static Pass not_yet(int pause_ms) { return {Kind::NotYet, 0, pause_ms}; }
    static Pass retry(int pause_ms) { return {Kind::Retry, 0, pause_ms}; }
    static Pass satisfied() { return {Kind::Satisfied}; }
    static Pass answer(int code) { return {Kind::Answer, code}; }
    static Pass sensor_error(int code) { return {Kind::SensorError, code}; }
};

// How a wait ended.
struct WaitOutcome {
    enum class End {
        Satisfied,
        Answer,       // code: the sensor's answer, with no stop request pending
        SensorError,  // code: the sensor's error
        Stopped,      // a stop request was pending when the wait ended without being satisfied
        TimedOut,     // the time-out passed, or the flag was neither running nor a stop request
    };
    End end;
    int code = 0;

    bool satisfied() const { return end == End::Satisfied; }
};

// Runs one_pass() while the flag is "running" and the time-out has not passed. A satisfied pass wins over
// a stop request that arrived meanwhile; an answer does not, since the operation cannot act on it once
// the user asked to stop.
template <typename OnePass>
WaitOutcome wait_until(kelvra_driver_t *priv, OnePass &&one_pass)
{
    using End = WaitOutcome::End;
    const Stopwatch start = start_clock();
    int elapsed = 0;
    while (priv->ctrlFlag.load() == CTRL_RUNNING && elapsed < priv->timeoutMS) {
        const Pass pass = one_pass();
        switch (pass.kind) {
        case Pass::Kind::Satisfied:
            return {End::Satisfied};
        case Pass::Kind::SensorError:
            return {End::SensorError, pass.code};
        case Pass::Kind::Answer:
            if (priv->ctrlFlag.load() == CTRL_STOP_REQUESTED)
                return {End::Stopped};
            return {End::Answer, pass.code};
        case Pass::Kind::NotYet:
        case Pass::Kind::Retry:
            break;
        }
        if (pass.pause_ms > 0)
            sleep_ms(pass.pause_ms);
        elapsed = elapsed_ms(start);
    }
    return {priv->ctrlFlag.load() == CTRL_STOP_REQUESTED ? End::Stopped : End::TimedOut};
}

}  // namespace kelvra

#endif
