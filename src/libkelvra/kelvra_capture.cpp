// kelvra_capture.cpp - the match-on-host finger wait: capture frames and grade them until a press or a lift.
#include "kelvra_endings.h"
#include "kelvra_internal.h"
#include "kelvra_wait.h"

#include <cstddef>

namespace {

// The SDK grades an empty sensor well below 25 and a good press well above 50.
constexpr int kPressAbove = 50;
constexpr int kLiftAtMost = 24;

// A sensor that fails every capture would otherwise be polled as fast as the bus answers, flooding the
// log with the same prompt for the whole time-out.
constexpr int kFailedCapturePauseMs = 50;

bool frame_passes(kelvra::FingerAwaited awaited, int quality)
{
    return awaited == kelvra::FingerAwaited::Press ? quality > kPressAbove : quality <= kLiftAtMost;
}

}  // namespace

namespace kelvra {

WaitOutcome wait_for_graded_frame(bio_dev *dev, FingerAwaited awaited)
{
    kelvra_driver_t *priv = priv_of(dev);
    return wait_until(priv, [&] {
        iops_buf_clean(priv->rawImage, static_cast<std::size_t>(priv->imageW * priv->imageH));
        int quality = 0;
        if (KELFPSCAN_CaptureRawData(priv->handle, 0, priv->rawImage) != 0) {
            // No grade was taken, so the bracket shows the 0 the grade was reset to. The text asks for a
            // press even in a lift wait: the user is told what the sensor needs, a finger it can see.
            announce(dev, LogAs::Error,
                     tr("The fingerprint image quality is poor[%d], please press your finger again\n"), quality);
            return Pass::retry(kFailedCapturePauseMs);
        }
        const int q_ret = KELFPSCAN_ImgQuality(priv->imageW, priv->imageH, priv->rawImage, &quality);
        if (q_ret != 0)
            return Pass::sensor_error(q_ret);
        // A frame that does not pass is followed by the next capture at once: the capture sets the pace.
        return frame_passes(awaited, quality) ? Pass::satisfied() : Pass::not_yet(0);
    });
}

void end_finger_wait(bio_dev *dev, const WaitOutcome &wait)
{
    switch (wait.end) {
    case WaitOutcome::End::Stopped:
        end_stopped(dev);
        return;
    case WaitOutcome::End::SensorError:
        end_with_error(dev, Order::IdleResultNotify, tr("Analyze fingerprint image quality error, error code: %d"),
                       wait.code);
        return;
    case WaitOutcome::End::TimedOut:
    case WaitOutcome::End::Answer:
        // Also the way out when the flag was neither running nor a stop request (idle, stopped, finished).
        end_timed_out(dev);
        return;
    case WaitOutcome::End::Satisfied:
        return;
    }
}

}  // namespace kelvra
