// image_test.cpp - the finger's timeline, the frames drawn from it, their grades and feature blocks.
#include "vs_fixture.h"

#include <fstream>

namespace {

// The driver's reading of a match-on-chip frame: edges found along three probe lines per side
// (n/2, n/4, 3n/4, each widened by +2 and +4), dark below 220, flags sticky within a scan, and the
// rectangle between the edges as a percentage of the frame.
float covered_percent(const std::vector<unsigned char> &img, int w, int h)
{
    auto dark = [&](int r, int c) { return img[size_t(r) * w + c] < 220; };
    const int cols[3] = {w / 2, w / 4, 3 * w / 4}, rows[3] = {h / 2, h / 4, 3 * h / 4};
    auto row_scan = [&](int from, int to, int step) {
        bool seen[3] = {};
        for (int r = from; r != to; r += step) {
            for (int g = 0; g < 3; ++g)
                for (int o = 0; o <= 4; o += 2)
                    seen[g] = seen[g] || dark(r, cols[g] + o);
            if (seen[0] && seen[1] && seen[2])
                return r;
        }
        return 0;
    };
    auto col_scan = [&](int from, int to, int step) {
        bool seen[3] = {};
        for (int c = from; c != to; c += step) {
            for (int g = 0; g < 3; ++g)
                for (int o = 0; o <= 4; o += 2)
                    seen[g] = seen[g] || dark(rows[g] + o, c);
            if (seen[0] && seen[1] && seen[2])
                return c;
        }
        return 0;
    };
    int top = row_scan(0, h, 1), left = col_scan(0, w, 1), bottom = row_scan(h - 1, 0, -1),
        right = col_scan(w - 1, 0, -1);
    int linex = std::max(1, right - left), liney = std::max(1, bottom - top);
    if (linex == 1 && liney == 1)
        return 0;
    return std::min(100.0f, float(linex) * float(liney) / float(w * h) * 100.0f);
}

int quality_of(const std::vector<unsigned char> &img, int w, int h)
{
    int q = -1;
    EXPECT_EQ(KELFPSCAN_ImgQuality(w, h, img.data(), &q), 0);
    return q;
}

}  // namespace

TEST_F(VirtualSensor, AutoFingerLandsPressesLeavesAndComesBack)
{
    // Defaults: 400 ms before the first landing, then 150 landing, 1200 pressed, 150 leaving, 900 away.
    load("[Finger]\nName=alice\n");
    char name[32];
    struct Step {
        int64_t at_ms;
        kelvs_contact contact;
    } steps[] = {
        {0, KELVS_CONTACT_NONE},      {399, KELVS_CONTACT_NONE},     {400, KELVS_CONTACT_PARTIAL},
        {549, KELVS_CONTACT_PARTIAL}, {550, KELVS_CONTACT_FULL},     {1749, KELVS_CONTACT_FULL},
        {1750, KELVS_CONTACT_PARTIAL}, {1899, KELVS_CONTACT_PARTIAL}, {1900, KELVS_CONTACT_NONE},
        {2799, KELVS_CONTACT_NONE},   {2800, KELVS_CONTACT_PARTIAL}, {2950, KELVS_CONTACT_FULL},
    };
    const int64_t start = clock.now;
    for (const auto &s : steps) {
        clock.now = start + s.at_ms * 1000;
        EXPECT_EQ(kelvs_finger_state(name, sizeof name), s.contact) << "at " << s.at_ms << " ms";
        if (s.contact != KELVS_CONTACT_NONE) {
            EXPECT_STREQ(name, "alice");
        }
    }

    // Custom timings, restarted by hand.
    load("[Finger]\nName=none\nStartMs=0\nLandMs=10\nPressMs=20\nLeaveMs=30\nAwayMs=40\n");
    clock.advance_ms(5);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_NONE);
    kelvs_finger_auto("bob");
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_PARTIAL);
    clock.advance_ms(10);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_FULL);
    clock.advance_ms(20);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_PARTIAL);
    clock.advance_ms(30);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_NONE);
    clock.advance_ms(40);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_PARTIAL);
    kelvs_finger_auto(nullptr);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_NONE);
}

