// trace_reader_fuzz.cpp - any bytes as a trace: the reader answers entries or an error, never reads out
// of bounds, never allocates without bound, and every entry it gives back can be described and written
// back into a trace the reader takes again.
#include "kelvra_trace.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <string>

namespace {

namespace kt = kelvra::trace;

void expect(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "FINDING: %s\n", what);
        std::abort();
    }
}

// Every entry the reader hands out holds what its function's parameters say.
void check_entry(const kt::Entry &entry, std::uint64_t index)
{
    if (const auto *call = std::get_if<kt::Call>(&entry)) {
        std::size_t in = 0, out = 0;
        for (const auto &p : kt::parameters(call->function))
            (p.direction == kt::Direction::in ? in : out)++;
        expect(call->inputs.size() == in && call->outputs.size() == out, "a call with the wrong number of values");
        for (const auto *values : {&call->inputs, &call->outputs})
            for (const auto &v : *values)
                expect(v.kind != kt::Value::Kind::bytes || v.bytes, "a bytes value without its buffer");
        expect(!kt::describe(*call, index).empty(), "an empty call line");
    } else if (const auto *event = std::get_if<kt::Event>(&entry)) {
        expect(!kt::describe(*event).empty(), "an empty event line");
    } else {
        expect(!kt::describe(std::get<kt::Section>(entry)).empty(), "an empty section line");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string error;
    auto reader = kt::Reader::from_bytes({data, size}, error);
    if (!reader) {
        expect(!error.empty(), "a refused trace without an error");
        return 0;
    }
    std::uint64_t calls = 0;
    while (auto entry = reader->next(error))
        check_entry(*entry, std::holds_alternative<kt::Call>(*entry) ? ++calls : calls);
    expect(error.empty() || !reader->finished(), "an error after the end mark was read");

    // The whole-trace reader agrees with the entry-by-entry one.
    std::string whole_error;
    auto trace = kt::read_trace({data, size}, whole_error);
    expect(trace.has_value() == error.empty(), "read_trace and Reader disagree");
    expect(whole_error == error, "read_trace and Reader give different errors");
    if (trace)
        kt::redact(std::move(*trace));
    return 0;
}
