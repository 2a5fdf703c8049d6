// redact.cpp - a trace fit for sharing: frames and feature blocks give way to their sizes, and the
// host's sections to nothing.
#include "kelvra_trace.h"

namespace kelvra::trace {
namespace {

void redact_values(std::vector<Value> &values, std::span<const Parameter> params, Direction direction)
{
    std::size_t i = 0;
    for (const Parameter &p : params) {
        if (p.direction != direction)
            continue;
        if (i >= values.size())
            return;
        Value &v = values[i++];
        if (p.biometric && v.kind == Value::Kind::bytes)
            v = Value::of_redacted(v.bytes ? v.bytes->size() : 0);
    }
}

}  // namespace

Trace redact(Trace trace)
{
    trace.header.redacted = true;
    for (Entry &entry : trace.entries) {
        if (auto *call = std::get_if<Call>(&entry)) {
            redact_values(call->inputs, parameters(call->function), Direction::in);
            redact_values(call->outputs, parameters(call->function), Direction::out);
        } else if (auto *section = std::get_if<Section>(&entry)) {
            // A section is the host's own data and may hold anything: its database holds templates, its
            // journal and command line name users. Only the name stays.
            section->content.clear();
        }
    }
    return trace;
}

}  // namespace kelvra::trace
