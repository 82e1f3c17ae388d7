#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace varnelagent {

// One copy of the program per user session. The first copy holds a lock file and listens
// on a Unix socket, both named after the window class "OstVarnel.Agent" in the user's
// runtime directory; a later copy finds the lock taken, says "open" on the socket and
// ends. The lock dies with its process, so a copy that crashed or was killed leaves only
// a stale socket file, which the next first copy replaces.
class SingleInstance {
public:
    enum class Role { First, Other };

    // Decides the role. When another copy holds the lock, "open" is sent to it (waiting up
    // to `wait` for a copy that is still starting to listen). `directory` defaults to the
    // user's runtime directory.
    explicit SingleInstance(std::string directory = {},
                            std::chrono::milliseconds wait = std::chrono::seconds(10));
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    Role role() const noexcept { return role_; }
    // For Other: whether the running copy got the request.
    bool delivered() const noexcept { return delivered_; }

    // For First: listens on the GUI thread's main context; `on_open` runs there for each
    // "open" received. Nothing waits for a connection that is slow to speak: it is read when
    // it has spoken, and dropped after CLIENT_PATIENCE if it says nothing. Throws
    // SystemException when the socket cannot be made.
    void listen(std::function<void()> on_open);

    const std::string& socket_path() const noexcept { return socket_path_; }
    const std::string& lock_path() const noexcept { return lock_path_; }

    static constexpr char NAME[] = "OstVarnel.Agent";
    static constexpr std::chrono::milliseconds CLIENT_PATIENCE{2000};
    static constexpr std::size_t MAX_WAITING_CLIENTS = 16;

private:
    struct Client {
        SingleInstance* owner = nullptr;
        int fd = -1;
        unsigned watch = 0;
        std::chrono::steady_clock::time_point started;
    };

    bool try_lock();
    bool send_open();
    void take_client(int fd);
    void read_client(int fd);
    void drop_silent_clients();

    Role role_ = Role::Other;
    bool delivered_ = false;
    std::string socket_path_;
    std::string lock_path_;
    int lock_fd_ = -1;
    int listen_fd_ = -1;
    unsigned watch_ = 0;
    unsigned sweep_ = 0;
    // Connections not yet heard from, by descriptor (stable addresses: their watches hold them).
    std::map<int, Client> clients_;
    std::function<void()> on_open_;
};

}  // namespace varnelagent
