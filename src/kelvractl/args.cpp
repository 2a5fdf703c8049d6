// args.cpp - kelvractl's command-line parser and help texts, both read from the command table.
#include "args.h"

#include "i18n.h"
#include "kelvs_control.h"
#include "report.h"
#include "trace_commands.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>

namespace kelvractl {

namespace {

bool has_control_char(std::string_view text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Names end up in a key file and on a control-socket line, so they are single printable words.
bool valid_finger_name(std::string_view name)
{
    if (name.empty() || name.size() > static_cast<std::size_t>(kMaxFingerNameBytes))
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f || c == '[' || c == ']' || c == '=' || c == '#';
    });
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

}  // namespace

std::string hand_verbs()
{
    std::string out;
    for (const kelvs_verb_info &verb : kelvs_verbs)
        out += (out.empty() ? "" : " | ") + std::string(verb.word) + (verb.takes_finger ? " NAME" : "");
    return out;
}

namespace {

std::optional<std::string> check_hand_words(const std::vector<std::string> &words)
{
    if (words.empty())
        return strf(tr("finger needs a command: %s"), hand_verbs().c_str());
    const auto *verb = std::find_if(std::begin(kelvs_verbs), std::end(kelvs_verbs),
                                    [&](const kelvs_verb_info &v) { return words[0] == v.word; });
    if (verb == std::end(kelvs_verbs))
        return strf(tr("unknown finger command %s (%s)"), quoted(words[0]).c_str(), hand_verbs().c_str());
    if (verb->takes_finger && words.size() != 2)
        return strf(tr("finger %s needs exactly one finger name"), verb->word);
    if (!verb->takes_finger && words.size() != 1)
        return strf(tr("finger %s takes no further word"), verb->word);
    if (verb->takes_finger && !valid_finger_name(words[1]))
        return strf(tr("invalid finger name %s"), quoted(words[1]).c_str());
    return std::nullopt;
}

// Checks one value against its option's kind (and range) and stores it; an error line otherwise.
std::optional<std::string> apply(Options &o, const OptionRow &row, const Range &range, std::string_view value)
{
    switch (row.kind) {
    case ValueKind::flag:
        switch (row.id) {
        case Opt::json: o.json = true; break;
        case Opt::verbose: o.verbose = true; break;
        case Opt::replace: o.replace = true; break;
        case Opt::vendor_sdk: o.vendor_sdk = true; break;
        case Opt::as_recorded: o.as_recorded = true; break;
        default: break;
        }
        return std::nullopt;
    case ValueKind::path: {
        if (value.empty())
            return strf(tr("%s needs a non-empty path"), row.name);
        if (value.find('\0') != std::string_view::npos)
            return strf(tr("%s: the path holds a NUL byte"), row.name);
        std::string &target = row.id == Opt::config   ? o.config_file
                              : row.id == Opt::db     ? o.db_file
                              : row.id == Opt::module ? o.module_file
                              : row.id == Opt::frames ? o.frames_dir
                              : row.id == Opt::record ? o.record_file
                              : row.id == Opt::replay ? o.replay_file
                                                       : o.socket_file;
        target = std::string(value);
        return std::nullopt;
    }
    case ValueKind::number: {
        NumberError why = NumberError::none;
        const auto n = parse_int(value, &why);
        if (!n && why == NumberError::not_a_number)
            return strf(tr("%s needs a whole number, not %s"), row.name, quoted(value).c_str());
        if (!n || *n < range.min || *n > range.max)
            return strf(tr("%s %s is out of range (%lld to %lld)"), row.name, std::string(value).c_str(), range.min,
                        range.max);
        switch (row.id) {
        case Opt::timeout: o.timeout_ms = *n; break;
        case Opt::uid: o.uid = *n; break;
        case Opt::index: o.index = *n; break;
        case Opt::from: o.from = *n; break;
        case Opt::to: o.to = *n; break;
        default: break;
        }
        return std::nullopt;
    }
    case ValueKind::work_mode:
        if (value == "host")
            o.mode = WorkMode::host;
        else if (value == "chip")
            o.mode = WorkMode::chip;
        else
            return strf(tr("--mode is host or chip, not %s"), quoted(value).c_str());
        return std::nullopt;
    case ValueKind::finger_name:
        if (!valid_finger_name(value))
            return strf(tr("--finger needs a finger name (one word) or none, not %s"), quoted(value).c_str());
        o.finger = std::string(value);
        return std::nullopt;
    case ValueKind::text:
        if (value.empty() || value.size() > static_cast<std::size_t>(kMaxNameBytes) || has_control_char(value))
            return strf(tr("%s needs a text of 1 to %d bytes without control characters"), row.name, kMaxNameBytes);
        o.name = std::string(value);
        return std::nullopt;
    }
    return std::nullopt;
}

struct Given {
    const OptionRow *row;
    std::string_view value;
};

ParseResult refuse(std::string error, std::span<const std::string_view> rest, bool json)
{
    ParseResult r;
    r.error = std::move(error);
    r.json = json || std::find(rest.begin(), rest.end(), "--json") != rest.end();
    return r;
}

}  // namespace

std::optional<int> parse_int(std::string_view text, NumberError *why)
{
    auto fail = [&](NumberError e) -> std::optional<int> {
        if (why != nullptr)
            *why = e;
        return std::nullopt;
    };
    // strtol skips leading blanks and accepts more than digits; only [+-]digits gets that far.
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
        digits.remove_prefix(1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return fail(NumberError::not_a_number);
    if (text.size() > 32)
        return fail(NumberError::out_of_range);
    const std::string copy(text);
    errno = 0;
    const long value = std::strtol(copy.c_str(), nullptr, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return fail(NumberError::out_of_range);
    if (why != nullptr)
        *why = NumberError::none;
    return static_cast<int>(value);
}

ParseResult parse_args(std::span<const std::string_view> args)
{
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == row_of(Opt::record).name)
            ++i;
        else if (!args[i].starts_with(std::string(row_of(Opt::record).name) + "="))
            o.words.emplace_back(args[i]);
    }
    const CommandRow *command = nullptr;
    bool help = false;
    bool topic_given = false;
    std::set<Opt> seen;
    std::vector<Given> command_options;  // checked once the command is known
    // A refusal names the command when the line named one before the fault, so a JSON reader knows
    // whose usage it got wrong.
    auto refuse = [&command](std::string error, std::span<const std::string_view> rest, bool json) {
        ParseResult r = kelvractl::refuse(std::move(error), rest, json);
        r.command = command != nullptr ? command->name : nullptr;
        return r;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view word = args[i];
        const auto rest = args.subspan(i + 1);

        if (word.size() > 1 && word.front() == '-') {
            std::string_view value;
            bool inline_value = false;
            if (const auto eq = word.find('='); eq != std::string_view::npos && word.starts_with("--")) {
                value = word.substr(eq + 1);
                word = word.substr(0, eq);
                inline_value = true;
            }
            const OptionRow *row = find_option(word);
            if (row == nullptr)
                return refuse(strf(tr("unknown option %s; see kelvractl --help"), quoted(word).c_str()), rest, o.json);
            if (!seen.insert(row->id).second && row->id != Opt::help)
                return refuse(strf(tr("%s is given twice"), row->name), rest, o.json);
            if (row->kind != ValueKind::flag && !inline_value) {
                if (i + 1 >= args.size())
                    return refuse(strf(tr("%s needs a value"), row->name), rest, o.json);
                value = args[++i];
            } else if (row->kind == ValueKind::flag && inline_value) {
                return refuse(strf(tr("%s takes no value"), row->name), rest, o.json);
            }
            if (row->id == Opt::help) {
                help = true;
            } else if (row->global) {
                if (auto problem = apply(o, *row, row->range, value))
                    return refuse(std::move(*problem), args.subspan(i + 1), o.json);
            } else {
                command_options.push_back({row, value});
            }
            continue;
        }

        if (command == nullptr) {
            command = find_command(word);
            if (command == nullptr)
                return refuse(strf(tr("unknown command %s; see kelvractl --help"), quoted(word).c_str()), rest, o.json);
            continue;
        }
        if (command->operands == Operands::hand_verb) {
            o.finger_words.emplace_back(word);
            continue;
        }
        if (command->operands == Operands::trace_file && o.replay_file.empty()) {
            o.replay_file = std::string(word);
            continue;
        }
        if (command->operands == Operands::trace_verb) {
            o.trace_words.emplace_back(word);
            continue;
        }
        if (command->operands == Operands::topic && !topic_given) {
            const CommandRow *topic = find_command(word);
            if (topic == nullptr)
                return refuse(strf(tr("no help for unknown command %s"), quoted(word).c_str()), rest, o.json);
            o.help_topic = topic->id;
            topic_given = true;
            continue;
        }
        return refuse(strf(tr("unexpected argument %s for %s"), quoted(word).c_str(), command->name), rest, o.json);
    }

    ParseResult r;
    r.ok = true;
    if (help) {
        // Help is given even when the rest of the line would be refused.
        if (command != nullptr && command->id != Command::help)
            o.help_topic = command->id;
        o.command = Command::help;
        o.finger_words.clear();
        o.trace_words.clear();
        r.options = std::move(o);
        return r;
    }
    if (command == nullptr)
        return refuse(tr("no command given; see kelvractl --help"), {}, o.json);
    o.command = command->id;

    for (const Given &given : command_options) {
        const OptionUse *use = use_of(*command, given.row->id);
        if (use == nullptr)
            return refuse(strf(tr("%s is not an option of %s"), given.row->name, command->name), {}, o.json);
        if (auto problem = apply(o, *given.row, use->range, given.value))
            return refuse(std::move(*problem), {}, o.json);
    }
    for (const OptionUse &use : command->options) {
        if (use.required && !seen.contains(use.opt))
            return refuse(strf(tr("%s needs %s"), command->name, row_of(use.opt).name), {}, o.json);
    }
    if (command->operands == Operands::trace_file && o.replay_file.empty())
        return refuse(strf(tr("%s needs a trace FILE"), command->name), {}, o.json);
    if (!o.record_file.empty() && !o.replay_file.empty())
        return refuse(tr("--record and --replay exclude each other"), {}, o.json);
    if ((!o.record_file.empty() || !o.replay_file.empty()) &&
        (command->id == Command::demo || command->id == Command::finger))
        return refuse(strf(tr("%s cannot be recorded or replayed"), command->name), {}, o.json);
    if (o.to != -1 && o.to < o.from)
        return refuse(strf(tr("--to %d lies below --from %d"), o.to, o.from), {}, o.json);
    if (command->operands == Operands::hand_verb) {
        if (auto problem = check_hand_words(o.finger_words))
            return refuse(std::move(*problem), {}, o.json);
    }
    if (command->operands == Operands::trace_verb) {
        if (auto problem = check_trace_words(o.trace_words))
            return refuse(std::move(*problem), {}, o.json);
    }
    r.options = std::move(o);
    return r;
}

std::string synopsis(const CommandRow &command)
{
    std::string out = std::string("kelvractl ") + command.name;
    for (const OptionUse &use : command.options) {
        const OptionRow &row = row_of(use.opt);
        std::string part = std::string(row.name) + (row.value != nullptr ? std::string(" ") + row.value : "");
        out += " " + (use.required ? part : "[" + part + "]");
    }
    switch (command.operands) {
    case Operands::none: break;
    case Operands::topic: out += " [COMMAND]"; break;
    case Operands::hand_verb: out += " VERB [NAME]"; break;
    case Operands::trace_file: out += " FILE"; break;
    case Operands::trace_verb: out += std::string(" ") + trace_verbs(); break;
    }
    return out;
}

namespace {

std::string default_text(const OptionRow &row, const Defaults &defaults)
{
    switch (row.default_of) {
    case DefaultOf::none: return {};
    case DefaultOf::fixed: return row.default_text;
    case DefaultOf::timeout: return defaults.timeout_ms;
    case DefaultOf::database:
        return !defaults.database.empty() ? defaults.database : std::string("$XDG_DATA_HOME/kelvractl/features.db");
    case DefaultOf::module: return defaults.module;
    case DefaultOf::socket: return tr("the database's path with .sock added");
    }
    return {};
}

// "  --uid U          user id (0 to 2147483647)" lines, the help column aligned.
constexpr std::size_t kHelpWidth = 100;

// One code point of UTF-8 text at `at`: its value and its length in bytes (a stray byte counts as one).
std::pair<char32_t, std::size_t> code_point(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
    if (length == 1 || at + length > text.size())
        return {lead, 1};
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i)
        value = (value << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    return {value, length};
}

// East Asian wide and fullwidth characters, which a terminal shows two columns wide.
bool is_wide(char32_t c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
           (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6);
}

// Closing punctuation that a line may not begin with: it stays on the line of what it closes.
bool closes(char32_t c)
{
    return c == U'，' || c == U'。' || c == U'、' || c == U'；' || c == U'：' || c == U'）' || c == U'」' ||
           c == U'』' || c == U'！' || c == U'？' || c == U'”' || c == U'…' || c == U')' || c == U',' ||
           c == U'.' || c == U';' || c == U':';
}

}  // namespace

std::size_t display_width(std::string_view text)
{
    std::size_t width = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto [c, length] = code_point(text, at);
        width += is_wide(c) ? 2 : 1;
        at += length;
    }
    return width;
}

