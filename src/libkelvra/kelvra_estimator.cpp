// kelvra_estimator.cpp - how much of a raw frame a finger covers, from the edges seen on a few probe lines.
//
// Each edge comes from a scan over the lines of one direction that keeps a flag per probe group, set
// once the group has seen dark, and stops on the first line where all three are set. That line is the one
// on which the last of the groups first sees dark: the near edge is the largest of the three groups'
// first dark lines, and the far edge (scanning back from the end, line 0 excluded) the smallest of their
// last dark lines. This file finds those lines group by group, which gives the scans' result to the bit
// while reading far less of the frame:
//  - a group that never sees dark ends the search of its direction at once: no edge on either side (the
//    far scan cannot find what the near one, over more lines, did not);
//  - each group's search stops at its own dark line;
//  - along a row, a group's three pixels are judged as one 8-byte word; across the columns, whose probe
//    pixels lie side by side in the probe rows, sixteen columns are judged at a time.
// The presence wait runs this on every frame, mostly on an empty sensor, where a direction costs one
// group's pass over its lines.
#include "kelvra_internal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

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
constexpr int kNone = -1;

// Probe positions across a side of n pixels: the middle, a quarter and three quarters in.
std::array<int, 3> probe_positions(int n)
{
    return {n / 2, n / 4, static_cast<int>((3 * static_cast<int64_t>(n)) / 4)};
}

inline bool is_dark(unsigned char pixel) { return pixel < kGreyThreshold; }

// Three pixels `step` bytes apart, from `at`.
inline bool any_dark(const unsigned char *at, std::size_t step)
{
    return is_dark(at[0]) | is_dark(at[kProbeStep * step]) | is_dark(at[2 * kProbeStep * step]);
}

// ---- Down the rows: a probe group is three pixels of a row, at columns c, c+2, c+4 --------------------

// The three pixels lie in one 8-byte word. Per byte, p is dark (below 220) exactly when 255 - p is at
// least 36, and adding 92 to the low seven bits of 255 - p carries into the top bit exactly then (or the
// top bit is already set); no byte carries into the next.
constexpr uint64_t kEachByte = 0x0101010101010101ull;
constexpr uint64_t kLowSevenBits = 0x7f * kEachByte;
constexpr uint64_t kDarkCarry = (128 - (255 - (kGreyThreshold - 1))) * kEachByte;
constexpr uint64_t kProbeTopBits =
    std::bit_cast<uint64_t>(std::array<unsigned char, 8>{0x80, 0, 0x80, 0, 0x80, 0, 0, 0});

inline bool word_dark(const unsigned char *at)
{
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    const uint64_t lightness = ~word;
    return ((((lightness & kLowSevenBits) + kDarkCarry) | lightness) & kProbeTopBits) != 0;
}

struct RowGroup {
    const unsigned char *column;  // the group's first pixel in row 0
    std::size_t width;
    int rows;
    int word_rows;  // rows whose word stays inside the frame: all but the last, unless the word fits in a row

    bool dark_on(int row) const
    {
        const unsigned char *at = column + static_cast<std::size_t>(row) * width;
        return row < word_rows ? word_dark(at) : any_dark(at, 1);
    }
    int first_dark() const
    {
        for (int row = 0; row < rows; ++row)
            if (dark_on(row))
                return row;
        return kNone;
    }
    int last_dark_after_line_0() const
    {
        for (int row = rows - 1; row >= 1; --row)
            if (dark_on(row))
                return row;
        return kNone;
    }
};

// ---- Across the columns: a probe group is three pixels of a column, in rows r, r+2, r+4 ---------------

typedef unsigned char Pixels __attribute__((vector_size(16)));
typedef signed char Marks __attribute__((vector_size(16)));
constexpr int kVectorColumns = sizeof(Pixels);

// The top bit of each of the eight bytes, as eight bits (byte 0 to bit 0).
inline unsigned top_bits(uint64_t bytes)
{
    return static_cast<unsigned>(((bytes & 0x8080808080808080ull) * 0x0002040810204081ull) >> 56);
}

struct ColumnGroup {
    const unsigned char *row;  // the group's first pixel in column 0
    std::size_t width;
    int columns;

    bool dark_on(int column) const { return any_dark(row + column, width); }

    // Bit k set when the group sees dark in column `column` + k.
    unsigned dark_on_sixteen(int column) const
    {
        Pixels p[3];
        for (std::size_t k = 0; k < 3; ++k)
            std::memcpy(&p[k], row + kProbeStep * k * width + static_cast<std::size_t>(column), sizeof(Pixels));
        const Marks marks = (p[0] < kGreyThreshold) | (p[1] < kGreyThreshold) | (p[2] < kGreyThreshold);
        uint64_t halves[2];
        std::memcpy(halves, &marks, sizeof halves);
        return top_bits(halves[0]) | top_bits(halves[1]) << 8;
    }
    int first_dark() const
    {
        int column = 0;
        for (; column + kVectorColumns <= columns; column += kVectorColumns)
            if (const unsigned dark = dark_on_sixteen(column))
                return column + std::countr_zero(dark);
        for (; column < columns; ++column)
            if (dark_on(column))
                return column;
        return kNone;
    }
    int last_dark_after_line_0() const
    {
        int end = columns;  // columns from `end` on are done
        for (; end - kVectorColumns >= 1; end -= kVectorColumns)
            if (const unsigned dark = dark_on_sixteen(end - kVectorColumns))
                return end - kVectorColumns + (31 - std::countl_zero(dark));
        for (int column = end - 1; column >= 1; --column)
            if (dark_on(column))
                return column;
        return kNone;
    }
};

// ---- Both directions ---------------------------------------------------------------------------------

// The near and far edge of one direction, each 0 when its scan finds nothing.
struct Edges {
    int near_edge = 0;
    int far_edge = 0;
};

template <typename Group>
Edges edges_of(const std::array<Group, 3> &groups)
{
    Edges edges;
    for (const Group &group : groups) {
        const int first = group.first_dark();
        if (first == kNone)
            return {};
        edges.near_edge = std::max(edges.near_edge, first);
    }
    int far_edge = std::numeric_limits<int>::max();
    for (const Group &group : groups) {
        const int last = group.last_dark_after_line_0();
        if (last == kNone)
            return edges;
        far_edge = std::min(far_edge, last);
    }
    edges.far_edge = far_edge;
    return edges;
}

}  // namespace

namespace kelvra {

float covered_percentage(const unsigned char *img, int w, int h)
{
    if (w < kMinSide || h < kMinSide)
        return 0.0f;

    const std::size_t width = static_cast<std::size_t>(w);
    // Rows are probed at three column groups, columns at three row groups.
    std::array<RowGroup, 3> row_groups;
    std::array<ColumnGroup, 3> column_groups;
    const std::array<int, 3> columns = probe_positions(w);
    const std::array<int, 3> rows = probe_positions(h);
    for (std::size_t g = 0; g < 3; ++g) {
        const bool word_fits_a_row = columns[g] + static_cast<int>(sizeof(uint64_t)) <= w;
        row_groups[g] = {img + columns[g], width, h, word_fits_a_row ? h : h - 1};
        column_groups[g] = {img + static_cast<std::size_t>(rows[g]) * width, width, w};
    }
    const Edges vertical = edges_of(row_groups);
    const Edges horizontal = edges_of(column_groups);
    const int top = vertical.near_edge;
    const int bottom = vertical.far_edge;
    const int left = horizontal.near_edge;
    const int right = horizontal.far_edge;

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
    return area;
}

}  // namespace kelvra
