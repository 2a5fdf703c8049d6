// store.cpp - keeps the on-chip templates in the state file so that they outlive the process.
#include "vs_internal.h"

#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace kelvs {
namespace {

// One header line, then one line per template: uid, finger index, tag, finger id, finger name; the
// tag and the name are hex so that any byte survives.
constexpr const char *store_header = "kelvs-store 1";

std::string to_hex(std::string_view bytes)
{
    if (bytes.empty())
        return "-";
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool from_hex(const std::string &hex, std::string &out)
{
    out.clear();
    if (hex == "-")
        return true;
    if (hex.size() % 2)
        return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = g_ascii_xdigit_value(hex[i]), lo = g_ascii_xdigit_value(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += char(hi * 16 + lo);
    }
    return true;
}

}  // namespace

bool load_store(const std::string &path, std::vector<Template> &out, std::string &error)
{
    out.clear();
    gchar *contents = nullptr;
    gsize length = 0;
    GError *err = nullptr;
    if (!g_file_get_contents(path.c_str(), &contents, &length, &err)) {
        bool missing = err && g_error_matches(err, G_FILE_ERROR, G_FILE_ERROR_NOENT);
        if (!missing)
            error = path + ": " + (err ? err->message : "cannot read");
        if (err)
            g_error_free(err);
        return missing;
    }
    std::istringstream in(std::string(contents, length));
    g_free(contents);
    std::string line;
    if (!std::getline(in, line) || line != store_header) {
        error = path + ": not a store of this sensor (first line \"" + line + "\")";
        return false;
    }
    int lineno = 1;
    while (std::getline(in, line)) {
        ++lineno;
        if (line.empty())
            continue;
        std::istringstream fields(line);
        long long uid = 0;
        int index = -1;
        std::string tag, finger, name;
        Template t;
        if (!(fields >> uid >> index >> tag >> finger >> name) || index < 0 || index > 255 ||
            !from_hex(tag, t.tag) || !from_hex(name, t.name) || finger.size() != 16) {
            error = path + ":" + std::to_string(lineno) + ": bad template line";
            return false;
        }
        t.uid = int32_t(uid);
        t.index = uint8_t(index);
        t.finger = g_ascii_strtoull(finger.c_str(), nullptr, 16);
        out.push_back(std::move(t));
    }
    return true;
}

bool save_store(const std::string &path, const std::vector<Template> &store, std::string &error)
{
    std::string text = std::string(store_header) + "\n";
    char id[17];
    for (const auto &t : store) {
        std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(t.finger));
        text += std::to_string(t.uid) + " " + std::to_string(t.index) + " " + to_hex(t.tag) + " " + id + " " +
                to_hex(t.name) + "\n";
    }
    // Written beside the file and renamed over it, so a reader sees the old store or the new one.
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = tmp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = tmp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += size_t(n);
    }
    bool ok = ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        error = path + ": " + std::strerror(saved);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

namespace {

// "<path>.unreadable-YYYYMMDD-HHMMSS", with a counter when that name is taken.
std::string backup_name(const std::string &path)
{
    const time_t now = ::time(nullptr);
    tm local{};
    char stamp[32] = "unknown-time";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".unreadable-" + stamp;
    std::string name = base;
    for (int n = 2; ::access(name.c_str(), F_OK) == 0 && n < 1000; ++n)
        name = base + "-" + std::to_string(n);
    return name;
}

}  // namespace

void reload_store(State &s)
{
    const std::string &path = s.profile.state_file;
    if (path.empty())
        return;  // the store lives in memory only
    s.store.clear();
    s.store_unusable = false;
    std::vector<Template> loaded;
    std::string error;
    if (load_store(path, loaded, error)) {
        s.store = std::move(loaded);
        return;
    }
    // What cannot be read is never written over: it is put aside under a name with the time, and the
    // sensor starts empty. Where it cannot be put aside the store stays unusable.
    const std::string backup = backup_name(path);
    if (::rename(path.c_str(), backup.c_str()) == 0) {
        g_warning("virtual sensor: %s; kept as %s, the on-chip store starts empty", error.c_str(), backup.c_str());
        return;
    }
    s.store_unusable = true;
    if (s.store_warned != path)
        g_warning("virtual sensor: %s, and it cannot be kept aside (%s); the on-chip store cannot be written "
                  "until the file is mended or moved",
                  error.c_str(), std::strerror(errno));
    s.store_warned = path;
}

int persist_store(State &s)
{
    if (s.profile.state_file.empty())
        return 0;
    if (s.store_unusable)
        return KELVS_ERR_STATE_FILE;
    std::string error;
    if (save_store(s.profile.state_file, s.store, error))
        return 0;
    g_warning("virtual sensor: %s", error.c_str());
    return KELVS_ERR_STATE_FILE;
}

}  // namespace kelvs