std::string wrap_help(std::string_view text, std::size_t indent)
{
    // The text as pieces a line may end after: words between spaces, and in Chinese, which is written
    // without spaces, each character with the punctuation that closes it.
    struct Piece {
        std::string_view text;
        bool after_space;
    };
    std::vector<Piece> pieces;
    bool after_space = false;
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] == ' ') {
            after_space = true;
            ++at;
            continue;
        }
        std::size_t end = at;
        const bool wide = is_wide(code_point(text, at).first);
        end += code_point(text, at).second;
        while (end < text.size() && text[end] != ' ') {
            const auto [c, length] = code_point(text, end);
            if ((wide || is_wide(c)) && !closes(c))
                break;
            end += length;
        }
        pieces.push_back({text.substr(at, end - at), after_space});
        after_space = false;
        at = end;
    }

    std::string out;
    std::size_t column = indent;
    for (const Piece &piece : pieces) {
        const std::size_t width = display_width(piece.text);
        const std::size_t gap = column > indent && piece.after_space ? 1 : 0;
        if (column > indent && column + gap + width > kHelpWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (gap != 0) {
            out += ' ';
            ++column;
        }
        out += piece.text;
        column += width;
    }
    return out;
}

namespace {

struct HelpLine {
    const OptionRow *row;
    const Range *range;
    const char *help;
};

std::string option_lines(const std::vector<HelpLine> &rows, const Defaults &defaults)
{
    std::vector<std::string> left;
    std::size_t width = 0;
    for (const auto &[row, range, help] : rows) {
        std::string l = std::string(row->alias != nullptr ? std::string(row->alias) + ", " : "") + row->name +
                        (row->value != nullptr ? std::string(" ") + row->value : "");
        width = std::max(width, l.size());
        left.push_back(std::move(l));
    }
    std::string out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto &[row, range, help] = rows[i];
        const std::string text = option_help(*row, range, help, defaults);
        out += "  " + left[i] + std::string(width - left[i].size() + 2, ' ') + wrap_help(text, width + 4) + "\n";
    }
    return out;
}

