// trace_support.h - traces to test with: a scratch folder, a representative session, file bytes.
#ifndef KELVRA_TRACE_TEST_SUPPORT_H
#define KELVRA_TRACE_TEST_SUPPORT_H

#include "kelvra_trace.h"

#include <cstdint>
#include <string>
#include <vector>

namespace trace_test {

namespace kt = kelvra::trace;

// A folder removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

std::vector<std::uint8_t> noise(std::size_t size, unsigned seed);  // incompressible bytes
std::vector<std::uint8_t> read_file(const std::string &path);

kt::Call call(kt::Function function, std::vector<kt::Value> inputs, std::vector<kt::Value> outputs, int rc = 0);

// A short session of every kind of entry and value: an open, a capture whose frame a grading call
// hands back (one stored buffer, two references), a record, a stop, a section.
std::vector<kt::Entry> sample_session();
kt::Header sample_header();

// Writes a finished trace of entries to path. Fails the test on an error.
void write_trace(const std::string &path, const std::vector<kt::Entry> &entries,
                 const kt::Header &header = sample_header());

// Entries compare field by field, values with Value's ==.
bool same_entry(const kt::Entry &a, const kt::Entry &b);

// Where each frame of a trace file starts: after the 12-byte magic and version, frames of
// type (1), length (4), payload, CRC-32 (4).
struct Frame {
    std::size_t offset;
    char type;
    std::size_t payload_size;
};
std::vector<Frame> frames(const std::vector<std::uint8_t> &file);
// Recomputes a frame's CRC-32 after a test changed its payload.
void reseal(std::vector<std::uint8_t> &file, const Frame &frame);

}  // namespace trace_test

#endif
