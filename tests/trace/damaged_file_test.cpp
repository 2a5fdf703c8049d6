// damaged_file_test.cpp - a truncated or damaged trace is refused with an error that names the entry
// and the byte where its frame starts, never read past its end and never taken for a good one.
#include "trace_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <tuple>

namespace {

using namespace trace_test;

class DamagedTrace : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_trace(dir_.path("good.trace"), sample_session());
        file_ = read_file(dir_.path("good.trace"));
        frames_ = frames(file_);
    }

    // The n-th frame (from 0) of a type.
    const Frame &frame(char type, int n = 0) const
    {
        for (const Frame &f : frames_)
            if (f.type == type && n-- == 0)
                return f;
        ADD_FAILURE() << "no frame " << type;
        return frames_.front();
    }
    static std::size_t payload_at(const Frame &f) { return f.offset + 5; }

    ScratchDir dir_;
    std::vector<std::uint8_t> file_;
    std::vector<Frame> frames_;
};

std::string error_of(const std::vector<std::uint8_t> &bytes)
{
    std::string error;
    auto trace = kt::read_trace(bytes, error);
    EXPECT_EQ(trace.has_value(), error.empty());
    return trace ? std::string("(read without error)") : error;
}

TEST_F(DamagedTrace, EveryTruncationIsAnErrorOrAnUnfinishedTraceOfTheWholeEntriesBeforeIt)
{
    const std::size_t header_end = frames_[0].offset + 5 + frames_[0].payload_size + 4;
    ASSERT_EQ(frames_.back().type, 'Z');
    std::set<std::size_t> frame_starts;
    for (const Frame &f : frames_)
        frame_starts.insert(f.offset);

    for (std::size_t n = 0; n <= file_.size(); ++n) {
        const std::vector<std::uint8_t> cut(file_.begin(), file_.begin() + static_cast<long>(n));
        std::string error;
        auto trace = kt::read_trace(cut, error);
        if (n == file_.size()) {
            ASSERT_TRUE(trace) << error;
            EXPECT_TRUE(trace->finished);
            EXPECT_EQ(trace->entries.size(), sample_session().size());
        } else if (n >= header_end && frame_starts.contains(n)) {
            // Cut between frames: what a killed recorder leaves, every entry before the cut kept.
            ASSERT_TRUE(trace) << "cut at " << n << ": " << error;
            EXPECT_FALSE(trace->finished);
            const auto whole = std::count_if(frames_.begin(), frames_.end(), [&](const Frame &f) {
                return f.offset < n && (f.type == 'C' || f.type == 'E' || f.type == 'S');
            });
            EXPECT_EQ(trace->entries.size(), static_cast<std::size_t>(whole)) << "cut at " << n;
        } else {
            EXPECT_FALSE(trace) << "cut at " << n << " read as a trace";
            if (n >= header_end) {
                const auto cut_frame = std::prev(frame_starts.upper_bound(n));
                EXPECT_NE(error.find("at byte " + std::to_string(*cut_frame) + ": the file ends inside"),
                          std::string::npos)
                    << "cut at " << n << ": " << error;
            }
        }
    }
}

