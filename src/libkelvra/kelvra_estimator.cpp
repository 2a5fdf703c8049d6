// kelvra_estimator.cpp - how much of a raw frame a finger covers, from the edges seen on a few probe lines.
#include "kelvra_internal.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace {

// Ridges are dark; the sensor's empty background and the 255 fill of an unwritten frame are light.
constexpr int kGreyThreshold = 220;
constexpr int kMinSide = 20;
// The area is measured against at most this many pixels, whatever the frame.
constexpr int kMaxCountedWidth = 256;
constexpr int kMaxCountedHeight = 360;
constexpr float kCeiling = 100.0f;
// Each probe position is widened to the lines at offsets 0, +2 and +4.
constexpr int kProbeStep = 2;
constexpr int kLinesPerProbe = 3;

using Probes = std::array<int, 3>;

// Probe positions across a side of n pixels: the middle, a quarter and three quarters in.
Probes probes_of(int n)
{
    return {n / 2, n / 4, static_cast<int>((3 * static_cast<int64_t>(n)) / 4)};
}

bool is_dark(unsigned char value) { return value < kGreyThreshold; }

// A frame seen either along its rows or along its columns: line i, position p is pixel (i, p) of
// the rows view and pixel (p, i) of the columns view.
struct View {
    const unsigned char *img;
    std::size_t width;
    bool along_columns;

    unsigned char at(int line, int pos) const
    {
        const std::size_t row = along_columns ? static_cast<std::size_t>(pos) : static_cast<std::size_t>(line);
        const std::size_t col = along_columns ? static_cast<std::size_t>(line) : static_cast<std::size_t>(pos);
        return img[row * width + col];
    }

    bool group_sees_dark(int line, int probe) const
    {
        for (int k = 0; k < kLinesPerProbe; ++k)
            if (is_dark(at(line, probe + kProbeStep * k)))
                return true;
        return false;
    }
};

// Walks the lines from first towards last (inclusive, step +1 or -1) and returns the first line on
// which every probe group has seen dark on it or on an earlier line of this walk; 0 when none does.
int scan_edge(const View &view, const Probes &probes, int first, int last, int step)
{
    std::array<bool, 3> seen{};
    for (int line = first; step > 0 ? line <= last : line >= last; line += step) {
        for (std::size_t g = 0; g < probes.size(); ++g)
            if (!seen[g])
                seen[g] = view.group_sees_dark(line, probes[g]);
        if (seen[0] && seen[1] && seen[2])
            return line;
    }
    return 0;
}

}  // namespace

extern "C" {

int DevAlg_ImgQsize(unsigned char *img, int w, int h, float *size)
{
    if (w < kMinSide || h < kMinSide) {
        *size = 0.0f;
        return 0;
    }

    const View rows{img, static_cast<std::size_t>(w), false};
    const View columns{img, static_cast<std::size_t>(w), true};
    const Probes column_probes = probes_of(w);
    const Probes row_probes = probes_of(h);

    const int top = scan_edge(rows, column_probes, 0, h - 1, +1);
    const int left = scan_edge(columns, row_probes, 0, w - 1, +1);
    // The last scans stop before line 0: a finger edge on the frame's first line reads as none.
    const int bottom = scan_edge(rows, column_probes, h - 1, 1, -1);
    const int right = scan_edge(columns, row_probes, w - 1, 1, -1);

    int linex = right - left;
    if (linex <= 0)
        linex = 1;
    int liney = bottom - top;
    if (liney <= 0)
        liney = 1;

    const int counted = std::min(w, kMaxCountedWidth) * std::min(h, kMaxCountedHeight);
    float area = static_cast<float>(liney) * static_cast<float>(linex);
    area = area / static_cast<float>(counted);
    area = area * 100.0f;
    if (area > kCeiling)
        area = kCeiling;
    if (linex == 1 && liney == 1)
        area = 0.0f;
    *size = area;
    return 0;
}

}  // extern "C"
