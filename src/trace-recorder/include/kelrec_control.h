/* kelrec_control.h - the control API of the trace recorder, a libKelDactylen.so that stands between a
 * driver and the real sensor SDK, forwards every call unchanged and writes each one into a trace
 * (kelvra_trace.h).
 *
 * The recorder finds the SDK it forwards to in one of two ways:
 *  - a host that knows it (kelvractl --record) calls kelrec_configure before the driver's first call;
 *  - otherwise, at the first SDK call, it reads the key file "kelrec.conf" in the recorder's own folder:
 *      [Recorder]
 *      Sdk=/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen/libKelDactylen.so
 *      Trace=/var/tmp/sensor-%p.trace     (%p: the process id; an existing file is never written over)
 *    Without either, every SDK call fails with -1 and one line on standard error says why.
 * The trace holds fingerprint images: it is created with mode 0600.
 *
 * Every call is thread-safe. Nothing here changes what a driver's SDK calls answer.
 */
#ifndef KELREC_CONTROL_H
#define KELREC_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Loads the SDK at sdk_path and starts the trace at trace_path (created; an existing file is refused).
 * 0, or -1 with why in error. Refused while a trace is written, and for another SDK than the one the
 * recorder forwards to already; after kelrec_finish the next session of the same SDK may be recorded. */
int kelrec_configure(const char *sdk_path, const char *trace_path, char *error, size_t error_size);
/* Stores a named piece of the host's data with the session (a short ASCII name, each name once), e.g.
 * "command", "database", "journal". 0, or -1 with why. */
int kelrec_add_section(const char *name, const void *data, size_t size, char *error, size_t error_size);
/* The host asked the running operation to stop, now: recorded between the calls, so that a replay asks
 * at the same point. 0, or -1 when nothing is recorded. */
int kelrec_record_stop(void);
/* Calls written into the trace so far. */
uint64_t kelrec_calls(void);
/* Writes the end of the trace and closes it; later calls are forwarded without being recorded. A trace
 * not finished this way is finished when the program ends normally. 0, or -1 with why. */
int kelrec_finish(char *error, size_t error_size);

#ifdef __cplusplus
}
#endif

#endif
