// main.cpp - kelvractl: runs the Kelvra Dactylen driver module from the command line as a host does.
// The command table says what a command needs and which handler runs it.
#include "i18n.h"
#include "json.h"
#include "program.h"

#include <libintl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <vector>

#ifndef KELVRACTL_INSTALLED_MODULE
#define KELVRACTL_INSTALLED_MODULE "/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen/libkelvra.so"
#endif
#ifndef KELVRACTL_INSTALLED_LOCALE_DIR
#define KELVRACTL_INSTALLED_LOCALE_DIR "/usr/share/locale"
#endif

namespace {

using namespace kelvractl;

bool exists(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

std::string program_dir()
{
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    const std::string path(buffer.data(), static_cast<std::size_t>(n));
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The build tree's module, when kelvractl runs from a build tree ("" otherwise).
std::string build_tree_module()
{
    const std::string dir = program_dir();
    const std::string beside = dir + "/../lib/libkelvra.so";
    return !dir.empty() && exists(beside) ? beside : std::string();
}

std::string default_module()
{
    if (const std::string beside = build_tree_module(); !beside.empty())
        return beside;
    if (exists(KELVRACTL_INSTALLED_MODULE))
        return KELVRACTL_INSTALLED_MODULE;
    return "/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen/libkelvra.so";
}

// Where kelvractl's and the build tree's driver catalogues are: the build tree's locale directory when
// kelvractl runs from its build tree, else the installed one.
std::string catalogue_dir()
{
    if (!build_tree_module().empty())
        return program_dir() + "/../locale";
    return KELVRACTL_INSTALLED_LOCALE_DIR;
}

// A host program may take its own defaults from the user's environment.
std::string default_database()
{
    std::string base;
    if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const passwd *pw = getpwuid(getuid());
            home = pw != nullptr ? pw->pw_dir : nullptr;
        }
        if (home == nullptr)
            return {};
        base = std::string(home) + "/.local/share";
    }
    return base + "/kelvractl/features.db";
}

int usage_error(const ParseResult &parsed)
{
    if (parsed.json) {
        JsonObject o;
        o.add_raw("command", "null").add("outcome", outcome_name(Outcome::usage));
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
    Locations locations;
    locations.build_module = build_tree_module();
    locations.module = default_module();
    locations.database = default_database();
    locations.catalogues = catalogue_dir();
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
    return command.handler(program, parsed.options);
}
