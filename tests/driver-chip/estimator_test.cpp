// estimator_test.cpp - the finger-area estimator on frames whose edges are known.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "chip_support.h"
#include "estimator_oracle.h"
#include "harness.h"
#include "kelvra_internal.h"
#include "kelvra_presence.h"

namespace {

using chip_test::edge_frame;
using kelvra_test::dark_rect_frame;
using kelvra_test::light_frame;

float measure(std::vector<unsigned char> frame, int width, int height)
{
    float size = -1.0f;
    EXPECT_EQ(DevAlg_ImgQsize(frame.data(), width, height, &size), 0);
    return size;
}

float measure96(std::vector<unsigned char> frame) { return measure(std::move(frame), 96, 96); }

std::vector<unsigned char> transposed96(const std::vector<unsigned char> &frame)
{
    std::vector<unsigned char> out(frame.size());
    for (size_t r = 0; r < 96; ++r)
        for (size_t c = 0; c < 96; ++c)
            out[c * 96 + r] = frame[r * 96 + c];
    return out;
}

TEST(Estimator, EmptyAndFullFrames)
{
    EXPECT_EQ(measure96(light_frame(96, 96)), 0.0f);
    // Edges 0 and 95 in both directions: 95 x 95 of 9216 pixels, the most a 96 x 96 frame can give.
    EXPECT_FLOAT_EQ(measure96(std::vector<unsigned char>(96 * 96, 0)), 9025.0f / 9216.0f * 100.0f);
    EXPECT_NEAR(measure96(std::vector<unsigned char>(96 * 96, 0)), 97.93f, 0.005f);
}

TEST(Estimator, RectangleGivesItsEdges)
{
    // Rows 10..85, columns 5..90: 75 x 85.
    EXPECT_NEAR(measure96(dark_rect_frame(96, 96, 10, 85, 5, 90)), 69.17f, 0.005f);
    EXPECT_FLOAT_EQ(measure96(dark_rect_frame(96, 96, 10, 85, 5, 90)), 6375.0f / 9216.0f * 100.0f);
}

TEST(Estimator, PressThresholdPair)
{
    const float wide = measure96(dark_rect_frame(96, 96, 2, 93, 2, 93));
    const float narrow = measure96(dark_rect_frame(96, 96, 4, 92, 4, 92));
    EXPECT_NEAR(wide, 89.85f, 0.005f);
    EXPECT_NEAR(narrow, 84.03f, 0.005f);
    EXPECT_GT(wide, 85.0f);
    EXPECT_LT(narrow, 85.0f);
    EXPECT_GT(measure96(dark_rect_frame(96, 96, 3, 92, 3, 92)), 85.0f);  // 89 x 89
}

TEST(Estimator, SlantedFingerCountsOnlyRowsWhereAllProbeColumnsAreDark)
{
    // Three strips of one finger end at row 89 but begin at rows 10, 20 and 30; each holds one probe
    // column group (24, 48, 72).
    std::vector<unsigned char> frame = light_frame(96, 96);
    const struct {
        int first_row;
        int col_from, col_to;
    } strips[] = {{10, 14, 37}, {20, 38, 61}, {30, 62, 85}};
    for (const auto &strip : strips)
        for (int r = strip.first_row; r <= 89; ++r)
            for (int c = strip.col_from; c <= strip.col_to; ++c)
                frame[size_t(r) * 96 + c] = 0;
    // top 30 (not 10), bottom 89: liney 59. Across: left 14; from the right, probe rows 24..28 meet
    // the finger only at column 61 (the third strip starts below them): linex 47.
    EXPECT_FLOAT_EQ(measure96(frame), 59.0f * 47.0f / 9216.0f * 100.0f);
}

// Makes sure a probe group that has seen dark stays counted for the rest of its scan; an example failure
// is flags cleared on every line, which find an edge only on a line where all three groups are dark at
// once. Here no line has that, yet each scan completes where its last group first meets dark.
TEST(Estimator, GroupFlagsStayRaisedForTheRestOfTheScan)
{
    // Column 24 is dark on rows 10..30 and 70..90, column 48 on rows 40..60, column 72 on every row:
    // top 40 and bottom 60 (column 48's first and last dark rows). Marks at columns 10 and 90 on the
    // probe rows 24, 48 and 72 give left 10 and right 90 on every line at once.
    std::vector<unsigned char> frame = light_frame(96, 96);
    for (int r = 0; r < 96; ++r) {
        if ((r >= 10 && r <= 30) || (r >= 70 && r <= 90))
            frame[size_t(r) * 96 + 24] = 0;
        if (r >= 40 && r <= 60)
            frame[size_t(r) * 96 + 48] = 0;
        frame[size_t(r) * 96 + 72] = 0;
    }
    for (int r : {24, 48, 72})
        for (int c : {10, 90})
            frame[size_t(r) * 96 + c] = 0;
    const float expected = 20.0f * 80.0f / 9216.0f * 100.0f;
    // The same frame turned on its side puts the stripes on the left and right scans.
    const struct {
        const char *scans;
        std::vector<unsigned char> frame;
    } cases[] = {{"top and bottom", frame}, {"left and right", transposed96(frame)}};
    for (const auto &c : cases)
        EXPECT_FLOAT_EQ(measure96(c.frame), expected) << c.scans;
}

// Makes sure a frame right at the presence threshold reads as exactly 85 and is neither a press nor an
// empty sensor. No 96 x 96 frame can score exactly 85 (the nearest give 84.98 and 85.56), so the frame
// is 20 x 38: rows 2..36 dark over the whole width, 19 x 34 of 760 pixels.
TEST(Estimator, FrameAtThePresenceThresholdScoresExactly85)
{
    const float score = measure(dark_rect_frame(20, 38, 2, 36, 0, 19), 20, 38);
    EXPECT_EQ(score, 85.0f);
    EXPECT_FALSE(kelvra::frame_shows_press(score));
    EXPECT_FALSE(kelvra::frame_shows_no_finger(score));
}

TEST(Estimator, ProbeRowThatNeverSeesDarkLeavesWidthOne)
{
    // The probe columns are dark from top to bottom, except on the probe rows 72..76.
    std::vector<unsigned char> frame = light_frame(96, 96);
    for (int r = 0; r < 96; ++r)
        if (r < 72 || r > 76)
            for (int c : {24, 48, 72})
                frame[size_t(r) * 96 + c] = 0;
    // top 0, bottom 95; the row group at 72 never sees dark, so left and right stay 0: 95 x 1.
    EXPECT_FLOAT_EQ(measure96(frame), 95.0f / 9216.0f * 100.0f);
    EXPECT_NEAR(measure96(frame), 1.03f, 0.005f);
}

TEST(Estimator, ProbeColumnsDarkAtHeightsThatDoNotOverlap)
{
    // Column group 24 is dark only in rows 0..20, groups 48 and 72 only in rows 60..95: top becomes
    // 60 and bottom 20, so liney is 1.
    std::vector<unsigned char> frame = light_frame(96, 96);
    for (int r = 0; r <= 20; ++r)
        frame[size_t(r) * 96 + 24] = 0;
    for (int r = 60; r < 96; ++r) {
        frame[size_t(r) * 96 + 48] = 0;
        frame[size_t(r) * 96 + 72] = 0;
    }
    // Left and right edges at columns 10 and 90 (marks on the probe rows only): linex 80.
    for (int r : {24, 48, 72}) {
        frame[size_t(r) * 96 + 10] = 0;
        frame[size_t(r) * 96 + 90] = 0;
    }
    EXPECT_FLOAT_EQ(measure96(frame), 80.0f / 9216.0f * 100.0f);
}

TEST(Estimator, LargeFramesAreCountedAgainstTheCap)
{
    // 399 x 299 of at most 360 x 256 pixels: 129.45 percent, reported as 100.
    EXPECT_EQ(measure(std::vector<unsigned char>(300 * 400, 0), 300, 400), 100.0f);
    // Below the ceiling the cap is the denominator: rows 90..310, columns 0..299 of 300 x 400.
    EXPECT_FLOAT_EQ(measure(dark_rect_frame(300, 400, 90, 310, 0, 299), 300, 400),
                    220.0f * 299.0f / (256.0f * 360.0f) * 100.0f);
}

TEST(Estimator, SidesBelowTwentyAreNotMeasured)
{
    // A 19-pixel side is refused before any pixel is read (a null image would crash otherwise).
    float size = -1.0f;
    EXPECT_EQ(DevAlg_ImgQsize(nullptr, 19, 96, &size), 0);
    EXPECT_EQ(size, 0.0f);
    size = -1.0f;
    EXPECT_EQ(DevAlg_ImgQsize(nullptr, 96, 19, &size), 0);
    EXPECT_EQ(size, 0.0f);
    // 20 x 20 is measured: 19 x 19 of 400.
    EXPECT_FLOAT_EQ(measure(std::vector<unsigned char>(20 * 20, 0), 20, 20), 19.0f * 19.0f / 400.0f * 100.0f);
    // With lines 15 and 17 light in both directions, the probe at 15 sees the finger only through
    // its outermost line, 19.
    std::vector<unsigned char> frame(20 * 20, 0);
    for (int i = 0; i < 20; ++i)
        for (int line : {15, 17}) {
            frame[size_t(i) * 20 + line] = 255;
            frame[size_t(line) * 20 + i] = 255;
        }
    EXPECT_FLOAT_EQ(measure(frame, 20, 20), 19.0f * 19.0f / 400.0f * 100.0f);
}

TEST(Estimator, GreyThresholdIs220)
{
    std::vector<unsigned char> dark219(96 * 96, 219);
    std::vector<unsigned char> light220(96 * 96, 220);
    EXPECT_NEAR(measure96(dark219), 97.93f, 0.005f);
    EXPECT_EQ(measure96(light220), 0.0f);
}

TEST(Estimator, PixelsOffTheProbeLinesDoNotMoveTheEdges)
{
    const float base = measure96(edge_frame(10, 85, 5, 90));
    EXPECT_FLOAT_EQ(base, 75.0f * 85.0f / 9216.0f * 100.0f);
    // Dark everywhere except on the probe lines themselves: no edge at all.
    std::vector<unsigned char> frame(96 * 96, 0);
    const int probes[] = {24, 26, 28, 48, 50, 52, 72, 74, 76};
    for (int p : probes)
        for (int i = 0; i < 96; ++i) {
            frame[size_t(p) * 96 + i] = 255;
            frame[size_t(i) * 96 + p] = 255;
        }
    EXPECT_EQ(measure96(frame), 0.0f);
    // The same, with the edge marks of the base frame: exactly the base measure.
    const std::vector<unsigned char> marks = edge_frame(10, 85, 5, 90);
    for (size_t i = 0; i < frame.size(); ++i)
        if (marks[i] == 0)
            frame[i] = 0;
    EXPECT_FLOAT_EQ(measure96(frame), base);
}

// Makes sure the estimator's shortcuts (no far-side scan after a fruitless near one, columns sixteen at a
// time) give the plain scans' result to the bit; an example failure is an edge found on line 0 taken for
// no edge, or a far-side chunk that reaches line 0.
TEST(Estimator, AgreesWithThePlainScansOnEveryKindOfFrame)
{
    enum Kind { kEmpty, kFull, kDotted, kGroupLines, kRectangle, kKinds };
    std::mt19937 rng(2024);
    auto below = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto dark_value = [&]() { return static_cast<unsigned char>(below(220)); };

    // Each probe group dark at a few lines of its own (0, 1, the last and random ones among them), on
    // one of its three pixels: edges on the first and last lines, far edges before near ones, groups
    // that are never dark.
    auto mark_group_lines = [&](std::vector<unsigned char> &f, int w, int h) {
        for (int along_rows = 0; along_rows < 2; ++along_rows) {
            const int side = along_rows ? w : h;     // where the probes sit
            const int lines = along_rows ? h : w;    // what the scan walks
            for (int position : {side / 2, side / 4, 3 * side / 4}) {
                const int marks = below(4);
                for (int m = 0; m < marks; ++m) {
                    const int choice = below(4);
                    const int line = choice == 0 ? 0 : choice == 1 ? 1 : choice == 2 ? lines - 1 : below(lines);
                    const int probe = position + 2 * below(3);
                    const size_t at = along_rows ? size_t(line) * w + probe : size_t(probe) * w + line;
                    f[at] = dark_value();
                }
            }
        }
    };

    const struct {
        int w, h;
    } sizes[] = {{96, 96}, {20, 20}, {19, 96}, {21, 37}, {37, 21}, {33, 80}, {200, 50}, {300, 400}};
    for (const auto &size : sizes) {
        for (int kind = 0; kind < kKinds; ++kind) {
            for (int round = 0; round < 150; ++round) {
                const int w = size.w, h = size.h;
                std::vector<unsigned char> frame(size_t(w) * h, 255);
                if (kind == kFull) {
                    for (auto &p : frame)
                        p = static_cast<unsigned char>(round % 2 ? dark_value() : 219);
                } else if (kind == kDotted) {
                    const int per_mille = 1 + round % 40;
                    for (auto &p : frame)
                        p = below(1000) < per_mille ? dark_value() : static_cast<unsigned char>(220 + below(36));
                } else if (kind == kGroupLines) {
                    mark_group_lines(frame, w, h);
                } else if (kind == kRectangle) {
                    const int top = below(h), bottom = below(h), left = below(w), right = below(w);
                    for (int r = std::min(top, bottom); r <= std::max(top, bottom); ++r)
                        for (int c = std::min(left, right); c <= std::max(left, right); ++c)
                            frame[size_t(r) * w + c] = dark_value();
                }
                float measured = -1.0f;
                DevAlg_ImgQsize(frame.data(), w, h, &measured);
                const float expected = estimator_oracle::area({frame.data(), w, h});
                ASSERT_EQ(std::memcmp(&measured, &expected, sizeof(float)), 0)
                    << w << " x " << h << ", kind " << kind << ", round " << round << ": " << measured
                    << " percent, the plain scans say " << expected;
                if (kind == kEmpty)
                    break;
            }
        }
    }
}

}  // namespace
