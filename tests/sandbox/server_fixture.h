#pragma once

// A stand-in provider per test, started in-process on an ephemeral loopback port, and a
// plain HTTP client (cpp-httplib's, not the agent's) to talk to it.

#include <httplib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <json/json.h>

#include "sandbox_server.h"
#include "support/sandbox.h"

namespace sandbox::testing {

inline Json::Value parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        ADD_FAILURE() << "not JSON: " << text << "\n" << errors;
    return value;
}

// The error answer the agent reads: every member present, "status" equal to the HTTP status.
inline void expect_error_answer(const httplib::Result& result, int status) {
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, status);
    const Json::Value body = parse(result->body);
    EXPECT_EQ(body["status"].asInt(), status) << result->body;
    EXPECT_TRUE(body["id"].isString() && !body["id"].asString().empty()) << result->body;
    EXPECT_TRUE(body["message"].isString() && !body["message"].asString().empty()) << result->body;
    EXPECT_TRUE(body["track-id"].isString() && !body["track-id"].asString().empty()) << result->body;
}

inline httplib::Headers session_header(const std::string& sid) { return {{"Authorization", "varnel.sid " + sid}}; }

// Reads a message stream on a thread of its own until the server ends it or the reader goes.
class StreamReader {
public:
    StreamReader(std::uint16_t port, const std::string& sid) {
        thread_ = std::thread([this, port, sid] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(30, 0);
            client.Get(
                "/api/v1/messages/stream", session_header(sid),
                [this](const httplib::Response& response) {
                    status_ = response.status;
                    return true;
                },
                [this](const char* data, std::size_t size) {
                    std::lock_guard lock(mutex_);
                    text_.append(data, size);
                    return !stop_.load();
                });
            ended_ = true;
        });
    }
    ~StreamReader() {
        stop_ = true;
        thread_.join();
    }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    std::string text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
    int status() const { return status_; }
    bool ended() const { return ended_; }

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::atomic<int> status_{0};
    std::atomic<bool> ended_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ServerTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        server_ = std::make_unique<Server>(options());
        server_->start();
    }
    void TearDown() override {
        server_.reset();
        SandboxTest::TearDown();
    }

    virtual Options options() {
        Options options;
        options.heartbeat = std::chrono::milliseconds(100);
        options.threads = 24;
        return options;
    }

    Server& server() { return *server_; }
    httplib::Client client() {
        httplib::Client client("127.0.0.1", server_->port());
        client.set_read_timeout(10, 0);
        return client;
    }
    httplib::Headers demo_session() { return session_header(server_->create_session()); }

    std::unique_ptr<Server> server_;
};

}  // namespace sandbox::testing
