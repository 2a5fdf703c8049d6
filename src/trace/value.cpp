// value.cpp - comparing recorded values: a replay matches the driver's arguments against the trace's.
#include "kelvra_trace.h"

namespace kelvra::trace {

bool operator==(const Value &a, const Value &b)
{
    if (a.kind != b.kind)
        return false;
    if (a.kind != Value::Kind::bytes)
        return a.kind == Value::Kind::null || a.kind == Value::Kind::unchanged || a.number == b.number;
    if (a.bytes == b.bytes)
        return true;
    // A bytes value without a buffer is an empty buffer.
    static const std::vector<std::uint8_t> empty;
    return (a.bytes ? *a.bytes : empty) == (b.bytes ? *b.bytes : empty);
}

}  // namespace kelvra::trace
