// testing_api.cpp - the test build's exported hooks (bio_host_testing.h); the production library is
// linked without this file, so none of these names can be reached in it.
#include "host_api.h"

extern "C" {

void bio_testing_fail_nth(bio_fault_point point, int n) { bio_host::arm_fault(point, n); }

void bio_testing_clear_faults(void)
{
    for (int point = 0; point < BIO_FAULT_POINT_COUNT; ++point)
        bio_host::arm_fault(static_cast<bio_fault_point>(point), 0);
    bio_host::set_decode_answer(BIO_DECODE_ANSWERS_BYTES);
}

void bio_testing_set_decode_answer(bio_decode_answer answer) { bio_host::set_decode_answer(answer); }

int bio_testing_fault_fired(bio_fault_point point) { return bio_host::fault_fired(point) ? 1 : 0; }

int bio_testing_calls(bio_fault_point point) { return bio_host::calls_counted(point); }

void bio_testing_clear_calls(void) { bio_host::clear_counted_calls(); }

int bio_testing_open_connections(void) { return bio_host::open_connections(); }

int bio_testing_outstanding_records(void) { return bio_host::outstanding_records(); }

long long bio_testing_idle_text_bytes(void) { return static_cast<long long>(bio_host::idle_text_bytes()); }

}  // extern "C"
