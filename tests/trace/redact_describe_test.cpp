// redact_describe_test.cpp - a redacted trace keeps everything but the fingerprints, and the one-line
// views say what a call was handed and answered in the words a replay's complaint uses.
#include "content_hash.h"
#include "trace_support.h"

#include <gtest/gtest.h>

namespace {

using namespace trace_test;
using kt::Function;
using kt::Value;

TEST(TraceRedact, BiometricBuffersBecomeTheirSizesAndEverythingElseStays)
{
    const auto session = sample_session();
    kt::Trace original{sample_header(), session, true};
    const kt::Trace shared = kt::redact(original);

    EXPECT_TRUE(shared.header.redacted);
    EXPECT_EQ(shared.header.recorder, original.header.recorder);
    EXPECT_EQ(shared.header.sdk, original.header.sdk);
    ASSERT_EQ(shared.entries.size(), session.size());
    std::size_t redacted = 0;
    for (std::size_t i = 0; i < session.size(); ++i) {
        const auto *before = std::get_if<kt::Call>(&session[i]);
        if (before == nullptr) {
            if (const auto *section = std::get_if<kt::Section>(&shared.entries[i])) {
                EXPECT_EQ(section->name, std::get<kt::Section>(session[i]).name);
                EXPECT_TRUE(section->content.empty()) << section->name;
            } else {
                EXPECT_TRUE(same_entry(shared.entries[i], session[i])) << "entry " << i + 1;
            }
            continue;
        }
        const auto &after = std::get<kt::Call>(shared.entries[i]);
        EXPECT_EQ(after.rc, before->rc);
        std::size_t in = 0, out = 0;
        for (const auto &p : kt::parameters(before->function)) {
            const bool input = p.direction == kt::Direction::in;
            const std::size_t at = input ? in++ : out++;
            const Value &was = (input ? before->inputs : before->outputs)[at];
            const Value &is = (input ? after.inputs : after.outputs)[at];
            if (p.biometric && was.kind == Value::Kind::bytes) {
                EXPECT_EQ(is, Value::of_redacted(was.bytes->size())) << "entry " << i + 1 << " " << p.name;
                ++redacted;
            } else {
                EXPECT_EQ(is, was) << "entry " << i + 1 << " " << p.name;
            }
        }
    }
    EXPECT_EQ(redacted, 2u);  // the capture's frame and the same frame graded

    // Written out, a redacted trace holds no stored buffer at all and reads back as redacted.
    ScratchDir dir;
    write_trace(dir.path("shared.trace"), shared.entries, shared.header);
    for (const Frame &f : frames(read_file(dir.path("shared.trace"))))
        EXPECT_NE(f.type, 'B') << "a buffer left at byte " << f.offset;
    std::string error;
    auto back = kt::read_trace(dir.path("shared.trace"), error);
    ASSERT_TRUE(back) << error;
    EXPECT_TRUE(back->header.redacted);
    for (std::size_t i = 0; i < shared.entries.size(); ++i)
        EXPECT_TRUE(same_entry(back->entries[i], shared.entries[i])) << "entry " << i + 1;
}

TEST(TraceDescribe, ACallReadsAsItsIndexThreadTimeArgumentsAnswerAndOutputs)
{
    std::vector<std::uint8_t> user(64, 0);
    user[0] = 0xe8;
    user[1] = 0x03;
    auto capture = call(Function::CaptureRawData, {Value::of_handle(1), Value::of_integer(0)},
                        {Value::of_bytes(std::vector<std::uint8_t>(9216, 0))});
    capture.start_ns = 1234567891;
    auto search = call(Function::SearchForOS, {Value::of_handle(2), Value::of_bytes(user)},
                       {Value::of_unchanged(), Value::of_integer(-1), Value::of_integer(0)}, 9);
    search.thread = 2;
    search.start_ns = 250000;
    auto verify = call(Function::VerifyExt,
                       {Value::of_handle(1), Value::of_integer(5), Value::of_redacted(20480), Value::of_integer(6),
                        Value::of_null()},
                       {Value::of_integer(37), Value::of_integer(0)});
    auto tag = call(Function::DelOSInfoFpsFroOS,
                    {Value::of_handle(1), Value::of_bytes(std::vector<std::uint8_t>{'z', 'u', 'v', 'o', 0})}, {});
    auto init = call(Function::GlobalInit, {}, {}, -3);

    struct Case {
        kt::Call call;
        std::uint64_t index;
        const char *line;
    };
    const Case cases[] = {
        {capture, 57,
         "57 t1 +1.234567 KELFPSCAN_CaptureRawData(handle=#1, mode=0) = 0 -> image=<9216 bytes 2d07a41a>"},
        {search, 3,
         "3 t2 +0.000250 KELFPSCAN_SearchForOS(handle=#2, userInfo=<64 bytes e803 +62 zeros>) = 9 -> "
         "searchRes=unchanged, matchedId=-1, matchScore=0"},
        {verify, 9,
         "9 t1 +0.000000 KELFPSCAN_VerifyExt(handle=#1, level=5, feature=<20480 bytes redacted>, count=6, "
         "templates=NULL) = 0 -> similarity=37, match=0"},
        {tag, 10, "10 t1 +0.000000 KELFPSCAN_DelOSInfoFpsFroOS(handle=#1, osTag=<5 bytes 7a75766f +1 zero>) = 0"},
        {init, 1, "1 t1 +0.000000 KELFPSCAN_GlobalInit() = -3"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(kt::describe(c.call, c.index), c.line);

    EXPECT_EQ(kt::describe_inputs(Function::ImgQuality,
                                  std::vector<Value>{Value::of_integer(96), Value::of_integer(96),
                                                     Value::of_bytes(std::vector<std::uint8_t>(129, 'a'))}),
              "width=96, height=96, image=<129 bytes c12cb024>");
    EXPECT_EQ(kt::describe(kt::Event{kt::Event::Kind::stop, 12, 2000001000}), "-- +2.000001 stop requested after call 12");
    EXPECT_EQ(kt::describe(kt::Section{"command", {'e', 'n', 'r', 'o', 'l', 'l'}}), "-- section command: \"enroll\"");
    const std::string argv("--db\0my db\0verify\0", 18);
    EXPECT_EQ(kt::describe(kt::Section{"command", std::vector<std::uint8_t>(argv.begin(), argv.end())}),
              "-- section command: \"--db 'my db' verify\"");
    EXPECT_EQ(kt::describe(kt::Section{"database", std::vector<std::uint8_t>(3, 0)}),
              "-- section database: <3 bytes all zero>");
}

// Known answers of SHA-256 (FIPS 180-4 examples and lengths around the padding's block edges): two
// buffers share a stored copy only when their hashes are equal, so a wrong hash would merge buffers.
TEST(TraceDescribe, TheContentHashIsSha256AcrossItsBlockEdges)
{
    struct Case {
        std::vector<std::uint8_t> data;
        const char *hash;
    };
    const auto a = [](std::size_t n) { return std::vector<std::uint8_t>(n, 'a'); };
    const Case cases[] = {
        {{}, "e3b0c442"}, {{'a', 'b', 'c'}, "ba7816bf"}, {a(55), "9f4390f8"}, {a(56), "b35439a4"},
        {a(63), "7d3e74a0"}, {a(64), "ffe054fe"},   {a(119), "31eba51c"}, {a(120), "2f3d3354"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(kt::short_hash(kt::content_hash(c.data)), c.hash) << c.data.size() << " bytes";
}

}  // namespace
