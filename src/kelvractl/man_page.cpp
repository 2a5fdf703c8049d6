// man_page.cpp - kelvractl(1) written from the command table.
#include "man_page.h"

#include "commands.h"
#include "i18n.h"

#include <cctype>
#include <string_view>

namespace kelvractl {

namespace {

// One roff text line: backslashes stay themselves, the dashes of a word that starts with one (an option,
// a negative number) are minus signs, a path may break after each slash, and no line reads as a request.
std::string roff_line(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    std::string out;
    bool dash_word = false;
    char previous = ' ';
    for (const char c : text) {
        if (previous == ' ' || previous == '(' || previous == '[')
            dash_word = c == '-';
        if (c == '\\')
            out += "\\e";
        else if (c == '-' && dash_word)
            out += "\\-";
        else if (c == '/')
            out += "/\\:";
        else
            out += c;
        previous = c;
    }
    if (!out.empty() && (out.front() == '.' || out.front() == '\''))
        out.insert(0, "\\&");
    return out;
}

// Text of several lines, each a roff text line; blank lines would end the paragraph.
std::string roff_text(std::string_view text)
{
    std::string out;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (line.find_first_not_of(' ') != std::string_view::npos)
            out += roff_line(line) + "\n";
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return out;
}

std::string bold(std::string_view text) { return "\\fB" + roff_line(text) + "\\fR"; }
std::string italic(std::string_view text) { return "\\fI" + roff_line(text) + "\\fR"; }

// "\fB\-v\fR, \fB\-\-verbose\fR" or "\fB\-\-uid\fR \fIU\fR": the tag of an option's paragraph.
std::string option_tag(const OptionRow &row)
{
    std::string tag = row.alias != nullptr ? bold(row.alias) + ", " : "";
    tag += bold(row.name);
    if (row.value != nullptr)
        tag += " " + italic(row.value);
    return tag;
}

std::string option_item(const OptionRow &row, const Range *range, const char *help, const Defaults &defaults)
{
    return ".TP\n" + option_tag(row) + "\n" + roff_text(option_help(row, range, help, defaults));
}

// "runs the ... does" from "Runs the ... does.": the NAME line's form.
std::string whatis(std::string text)
{
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    if (!text.empty())
        text.front() = static_cast<char>(std::tolower(static_cast<unsigned char>(text.front())));
    return text;
}

std::string command_section(const CommandRow &command, const Defaults &defaults)
{
    std::string out = std::string(".SS ") + command.name + "\n" + roff_line(synopsis(command)) + "\n.PP\n" +
                      roff_text(tr(command.description));
    if (command.operands == Operands::hand_verb)
        out += ".PP\n" + italic("VERB") + ": " + roff_line(hand_verbs()) + "\n";
    if (!command.options.empty()) {
        out += ".RS\n";
        for (const OptionUse &use : command.options) {
            const OptionRow &row = row_of(use.opt);
            out += option_item(row, &use.range, use.help != nullptr ? use.help : row.help, defaults);
        }
        out += ".RE\n";
    }
    if (const std::string json = json_note(command); !json.empty())
        out += ".PP\n" + roff_text(json);
    return out;
}

}  // namespace

std::string man_page(const ManPageFacts &facts)
{
    std::string out = ".\\\" kelvractl.1 - made from kelvractl's command table at build time; do not edit.\n";
    out += ".TH KELVRACTL 1 \"\" \"kelvra-dactylen " + facts.version + "\" \"User Commands\"\n";
    // Paths and option names are long words: left-aligned and unhyphenated, they break only where
    // roff_line allows.
    out += ".ad l\n.nh\n";
    const std::string module = facts.driver_dir + "/libkelvra.so";
    out += ".SH NAME\nkelvractl \\- " + roff_line(whatis(purpose_text())) + "\n";

    out += ".SH SYNOPSIS\n" + bold("kelvractl") + " [" + italic("global options") + "] " + italic("COMMAND") + " [" +
           italic("options") + "]\n";
    for (const CommandRow &command : commands())
        out += ".br\n" + roff_line(synopsis(command)) + "\n";

    out += ".SH DESCRIPTION\n" + roff_text(purpose_text());
    out += ".PP\n" + roff_text(
        "It loads the driver module with dlopen, as a host framework does, configures one device and runs "
        "each command as an open, one operation and a close. The driver module is, unless --module names "
        "another, the one installed with kelvractl:\n" + module + "\n"
        "Before the module, kelvractl loads the virtual sensor installed with it, " + facts.private_dir +
        "/libKelDactylen.so, so the module runs on that sensor; with --vendor-sdk it leaves the virtual "
        "sensor out and the module finds the vendor's SDK in its own folder, as it does inside the host "
        "framework. Its private folder also holds the stand-in host library libbiometric.so.0, which "
        "kelvractl runs on; the host framework's own library is never replaced by it.");

    out += ".SH COMMANDS\n";
    for (const CommandRow &command : commands())
        out += command_section(command, facts.defaults);

    out += ".SH GLOBAL OPTIONS\nThese are taken anywhere on the line, by every command.\n";
    for (const OptionRow &row : options())
        if (row.global)
            out += option_item(row, &row.range, row.help, facts.defaults);

    out += ".SH EXIT STATUS\n";
    for (const ExitStatusRow &row : exit_statuses())
        out += ".TP\n" + bold(std::to_string(row.status)) + "\n" + roff_text(tr(row.meaning));

    out += ".SH ENVIRONMENT\n.TP\n" + bold("XDG_DATA_HOME") + ", " + bold("HOME") + "\n" +
           roff_text("The default feature database is $XDG_DATA_HOME/kelvractl/features.db, or "
                     "~/.local/share/kelvractl/features.db without XDG_DATA_HOME.") +
           ".TP\n" + bold("LANGUAGE") + ", " + bold("LC_ALL") + ", " + bold("LC_MESSAGES") + "\n" +
           roff_text("In a zh_CN session kelvractl and the driver speak Chinese (simplified), each from its own "
                     "catalogue installed with kelvractl.");

    out += ".SH CONFIGURATION\n" +
           roff_text("The key file of --config holds the device's group [kelvra-dactylen], which a host framework "
                     "hands the driver:") +
           ".TP\n" + bold("Enable") + "\n" +
           roff_text("true or false, default true. With false every operation is refused as disabled (exit 3) "
                     "and the sensor is not touched.") +
           ".TP\n" + bold("SecurityLevel") + "\n" +
           roff_text("An integer, default 5 when it is missing or not an integer (the driver then logs that it "
                     "took the default). This version of the driver does not match by it.") +
           ".TP\n" + bold("ImageQuality") + "\n" +
           roff_text("An integer, the fingerprint quality threshold, default 50 when it is missing or not an "
                     "integer. The driver logs it (with -v); this version grades images by the SDK's own score and "
                     "not by it.") +
           ".PP\n" +
           roff_text("For the virtual sensor the same file may hold the groups [Sensor] (its profile: work mode, "
                     "sensor count, image size, state file, control socket) and [Finger] (the virtual finger's "
                     "timeline).");

    out += ".SH FILES\n.TP\n" + bold(facts.driver_dir) + "\n" +
           roff_text("The driver module libkelvra.so, and the vendor's SDK libKelDactylen.so when it is installed.") +
           ".TP\n" +
           bold(facts.private_dir) + "\n" +
           roff_text("The virtual sensor libKelDactylen.so and the stand-in host library libbiometric.so.0.") +
           ".TP\n" + bold("/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen/KELAUTHENFILE") + "\n" +
           roff_text("The driver's marker file, empty, written by the driver itself (whatever its install "
                     "prefix) at the first open in match-on-chip mode that does not find it. That open has the "
                     "sensor delete the fingerprints it stores under this system's tag, which belong to an earlier "
                     "installation, and logs one line that says so. Removing the file therefore deletes every "
                     "finger enrolled on the sensor at the next match-on-chip open. Removing the package keeps the "
                     "file; purging it removes the file.") +
           ".TP\n" + bold("FILE.sensor") + ", " + bold("FILE.sock") + "\n" +
           roff_text("Beside the feature database FILE: the virtual sensor's state and its control socket, "
                     "through which the finger command plays the virtual finger by hand.");
    return out;
}

}  // namespace kelvractl
