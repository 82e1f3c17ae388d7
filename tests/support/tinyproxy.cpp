#include "support/tinyproxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "details/strings.h"
#include "support/sandbox.h"

extern char** environ;

namespace agent::testing {

int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool port_open(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return open;
}

Tinyproxy::Tinyproxy(const std::filesystem::path& directory, const std::string& user, const std::string& password) {
    std::filesystem::create_directories(directory);
    const std::filesystem::path config = directory / "tinyproxy.conf";
    log_file_ = directory / "tinyproxy.log";
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
        port_ = free_port();
        {
            std::ofstream out(config);
            out << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                << "LogFile \"" << log_file_.string() << "\"\nLogLevel Info\nAllow 127.0.0.1\n";
            if (!user.empty())
                out << "BasicAuth " << user << " " << password << "\n";
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string config_text = config.string();
        char* argv[] = {const_cast<char*>("tinyproxy"), const_cast<char*>("-d"), const_cast<char*>("-c"),
                        config_text.data(), nullptr};
        pid_t pid = -1;
        int failed = posix_spawnp(&pid, "tinyproxy", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0)
            throw std::runtime_error("tinyproxy cannot be started (is it installed?)");
        const int port = port_;
        bool up = wait_for([port, pid] { return port_open(port) || ::waitpid(pid, nullptr, WNOHANG) == pid; },
                           std::chrono::seconds(10));
        if (up && ::waitpid(pid, nullptr, WNOHANG) == 0) {
            pid_ = pid;
            break;
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    if (pid_ < 0)
        throw std::runtime_error("tinyproxy did not start listening");
}

Tinyproxy::~Tinyproxy() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::wstring Tinyproxy::address() const {
    return details::utf8_to_wide("127.0.0.1:" + std::to_string(port_));
}

std::vector<std::string> Tinyproxy::requests() const {
    std::vector<std::string> lines;
    std::ifstream in(log_file_);
    std::string line;
    const std::string marker = "Request (file descriptor ";
    while (std::getline(in, line)) {
        std::size_t at = line.find(marker);
        if (at == std::string::npos)
            continue;
        std::size_t start = line.find("): ", at);
        if (start != std::string::npos)
            lines.push_back(line.substr(start + 3));
    }
    return lines;
}

}  // namespace agent::testing