TEST_F(VirtualSensor, HostFramesGradeByContact)
{
    load("[Sensor]\nCaptureMs=0\n");
    auto h = open();
    auto empty = capture(h, 160, 160);
    for (unsigned char p : empty)
        ASSERT_GE(p, 220) << "an empty sensor is light all over";
    int q_empty = quality_of(empty, 160, 160);
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    int q_full = quality_of(capture(h, 160, 160), 160, 160);
    kelvs_finger_press("alice", KELVS_CONTACT_PARTIAL);
    int q_partial = quality_of(capture(h, 160, 160), 160, 160);
    kelvs_finger_press("alice", KELVS_CONTACT_SMEARED);
    int q_smeared = quality_of(capture(h, 160, 160), 160, 160);
    EXPECT_LT(q_empty, 10);
    EXPECT_GT(q_full, 75);
    // Neither a press the driver may use nor a lifted finger.
    EXPECT_GT(q_partial, 24);
    EXPECT_LE(q_partial, 50);
    EXPECT_GT(q_smeared, 24);
    EXPECT_LE(q_smeared, 50);

    // Other geometries grade the same way.
    load("[Sensor]\nCaptureMs=0\nWidth=256\nHeight=360\n");
    KELFPSCAN_CloseDevice(&h);
    ASSERT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
    kelvs_finger_press("bob", KELVS_CONTACT_FULL);
    EXPECT_GT(quality_of(capture(h, 256, 360), 256, 360), 75);

    int q;
    EXPECT_EQ(KELFPSCAN_ImgQuality(0, 160, empty.data(), &q), KELVS_ERR_ARGUMENT);
    EXPECT_EQ(KELFPSCAN_ImgQuality(160, 160, nullptr, &q), KELVS_ERR_ARGUMENT);
}

TEST_F(VirtualSensor, ChipFramesReadAsCoveredOnlyForAFullPress)
{
    load("[Sensor]\nWorkMode=chip\nCaptureMs=0\n");
    auto h = open();
    EXPECT_EQ(covered_percent(capture(h, 96, 96), 96, 96), 0.0f);
    for (const char *name : {"alice", "bob", "carol", "dave", "erin"}) {
        // Several presses, so several positions, of each finger.
        for (int press = 0; press < 7; ++press) {
            kelvs_finger_press(name, KELVS_CONTACT_FULL);
            EXPECT_GT(covered_percent(capture(h, 96, 96), 96, 96), 85.0f) << name << " press " << press;
        }
        kelvs_finger_press(name, KELVS_CONTACT_PARTIAL);
        EXPECT_LT(covered_percent(capture(h, 96, 96), 96, 96), 85.0f) << name;
        kelvs_finger_press(name, KELVS_CONTACT_SMEARED);
        EXPECT_GT(covered_percent(capture(h, 96, 96), 96, 96), 85.0f) << "a smear still covers the sensor";
    }
    // The partial contact of the timeline's landing and leaving phases.
    load("[Sensor]\nWorkMode=chip\nCaptureMs=0\n[Finger]\nName=frank\nStartMs=0\n");
    EXPECT_LT(covered_percent(capture(h, 96, 96), 96, 96), 85.0f);
    clock.advance_ms(200);
    EXPECT_GT(covered_percent(capture(h, 96, 96), 96, 96), 85.0f);
    clock.advance_ms(1200);
    EXPECT_EQ(kelvs_finger_state(nullptr, 0), KELVS_CONTACT_PARTIAL);
    EXPECT_LT(covered_percent(capture(h, 96, 96), 96, 96), 85.0f);
}

