// private_root.cpp - kelvra-private-root: runs a test program where the installed module's fixed paths are
// the test's own. The driver directory and the firmware update script's folder are fixed in the module
// and no switch moves them, so a test that loads the module would read, create or run the files of an
// installed package. Here they live in a mount namespace of the program's own: the folders that hold
// them are mirrored onto a scratch file system that leaves the fixed paths out (the state of a build
// machine), or, with --fixed-from DIR, shows DIR/driver and DIR/fwupdate there. Nothing of the real
// system changes, and whatever the program does there vanishes with it.
//
//   kelvra-private-root [--fixed-from DIR] PROGRAM [ARGS...]
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char kDriverDir[] = "/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen";
constexpr char kScriptDir[] = "/usr/share/fwupdate";

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "kelvra-private-root: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(125);
}

void write_file(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        die(std::string("writing ") + path);
    close(fd);
}

// A mount namespace of our own, never propagating back. As root that is all it takes; otherwise a user
// namespace in which we keep our own uid and gid, so files and permissions look as they do outside.
void enter_private_namespace()
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            die("unshare(CLONE_NEWNS)");
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            die("unshare(CLONE_NEWUSER | CLONE_NEWNS) (unprivileged user namespaces must be allowed: "
                "sysctl kernel.unprivileged_userns_clone=1, or run the tests as root)");
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n");
        write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die("making / private");
}

// Replaces the folder `parent` by a scratch copy of its entries (each bound to the original, so it reads
// the same) without the entry `left_out`.
void mirror_without(const fs::path &parent, const std::string &left_out)
{
    std::string staging = (fs::temp_directory_path() / "kelvra-private-root-XXXXXX").string();
    if (mkdtemp(staging.data()) == nullptr)
        die("mkdtemp");
    if (mount("kelvra-private-root", staging.c_str(), "tmpfs", 0, "mode=0755") != 0)
        die("mounting a scratch file system");
    struct stat st {};
    if (stat(parent.c_str(), &st) == 0) {
        chmod(staging.c_str(), st.st_mode & 07777);
        [[maybe_unused]] int ignored = chown(staging.c_str(), st.st_uid, st.st_gid);  // unmapped ids stay ours
    }
    DIR *dir = opendir(parent.c_str());
    if (dir == nullptr)
        die("reading " + parent.string());
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == left_out)
            continue;
        const fs::path from = parent / name;
        const fs::path to = fs::path(staging) / name;
        struct stat es {};
        if (lstat(from.c_str(), &es) != 0)
            continue;
        if (S_ISLNK(es.st_mode)) {
            std::error_code error;
            const fs::path target = fs::read_symlink(from, error);
            if (error || symlink(target.c_str(), to.c_str()) != 0)
                die("copying the link " + from.string());
            continue;
        }
        if (S_ISDIR(es.st_mode) ? mkdir(to.c_str(), 0755) != 0 : close(open(to.c_str(), O_CREAT | O_WRONLY, 0644)) != 0)
            die("making a mount point for " + from.string());
        if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            die("binding " + from.string());
    }
    closedir(dir);
    if (mount(staging.c_str(), parent.c_str(), nullptr, MS_MOVE, nullptr) != 0)
        die("moving the scratch file system onto " + parent.string());
    rmdir(staging.c_str());
}

// Makes `fixed` absent, or, when `shown` is not empty, the folder `shown` bound there.
void make_private(const fs::path &fixed, const fs::path &shown)
{
    // The deepest folder on the way that exists now; below it the scratch copy starts.
    fs::path parent = fixed.parent_path();
    fs::path child = fixed.filename();
    std::error_code error;
    while (!fs::is_directory(parent, error)) {
        child = parent.filename();
        parent = parent.parent_path();
    }
    mirror_without(fs::canonical(parent), child.string());
    if (shown.empty())
        return;
    fs::create_directories(fixed, error);
    if (error)
        die("making " + fixed.string());
    if (mount(shown.c_str(), fixed.c_str(), nullptr, MS_BIND, nullptr) != 0)
        die("binding " + shown.string() + " onto " + fixed.string());
}

}  // namespace

int main(int argc, char **argv)
{
    int first = 1;
    fs::path shown;
    if (argc > 2 && std::strcmp(argv[1], "--fixed-from") == 0) {
        shown = fs::absolute(argv[2]);
        first = 3;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: kelvra-private-root [--fixed-from DIR] PROGRAM [ARGS...]\n");
        return 125;
    }
    enter_private_namespace();
    make_private(kDriverDir, shown.empty() ? fs::path() : shown / "driver");
    make_private(kScriptDir, shown.empty() ? fs::path() : shown / "fwupdate");
    execvp(argv[first], argv + first);
    die(std::string("running ") + argv[first]);
}
