#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace agent::testing {

// tinyproxy on a free loopback port with a generated configuration, optionally with Basic
// authentication; stopped when destroyed.
class Tinyproxy {
public:
    Tinyproxy(const std::filesystem::path& directory, const std::string& user = {},
              const std::string& password = {});
    ~Tinyproxy();
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:<port>"
    std::wstring address() const;
    // Request lines tinyproxy logged ("CONNECT 127.0.0.1:443 HTTP/1.1", "GET http://...").
    std::vector<std::string> requests() const;

private:
    std::filesystem::path log_file_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();
// Whether something accepts connections on 127.0.0.1:<port>.
bool port_open(int port);

}  // namespace agent::testing
