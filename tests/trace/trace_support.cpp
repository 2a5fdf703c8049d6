// trace_support.cpp - traces to test with.
#include "trace_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace trace_test {

ScratchDir::ScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvra-trace-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        ADD_FAILURE() << "mkdtemp failed";
    dir_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::uint8_t> noise(std::size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> out(size);
    for (auto &b : out)
        b = static_cast<std::uint8_t>(gen());
    return out;
}

std::vector<std::uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

kt::Call call(kt::Function function, std::vector<kt::Value> inputs, std::vector<kt::Value> outputs, int rc)
{
    kt::Call c;
    c.function = function;
    c.thread = 1;
    c.inputs = std::move(inputs);
    c.outputs = std::move(outputs);
    c.rc = rc;
    return c;
}

kt::Header sample_header()
{
    kt::Header h;
    h.recorder = "kelvra-recorder test";
    h.sdk = "/opt/sdk/libKelDactylen.so";
    h.started_unix_s = 1765250000;
    return h;
}

std::vector<kt::Entry> sample_session()
{
    using kt::Function;
    using kt::Value;
    // A gradient compresses well, so the stored buffer is zlib-coded.
    std::vector<std::uint8_t> frame(96 * 96);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i % 96 + i / 960);
    std::vector<std::uint8_t> record(64, 0);
    record[0] = 0xe8;
    record[1] = 0x03;

    kt::Call open = call(Function::OpenDevice, {Value::of_integer(0)}, {Value::of_handle(1)});
    open.start_ns = 1000;
    open.end_ns = 250000;
    kt::Call capture = call(Function::CaptureRawData, {Value::of_handle(1), Value::of_integer(0)},
                            {Value::of_bytes(frame)});
    capture.thread = 2;
    capture.start_ns = 1234567000;
    capture.end_ns = 1300000000;
    kt::Call grade = call(Function::ImgQuality,
                          {Value::of_integer(96), Value::of_integer(96), Value::of_bytes(frame)},
                          {Value::of_integer(-7)}, -3);
    kt::Call search = call(Function::SearchForOS, {Value::of_handle(1), Value::of_bytes(record)},
                           {Value::of_unchanged(), Value::of_integer(2), Value::of_integer(4000000000)}, 9);
    kt::Call tag = call(Function::DelOSInfoFpsFroOS, {Value::of_null(), Value::of_bytes(std::vector<std::uint8_t>{})},
                        {});
    kt::Call shared = call(Function::ExtractFeature, {Value::of_handle(1), Value::of_integer(0)},
                           {Value::of_redacted(20480)});
    kt::Event stop{kt::Event::Kind::stop, 3, 1400000000};
    kt::Section command{"command", {'e', 'n', 'r', 'o', 'l', 'l'}};
    kt::Section database{"database", std::vector<std::uint8_t>(4096, 0x41)};
    return {open, capture, grade, stop, search, tag, shared, command, database};
}

void write_trace(const std::string &path, const std::vector<kt::Entry> &entries, const kt::Header &header)
{
    std::string error;
    auto writer = kt::Writer::create(path, header, error);
    ASSERT_TRUE(writer) << error;
    for (const auto &entry : entries)
        ASSERT_TRUE(writer->write(entry, error)) << error;
    ASSERT_TRUE(writer->finish(error)) << error;
}

bool same_entry(const kt::Entry &a, const kt::Entry &b)
{
    if (a.index() != b.index())
        return false;
    if (const auto *x = std::get_if<kt::Call>(&a)) {
        const auto &y = std::get<kt::Call>(b);
        return x->function == y.function && x->thread == y.thread && x->start_ns == y.start_ns &&
               x->end_ns == y.end_ns && x->rc == y.rc && x->inputs == y.inputs && x->outputs == y.outputs;
    }
    if (const auto *x = std::get_if<kt::Event>(&a)) {
        const auto &y = std::get<kt::Event>(b);
        return x->kind == y.kind && x->after_calls == y.after_calls && x->time_ns == y.time_ns;
    }
    const auto &x = std::get<kt::Section>(a);
    const auto &y = std::get<kt::Section>(b);
    return x.name == y.name && x.content == y.content;
}

std::vector<Frame> frames(const std::vector<std::uint8_t> &file)
{
    std::vector<Frame> out;
    std::size_t at = 12;
    while (at + 5 <= file.size()) {
        std::size_t size = file[at + 1] | file[at + 2] << 8 | file[at + 3] << 16 | std::size_t(file[at + 4]) << 24;
        out.push_back({at, static_cast<char>(file[at]), size});
        at += 5 + size + 4;
    }
    return out;
}

void reseal(std::vector<std::uint8_t> &file, const Frame &frame)
{
    std::size_t body = 5 + frame.payload_size;
    uLong crc = crc32(0L, file.data() + frame.offset, static_cast<uInt>(body));
    for (int i = 0; i < 4; ++i)
        file[frame.offset + body + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

}  // namespace trace_test
