// replay.h - how the sensor's SDK calls hand themselves to a loaded replay.
#ifndef KELVS_REPLAY_H
#define KELVS_REPLAY_H

#include "sdk_calls.h"

#include <functional>
#include <optional>

namespace kelvs {

// Whether a trace is loaded; cheap, so every call can ask.
bool replay_loaded();
// Answers one call from the trace: build makes the call from the caller's arguments with the replay's
// handle ids. The recorded return code, or KELVS_ERR_REPLAY once the driver has left the trace.
int replay_answer(const std::function<kelvra::trace::SdkCall(kelvra::trace::SdkSession &)> &build);
void replay_stop();

// The first thing every SDK entry point does: while a replay is loaded, the trace answers the call.
template <class Build>
std::optional<int> replayed(Build build)
{
    if (!replay_loaded())
        return std::nullopt;
    return replay_answer(build);
}

}  // namespace kelvs

#endif
