// socket.cpp - the control socket: a background thread that takes hand-control commands over a Unix
// socket, one line in, one answer line out.
#include "vs_internal.h"

#include <glib.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace kelvs {
namespace {

constexpr size_t max_line = 4096;
constexpr size_t max_clients = 16;

struct Client {
    int fd;
    std::string pending;
};

class ControlServerImpl {
public:
    ControlServerImpl(std::string path, int lock_fd, int listen_fd, int stop_read, int stop_write)
        : path_(std::move(path)), lock_fd_(lock_fd), listen_fd_(listen_fd), stop_read_(stop_read),
          stop_write_(stop_write), thread_([this] { run(); })
    {
    }
    ~ControlServerImpl()
    {
        char b = 1;
        while (::write(stop_write_, &b, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
        for (auto &c : clients_)
            ::close(c.fd);
        ::close(listen_fd_);
        ::close(stop_read_);
        ::close(stop_write_);
        // Removed while the lock is still held, so that it is never a newer owner's socket.
        ::unlink(path_.c_str());
        release_lock(lock_fd_);
    }
    const std::string &path() const { return path_; }
    bool pinned = false;

private:
    void run()
    {
        for (;;) {
            std::vector<pollfd> fds{{stop_read_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
            for (auto &c : clients_)
                fds.push_back({c.fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[0].revents)
                return;
            // Clients first: accepting may grow the list the poll results refer to.
            for (size_t i = clients_.size(); i-- > 0;)
                if (fds[2 + i].revents && !serve(clients_[i])) {
                    ::close(clients_[i].fd);
                    clients_.erase(clients_.begin() + long(i));
                }
            if (fds[1].revents & POLLIN) {
                int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    if (clients_.size() < max_clients)
                        clients_.push_back({fd, {}});
                    else
                        ::close(fd);
                }
            }
        }
    }

    // Reads what the client sent and answers every complete line; false when the client is done.
    bool serve(Client &c)
    {
        char buf[512];
        ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            return true;
        if (n <= 0)
            return false;
        c.pending.append(buf, size_t(n));
        size_t nl;
        while ((nl = c.pending.find('\n')) != std::string::npos) {
            std::string line = c.pending.substr(0, nl);
            c.pending.erase(0, nl + 1);
            char answer[512];
            kelvs_command(line.c_str(), answer, sizeof answer);
            std::string out = std::string(answer) + "\n";
            if (::send(c.fd, out.data(), out.size(), MSG_NOSIGNAL) < 0)
                return false;
        }
        return c.pending.size() <= max_line;
    }

    std::string path_;
    int lock_fd_, listen_fd_, stop_read_, stop_write_;
    std::vector<Client> clients_;
    std::thread thread_;
};

std::mutex server_mu;
std::unique_ptr<ControlServerImpl> server;

}  // namespace

int control_socket_start(const std::string &path, bool pinned)
{
    std::lock_guard lock(server_mu);
    if (server && server->path() == path) {
        server->pinned = server->pinned || pinned;
        return 0;
    }
    server.reset();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        g_warning("virtual sensor: control socket path \"%s\" is empty or too long", path.c_str());
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // The socket belongs to whoever holds the lock beside it. A socket found there while the lock is
    // free was left by a program that died, and is taken over; one whose lock is held is not touched.
    LockAttempt claim = take_lock(path + ".lock");
    if (claim.result != LockAttempt::taken) {
        if (claim.result == LockAttempt::held_elsewhere)
            g_warning("virtual sensor: the control socket %s is served by another program (pid %d); "
                      "this one serves none",
                      path.c_str(), claim.owner);
        else
            g_warning("virtual sensor: cannot lock %s.lock: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int pipe_fds[2] = {-1, -1};
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
        ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        g_warning("virtual sensor: control socket %s: %s", path.c_str(), std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        release_lock(claim.fd);
        return -1;
    }
    server = std::make_unique<ControlServerImpl>(path, claim.fd, fd, pipe_fds[0], pipe_fds[1]);
    server->pinned = pinned;
    return 0;
}

void control_socket_stop(bool only_unpinned)
{
    std::lock_guard lock(server_mu);
    if (server && (!only_unpinned || !server->pinned))
        server.reset();
}

}  // namespace kelvs

KELVS_EXPORT int kelvs_serve_control(const char *path)
{
    if (!path) {
        kelvs::control_socket_stop(false);
        return 0;
    }
    return kelvs::control_socket_start(path, true);
}
