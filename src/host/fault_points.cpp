// fault_points.cpp - the test-only fault injection of the feature database, and the decoder's answer.
#include "host_api.h"

#include <array>
#include <atomic>

namespace {

// Remaining calls before the fault fires; 0 when the point is not armed.
std::array<std::atomic<int>, BIO_FAULT_POINT_COUNT> g_countdown{};
std::atomic<int> g_decode_answer{BIO_DECODE_ANSWERS_BYTES};

bool valid(bio_fault_point point)
{
    return static_cast<int>(point) >= 0 && static_cast<int>(point) < BIO_FAULT_POINT_COUNT;
}

}  // namespace

namespace bio_host {

bool fault_fires(bio_fault_point point)
{
    if (!valid(point))
        return false;
    std::atomic<int> &left = g_countdown[static_cast<size_t>(point)];
    int current = left.load();
    while (current > 0) {
        if (left.compare_exchange_weak(current, current - 1))
            return current == 1;
    }
    return false;
}

int decode_answer(int bytes, size_t characters)
{
    switch (g_decode_answer.load()) {
    case BIO_DECODE_ANSWERS_ZERO:
        return 0;
    case BIO_DECODE_ANSWERS_ONE:
        return 1;
    case BIO_DECODE_ANSWERS_CHARACTERS:
        return static_cast<int>(characters);
    default:
        return bytes;
    }
}

}  // namespace bio_host

extern "C" void bio_testing_fail_nth(bio_fault_point point, int n)
{
    if (valid(point))
        g_countdown[static_cast<size_t>(point)].store(n > 0 ? n : 0);
}

extern "C" void bio_testing_clear_faults(void)
{
    for (auto &left : g_countdown)
        left.store(0);
    g_decode_answer.store(BIO_DECODE_ANSWERS_BYTES);
}

extern "C" void bio_testing_set_decode_answer(bio_decode_answer answer)
{
    g_decode_answer.store(answer);
}
