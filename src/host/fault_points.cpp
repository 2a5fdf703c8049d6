// fault_points.cpp - the feature database's fault points, storage-call counts and the decoder's answer.
// Both builds of the library carry them; only the test build exports the calls that set and read them
// (testing_api.cpp).
#include "host_api.h"

#include <array>
#include <atomic>

namespace {

using Counters = std::array<std::atomic<int>, BIO_FAULT_POINT_COUNT>;

// Remaining calls before the fault fires; 0 when the point is not armed.
Counters g_countdown{};
Counters g_fired{};
Counters g_calls{};
std::atomic<int> g_decode_answer{BIO_DECODE_ANSWERS_BYTES};

bool valid(bio_fault_point point)
{
    return static_cast<int>(point) >= 0 && static_cast<int>(point) < BIO_FAULT_POINT_COUNT;
}

std::atomic<int> &at(Counters &counters, bio_fault_point point) { return counters[static_cast<size_t>(point)]; }

}  // namespace

namespace bio_host {

bool fault_fires(bio_fault_point point)
{
    if (!valid(point))
        return false;
    std::atomic<int> &left = at(g_countdown, point);
    int current = left.load();
    while (current > 0) {
        if (left.compare_exchange_weak(current, current - 1)) {
            if (current != 1)
                return false;
            at(g_fired, point).store(1);
            return true;
        }
    }
    return false;
}

void count_call(bio_fault_point point)
{
    if (valid(point))
        at(g_calls, point).fetch_add(1);
}

void arm_fault(bio_fault_point point, int n)
{
    if (!valid(point))
        return;
    // Disarming keeps the answer to "did the last armed fault fire" for the test to read afterwards.
    if (n > 0)
        at(g_fired, point).store(0);
    at(g_countdown, point).store(n > 0 ? n : 0);
}

bool fault_fired(bio_fault_point point) { return valid(point) && at(g_fired, point).load() != 0; }

int calls_counted(bio_fault_point point) { return valid(point) ? at(g_calls, point).load() : 0; }

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

void set_decode_answer(bio_decode_answer answer) { g_decode_answer.store(answer); }

void clear_counted_calls()
{
    for (auto &calls : g_calls)
        calls.store(0);
}

}  // namespace bio_host
