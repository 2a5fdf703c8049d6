// main.cpp - kelvractl: runs the Kelvra Dactylen driver module from the command line as a host does.
// The command table says what a command needs and which handler runs it; locations.h where things are.
#include "i18n.h"
#include "json.h"
#include "program.h"

#include <libintl.h>

#include <clocale>
#include <cstdio>
#include <vector>

namespace {

using namespace kelvractl;

int usage_error(const ParseResult &parsed)
{
    if (parsed.json) {
        JsonObject o;
        if (parsed.command != nullptr)
            o.add("command", std::string_view(parsed.command));
        else
            o.add_raw("command", "null");
        o.add("outcome", outcome_name(Outcome::usage));
        o.add("exit_status", kExitUsage).add("error", std::string_view(parsed.error));
        std::printf("%s\n", o.str().c_str());
    } else {
        std::fprintf(stderr, "kelvractl: %s\n", parsed.error.c_str());
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    Locations locations = own_locations();
    bindtextdomain(kTextDomain, locations.catalogues.c_str());
    bind_textdomain_codeset(kTextDomain, "UTF-8");

    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    const ParseResult parsed = parse_args(args);
    if (!parsed.ok)
        return usage_error(parsed);

    const CommandRow &command = row_of(parsed.options.command);
    Program program(parsed.options, std::move(locations));
    if (const auto failed = program.prepare(command.needs))
        return *failed;
    return program.conclude(command.handler(program, parsed.options));
}
