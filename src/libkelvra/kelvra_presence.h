// kelvra_presence.h - what one measured on-chip frame means to a wait for a finger or for its lift.
#ifndef KELVRA_PRESENCE_H
#define KELVRA_PRESENCE_H

namespace kelvra {

// Covered percentage of a 96 x 96 frame that separates a press from an empty sensor.
inline constexpr float kPresenceThreshold = 85.0f;

// A press needs more than the threshold; a lift wait counts only frames below it as empty, so a
// frame right at the threshold is neither a press nor an empty sensor.
inline bool frame_shows_press(float imgScore) { return imgScore > kPresenceThreshold; }
inline bool frame_shows_no_finger(float imgScore) { return imgScore < kPresenceThreshold; }

}  // namespace kelvra

#endif
