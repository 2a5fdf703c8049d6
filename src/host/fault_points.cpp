// fault_points.cpp - the test-only fault injection of the feature database.
#include "host_api.h"

#include <array>
#include <atomic>

namespace {

// Remaining calls before the fault fires; 0 when the point is not armed.
std::array<std::atomic<int>, BIO_FAULT_POINT_COUNT> g_countdown{};

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
}
