// kelvra_capture.cpp - the match-on-host finger wait: capture frames and grade them until a press or a lift.
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
            kelvra::set_extra_info(
                priv, kelvra::tr("The fingerprint image quality is poor[%d], please press your finger again\n"),
                quality);
            kelvra::announce_extra_error(dev);
            kelvra::sleep_ms(kFailedCapturePauseMs);
        } else {
            const int q_ret = KELFPSCAN_ImgQuality(priv->imageW, priv->imageH, priv->rawImage, &quality);
            if (q_ret != 0) {
                kelvra::set_extra_info(priv, kelvra::tr("Analyze fingerprint image quality error, error code: %d"),
                                       q_ret);
                bio_set_dev_status(dev, DEVS_COMM_IDLE);
                bio_set_ops_result(dev, OPS_COMM_ERROR);
                kelvra::announce_extra_error(dev);
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
        priv->ctrlFlag = CTRL_STOPPED;
        kelvra::report_common_end(dev, OPS_COMM_STOP_BY_USER, NOTIFY_COMM_STOP_BY_USER);
        return -1;
    }
    // Also the way out when the flag was neither running nor a stop request (idle, stopped, finished).
    kelvra::report_common_end(dev, OPS_COMM_TIMEOUT, NOTIFY_COMM_TIMEOUT);
    return -1;
}