TEST_F(DamagedTrace, EachDamagedPartGivesItsOwnErrorAtItsOwnPlace)
{
    using Damage = std::function<void(std::vector<std::uint8_t> &)>;
    struct Case {
        const char *part;
        Damage damage;
        std::string error;
    };
    const Frame &header = frames_[0];
    const Frame &open = frame('C', 0);     // entry 1
    const Frame &buffer = frame('B', 0);   // the capture's frame, before entry 2
    const Frame &capture = frame('C', 1);  // entry 2
    const Frame &stop = frame('E', 0);     // entry 4
    const Frame &search = frame('C', 3);   // entry 5: its record is a buffer inside the frame
    const Frame &shared = frame('C', 5);   // entry 7: a redacted feature block
    const Frame &command = frame('S', 0);  // entry 8
    const auto at = [](const Frame &f) { return " at byte " + std::to_string(f.offset) + ": "; };
    ASSERT_EQ(file_[payload_at(buffer) + 36], 1) << "the sample's frame must be zlib-coded";
    // Where the capture's reference to the stored buffer lies: the buffer's hash, found in its payload.
    const auto hash = file_.begin() + static_cast<long>(payload_at(buffer));
    const auto capture_payload = file_.begin() + static_cast<long>(payload_at(capture));
    const std::size_t reference = static_cast<std::size_t>(
        std::search(capture_payload, capture_payload + static_cast<long>(capture.payload_size), hash, hash + 32) -
        file_.begin());
    ASSERT_LT(reference, payload_at(capture) + capture.payload_size);
    char short_hash[9];
    std::snprintf(short_hash, sizeof short_hash, "%02x%02x%02x%02x", hash[0], hash[1], hash[2], hash[3]);
    const auto set_u32 = [](std::vector<std::uint8_t> &f, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };

    // Where the lengths the reader takes from these frames lie in their payloads.
    const std::size_t recorder_length = payload_at(header), sdk_length = payload_at(header) + 24;
    const std::size_t record_length = payload_at(search) + 36, redacted_size = payload_at(shared) + 46;
    const std::size_t name_length = payload_at(command), content_length = payload_at(command) + 12;
    ASSERT_EQ(std::make_tuple(file_[record_length - 1], file_[redacted_size - 1], file_[content_length - 1]),
              std::make_tuple(2, 6, 2)) << "the tags of an inline buffer, a redacted one and an inline one";
    // A length that counts one byte more than the frame holds after it.
    const auto one_past = [&](const Frame &in, std::size_t length_at) {
        return static_cast<std::uint32_t>(payload_at(in) + in.payload_size - (length_at + 4) + 1);
    };
    const Case cases[] = {
        {"magic", [](auto &f) { f[0] ^= 1; }, "not a trace file"},
        {"version", [](auto &f) { f[8] = 2; }, "byte 8: trace version 2 is not supported"},
        {"header payload", [&](auto &f) { f[payload_at(header) + 2] ^= 1; }, "header" + at(header) + "checksum mismatch"},
        {"header flags", [&](auto &f) { f[payload_at(header) + header.payload_size - 1] = 2; reseal(f, header); },
         "header" + at(header) + "the header's fields are damaged"},
        {"frame length beyond the bound", [&](auto &f) { set_u32(f, open.offset + 1, 0xffffffff); },
         "entry 1" + at(open) + "a frame of 4294967295 bytes (at most"},
        {"frame length one more", [&](auto &f) { set_u32(f, open.offset + 1, open.payload_size + 1); },
         "entry 1" + at(open) + "checksum mismatch"},
        {"checksum", [&](auto &f) { f[payload_at(capture) + capture.payload_size] ^= 0x80; },
         "entry 2" + at(capture) + "checksum mismatch"},
        {"hash reference", [&](auto &f) { f[reference + 5] ^= 1; reseal(f, capture); },
         "entry 2" + at(capture) + "refers to a buffer"},
        {"compressed data", [&](auto &f) { f[payload_at(buffer) + 37 + buffer.payload_size / 2] ^= 0x55; reseal(f, buffer); },
         "entry 2" + at(buffer) + "stored buffer " + short_hash + ": the compressed data is damaged"},
        {"stored size above the bound", [&](auto &f) { set_u32(f, payload_at(buffer) + 32, (64u << 20) + 1); reseal(f, buffer); },
         "entry 2" + at(buffer) + "stored buffer " + short_hash + ": 67108865 bytes (at most 67108864)"},
        {"stored size beyond what deflate makes", [&](auto &f) { set_u32(f, payload_at(buffer) + 32, 10u << 20); reseal(f, buffer); },
         "compressed bytes cannot make 10485760 bytes"},
        {"stored size one less", [&](auto &f) { f[payload_at(buffer) + 32] -= 1; reseal(f, buffer); },
         "the compressed data is damaged"},
        {"stored hash", [&](auto &f) { f[payload_at(buffer) + 3] ^= 1; reseal(f, buffer); },
         "the content does not match its hash"},
        {"header text length above the bound", [&](auto &f) { set_u32(f, recorder_length, 4097); reseal(f, header); },
         "header" + at(header) + "a name of 4097 bytes (at most 4096)"},
        {"header text length one past the frame",
         [&](auto &f) { set_u32(f, sdk_length, one_past(header, sdk_length)); reseal(f, header); },
         "header" + at(header) + "the header's fields are damaged"},
        {"inline buffer length one past the frame",
         [&](auto &f) { set_u32(f, record_length, one_past(search, record_length)); reseal(f, search); },
         "entry 5" + at(search) + "a buffer of"},
        {"redacted size above the bound",
         [&](auto &f) { set_u32(f, redacted_size, (64u << 20) + 1); reseal(f, shared); },
         "entry 7" + at(shared) + "a redacted buffer of 67108865 bytes"},
        {"section name length above the bound", [&](auto &f) { set_u32(f, name_length, 65); reseal(f, command); },
         "entry 8" + at(command) + "a section name of 65 bytes"},
        {"section name length one past the frame",
         [&](auto &f) { set_u32(f, name_length, one_past(command, name_length)); reseal(f, command); },
         "entry 8" + at(command) + "the frame ends inside the section's name"},
        {"section content length one past the frame",
         [&](auto &f) { set_u32(f, content_length, one_past(command, content_length)); reseal(f, command); },
         "entry 8" + at(command) + "a buffer of 7 bytes runs past the frame"},
        {"function number", [&](auto &f) { f[payload_at(open)] = 200; reseal(f, open); },
         "entry 1" + at(open) + "unknown SDK function number 200"},
        {"count of values", [&](auto &f) { f[payload_at(open) + 25] = 2; reseal(f, open); },
         "KELFPSCAN_OpenDevice: 2 input values in the frame, the call has 1"},
        {"frame type", [&](auto &f) { f[stop.offset] = 'Q'; reseal(f, stop); }, "entry 4" + at(stop) + "a frame of unknown type"},
        {"data after the end mark", [](auto &f) { f.push_back(0); }, "data after the end mark"},
    };
    for (const Case &c : cases) {
        auto damaged = file_;
        c.damage(damaged);
        const std::string error = error_of(damaged);
        EXPECT_NE(error.find(c.error), std::string::npos) << c.part << ": " << error;
    }
}

TEST_F(DamagedTrace, AReaderStaysAtItsFirstErrorAndAFinishedOneAtItsEnd)
{
    auto damaged = file_;
    damaged[frame('C', 1).offset + 7] ^= 1;
    std::string error;
    auto reader = kt::Reader::from_bytes(damaged, error);
    ASSERT_TRUE(reader) << error;
    ASSERT_TRUE(reader->next(error)) << error;
    EXPECT_FALSE(reader->next(error));
    const std::string first = error;
    EXPECT_FALSE(first.empty());
    EXPECT_FALSE(reader->next(error));
    EXPECT_EQ(error, first);

    reader = kt::Reader::from_bytes(file_, error);
    ASSERT_TRUE(reader) << error;
    while (reader->next(error)) {
    }
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_TRUE(reader->finished());
    EXPECT_FALSE(reader->next(error));
    EXPECT_TRUE(error.empty()) << error;
}

}  // namespace
