// trace_frames.h - kelvractl trace frames IN DIR: the frames of a recorded sensor session as images.
#ifndef KELVRACTL_TRACE_FRAMES_H
#define KELVRACTL_TRACE_FRAMES_H

#include <cstdio>
#include <string>

namespace kelvractl {

// Creates DIR (mode 0700; it must not exist) and writes into it every frame the trace IN captured as an
// 8-bit grey PNG, frame-NNNN-call-MMMM.png, and the table frames.tsv: frame, call number, time in
// seconds since the trace began, width, height, the SDK's grade of the frame where the trace shows it,
// file. Says so on out; errors go to err. Returns 0, 2 when DIR exists, 3 when IN cannot be read, is
// redacted (it holds no frames) or DIR cannot be written.
int write_frames(const std::string &in, const std::string &dir, std::FILE *out, std::FILE *err);

}  // namespace kelvractl

#endif
