// output.cpp - kelvractl's prompts, progress bar and outcome lines.
#include "output.h"

#include "i18n.h"

namespace kelvractl {

namespace {

std::string progress_bar(int done)
{
    std::string bar = "[";
    for (int i = 0; i < kEnrollPresses; ++i)
        bar += i < done ? '#' : '-';
    return bar + "] " + std::to_string(done) + "/" + std::to_string(kEnrollPresses);
}

}  // namespace

void Printer::prompt(const FoldedLine &line, const char *indent)
{
    std::FILE *to = json_ ? stderr : out_;
    if (line.is_repeat_note) {
        const auto times = static_cast<unsigned long>(line.times);
        const std::string note =
            line.lines == 1
                ? strf(tr_n("last message repeated %d time", "last message repeated %d times", times), line.times)
                : strf(tr_n("last 2 messages repeated %d time", "last 2 messages repeated %d times", times), line.times);
        std::fprintf(to, "%s%s\n", indent, note.c_str());
    } else if (line.prompt.presses_done) {
        std::fprintf(to, "%s%s  %s\n", indent, progress_bar(*line.prompt.presses_done).c_str(), line.prompt.text.c_str());
    } else {
        std::fprintf(to, "%s%s\n", indent, line.prompt.text.c_str());
    }
    std::fflush(to);
}

void Printer::note(const std::string &line)
{
    if (json_)
        return;
    std::string text = line;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void Printer::raw_json(const std::string &object)
{
    std::fprintf(out_, "%s\n", object.c_str());
    std::fflush(out_);
}

void Printer::report(const Report &r)
{
    if (json_)
        raw_json(report_json(r));
    else
        note(report_words(r));
}

void Printer::failure(const Report &r)
{
    if (json_) {
        raw_json(report_json(r));
    } else {
        std::fprintf(stderr, "kelvractl: %s\n", r.detail.c_str());
        std::fflush(stderr);
    }
}

}  // namespace kelvractl
