// kelvra_presence.cpp - match-on-chip wait for a finger to press or lift, judged on 96 x 96 raw frames.
#include "kelvra_presence.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kelvra_internal.h"
#include "kelvra_wait.h"

namespace {

constexpr int kFramePauseMs = 50;
// Frames in a row without a finger that end a lift wait.
constexpr unsigned kEmptyFramesForLift = 3;
// A capture that fails or writes nothing leaves this fill, which measures as an empty sensor.
constexpr unsigned char kFrameFill = 255;

// imgBuf is one buffer for every device of the module: two devices waiting at once would fill,
// capture into and measure each other's frames.
std::mutex g_frame_lock;

float capture_and_measure(void *handle)
{
    std::lock_guard<std::mutex> lock(g_frame_lock);
    std::memset(imgBuf, kFrameFill, static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    // The capture's answer is not looked at: a failed capture leaves the fill, which reads as no finger.
    KELFPSCAN_CaptureRawData(handle, 0, imgBuf);
    return kelvra::covered_percentage(imgBuf, w, h);
}

}  // namespace

namespace kelvra {

WaitOutcome wait_for_presence(bio_dev *dev, FingerAwaited awaited)
{
    kelvra_driver_t *priv = priv_of(dev);
    uint8_t noFingerCnt = 0;
    return wait_until(priv, [&] {
        const float imgScore = capture_and_measure(priv->handle);
        // Field tools read the score of every frame from standard output, in this form, without a newline
        // at the end.
        std::printf("\n enroll imgScore = %d", static_cast<int>(imgScore));
        if (awaited == FingerAwaited::Lift) {
            noFingerCnt = frame_shows_no_finger(imgScore) ? static_cast<uint8_t>(noFingerCnt + 1) : 0;
            if (noFingerCnt >= kEmptyFramesForLift)
                return Pass::satisfied();
        } else if (awaited == FingerAwaited::Press && frame_shows_press(imgScore)) {
            return Pass::satisfied();
        }
        return Pass::not_yet(kFramePauseMs);
    });
}

}  // namespace kelvra
