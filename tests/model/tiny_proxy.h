#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "support/sandbox.h"

namespace agent::testing {

// A real tinyproxy on 127.0.0.1, started for one test and ended with it. With a user it
// asks for Basic credentials (407 without them).
class TinyProxy {
public:
    TinyProxy(const std::filesystem::path& directory, const std::string& user = {}, const std::string& password = {}) {
        port_ = free_port();
        const auto config = directory / "tinyproxy.conf";
        std::string text = "Port " + std::to_string(port_) +
                           "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nLogLevel Critical\nMaxClients 20\n";
        if (!user.empty())
            text += "BasicAuth " + user + " " + password + "\n";
        write_text(config, text);
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::execlp("tinyproxy", "tinyproxy", "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (!wait_for([this] { return accepts(); }))
            throw std::runtime_error("tinyproxy did not start");
    }
    ~TinyProxy() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    std::uint16_t port() const { return port_; }
    std::wstring address() const { return L"127.0.0.1:" + std::to_wstring(port_); }

    // A loopback port nobody listens on (bound and released at once).
    static std::uint16_t free_port() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ::close(fd);
            throw std::runtime_error("no free port");
        }
        ::close(fd);
        return ntohs(address.sin_port);
    }

private:
    bool accepts() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace agent::testing
