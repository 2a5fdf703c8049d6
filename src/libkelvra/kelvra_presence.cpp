// kelvra_presence.cpp - match-on-chip wait for a finger to press or lift, judged on 96 x 96 raw frames.
#include "kelvra_presence.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kelvra_internal.h"
#include "kelvra_platform.h"

extern "C" {
KELVRA_EXPORT int w = KELVRA_MOC_SIDE;
KELVRA_EXPORT int h = KELVRA_MOC_SIDE;
KELVRA_EXPORT unsigned char imgBuf[KELVRA_MOC_SIDE * KELVRA_MOC_SIDE];
}

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
    KELFPSCAN_CaptureRawData(handle, 0, imgBuf);
    float imgScore = 0.0f;
    DevAlg_ImgQsize(imgBuf, w, h, &imgScore);
    return imgScore;
}

}  // namespace

extern "C" {

int iops_finger_status_check_moc(bio_dev *dev, int action, int /*enrollCnt*/)
{
    kelvra_driver_t *priv = kelvra::priv_of(dev);
    const kelvra::Stopwatch start = kelvra::start_clock();
    int elapsed = 0;
    uint8_t noFingerCnt = 0;

    while (priv->ctrlFlag.load() == CTRL_RUNNING && elapsed < priv->timeoutMS) {
        const float imgScore = capture_and_measure(priv->handle);
        std::printf("\n enroll imgScore = %d", static_cast<int>(imgScore));

        if (action == -1) {
            noFingerCnt = kelvra::frame_shows_no_finger(imgScore) ? static_cast<uint8_t>(noFingerCnt + 1) : 0;
            if (noFingerCnt >= kEmptyFramesForLift)
                return 0;
        } else if (action == 1) {
            if (kelvra::frame_shows_press(imgScore))
                return 0;
        }

        kelvra::sleep_ms(kFramePauseMs);
        elapsed = kelvra::elapsed_ms(start);
    }
    return -1;
}

}  // extern "C"
