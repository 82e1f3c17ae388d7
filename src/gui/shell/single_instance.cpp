#include "gui/shell/single_instance.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"

namespace varnelagent {

namespace {

constexpr char OPEN_COMMAND[] = "open\n";
constexpr wchar_t FUNCTION[] = L"varnelagent::SingleInstance";

bool fill_address(sockaddr_un& address, const std::string& path) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void close_fd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

SingleInstance::SingleInstance(std::string directory, std::chrono::milliseconds wait) {
    if (directory.empty())
        directory = g_get_user_runtime_dir();
    g_mkdir_with_parents(directory.c_str(), 0700);
    socket_path_ = directory + "/" + NAME;
    lock_path_ = socket_path_ + ".lock";
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        if (try_lock()) {
            role_ = Role::First;
            return;
        }
        if (send_open()) {
            delivered_ = true;
            return;
        }
        // The copy holding the lock is still starting (not listening yet).
        if (std::chrono::steady_clock::now() >= deadline) {
            AGENT_ERROR(FUNCTION) << "Another copy holds " << lock_path_ << " but does not answer";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

SingleInstance::~SingleInstance() {
    if (watch_ != 0)
        g_source_remove(watch_);
    if (sweep_ != 0)
        g_source_remove(sweep_);
    for (auto& [fd, client] : clients_) {
        g_source_remove(client.watch);
        ::close(fd);
    }
    if (listen_fd_ >= 0) {
        close_fd(listen_fd_);
        ::unlink(socket_path_.c_str());
    }
    close_fd(lock_fd_);
}

bool SingleInstance::try_lock() {
    const int fd = ::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        AGENT_ERROR(FUNCTION) << "open " << lock_path_ << ": " << std::strerror(errno);
        // Without a lock file there is no telling; run rather than refuse to start.
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lock_fd_ = fd;
    return true;
}

bool SingleInstance::send_open() {
    sockaddr_un address;
    if (!fill_address(address, socket_path_))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool sent = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::size_t size = sizeof OPEN_COMMAND - 1;
        sent = ::send(fd, OPEN_COMMAND, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
    }
    ::close(fd);
    return sent;
}

void SingleInstance::listen(std::function<void()> on_open) {
    on_open_ = std::move(on_open);
    sockaddr_un address;
    if (!fill_address(address, socket_path_))
        throw agent::SystemException(ENAMETOOLONG, "bind");
    // We hold the lock, so a socket file still there was left by a copy that ended badly.
    ::unlink(socket_path_.c_str());
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0)
        throw agent::SystemException(errno, "socket");
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close_fd(listen_fd_);
        throw agent::SystemException(error, "bind");
    }
    ::chmod(socket_path_.c_str(), 0600);
    if (::listen(listen_fd_, 8) != 0) {
        const int error = errno;
        close_fd(listen_fd_);
        throw agent::SystemException(error, "listen");
    }
    // GUI thread: a later copy connected. Nothing here waits for it: what it says is read
    // when it has said it, and a connection that says nothing is dropped after a while.
    watch_ = g_unix_fd_add(
        listen_fd_, G_IO_IN,
        [](gint fd, GIOCondition, gpointer data) -> gboolean {
            auto& self = *static_cast<SingleInstance*>(data);
            while (true) {
                const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client < 0)
                    break;
                self.take_client(client);
            }
            return G_SOURCE_CONTINUE;
        },
        this);
}

void SingleInstance::take_client(int fd) {
    // A copy that floods the socket gets no more than a handful of places.
    if (clients_.size() >= MAX_WAITING_CLIENTS) {
        AGENT_WARN(FUNCTION) << "Too many connections waiting on " << socket_path_ << "; one is dropped";
        ::close(fd);
        return;
    }
    Client& client = clients_[fd];
    client.owner = this;
    client.fd = fd;
    client.started = std::chrono::steady_clock::now();
    client.watch = g_unix_fd_add(
        fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        [](gint, GIOCondition, gpointer data) -> gboolean {
            auto* client = static_cast<Client*>(data);
            client->owner->read_client(client->fd);
            return G_SOURCE_REMOVE;
        },
        &client);
    if (sweep_ == 0)
        sweep_ = g_timeout_add(
            250,
            [](gpointer data) -> gboolean {
                auto& self = *static_cast<SingleInstance*>(data);
                self.drop_silent_clients();
                if (!self.clients_.empty())
                    return G_SOURCE_CONTINUE;
                self.sweep_ = 0;
                return G_SOURCE_REMOVE;
            },
            this);
}

void SingleInstance::read_client(int fd) {
    char buffer[64];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    const auto found = clients_.find(fd);
    if (found != clients_.end()) {
        // The watch has removed itself by returning G_SOURCE_REMOVE.
        clients_.erase(found);
    }
    ::close(fd);
    if (got <= 0)
        return;
    AGENT_INFO(FUNCTION) << "Another copy was started: opening the window";
    if (on_open_)
        on_open_();
}

void SingleInstance::drop_silent_clients() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (now - it->second.started < CLIENT_PATIENCE) {
            ++it;
            continue;
        }
        AGENT_WARN(FUNCTION) << "A connection to " << socket_path_ << " said nothing; dropped";
        g_source_remove(it->second.watch);
        ::close(it->first);
        it = clients_.erase(it);
    }
}

}  // namespace varnelagent
