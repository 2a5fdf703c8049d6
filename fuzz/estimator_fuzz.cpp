// estimator_fuzz.cpp - the finger-area estimator on any frame size and pixels, against a plain oracle.
//
// Input: bytes 0-1 the width, bytes 2-3 the height (little-endian, each taken modulo 401), then the
// pixels row by row; pixels the input does not cover are 255, as the capture buffer is filled before a
// capture. The frame is allocated at exactly width x height bytes so that ASan reports any read outside
// it. The oracle (estimator_oracle.h) is the plain scans, and the results are compared bit for bit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kelvra_internal.h"

#include "estimator_oracle.h"

namespace {

constexpr int kMaxSide = 400;

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
    const float expected = estimator_oracle::area(estimator_oracle::Frame{img, w, h});
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
