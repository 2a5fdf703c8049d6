// kelvra_endings.h - what the driver tells the host: texts for the user, and every way an operation ends.
//
// The host keeps three things per device: the status, the result of the operation and the notify id. A
// host that listens shows each change as it comes, so an ending is more than its final values: which of
// the two setters carries a code (a common code, related by the host to the running operation, or the
// operation's own value) and the order of the calls are part of what the host sees. Every ending of the
// driver is one of the functions below, and each writes its calls in one fixed order, here and nowhere else.
#ifndef KELVRA_ENDINGS_H
#define KELVRA_ENDINGS_H

#include <cstdarg>

#include "kelvra_internal.h"

namespace kelvra {

// ---- Texts for the user -----------------------------------------------------------------------------

// How a text shown with notify 9 goes to the host's log: not at all, as a prompt (debug) or as a failure.
enum class LogAs { Nothing, Prompt, Error };

inline void log_current_message(bio_dev *dev, LogAs log)
{
    if (log == LogAs::Prompt)
        bio_print_debug("%s\n", bio_get_notify_mid_mesg(dev));
    else if (log == LogAs::Error)
        bio_print_error("%s\n", bio_get_notify_mid_mesg(dev));
}

// Formats a text into extra_info (the format is the translated text), shows it with notify 9, whose text
// extra_info is, and logs it as the host's current message.
inline void announce(bio_dev *dev, LogAs log, const char *format, ...) __attribute__((format(printf, 3, 4)));
inline void announce(bio_dev *dev, LogAs log, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vset_extra_info(priv_of(dev), format, args);
    va_end(args);
    bio_set_notify_abs_mid(dev, MID_EXTENDED_MESSAGE);
    log_current_message(dev, log);
}

// One of the fixed prompts (MID_NEED_PRESS to MID_IDENTIFY), logged as a prompt.
inline void prompt(bio_dev *dev, int mid)
{
    bio_set_notify_abs_mid(dev, mid);
    log_current_message(dev, LogAs::Prompt);
}

// ---- Endings ----------------------------------------------------------------------------------------

// A code for one of the host's setters: a common code (bio_set_ops_result / bio_set_notify_mid), the
// operation's own value or a driver id (bio_set_ops_abs_result / bio_set_notify_abs_mid), or no call.
struct HostCode {
    enum Setter { None, Common, Own } setter;
    int value;
};
inline constexpr HostCode kNoCode{HostCode::None, 0};
inline constexpr HostCode common_code(int value) { return {HostCode::Common, value}; }
inline constexpr HostCode own_code(int value) { return {HostCode::Own, value}; }

// The orders in which endings tell result, notify id and the idle status. Most end with the status; the
// failures of open and of the finger wait, open's success and the feature list go idle first, and a failed
// extraction or on-chip store go idle between result and text. Hosts have seen each of these orders since
// the driver's first release, so they are kept as they are.
enum class Order { ResultNotifyIdle, IdleResultNotify, ResultIdleNotify, ResultNotifyStillBusy };

inline void tell_result(bio_dev *dev, HostCode result)
{
    if (result.setter == HostCode::Common)
        bio_set_ops_result(dev, result.value);
    else if (result.setter == HostCode::Own)
        bio_set_ops_abs_result(dev, result.value);
}

inline void tell_notify(bio_dev *dev, HostCode notify)
{
    if (notify.setter == HostCode::Common)
        bio_set_notify_mid(dev, notify.value);
    else if (notify.setter == HostCode::Own)
        bio_set_notify_abs_mid(dev, notify.value);
}

inline void tell(bio_dev *dev, Order order, HostCode result, HostCode notify)
{
    switch (order) {
    case Order::ResultNotifyIdle:
        tell_result(dev, result);
        tell_notify(dev, notify);
        bio_set_dev_status(dev, DEVS_COMM_IDLE);
        break;
    case Order::IdleResultNotify:
        bio_set_dev_status(dev, DEVS_COMM_IDLE);
        tell_result(dev, result);
        tell_notify(dev, notify);
        break;
    case Order::ResultIdleNotify:
        tell_result(dev, result);
        bio_set_dev_status(dev, DEVS_COMM_IDLE);
        tell_notify(dev, notify);
        break;
    case Order::ResultNotifyStillBusy:
        tell_result(dev, result);
        tell_notify(dev, notify);
        break;
    }
}

// Configure and open start from a clean slate: idle, no result, no message.
inline void tell_fresh_start(bio_dev *dev)
{
    tell(dev, Order::IdleResultNotify, common_code(OPS_COMM_SUCCESS), common_code(NOTIFY_COMM_IDLE));
}

// A device the configuration disabled takes no operation and touches neither sensor nor database: the
// status becomes DEVS_COMM_DISABLE and stays there; enrollment also tells NOTIFY_COMM_DISABLE. True when
// the operation was refused.
enum class Refusal { StatusOnly, WithNotify };
inline bool refused_while_disabled(bio_dev *dev, Refusal refusal = Refusal::StatusOnly)
{
    if (dev->enable != 0)
        return false;
    bio_set_dev_status(dev, DEVS_COMM_DISABLE);
    if (refusal == Refusal::WithNotify)
        bio_set_notify_mid(dev, NOTIFY_COMM_DISABLE);
    return true;
}

// The loop that saw a stop request answers it (CTRL_STOPPED) and ends the operation as stopped.
inline void end_stopped(bio_dev *dev)
{
    priv_of(dev)->ctrlFlag = CTRL_STOPPED;
    tell(dev, Order::ResultNotifyIdle, common_code(OPS_COMM_STOP_BY_USER), common_code(NOTIFY_COMM_STOP_BY_USER));
}

// The wait ran out, or found the run/stop handshake not armed.
inline void end_timed_out(bio_dev *dev)
{
    tell(dev, Order::ResultNotifyIdle, common_code(OPS_COMM_TIMEOUT), common_code(NOTIFY_COMM_TIMEOUT));
}

inline void end_out_of_memory(bio_dev *dev)
{
    tell(dev, Order::ResultNotifyIdle, common_code(OPS_COMM_OUT_OF_MEM), common_code(NOTIFY_COMM_OUT_OF_MEM));
}

// The operation's own value as result and notify id: a match or none, an enrolled finger, a clean.
inline void end_outcome(bio_dev *dev, int value)
{
    tell(dev, Order::ResultNotifyIdle, own_code(value), own_code(value));
}

// The same, told while the operation still has work to do before its end.
inline void tell_outcome(bio_dev *dev, int value)
{
    tell(dev, Order::ResultNotifyStillBusy, own_code(value), own_code(value));
}

// The end of an operation that told its outcome while it still had work to do.
inline void end_told_outcome(bio_dev *dev) { bio_set_dev_status(dev, DEVS_COMM_IDLE); }

// Open and the feature list go idle before they tell their success (open leaves the notify id alone).
inline void end_opened(bio_dev *dev) { tell(dev, Order::IdleResultNotify, own_code(OPS_OPEN_SUCCESS), kNoCode); }
inline void end_listed(bio_dev *dev)
{
    tell(dev, Order::IdleResultNotify, own_code(OPS_GET_FLIST_SUCCESS), own_code(NOTIFY_GET_FLIST_SUCCESS));
}

// The operation's failure value through the common result setter, which the host records unchanged, and
// its failure notify id if it has one: OPS_ENROLL_FAIL after a failed on-chip enrollment (the notify id
// stays what the failing step told), OPS_CLEAN_FAIL with NOTIFY_CLEAN_FAIL.
inline void end_failed(bio_dev *dev, int failure, HostCode notify = kNoCode)
{
    tell(dev, Order::ResultNotifyIdle, common_code(failure), notify);
}

// A failure the user is told about in words: the text goes into extra_info, the host gets OPS_COMM_ERROR,
// notify 9 and the idle status in the given order, and the text goes to the error log.
inline void end_with_error(bio_dev *dev, Order order, const char *format, ...) __attribute__((format(printf, 3, 4)));
inline void end_with_error(bio_dev *dev, Order order, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vset_extra_info(priv_of(dev), format, args);
    va_end(args);
    tell(dev, order, common_code(OPS_COMM_ERROR), own_code(MID_EXTENDED_MESSAGE));
    log_current_message(dev, LogAs::Error);
}

}  // namespace kelvra

#endif