std::string global_options(const Defaults &defaults)
{
    std::vector<HelpLine> rows;
    for (const OptionRow &row : options())
        if (row.global)
            rows.push_back({&row, &row.range, row.help});
    return option_lines(rows, defaults);
}

}  // namespace

std::string purpose_text() { return tr("Runs the Kelvra Dactylen fingerprint driver the way a biometric host does."); }

std::string option_help(const OptionRow &row, const Range *range, const char *help, const Defaults &defaults)
{
    std::string text = tr(help);
    std::vector<std::string> extras;
    if (range != nullptr && row.kind == ValueKind::number)
        extras.push_back(strf(tr("%lld to %lld"), range->min, range->max));
    if (const std::string d = default_text(row, defaults); !d.empty())
        extras.push_back(strf(tr("default: %s"), d.c_str()));
    for (std::size_t k = 0; k < extras.size(); ++k)
        text += (k == 0 ? " (" : "; ") + extras[k] + (k + 1 == extras.size() ? ")" : "");
    return text;
}

std::string json_note(const CommandRow &command)
{
    if (command.json.empty())
        return {};
    std::string members = "command, outcome, exit_status";
    for (const char *field : command.json)
        members += std::string(", ") + field;
    return strf(tr("With --json: one object with %s, and error when it failed."), members.c_str());
}

