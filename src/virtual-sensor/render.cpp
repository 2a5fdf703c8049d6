// render.cpp - draws the grey frames the sensor sees: ridges of the named finger where it touches.
#include "vs_internal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kelvs {
namespace {

// The ridge pattern of one finger: its orientation, spacing, phase and a gentle wave, all taken from
// the finger's name so that one finger always shows the same pattern.
struct Ridges {
    double cos_t, sin_t, period, phase, warp, warp_len, warp_phase;
    explicit Ridges(uint64_t id)
    {
        uint64_t a = mix64(id), b = mix64(a);
        double theta = double(a & 0xffff) / 65536.0 * std::numbers::pi;
        cos_t = std::cos(theta);
        sin_t = std::sin(theta);
        period = 7.0 + double((a >> 16) % 400) / 100.0;
        phase = double((a >> 32) & 0xffff) / 65536.0 * 2.0 * std::numbers::pi;
        warp = 1.5 + double(b % 300) / 100.0;
        warp_len = 10.0 + double((b >> 16) % 1000) / 100.0;
        warp_phase = double((b >> 32) & 0xffff) / 65536.0 * 2.0 * std::numbers::pi;
    }
    // Grey level of finger skin at (u, v) in the finger's own coordinates: 27 (ridge) to 163 (valley).
    double grey(double u, double v) const
    {
        double across = u * cos_t + v * sin_t;
        double along = -u * sin_t + v * cos_t;
        double a = 2.0 * std::numbers::pi / period * (across + warp * std::sin(along / warp_len + warp_phase)) + phase;
        return 95.0 + 62.0 * std::sin(a);
    }
};

struct Ellipse {
    double cx, cy, ax, ay;
};

// Where the finger touches. A full press on the small match-on-chip frame covers all of it; on the
// larger host frame it is an upright ellipse. Landing touches with the tip low on the sensor, leaving
// keeps the last bit high.
Ellipse contact_area(const FingerView &f, int w, int h)
{
    bool chip = w <= KELFPSCAN_MOC_IMAGE_WIDTH && h <= KELFPSCAN_MOC_IMAGE_HEIGHT;
    double shift = chip ? 0.04 : 0.12;
    double cx = w / 2.0 + f.x * w * shift, cy = h / 2.0 + f.y * h * shift;
    if (f.contact == KELVS_CONTACT_PARTIAL) {
        double ty = f.leaving ? h * 0.25 : h * 0.75;
        return {cx, ty, w * (chip ? 0.30 : 0.20), h * (chip ? 0.35 : 0.22)};
    }
    if (chip)
        return {cx, cy, w * 0.8, h * 0.8};
    return {cx, cy, w * 0.36, h * 0.44};
}

// 0 to level grey levels (level at most 15).
uint8_t noise(uint64_t seed, int x, int y, int level)
{
    return uint8_t(int(mix64(seed ^ (uint64_t(uint32_t(x)) << 32) ^ uint32_t(y)) & 0x0f) * level / 15);
}

}  // namespace

void render_frame(std::span<uint8_t> image, int w, int h, const FingerView &f, uint64_t frame_serial, int level)
{
    uint64_t seed = mix64(frame_serial);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image[size_t(y) * w + x] = uint8_t(240 + noise(seed, x, y, level));
    if (f.contact == KELVS_CONTACT_NONE)
        return;

    Ridges ridges(f.id);
    Ellipse e = contact_area(f, w, h);
    // The pattern moves with the finger: the same skin sits under a different part of the sensor.
    double ox = f.x * w * 0.12, oy = f.y * h * 0.12;
    std::vector<double> skin(size_t(w) * h, -1.0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double dx = (x - e.cx) / e.ax, dy = (y - e.cy) / e.ay;
            double r = std::sqrt(dx * dx + dy * dy);
            if (r > 1.0)
                continue;
            double g = ridges.grey(x - ox, y - oy) + (int(noise(seed + 1, x, y, level)) - 8 * level / 15) * 0.75;
            // Less pressure at the rim of the contact: lighter, still well short of the background.
            if (r > 0.9)
                g += (r - 0.9) / 0.1 * 40.0;
            skin[size_t(y) * w + x] = g;
        }
    }
    if (f.contact == KELVS_CONTACT_SMEARED) {
        // A finger sliding across its ridges: each point averages one ridge period along the motion,
        // which washes the ridges out into an even grey.
        std::vector<double> smeared(skin.size(), -1.0);
        constexpr int steps = 8;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                if (skin[size_t(y) * w + x] < 0)
                    continue;
                double sum = 0;
                for (int k = 0; k < steps; ++k) {
                    double t = ((k + 0.5) / steps - 0.5) * ridges.period;
                    sum += ridges.grey(x + t * ridges.cos_t - ox, y + t * ridges.sin_t - oy);
                }
                smeared[size_t(y) * w + x] = sum / steps + (int(noise(seed + 2, x, y, level)) - 8 * level / 15) * 0.5;
            }
        }
        skin.swap(smeared);
    }
    for (size_t i = 0; i < skin.size(); ++i)
        if (skin[i] >= 0)
            image[i] = uint8_t(std::clamp(skin[i], 0.0, 210.0));
}

}  // namespace kelvs
