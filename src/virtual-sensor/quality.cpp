// quality.cpp - grades an image by how much of it the finger covers and how clear its ridges are.
#include "replay.h"
#include "vs_internal.h"

#include <algorithm>
#include <cmath>

namespace kelvs {

// Pixels darker than this are skin; the background stays above it.
constexpr int skin_level = 220;

int grade_image(std::span<const uint8_t> image, int width, int height)
{
    size_t n = size_t(width) * size_t(height);
    if (n == 0 || image.size() < n)
        return 0;
    size_t dark = 0;
    double sum = 0, sum2 = 0;
    for (size_t i = 0; i < n; ++i) {
        int p = image[i];
        if (p < skin_level) {
            ++dark;
            sum += p;
            sum2 += double(p) * p;
        }
    }
    if (dark == 0)
        return 0;
    double coverage = double(dark) / double(n);
    double mean = sum / double(dark);
    double spread = std::sqrt(std::max(0.0, sum2 / double(dark) - mean * mean));
    // A press covers a third of the frame or more; a touch of a few percent is not a finger yet.
    double cover = std::clamp((coverage - 0.05) / 0.30, 0.0, 1.0);
    // Clear ridges swing the grey level by some 40 either way; a smear leaves almost no swing but is
    // still a finger on the sensor, so it keeps a third of the grade.
    double ridges = std::clamp((spread - 8.0) / 25.0, 0.0, 1.0);
    return int(std::lround(100.0 * cover * (0.35 + 0.65 * ridges)));
}

}  // namespace kelvs

KELVS_EXPORT int KELFPSCAN_ImgQuality(int width, int height, const unsigned char *image, int *quality)
{
    if (auto replayed = kelvs::replayed([&](auto &s) { return kelvra::trace::img_quality(s, width, height, image, quality); }))
        return *replayed;
    auto &s = kelvs::state();
    std::lock_guard lock(s.mu);
    auto rec = kelvs::make_record(KELVS_ImgQuality, width, height);
    int rc = 0;
    if (auto a = kelvs::take_answer(s, KELVS_ImgQuality)) {
        rc = a->rc;
        if (a->has_out && quality)
            *quality = a->out[0];
    } else if (!image || !quality || width <= 0 || height <= 0 || width > 4096 || height > 4096) {
        rc = KELVS_ERR_ARGUMENT;
    } else {
        *quality = kelvs::grade_image({image, size_t(width) * size_t(height)}, width, height);
    }
    return kelvs::finish_call(s, rec, rc);
}
