// locations.cpp - kelvractl's own pieces found from where its file lies, and the user's database.
#include "locations.h"

#include "i18n.h"

#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace kelvractl {

namespace {

constexpr char kModuleFile[] = "libkelvra.so";
constexpr char kVirtualSdkFile[] = "libKelDactylen.so";
constexpr char kRecorderFile[] = "recorder/libKelDactylen.so";

bool is_file(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// program_dir has its links resolved, so dropping "dir/.." is exact and the paths read well in messages.
std::string joined(const std::string &dir, const char *relative, const char *file = nullptr)
{
    std::filesystem::path path = std::filesystem::path(dir) / relative;
    if (file != nullptr)
        path /= file;
    return path.lexically_normal().string();
}

// libs, module_dir and locale are relative to the program's folder.
Locations layout(const std::string &dir, const char *libs, const char *module_dir, const char *locale)
{
    Locations l;
    l.module = joined(dir, module_dir, kModuleFile);
    l.virtual_sdk = joined(dir, libs, kVirtualSdkFile);
    l.recorder = joined(dir, libs, kRecorderFile);
    l.vendor_sdk = std::string(KELVRACTL_VENDOR_SDK_DIR "/") + kVirtualSdkFile;
    l.catalogues = joined(dir, locale);
    return l;
}

// The folder of the running program from the kernel's link, which names the file itself even when
// kelvractl was started through a link on the PATH; empty when /proc is not mounted.
std::string program_dir()
{
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(n))).parent_path().string();
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

}  // namespace

Locations locations_beside(const std::string &dir)
{
    Locations installed = layout(dir, KELVRACTL_INSTALLED_LIBS, KELVRACTL_INSTALLED_MODULE_DIR,
                                 KELVRACTL_INSTALLED_LOCALE);
    Locations build = layout(dir, KELVRACTL_BUILD_LIBS, KELVRACTL_BUILD_LIBS, KELVRACTL_BUILD_LOCALE);
    if (!is_file(installed.module) && is_file(build.module))
        return build;
    return installed;
}

Locations own_locations()
{
    const std::string dir = program_dir();
    Locations l = locations_beside(dir.empty() ? std::string(KELVRACTL_CONFIGURED_DIR) : dir);
    l.database = default_database();
    return l;
}

void *load_virtual_sdk(const std::string &path, std::string &error)
{
    dlerror();
    if (void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
        return library;
    const char *why = dlerror();
    error = strf(tr("cannot load the virtual sensor %s: %s (with the vendor's SDK installed, give --vendor-sdk)"),
                 path.c_str(), why != nullptr ? why : "?");
    return nullptr;
}

std::string missing_vendor_sdk(const std::string &path)
{
    if (is_file(path))
        return {};
    return strf(tr("--vendor-sdk: there is no vendor's SDK %s; install it as the vendor says, or leave "
                   "--vendor-sdk out to use the virtual sensor"),
                path.c_str());
}

void *load_vendor_sdk(const std::string &path, std::string &error)
{
    if (error = missing_vendor_sdk(path); !error.empty())
        return nullptr;
    dlerror();
    if (void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
        return library;
    const char *why = dlerror();
    error = strf(tr("cannot load the vendor's SDK %s: %s"), path.c_str(), why != nullptr ? why : "?");
    return nullptr;
}

}  // namespace kelvractl
