// frames.cpp - writes rendered frames out as binary PGM files for a person to look at.
#include "vs_internal.h"

#include <cstdio>
#include <memory>

namespace kelvs {

void write_pgm(const std::string &dir, uint64_t serial, std::span<const uint8_t> image, int width, int height)
{
    char name[64];
    std::snprintf(name, sizeof name, "/frame-%06llu.pgm", static_cast<unsigned long long>(serial));
    std::string path = dir + name;
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!f)
        return;  // a missing directory only costs the picture, never the capture
    std::fprintf(f.get(), "P5\n%d %d\n255\n", width, height);
    std::fwrite(image.data(), 1, size_t(width) * size_t(height), f.get());
}

}  // namespace kelvs
