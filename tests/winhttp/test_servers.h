#pragma once

// Real servers for the transport tests, all on 127.0.0.1 ephemeral ports: a cpp-httplib
// HTTP(S) server that records every request, a raw TCP server for exact wire bytes, and a test
// CA made at run time. tinyproxy and the port helpers are in support/tinyproxy.h.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/tinyproxy.h"

#include <sys/types.h>

namespace httplib {
class Server;
}

namespace agent::testing {

// A CA and a server certificate for 127.0.0.1 / localhost signed by it, as PEM files in
// `directory`.
struct TestCa {
    explicit TestCa(const std::filesystem::path& directory);

    std::filesystem::path ca_file;
    std::filesystem::path certificate_file;
    std::filesystem::path key_file;
};

struct RecordedRequest {
    std::string method;
    std::string target;  // path and query
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // decoded when the request came chunked
    int remote_port = 0;

    // The first value of a header, compared without case; empty when absent.
    std::string header(const std::string& name) const;
    bool has_header(const std::string& name) const;
};

// A cpp-httplib server on its own thread. Register handlers on server() before start().
class HttpServer {
public:
    // Plain HTTP, or HTTPS with the CA's server certificate.
    HttpServer();
    explicit HttpServer(const TestCa& ca);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    httplib::Server& server() { return *server_; }
    void start();

    int port() const { return port_; }
    // "http(s)://127.0.0.1:<port>" + path
    std::wstring url(const std::string& path) const;
    std::vector<RecordedRequest> requests() const;

private:
    bool secure_ = false;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
};

// One accepted connection of a RawServer.
class RawConnection {
public:
    RawConnection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

    // Reads one request: the head up to the blank line, then a body by Content-Length or up
    // to the final chunk ("0\r\n\r\n"). Returns the raw bytes; empty when the peer closed.
    std::string read_request();
    void send(const std::string& bytes);
    // Closes the connection now (a server dropping mid-answer).
    void close();
    // Blocks until the server stops or the peer closes (a server that never answers).
    void hold();

private:
    int fd_;
    const std::atomic<bool>& stopping_;
    std::string buffer_;
};

// A TCP server that hands each connection to a script and records the raw requests the
// script read.
class RawServer {
public:
    using Script = std::function<void(RawConnection&, RawServer&)>;

    explicit RawServer(Script script);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int port() const { return port_; }
    std::wstring url(const std::string& path) const;

    void record(const std::string& raw);
    std::vector<std::string> requests() const;
    int connections() const { return connections_.load(); }

private:
    void accept_loop();

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<int> fds_;
    std::vector<std::string> requests_;
};

}  // namespace agent::testing
