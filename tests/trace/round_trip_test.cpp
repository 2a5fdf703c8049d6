// round_trip_test.cpp - what the writer puts in a file the reader gives back, entry for entry, and a
// buffer is stored once however often the session hands it over.
#include "trace_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace trace_test;
using kt::Function;
using kt::Value;

void expect_same_entries(const std::vector<kt::Entry> &expected, const std::vector<kt::Entry> &got)
{
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(same_entry(got[i], expected[i])) << "entry " << i + 1;
}

TEST(TraceRoundTrip, EveryKindOfEntryAndValueComesBackFromFileAndMemory)
{
    ScratchDir dir;
    const auto path = dir.path("session.trace");
    const auto session = sample_session();
    write_trace(path, session);

    std::string error;
    auto from_file = kt::read_trace(path, error);
    ASSERT_TRUE(from_file) << error;
    auto from_memory = kt::read_trace(read_file(path), error);
    ASSERT_TRUE(from_memory) << error;
    for (const auto *trace : {&*from_file, &*from_memory}) {
        EXPECT_TRUE(trace->finished);
        EXPECT_EQ(trace->header.version, kt::kFormatVersion);
        EXPECT_EQ(trace->header.recorder, sample_header().recorder);
        EXPECT_EQ(trace->header.sdk, sample_header().sdk);
        EXPECT_EQ(trace->header.started_unix_s, sample_header().started_unix_s);
        EXPECT_FALSE(trace->header.redacted);
        expect_same_entries(session, trace->entries);
    }
    // One copy of a buffer the trace holds twice.
    const auto &capture = std::get<kt::Call>(from_file->entries[1]);
    const auto &grade = std::get<kt::Call>(from_file->entries[2]);
    EXPECT_EQ(capture.outputs[0].bytes, grade.inputs[2].bytes);
}

TEST(TraceRoundTrip, EveryFunctionKeepsItsNameAndItsArguments)
{
    ScratchDir dir;
    std::vector<kt::Entry> calls;
    for (std::size_t f = 0; f < kt::kFunctionCount; ++f) {
        const auto function = static_cast<Function>(f);
        EXPECT_EQ(kt::function_from_name(kt::function_name(function)), function);
        std::vector<Value> inputs, outputs;
        for (const auto &p : kt::parameters(function))
            (p.direction == kt::Direction::in ? inputs : outputs).push_back(Value::of_integer(100 * f + inputs.size()));
        calls.push_back(call(function, inputs, outputs, static_cast<int>(f) - 5));
    }
    write_trace(dir.path("all.trace"), calls);
    std::string error;
    auto trace = kt::read_trace(dir.path("all.trace"), error);
    ASSERT_TRUE(trace) << error;
    expect_same_entries(calls, trace->entries);
    EXPECT_FALSE(kt::function_from_name("KELFPSCAN_Nothing"));
}

TEST(TraceRoundTrip, AKilledWritersEntriesReadAsAnUnfinishedTrace)
{
    ScratchDir dir;
    const auto path = dir.path("killed.trace");
    const auto session = sample_session();
    std::string error;
    auto writer = kt::Writer::create(path, sample_header(), error);
    ASSERT_TRUE(writer) << error;
    for (const auto &entry : session)
        ASSERT_TRUE(writer->write(entry, error)) << error;
    const auto before_finish = read_file(path);  // what a kill at this moment leaves behind
    ASSERT_TRUE(writer->finish(error)) << error;
    EXPECT_FALSE(writer->write(session[0], error));

    auto trace = kt::read_trace(before_finish, error);
    ASSERT_TRUE(trace) << error;
    EXPECT_FALSE(trace->finished);
    expect_same_entries(session, trace->entries);
}

TEST(TraceRoundTrip, ABufferHandedOverTwiceIsStoredOnce)
{
    ScratchDir dir;
    const auto feature = Value::of_bytes(noise(20480, 7));
    const auto extract = call(Function::ExtractFeature, {Value::of_handle(1), Value::of_integer(0)}, {feature});
    write_trace(dir.path("once.trace"), {extract});
    write_trace(dir.path("twice.trace"), {extract, extract});
    const auto once = read_file(dir.path("once.trace")).size();
    const auto twice = read_file(dir.path("twice.trace")).size();
    EXPECT_GT(once, 20480u);
    EXPECT_LT(twice - once, 100u) << "the second reference must not carry the buffer";
}

TEST(TraceRoundTrip, AFileIsPrivateAndNeverReplacesAnother)
{
    ScratchDir dir;
    const auto path = dir.path("private.trace");
    write_trace(path, sample_session());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const auto before = read_file(path);
    std::string error;
    EXPECT_FALSE(kt::Writer::create(path, sample_header(), error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(read_file(path), before);
}

// Entries the writer must refuse, because no reader could take them back.
TEST(TraceRoundTrip, TheWriterRefusesEntriesTheFormatCannotHold)
{
    struct Case {
        const char *what;
        kt::Entry entry;
        const char *error;
    };
    const Case cases[] = {
        {"too few inputs", call(Function::CaptureRawData, {Value::of_handle(1)}, {Value::of_null()}), "takes 2 inputs"},
        {"unknown function", call(static_cast<Function>(22), {}, {}), "unknown function"},
        {"empty section name", kt::Section{"", {}}, "section name"},
        {"section name with a space", kt::Section{"my db", {}}, "section name"},
        {"second section of a name", kt::Section{"command", {}}, "already has a section"},
        {"negative redacted size", call(Function::ExtractFeature, {Value::of_handle(1), Value::of_integer(0)},
                                        {Value{Value::Kind::redacted, -1, nullptr}}), "redacted size"},
    };
    ScratchDir dir;
    std::string error;
    auto writer = kt::Writer::create(dir.path("refusals.trace"), sample_header(), error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(writer->write(kt::Section{"command", {'x'}}, error)) << error;
    for (const auto &c : cases) {
        EXPECT_FALSE(writer->write(c.entry, error)) << c.what;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
    // The refusals left the file as good as before.
    ASSERT_TRUE(writer->finish(error)) << error;
    auto trace = kt::read_trace(dir.path("refusals.trace"), error);
    ASSERT_TRUE(trace) << error;
    EXPECT_EQ(trace->entries.size(), 1u);
}

}  // namespace
