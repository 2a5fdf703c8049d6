// kelvra_capture.cpp - the match-on-host finger wait: capture frames and grade them until a press or a lift.
#include "kelvra_endings.h"
#include "kelvra_internal.h"
#include "kelvra_platform.h"

#include <cstddef>

namespace {

// The SDK grades an empty sensor well below 25 and a good press well above 50.
constexpr int kPressAbove = 50;
constexpr int kLiftAtMost = 24;

// A sensor that fails every capture would otherwise be polled as fast as the bus answers, flooding the
// log with the same prompt for the whole time-out.
constexpr int kFailedCapturePauseMs = 50;

constexpr int kActionPress = 1;

bool frame_passes(int action, int quality)
{
    return action == kActionPress ? quality > kPressAbove : quality <= kLiftAtMost;
}

}  // namespace

extern "C" int iops_finger_status_check(bio_dev *dev, int action)
{
    kelvra_driver_t *priv = kelvra::priv_of(dev);

    const kelvra::Stopwatch tv_start = kelvra::start_clock();
    int elapsed_ms = 0;
    bool done = false;

    while (priv->ctrlFlag.load() == CTRL_RUNNING && elapsed_ms < priv->timeoutMS) {
        iops_buf_clean(priv->rawImage, static_cast<std::size_t>(priv->imageW * priv->imageH));
        int quality = 0;

        const int ret = KELFPSCAN_CaptureRawData(priv->handle, 0, priv->rawImage);
        if (ret != 0) {
            // No grade was taken, so the bracket shows the 0 the grade was reset to.
            kelvra::announce(dev, kelvra::LogAs::Error,
                             kelvra::tr("The fingerprint image quality is poor[%d], please press your finger again\n"),
                             quality);
            kelvra::sleep_ms(kFailedCapturePauseMs);
        } else {
            const int q_ret = KELFPSCAN_ImgQuality(priv->imageW, priv->imageH, priv->rawImage, &quality);
            if (q_ret != 0) {
                kelvra::end_with_error(dev, kelvra::Order::IdleResultNotify,
                                       kelvra::tr("Analyze fingerprint image quality error, error code: %d"), q_ret);
                return -1;
            }
            if (frame_passes(action, quality)) {
                done = true;
                break;
            }
        }
        elapsed_ms = kelvra::elapsed_ms(tv_start);
    }

    if (done)
        return 0;

    if (priv->ctrlFlag.load() == CTRL_STOP_REQUESTED) {
        kelvra::end_stopped(dev);
        return -1;
    }
    // Also the way out when the flag was neither running nor a stop request (idle, stopped, finished).
    kelvra::end_timed_out(dev);
    return -1;
}
