// stored_sample_seeds.cpp - writes the seed corpus of stored_sample_fuzz from the virtual sensor's blocks.
//
// Usage: stored_sample_seeds DIR. The seeds: a whole template of the probe's finger (a hit), one block of
// it and nothing after (still a hit: the rest of the area is zero), a template of another finger, the
// empty text, text that is not base64, and base64 one group longer than a template.
#include <cstdio>
#include <string>
#include <vector>

#include "bio_host.h"
#include "fuzz_device.h"
#include "kelfpscan.h"
#include "kelvs_control.h"

namespace {

constexpr int kBlocks = 6;

std::string encode(const std::vector<unsigned char> &bytes)
{
    std::string text(bytes.size() / 3 * 4 + 8, '\0');
    const int n = bio_base64_encode(bytes.data(), text.data(), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

std::vector<unsigned char> blocks_of(void *handle, const char *finger, int count, int w, int h)
{
    std::vector<unsigned char> out;
    for (int k = 0; k < count; ++k) {
        const auto block = kelvra_fuzz::press_and_extract(handle, finger, w, h);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

void write(const std::string &dir, const char *name, const std::string &text)
{
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0)
        kelvra_fuzz::die("cannot write %s", path.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];

    kelvs_reset();
    char error[256] = {};
    if (kelvs_load_profile_data(kelvra_fuzz::kHostProfile, error, sizeof error) != 0)
        kelvra_fuzz::die("profile refused: %s", error);
    void *handle = nullptr;
    int w = 0, h = 0, dpi = 0;
    if (KELFPSCAN_GlobalInit() != 0 || KELFPSCAN_OpenDevice(&handle, 0) != 0 ||
        KELFPSCAN_GetImageInfo(handle, &w, &h, &dpi) != 0)
        kelvra_fuzz::die("the virtual sensor did not open");

    write(dir, "template-alice", encode(blocks_of(handle, "alice", kBlocks, w, h)));
    write(dir, "one-block-alice", encode(blocks_of(handle, "alice", 1, w, h)));
    write(dir, "template-bob", encode(blocks_of(handle, "bob", kBlocks, w, h)));
    write(dir, "empty", "");
    write(dir, "not-base64", "QUJD*EVG\n==");
    std::vector<unsigned char> too_long = blocks_of(handle, "alice", kBlocks, w, h);
    too_long.insert(too_long.end(), {1, 2, 3});
    write(dir, "one-group-too-long", encode(too_long));

    KELFPSCAN_CloseDevice(&handle);
    KELFPSCAN_GlobalFree();
    kelvs_reset();
    return 0;
}
