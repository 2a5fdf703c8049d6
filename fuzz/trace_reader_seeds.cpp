// trace_reader_seeds.cpp - writes the seed corpus of trace_reader_fuzz with the trace writer itself.
//
// Usage: trace_reader_seeds DIR. The seeds: a match-on-host capture and grading (one stored buffer,
// zlib-coded, referred to twice), a match-on-chip search and deletion with records and the tag, a stop
// and a section; the same session unfinished; and its redacted copy.
#include "kelvra_trace.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace kt = kelvra::trace;
using kt::Function;
using kt::Value;

kt::Call call(Function f, std::vector<Value> in, std::vector<Value> out, int rc, std::int64_t at_ns)
{
    kt::Call c;
    c.function = f;
    c.thread = 1;
    c.start_ns = at_ns;
    c.end_ns = at_ns + 1000;
    c.inputs = std::move(in);
    c.outputs = std::move(out);
    c.rc = rc;
    return c;
}

std::vector<kt::Entry> host_session()
{
    std::vector<std::uint8_t> frame(32 * 32);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(96 + (i % 32) / 4 + (i / 256) * 8);  // few grey levels: packs well
    return {
        call(Function::GlobalInit, {}, {}, 0, 0),
        call(Function::OpenDevice, {Value::of_integer(0)}, {Value::of_handle(1)}, 0, 10),
        call(Function::GetImageInfo, {Value::of_handle(1)},
             {Value::of_integer(32), Value::of_integer(32), Value::of_integer(508)}, 0, 20),
        call(Function::CaptureRawData, {Value::of_handle(1), Value::of_integer(0)}, {Value::of_bytes(frame)}, 0, 30),
        call(Function::ImgQuality, {Value::of_integer(32), Value::of_integer(32), Value::of_bytes(frame)},
             {Value::of_integer(71)}, 0, 40),
        kt::Event{kt::Event::Kind::stop, 5, 45},
        call(Function::CloseDevice, {Value::of_handle(1)}, {Value::of_handle(0)}, 0, 50),
        kt::Section{"command", {'e', 'n', 'r', 'o', 'l', 'l'}},
    };
}

std::vector<kt::Entry> chip_session()
{
    std::vector<std::uint8_t> user(64, 0), finger(64, 0);
    user[0] = 0xe8;
    user[1] = 0x03;
    finger[0] = 2;
    const std::uint8_t tag[] = {'z', 'u', 'v', 'o'};
    return {
        call(Function::GetDeviceWorkMode, {Value::of_handle(1)}, {Value::of_integer(1)}, 0, 0),
        call(Function::SearchForOS, {Value::of_handle(1), Value::of_bytes(user)},
             {Value::of_integer(0), Value::of_integer(2), Value::of_unchanged()}, 0, 10),
        call(Function::DelUserFpsFroOS, {Value::of_handle(1), Value::of_bytes(user), Value::of_bytes(finger)}, {},
             0, 20),
        call(Function::DelOSInfoFpsFroOS, {Value::of_handle(1), Value::of_bytes(tag)}, {}, 0, 30),
        call(Function::VerifyExt,
             {Value::of_handle(1), Value::of_integer(5), Value::of_null(), Value::of_integer(0), Value::of_null()},
             {Value::of_redacted(4), Value::of_unchanged()}, -1, 40),
    };
}

bool write(const std::string &path, const std::vector<kt::Entry> &entries, bool finish, const kt::Header &header)
{
    std::string error;
    auto writer = kt::Writer::create(path, header, error);
    for (const auto &entry : entries)
        if (!writer || !writer->write(entry, error))
            break;
    if (writer && finish && !writer->finish(error))
        writer.reset();
    if (!error.empty()) {
        std::fprintf(stderr, "trace_reader_seeds: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    if (!finish) {
        // What a killed recorder leaves: everything but the end mark.
        writer.reset();
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - 9);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: trace_reader_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    kt::Header header;
    header.recorder = "kelvra-recorder seeds";
    header.sdk = "/usr/lib/libKelDactylen.so";
    header.started_unix_s = 1765250000;
    kt::Trace host{header, host_session(), true};
    bool ok = write(dir + "/host-session", host.entries, true, header) &&
              write(dir + "/chip-session", chip_session(), true, header) &&
              write(dir + "/host-session-unfinished", host.entries, false, header);
    const kt::Trace shared = kt::redact(host);
    ok = ok && write(dir + "/host-session-redacted", shared.entries, true, shared.header);
    return ok ? 0 : 1;
}
