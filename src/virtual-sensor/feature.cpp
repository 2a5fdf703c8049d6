// feature.cpp - turns a capture into a feature block and compares blocks as the matcher does.
#include "vs_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvs {
namespace {

// Block layout, little-endian: the header identifies finger and press; the rest is drawn from the
// pixels so that two presses never give the same block.
constexpr unsigned char magic[4] = {'K', 'V', 'S', 'F'};
constexpr uint16_t block_version = 1;
constexpr size_t off_version = 4, off_contact = 6, off_quality = 7, off_finger = 8, off_x = 16, off_y = 18,
                 off_press = 20, off_pixels = 24, header_size = 32;

void put16(std::span<uint8_t> b, size_t off, uint16_t v)
{
    b[off] = uint8_t(v);
    b[off + 1] = uint8_t(v >> 8);
}
void put32(std::span<uint8_t> b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[off + i] = uint8_t(v >> (8 * i));
}
void put64(std::span<uint8_t> b, size_t off, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        b[off + i] = uint8_t(v >> (8 * i));
}
uint16_t get16(const uint8_t *b) { return uint16_t(b[0] | (b[1] << 8)); }
uint64_t get64(const uint8_t *b)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b[i];
    return v;
}

bool is_block(const uint8_t *b) { return std::memcmp(b, magic, 4) == 0 && get16(b + off_version) == block_version; }

}  // namespace

int make_feature(const Capture &c, std::span<uint8_t> block)
{
    if (!c.valid)
        return KELVS_ERR_NO_CAPTURE;
    if (c.finger.contact != KELVS_CONTACT_FULL || c.quality <= 50)
        return KELVS_ERR_POOR_CONTACT;
    std::fill(block.begin(), block.end(), 0);
    std::memcpy(block.data(), magic, 4);
    put16(block, off_version, block_version);
    block[off_contact] = uint8_t(c.finger.contact);
    block[off_quality] = uint8_t(std::clamp(c.quality, 0, 100));
    put64(block, off_finger, c.finger.id);
    put16(block, off_x, uint16_t(int16_t(std::lround(c.finger.x * 1000))));
    put16(block, off_y, uint16_t(int16_t(std::lround(c.finger.y * 1000))));
    put32(block, off_press, uint32_t(c.finger.press));
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t p : c.pixels)
        h = (h ^ p) * 0x100000001b3ull;
    put32(block, off_pixels, uint32_t(h));
    uint64_t state = h ^ c.finger.id;
    const size_t n = c.pixels.size();
    for (size_t i = header_size; i < block.size(); i += 8) {
        state = mix64(state);
        uint64_t v = state;
        for (size_t k = 0; k < 8 && i + k < block.size(); ++k) {
            uint8_t pixel = n ? c.pixels[((i + k) * 7919) % n] : 0;
            block[i + k] = uint8_t(v >> (8 * k)) ^ pixel;
        }
    }
    return 0;
}

bool compare_features(int level, std::span<const uint8_t> feature, std::span<const uint8_t> templates, int count,
                      int &similarity, int &match)
{
    if (!is_block(feature.data()))
        return false;
    const uint64_t probe = get64(feature.data() + off_finger);
    const double px = int16_t(get16(feature.data() + off_x)) / 1000.0;
    const double py = int16_t(get16(feature.data() + off_y)) / 1000.0;
    int best = 0;
    for (int i = 0; i < count; ++i) {
        const uint8_t *t = templates.data() + size_t(i) * KELFPSCAN_FEATURE_SIZE;
        if (!is_block(t))
            continue;
        uint64_t other = get64(t + off_finger);
        int score;
        if (other == probe) {
            // The same finger: the further apart the two presses, the less skin they share.
            double tx = int16_t(get16(t + off_x)) / 1000.0, ty = int16_t(get16(t + off_y)) / 1000.0;
            double d = std::hypot(px - tx, py - ty);
            score = 100 - int(std::lround(std::min(d, 2.0) * 15.0));
        } else {
            score = int(mix64(probe ^ other) % 21);
        }
        best = std::max(best, score);
    }
    // Level 1 accepts 35 and up, level 5 (the usual) 55, level 9 75.
    int threshold = 30 + 5 * std::clamp(level, 1, 9);
    similarity = best;
    match = best >= threshold ? 0 : 1;
    return true;
}

}  // namespace kelvs
