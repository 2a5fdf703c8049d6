// locations.cpp - kelvractl's own pieces found from where its file lies.
#include "locations.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace kelvractl {

namespace {

constexpr char kModuleFile[] = "libkelvra.so";
constexpr char kVirtualSdkFile[] = "libKelDactylen.so";

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

Locations layout(const std::string &dir, const char *libs, const char *module_dir, const char *locale)
{
    return {joined(dir, module_dir, kModuleFile), joined(dir, libs, kVirtualSdkFile), joined(dir, locale)};
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
    return locations_beside(dir.empty() ? std::string(KELVRACTL_CONFIGURED_DIR) : dir);
}

bool load_virtual_sdk(const std::string &path, std::string &error)
{
    dlerror();
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) != nullptr)
        return true;
    const char *why = dlerror();
    error = "cannot load the virtual sensor " + path + ": " + (why != nullptr ? why : "unknown reason");
    return false;
}

}  // namespace kelvractl
