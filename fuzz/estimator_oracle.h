// estimator_oracle.h - the finger-area estimator as the plain scans it is defined by, to check the
// driver's DevAlg_ImgQsize against (the fuzz target and the estimator tests).
//
// Deliberately naive: every probe pixel of a line is looked at, the four scans run in full one after
// another with their own sticky flags, nothing is shared between them. This is also how the driver
// measured frames before its scans were made to skip work. The percentage is computed with the same
// single-precision operations in the same order as the driver (product of the extents, divided by the
// capped area, times 100), none of which can be contracted into a fused multiply-add, so the results of
// the two compare bit for bit.
#ifndef KELVRA_ESTIMATOR_ORACLE_H
#define KELVRA_ESTIMATOR_ORACLE_H

namespace estimator_oracle {

constexpr int kDarkBelow = 220;

struct Frame {
    const unsigned char *pixels;
    int w;
    int h;
    bool dark(int row, int col) const { return pixels[row * w + col] < kDarkBelow; }
};

// A probe group along a row: the pixels at columns c, c+2, c+4 of that row.
inline bool row_group_dark(const Frame &f, int row, int c)
{
    return f.dark(row, c) || f.dark(row, c + 2) || f.dark(row, c + 4);
}
// A probe group along a column: the pixels at rows r, r+2, r+4 of that column.
inline bool col_group_dark(const Frame &f, int col, int r)
{
    return f.dark(r, col) || f.dark(r + 2, col) || f.dark(r + 4, col);
}

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

// The percentage of the frame the finger covers.
inline float area(const Frame &f)
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

}  // namespace estimator_oracle

#endif  // KELVRA_ESTIMATOR_ORACLE_H
