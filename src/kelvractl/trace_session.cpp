// trace_session.cpp - loading the recorder, the host's sections of a trace, and comparing journals.
#include "trace_session.h"

#include "i18n.h"
#include "kelvra_trace.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

namespace kelvractl {

namespace {

template <typename Fn>
void look_up(void *library, const char *name, Fn &out)
{
    void *symbol = dlsym(library, name);
    static_assert(sizeof out == sizeof symbol);
    std::memcpy(&out, &symbol, sizeof out);
}

std::string reason(const char *text) { return text[0] != '\0' ? text : "?"; }

}  // namespace

std::unique_ptr<TraceRecorder> TraceRecorder::load(const std::string &path, std::string &error)
{
    dlerror();
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *why = dlerror();
        error = strf(tr("cannot load the recorder %s: %s"), path.c_str(), why != nullptr ? why : "?");
        return nullptr;
    }
    // Stays loaded until the process ends, as the module that depends on it does.
    std::unique_ptr<TraceRecorder> r(new TraceRecorder);
    look_up(library, "kelrec_configure", r->configure_);
    look_up(library, "kelrec_add_section", r->add_section_);
    look_up(library, "kelrec_record_stop", r->record_stop_);
    look_up(library, "kelrec_calls", r->calls_);
    look_up(library, "kelrec_finish", r->finish_);
    if (!r->configure_ || !r->add_section_ || !r->record_stop_ || !r->calls_ || !r->finish_) {
        error = strf(tr("%s is not the trace recorder"), path.c_str());
        return nullptr;
    }
    return r;
}

bool TraceRecorder::configure(const std::string &sdk_path, const std::string &trace_path, std::string &error) const
{
    char why[512] = {};
    if (configure_(sdk_path.c_str(), trace_path.c_str(), why, sizeof why) == 0)
        return true;
    error = strf(tr("cannot record into %s: %s"), trace_path.c_str(), reason(why).c_str());
    return false;
}

bool TraceRecorder::add_section(const std::string &name, const std::vector<std::uint8_t> &content,
                                std::string &error) const
{
    char why[512] = {};
    if (add_section_(name.c_str(), content.data(), content.size(), why, sizeof why) == 0)
        return true;
    error = reason(why);
    return false;
}

void TraceRecorder::record_stop() const { record_stop_(); }
std::uint64_t TraceRecorder::calls() const { return calls_(); }

bool TraceRecorder::finish(std::string &error) const
{
    char why[512] = {};
    if (finish_(why, sizeof why) == 0)
        return true;
    error = reason(why);
    return false;
}

std::vector<std::uint8_t> encode_words(const std::vector<std::string> &words)
{
    std::vector<std::uint8_t> out;
    for (const std::string &w : words) {
        out.insert(out.end(), w.begin(), w.end());
        out.push_back(0);
    }
    return out;
}

std::vector<std::string> decode_words(const std::vector<std::uint8_t> &content)
{
    std::vector<std::string> words;
    std::string word;
    for (const std::uint8_t byte : content) {
        if (byte == 0) {
            words.push_back(std::move(word));
            word.clear();
        } else {
            word.push_back(static_cast<char>(byte));
        }
    }
    return words;
}

std::vector<std::uint8_t> encode_lines(const std::vector<std::string> &lines)
{
    std::vector<std::uint8_t> out;
    for (const std::string &line : lines) {
        out.insert(out.end(), line.begin(), line.end());
        out.push_back('\n');
    }
    return out;
}

std::vector<std::string> decode_lines(const std::vector<std::uint8_t> &content)
{
    std::vector<std::string> lines;
    std::string line;
    for (const std::uint8_t byte : content) {
        if (byte == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(static_cast<char>(byte));
        }
    }
    if (!line.empty())
        lines.push_back(std::move(line));
    return lines;
}

std::optional<ReplayPlan> read_replay_plan(const std::string &path, std::string &error)
{
    std::string why;
    auto reader = kelvra::trace::Reader::open(path, why);
    if (!reader) {
        error = strf(tr("cannot read the trace %s: %s"), path.c_str(), why.c_str());
        return std::nullopt;
    }
    if (reader->header().redacted) {
        error = strf(tr("%s is redacted: it can be shown, not replayed"), path.c_str());
        return std::nullopt;
    }
    ReplayPlan plan;
    bool has_command = false;
    while (auto entry = reader->next(why)) {
        auto *section = std::get_if<kelvra::trace::Section>(&*entry);
        if (section == nullptr)
            continue;
        if (section->name == kCommandSection) {
            plan.command = decode_words(section->content);
            has_command = true;
        } else if (section->name == kDatabaseSection) {
            plan.database = std::move(section->content);
        } else if (section->name == kConfigSection) {
            plan.config = std::move(section->content);
        } else if (section->name == kJournalSection) {
            plan.journal = decode_lines(section->content);
        }
    }
    if (!why.empty()) {
        error = strf(tr("cannot read the trace %s: %s"), path.c_str(), why.c_str());
        return std::nullopt;
    }
    if (!has_command) {
        error = strf(tr("the trace %s keeps no kelvractl command to rerun"), path.c_str());
        return std::nullopt;
    }
    return plan;
}

std::optional<JournalDifference> compare_journals(const std::vector<std::string> &recorded,
                                                  const std::vector<std::string> &replayed)
{
    const std::size_t n = std::max(recorded.size(), replayed.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::string a = i < recorded.size() ? recorded[i] : std::string();
        const std::string b = i < replayed.size() ? replayed[i] : std::string();
        if (i >= recorded.size() || i >= replayed.size() || a != b)
            return JournalDifference{i + 1, a, b};
    }
    return std::nullopt;
}

}  // namespace kelvractl
