// estimator_fuzz.cpp - the finger-area estimator on any frame size and pixels, against a plain oracle.
//
// Input: bytes 0-1 the width, bytes 2-3 the height (little-endian, each taken modulo 401), then the
// pixels row by row; pixels the input does not cover are 255, as the capture buffer is filled before a
// capture. The frame is allocated at exactly width x height bytes so that ASan reports any read outside
// it. The oracle below is deliberately naive: every probe pixel is looked at, nothing is shared between
// the four scans. Both sides compute the percentage with the same single-precision operations in the
// same order (product of the extents, divided by the capped area, times 100), and no step of that can be
// contracted into a fused multiply-add, so the results are compared bit for bit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kelvra_internal.h"

namespace {

constexpr int kMaxSide = 400;
constexpr int kDarkBelow = 220;

struct Frame {
    const unsigned char *pixels;
    int w;
    int h;
    bool dark(int row, int col) const { return pixels[row * w + col] < kDarkBelow; }
};

// A probe group along a row: the pixels at columns c, c+2, c+4 of that row.
bool row_group_dark(const Frame &f, int row, int c) { return f.dark(row, c) || f.dark(row, c + 2) || f.dark(row, c + 4); }
// A probe group along a column: the pixels at rows r, r+2, r+4 of that column.
bool col_group_dark(const Frame &f, int col, int r) { return f.dark(r, col) || f.dark(r + 2, col) || f.dark(r + 4, col); }

// Runs one scan over the given lines; the edge is the first line after which all three sticky flags are
// set, 0 when the lines run out.
template <typename SeesDark>
int scan(int first, int last, int step, const int positions[3], SeesDark sees_dark)
{
    int flag[3] = {0, 0, 0};
    for (int line = first; step > 0 ? line <= last : line >= last; line += step) {
        for (int g = 0; g < 3; ++g) {
            if (sees_dark(line, positions[g]))
                flag[g] = 1;
        }
        if (flag[0] + flag[1] + flag[2] == 3)
            return line;
    }
    return 0;
}

float oracle(const Frame &f)
{
    if (f.w <= 19 || f.h <= 19)
        return 0.0f;
    const int cols[3] = {f.w / 2, f.w / 4, (3 * f.w) / 4};
    const int rows[3] = {f.h / 2, f.h / 4, (3 * f.h) / 4};
    auto on_row = [&](int row, int c) { return row_group_dark(f, row, c); };
    auto on_col = [&](int col, int r) { return col_group_dark(f, col, r); };

    const int top = scan(0, f.h - 1, 1, cols, on_row);
    const int left = scan(0, f.w - 1, 1, rows, on_col);
    const int bottom = scan(f.h - 1, 1, -1, cols, on_row);
    const int right = scan(f.w - 1, 1, -1, rows, on_col);

    int linex = right - left;
    if (linex <= 0)
        linex = 1;
    int liney = bottom - top;
    if (liney <= 0)
        liney = 1;

    const int capped_w = f.w < 256 ? f.w : 256;
    const int capped_h = f.h < 360 ? f.h : 360;
    float size = static_cast<float>(liney) * static_cast<float>(linex);
    size = size / static_cast<float>(capped_w * capped_h);
    size = size * 100.0f;
    if (size > 100.0f)
        size = 100.0f;
    if (linex == 1 && liney == 1)
        size = 0.0f;
    return size;
}

int side_from(const uint8_t *data, size_t size, size_t at)
{
    const unsigned lo = at < size ? data[at] : 0;
    const unsigned hi = at + 1 < size ? data[at + 1] : 0;
    return static_cast<int>((lo | (hi << 8)) % (kMaxSide + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int w = side_from(data, size, 0);
    const int h = side_from(data, size, 2);
    const size_t area = static_cast<size_t>(w) * static_cast<size_t>(h);

    // new[] of zero bytes still yields a distinct pointer whose every byte ASan reports when read.
    unsigned char *img = new unsigned char[area];
    std::memset(img, 255, area);
    if (size > 4)
        std::memcpy(img, data + 4, size - 4 < area ? size - 4 : area);

    float measured = -1.0f;
    const int ret = DevAlg_ImgQsize(img, w, h, &measured);
    const float expected = oracle(Frame{img, w, h});
    delete[] img;

    if (ret != 0) {
        std::fprintf(stderr, "FINDING: DevAlg_ImgQsize returned %d for %d x %d\n", ret, w, h);
        std::abort();
    }
    if (std::memcmp(&measured, &expected, sizeof(float)) != 0) {
        std::fprintf(stderr, "FINDING: %d x %d frame measured %.9g percent, the oracle says %.9g\n", w, h,
                     static_cast<double>(measured), static_cast<double>(expected));
        std::abort();
    }
    return 0;
}