TEST_F(VirtualSensor, FeatureBlocksMatchTheSameFingerOnly)
{
    load("[Sensor]\nCaptureMs=0\n");
    auto h = open();
    auto feature_of = [&](const char *name) {
        kelvs_finger_press(name, KELVS_CONTACT_FULL);
        capture(h, 160, 160);
        std::vector<unsigned char> f(KELFPSCAN_FEATURE_SIZE);
        EXPECT_EQ(KELFPSCAN_ExtractFeature(h, 0, f.data()), 0);
        return f;
    };
    // Six presses of alice, end to end, as a stored template.
    std::vector<unsigned char> alice;
    for (int i = 0; i < 6; ++i) {
        auto f = feature_of("alice");
        alice.insert(alice.end(), f.begin(), f.end());
    }
    auto probe_alice = feature_of("alice");
    auto probe_bob = feature_of("bob");
    EXPECT_NE(std::vector<unsigned char>(alice.begin(), alice.begin() + KELFPSCAN_FEATURE_SIZE), probe_alice)
        << "two presses never give the same block";

    int sim = -1, match = -1;
    ASSERT_EQ(KELFPSCAN_VerifyExt(h, 5, probe_alice.data(), 6, alice.data(), &sim, &match), 0);
    EXPECT_EQ(match, 0);
    EXPECT_GE(sim, 60);
    ASSERT_EQ(KELFPSCAN_VerifyExt(h, 5, probe_bob.data(), 6, alice.data(), &sim, &match), 0);
    EXPECT_NE(match, 0);
    EXPECT_LT(sim, 30);
    // A template block that holds no feature (as a zeroed one) matches nothing.
    std::vector<unsigned char> zero(KELFPSCAN_FEATURE_SIZE * 6, 0);
    ASSERT_EQ(KELFPSCAN_VerifyExt(h, 5, probe_alice.data(), 6, zero.data(), &sim, &match), 0);
    EXPECT_NE(match, 0);
    // A single good block among zeroed ones is enough.
    std::copy(probe_alice.begin(), probe_alice.end(), zero.begin() + 3 * KELFPSCAN_FEATURE_SIZE);
    ASSERT_EQ(KELFPSCAN_VerifyExt(h, 5, feature_of("alice").data(), 6, zero.data(), &sim, &match), 0);
    EXPECT_EQ(match, 0);

    EXPECT_EQ(KELFPSCAN_VerifyExt(h, 5, zero.data(), 6, alice.data(), &sim, &match), KELVS_ERR_BAD_FEATURE);
    EXPECT_EQ(KELFPSCAN_VerifyExt(h, 5, probe_alice.data(), 0, alice.data(), &sim, &match), KELVS_ERR_ARGUMENT);
}

TEST_F(VirtualSensor, ExtractFeatureNeedsAFullPressInTheLastCapture)
{
    load("[Sensor]\nCaptureMs=0\n");
    auto h = open();
    std::vector<unsigned char> f(KELFPSCAN_FEATURE_SIZE);
    EXPECT_EQ(KELFPSCAN_ExtractFeature(h, 0, f.data()), KELVS_ERR_NO_CAPTURE);
    capture(h, 160, 160);
    EXPECT_EQ(KELFPSCAN_ExtractFeature(h, 0, f.data()), KELVS_ERR_POOR_CONTACT);
    kelvs_finger_press("alice", KELVS_CONTACT_PARTIAL);
    capture(h, 160, 160);
    EXPECT_EQ(KELFPSCAN_ExtractFeature(h, 0, f.data()), KELVS_ERR_POOR_CONTACT);
    kelvs_finger_press("alice", KELVS_CONTACT_SMEARED);
    capture(h, 160, 160);
    EXPECT_EQ(KELFPSCAN_ExtractFeature(h, 0, f.data()), KELVS_ERR_POOR_CONTACT);
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    capture(h, 160, 160);
    // What counts is the finger at capture time, not now.
    kelvs_finger_lift();
    EXPECT_EQ(KELFPSCAN_ExtractFeature(h, 0, f.data()), 0);
    EXPECT_EQ(KELFPSCAN_ExtractFeature(h, 0, nullptr), KELVS_ERR_ARGUMENT);
}

TEST_F(VirtualSensor, FramesAreWrittenAsPgmWhenAsked)
{
    load("[Sensor]\nCaptureMs=0\nWidth=120\nHeight=100\nFrameDir=" + dir.string() + "\n");
    auto h = open();
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    auto img = capture(h, 120, 100);
    capture(h, 120, 100);
    std::ifstream in(dir / "frame-000000.pgm", std::ios::binary);
    ASSERT_TRUE(in.good());
    std::string magic;
    int w = 0, ht = 0, maxval = 0;
    in >> magic >> w >> ht >> maxval;
    in.get();
    EXPECT_EQ(magic, "P5");
    EXPECT_EQ(w, 120);
    EXPECT_EQ(ht, 100);
    EXPECT_EQ(maxval, 255);
    std::vector<unsigned char> pixels(120 * 100);
    in.read(reinterpret_cast<char *>(pixels.data()), std::streamsize(pixels.size()));
    EXPECT_EQ(pixels, img);
    EXPECT_TRUE(std::filesystem::exists(dir / "frame-000001.pgm"));
}