std::span<const ExitStatusRow> exit_statuses()
{
    static constexpr ExitStatusRow kExitStatuses[] = {
        {kExitOk, N_("success or match")},
        {kExitNoMatch, N_("no match (also a verify of an index that holds no finger)")},
        {kExitUsage, N_("bad usage, or a request refused as given (an index that holds a finger)")},
        {kExitFailed, N_("the operation failed (time-out, stop by the user, sensor in use by another program, "
                         "device or database error)")},
        {kExitInterruptedTwice, N_("a second Ctrl-C, which ends kelvractl at once without waiting for the driver")},
    };
    return kExitStatuses;
}

std::string usage_text(std::optional<Command> topic, const Defaults &defaults)
{
    if (topic) {
        const CommandRow &command = row_of(*topic);
        std::string out = strf(tr("Usage: %s"), synopsis(command).c_str()) + "\n" + tr(command.description);
        if (command.operands == Operands::hand_verb)
            out += strf(tr("VERB [NAME]: %s"), hand_verbs().c_str()) + "\n";
        std::vector<HelpLine> rows;
        for (const OptionUse &use : command.options) {
            const OptionRow &row = row_of(use.opt);
            rows.push_back({&row, &use.range, use.help != nullptr ? use.help : row.help});
        }
        if (!rows.empty())
            out += std::string("\n") + tr("Options:") + "\n" + option_lines(rows, defaults);
        if (const std::string json = json_note(command); !json.empty())
            out += "\n" + json + "\n";
        return out + "\n" + tr("See kelvractl --help for the global options.") + "\n";
    }

    std::string out = std::string(tr("Usage: kelvractl [global options] COMMAND [options]")) + "\n" +
                      purpose_text() + "\n\n" +
                      tr("Commands:") + "\n";
    std::vector<std::string> left;
    std::size_t width = 0;
    for (const CommandRow &command : commands()) {
        left.push_back(synopsis(command).substr(std::string_view("kelvractl ").size()));
        width = std::max(width, left.back().size());
    }
    std::size_t i = 0;
    for (const CommandRow &command : commands()) {
        out += "  " + left[i] + std::string(width - left[i].size() + 2, ' ') + tr(command.summary) + "\n";
        ++i;
    }
    out += std::string("\n") + tr("Global options (anywhere on the line):") + "\n" + global_options(defaults) + "\n" +
           tr("Exit status:") + "\n";
    for (const ExitStatusRow &row : exit_statuses())
        out += strf("  %-5d", row.status) + wrap_help(tr(row.meaning), 7) + "\n";
    return out;
}

}  // namespace kelvractl
