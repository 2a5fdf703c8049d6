// trace_commands.cpp - kelvractl trace show|redact|frames, over the trace library.
#include "trace_commands.h"

#include "args.h"
#include "i18n.h"
#include "kelvra_trace.h"
#include "report.h"
#include "trace_frames.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <unistd.h>

namespace kelvractl {

namespace kt = kelvra::trace;

namespace {

std::string utc_time(std::int64_t unix_s)
{
    const std::time_t t = static_cast<std::time_t>(unix_s);
    std::tm tm{};
    char text[64];
    if (gmtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0)
        return std::to_string(unix_s);
    return text;
}

// state: whether the trace ends with its end mark, ends without one, or is damaged.
std::string header_line(const kt::Header &h, std::size_t calls, const char *state)
{
    std::string line =
        strf(tr("trace version %u by %s, SDK %s, started %s; %zu calls; %s"), h.version,
             h.recorder.empty() ? tr("an unknown recorder") : h.recorder.c_str(),
             h.sdk.empty() ? tr("unknown") : h.sdk.c_str(), utc_time(h.started_unix_s).c_str(), calls, state);
    if (h.redacted)
        line += tr("; redacted: it can be shown, not replayed");
    return line;
}

int show(const std::string &path, std::FILE *out, std::FILE *err)
{
    std::string error;
    auto reader = kt::Reader::open(path, error);
    if (!reader) {
        trace_error(err, strf(tr("cannot read the trace: %s"), error.c_str()));
        return kExitFailed;
    }
    // The header line counts the calls and says whether the trace is finished, so the lines come first.
    std::vector<std::string> lines;
    std::size_t calls = 0;
    while (auto entry = reader->next(error)) {
        if (const auto *call = std::get_if<kt::Call>(&*entry))
            lines.push_back(kt::describe(*call, ++calls));
        else if (const auto *event = std::get_if<kt::Event>(&*entry))
            lines.push_back(kt::describe(*event));
        else
            lines.push_back(kt::describe(std::get<kt::Section>(*entry)));
    }
    const char *state = !error.empty()         ? tr("damaged: see the error after the entries")
                        : reader->finished() ? tr("finished")
                                             : tr("unfinished: no end mark, the recording program did not finish");
    std::fprintf(out, "%s\n", header_line(reader->header(), calls, state).c_str());
    for (const auto &line : lines)
        std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
    if (!error.empty()) {
        trace_error(err, strf(tr("%s is damaged after the lines above: %s"), path.c_str(), error.c_str()));
        return kExitFailed;
    }
    return kExitOk;
}

// The biometric buffers redact() takes out of a trace.
std::size_t biometric_buffers(const kt::Trace &trace)
{
    std::size_t n = 0;
    for (const auto &entry : trace.entries) {
        const auto *call = std::get_if<kt::Call>(&entry);
        if (call == nullptr)
            continue;
        std::size_t in = 0, out = 0;
        for (const kt::Parameter &p : kt::parameters(call->function)) {
            const auto &values = p.direction == kt::Direction::in ? call->inputs : call->outputs;
            const std::size_t at = p.direction == kt::Direction::in ? in++ : out++;
            n += p.biometric && at < values.size() && values[at].kind == kt::Value::Kind::bytes;
        }
    }
    return n;
}

int redact(const std::string &in, const std::string &out_path, std::FILE *out, std::FILE *err)
{
    int status = kExitOk;
    const std::string refusal = strf(tr("%s exists; trace redact never writes over a file"), out_path.c_str());
    auto trace = read_trace_for(in, out_path, refusal, err, status);
    if (!trace)
        return status;
    std::string error;
    const std::size_t taken_out = biometric_buffers(*trace);
    const bool finished = trace->finished;
    const kt::Trace shared = kt::redact(std::move(*trace));

    auto writer = kt::Writer::create(out_path, shared.header, error);
    if (!writer) {
        trace_error(err, strf(tr("cannot write the redacted trace: %s"), error.c_str()));
        return kExitFailed;
    }
    bool written = true;
    for (const auto &entry : shared.entries)
        if (!(written = writer->write(entry, error)))
            break;
    if (written)
        written = writer->finish(error);
    writer.reset();
    if (!written) {
        unlink(out_path.c_str());  // ours, and incomplete: a half-written copy is no use to anyone
        trace_error(err, strf(tr("cannot write the redacted trace %s: %s"), out_path.c_str(), error.c_str()));
        return kExitFailed;
    }
    std::fprintf(out, "%s\n",
                 strf(tr_n("Wrote %s: %zu frame or feature block taken out, the host's sections emptied.",
                           "Wrote %s: %zu frames and feature blocks taken out, the host's sections emptied.",
                           taken_out),
                      out_path.c_str(), taken_out)
                     .c_str());
    if (!finished)
        std::fprintf(out, "%s\n",
                     strf(tr("%s had no end mark; the copy holds every entry it had, and an end mark."), in.c_str())
                         .c_str());
    std::fflush(out);
    return kExitOk;
}

}  // namespace

void trace_error(std::FILE *err, const std::string &text)
{
    std::fprintf(err, "kelvractl: %s\n", text.c_str());
}

std::optional<kt::Trace> read_trace_for(const std::string &in, const std::string &target, const std::string &refusal,
                                        std::FILE *err, int &status)
{
    struct stat st{};
    if (lstat(target.c_str(), &st) == 0) {
        trace_error(err, refusal);
        status = kExitUsage;
        return std::nullopt;
    }
    std::string error;
    auto trace = kt::read_trace(in, error);
    if (!trace) {
        trace_error(err, strf(tr("cannot read the trace: %s"), error.c_str()));
        status = kExitFailed;
    }
    return trace;
}

const char *trace_verbs() { return "{show FILE | redact IN OUT | frames IN DIR}"; }

std::optional<std::string> check_trace_words(const std::vector<std::string> &words)
{
    if (words.empty())
        return strf(tr("trace needs a command: %s"), trace_verbs());
    if (words[0] == "show" && words.size() != 2)
        return std::string(tr("trace show needs exactly one file"));
    if (words[0] == "redact" && words.size() != 3)
        return std::string(tr("trace redact needs exactly two files: the trace and the copy to write"));
    if (words[0] == "frames" && words.size() != 3)
        return std::string(tr("trace frames needs exactly two paths: the trace and the folder to create"));
    if (words[0] != "show" && words[0] != "redact" && words[0] != "frames")
        return strf(tr("unknown trace command \"%s\" (%s)"), words[0].c_str(), trace_verbs());
    for (std::size_t i = 1; i < words.size(); ++i)
        if (words[i].empty() || words[i].find('\0') != std::string::npos)
            return strf(tr("trace %s needs non-empty paths"), words[0].c_str());
    return std::nullopt;
}

int trace_command(const std::vector<std::string> &words, std::FILE *out, std::FILE *err)
{
    if (auto problem = check_trace_words(words)) {
        trace_error(err, *problem);
        return kExitUsage;
    }
    if (words[0] == "frames")
        return write_frames(words[1], words[2], out, err);
    return words[0] == "show" ? show(words[1], out, err) : redact(words[1], words[2], out, err);
}

int run_trace(Backend &, const Options &options) { return trace_command(options.trace_words, stdout, stderr); }

}  // namespace kelvractl
