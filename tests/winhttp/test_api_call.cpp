#include <gtest/gtest.h>

#include <httplib.h>
#include <json/json.h>

#include <mutex>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "support/sandbox.h"
#include "winhttp/api_call.h"
#include "winhttp/test_servers.h"

using namespace agent::details;
using agent::AgentApiException;
using agent::ApiError;
using agent::testing::HttpServer;

namespace {

std::vector<std::uint8_t> bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Keeps every log line in memory.
class MemoryLogger : public ILogger {
public:
    void write(const wchar_t* text, std::size_t count) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text, count);
    }
    std::vector<std::wstring> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The line containing every part, or an empty text.
    std::wstring find(const std::vector<std::wstring>& parts) const {
        for (const std::wstring& line : lines()) {
            bool all = true;
            for (const std::wstring& part : parts)
                all = all && line.find(part) != std::wstring::npos;
            if (all)
                return line;
        }
        return {};
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> lines_;
};

class ApiCallTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        auto logger = std::make_unique<MemoryLogger>();
        logger->level = LEVEL_DEBUG;
        log_ = logger.get();
        install_logger(std::move(logger));
    }

    MemoryLogger* log_ = nullptr;
};

std::shared_ptr<winhttp::SimpleClient> direct_client() {
    winhttp::ProxySettings settings;
    settings.mode = winhttp::NoProxy;
    return winhttp::SimpleClient::create(L"", settings);
}

ApiError parse(const std::string& body, std::int32_t status) {
    return parse_api_error(bytes(body), status);
}

}  // namespace

TEST(LinkedRequests, SameOriginIsSchemeHostAndPort) {
    const std::wstring api = L"https://Agent.varnel.example/api";
    EXPECT_TRUE(same_origin(L"https://agent.VARNEL.example:443/icons/a.png", api));
    EXPECT_TRUE(same_origin(L"HTTPS://agent.varnel.example/other/path?x=1", api));
    EXPECT_FALSE(same_origin(L"http://agent.varnel.example/icons/a.png", api));
    EXPECT_FALSE(same_origin(L"https://agent.varnel.example:8443/icons/a.png", api));
    EXPECT_FALSE(same_origin(L"https://agent.varnel.example.evil.example/a.png", api));
    EXPECT_FALSE(same_origin(L"https://user@evil.example/agent.varnel.example", api));
    EXPECT_FALSE(same_origin(L"not a url", api));
    EXPECT_FALSE(same_origin(L"https://agent.varnel.example/", L""));
}

TEST_F(ApiCallTest, ErrorAnswerFillsTheRecord) {
    ApiError error = parse(R"({"status":403,"id":"forbidden","message":"Доступ запрещён","track-id":"t-1"})", 403);
    EXPECT_EQ(error.status, 403);
    EXPECT_EQ(error.id, "forbidden");
    EXPECT_EQ(error.message, L"Доступ запрещён");
    EXPECT_EQ(error.track_id, "t-1");
    EXPECT_TRUE(error.details.empty());
    EXPECT_NE(log_->find({L"INFO", L"agent::details::parse_api_error"}), L"");

    error = parse(R"({"status":409,"code":"E42","message":"x"})", 400);
    EXPECT_EQ(error.status, 409);  // the server's own status wins
    EXPECT_EQ(error.details, std::vector<std::wstring>{L"E42"});

    error = parse(R"({"message":"no status","retry":true,"count":3})", 500);
    EXPECT_EQ(error.status, 0);
    EXPECT_EQ(error.details, (std::vector<std::wstring>{L"3", L"true"}));
}

TEST_F(ApiCallTest, StructuredExtraMembersBecomeTheirJsonText) {
    // An object or array among the other members must not make the parser itself fail.
    ApiError error = parse(R"({"status":422,"errors":[{"field":"login"},"x"],"meta":{"a":1}})", 422);
    EXPECT_EQ(error.status, 422);
    ASSERT_EQ(error.details.size(), 2u);
    EXPECT_EQ(error.details[0], LR"([{"field":"login"},"x"])");
    EXPECT_EQ(error.details[1], LR"({"a":1})");

    // Out-of-range and odd "status" values do not throw either.
    EXPECT_EQ(parse(R"({"status":1e40})", 500).status, 2147483647);
    EXPECT_EQ(parse(R"({"status":"503"})", 500).status, 503);
    EXPECT_EQ(parse(R"({"status":{"x":1}})", 500).status, 0);
}

TEST_F(ApiCallTest, BodiesThatAreNotErrorAnswersKeepTheHttpStatus) {
    ApiError page = parse("<html><body>Bad gateway</body></html>", 502);
    EXPECT_EQ(page.status, 502);
    EXPECT_TRUE(page.id.empty() && page.message.empty() && page.details.empty());
    EXPECT_NE(log_->find({L"ERROR", L"agent::details::parse_api_error", L"Syntax error"}), L"")
        << (log_->lines().empty() ? L"" : log_->lines().back());

    EXPECT_EQ(parse("", 500).status, 500);
    ApiError list = parse(R"(["a",1])", 400);
    EXPECT_EQ(list.status, 400);
    EXPECT_EQ(list.details, (std::vector<std::wstring>{L"a", L"1"}));
    EXPECT_EQ(parse("\xff\xfe{", 400).status, 400);
    // Nesting deeper than the JSON reader goes is a body that cannot be read, not a throw.
    EXPECT_EQ(parse("{\"status\": 500, \"id\": " + std::string(1200, '['), 503).status, 503);
}

TEST_F(ApiCallTest, CallSendsTheSessionAndJsonBodyAndLogsThePattern) {
    HttpServer server;
    server.server().Post("/v1/messages/reads", [](const httplib::Request&, httplib::Response& response) {
        response.status = 204;
    });
    server.server().Get("/v1/channels", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"([{"id":1}])", "application/json");
    });
    server.start();
    auto client = direct_client();

    ApiAnswer answer = call_api(*client, L"agent::ChannelService::user_channels", server.url("/v1/channels"),
                                winhttp::METHOD_GET, "sid-1", nullptr, 200);
    EXPECT_EQ(answer.status, 200u);
    EXPECT_EQ(std::string(answer.body.begin(), answer.body.end()), R"([{"id":1}])");

    Json::Value reads(Json::arrayValue);
    reads.append("m1");
    reads.append("м2");
    answer = call_api(*client, L"agent::MessageService::mark_as_read", server.url("/v1/messages/reads"),
                      winhttp::METHOD_POST, "sid-1", &reads, 204);
    EXPECT_EQ(answer.status, 204u);
    EXPECT_TRUE(answer.body.empty());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Authorization"), "varnel.sid sid-1");
    EXPECT_FALSE(requests[0].has_header("Content-Type"));
    EXPECT_FALSE(requests[0].has_header("Content-Length"));
    EXPECT_EQ(requests[1].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[1].body, "[\"m1\",\"м2\"]\n");
    EXPECT_EQ(requests[1].header("Content-Length"), std::to_string(requests[1].body.size()));

    const std::wstring url = server.url("/v1/channels");
    EXPECT_NE(log_->find({L"INFO", L"agent::ChannelService::user_channels", L"Query: " + url}), L"");
    EXPECT_NE(log_->find({L"INFO", L"agent::ChannelService::user_channels", L"Status code: 200"}), L"");
    EXPECT_NE(log_->find({L"DEBUG", L"agent::ChannelService::user_channels",
                          L"Response body: " + base64_encode(std::string_view(R"([{"id":1}])"))}),
              L"");
    // An empty body is logged as an empty text.
    EXPECT_NE(log_->find({L"DEBUG", L"agent::MessageService::mark_as_read", L"Response body: \r\n"}), L"");
}

TEST_F(ApiCallTest, OtherStatusesThrowTheServersErrorLoggedUnderTheEntryPoint) {
    HttpServer server;
    server.server().Get("/v1/user/info", [](const httplib::Request&, httplib::Response& response) {
        response.status = 401;
        response.set_content(R"({"status":401,"id":"expired","message":"Сессия истекла","track-id":"tr"})",
                             "application/json");
    });
    server.server().Get("/v1/messages/top", [](const httplib::Request&, httplib::Response& response) {
        response.status = 204;
    });
    server.start();
    auto client = direct_client();
    try {
        call_api(*client, L"agent::AgentClient::user_info", server.url("/v1/user/info"), winhttp::METHOD_GET, "s",
                 nullptr, 200);
        FAIL();
    } catch (const AgentApiException& error) {
        EXPECT_EQ(error.status(), 401);
        EXPECT_EQ(error.error().id, "expired");
        EXPECT_EQ(error.error().message, L"Сессия истекла");
        EXPECT_NE(log_->find({L"ERROR", L"agent::AgentClient::user_info", utf8_to_wide(error.what())}), L"");
    }
    // A second accepted status.
    ApiAnswer empty = call_api(*client, L"agent::MessageService::get_messages", server.url("/v1/messages/top"),
                               winhttp::METHOD_GET, "s", nullptr, 200, 204);
    EXPECT_EQ(empty.status, 204u);
    EXPECT_THROW(call_api(*client, L"agent::MessageService::get_messages", server.url("/v1/messages/top"),
                          winhttp::METHOD_GET, "s", nullptr, 200),
                 AgentApiException);
}

TEST_F(ApiCallTest, RawCallsSendOnlyTheLength) {
    HttpServer server;
    server.server().Post("/authenticate-by-pass", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"Sid":"abc"})", "application/json");
    });
    server.server().Delete("/sessions/abc", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"Success":true})", "application/json");
    });
    server.start();
    auto client = direct_client();
    call_api_raw(*client, L"agent::AuthService::authenticate", server.url("/authenticate-by-pass?login=u%40x"),
                 winhttp::METHOD_POST, "", "пароль", 200);
    call_api_raw(*client, L"agent::AuthService::close_session", server.url("/sessions/abc"), winhttp::METHOD_DELETE,
                 "", "", 200);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/authenticate-by-pass?login=u%40x");
    EXPECT_EQ(requests[0].body, "пароль");
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(std::string("пароль").size()));
    EXPECT_FALSE(requests[0].has_header("Authorization"));
    EXPECT_FALSE(requests[0].has_header("Content-Type"));
    EXPECT_EQ(requests[1].method, "DELETE");
    EXPECT_EQ(requests[1].header("Content-Length"), "0");
}

TEST_F(ApiCallTest, TransferFailuresPassThroughUnchanged) {
    const int port = agent::testing::free_port();
    auto client = direct_client();
    EXPECT_THROW(call_api(*client, L"agent::ChannelService::user_channels",
                          L"http://127.0.0.1:" + std::to_wstring(port) + L"/v1/channels", winhttp::METHOD_GET, "s",
                          nullptr, 200),
                 agent::WinHttpException);
    EXPECT_EQ(log_->find({L"ERROR"}), L"");
}

TEST_F(ApiCallTest, ARefusalWhoseConnectionDropsAfterItsHeadIsStillTheRefusal) {
    // tinyproxy answers 407 to a request with a body and resets the connection unread.
    HttpServer server;
    server.server().Post("/authenticate-by-pass", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"Sid":"abc"})", "application/json");
    });
    server.start();
    agent::testing::Tinyproxy proxy(home().path() / "proxy", "agent", "s3cret");
    winhttp::ProxySettings settings;
    settings.mode = winhttp::NamedProxy;
    settings.url = proxy.address();
    auto client = winhttp::SimpleClient::create(L"", settings);
    const std::string password(64 * 1024, 'p');
    try {
        call_api_raw(*client, L"agent::AuthService::authenticate", server.url("/authenticate-by-pass?login=u"),
                     winhttp::METHOD_POST, "", password, 200);
        FAIL() << "the proxy let the request through without credentials";
    } catch (const AgentApiException& e) {
        EXPECT_EQ(e.status(), 407);
    }
    client->set_proxy_credentials(L"agent", L"s3cret");
    EXPECT_EQ(call_api_raw(*client, L"agent::AuthService::authenticate", server.url("/authenticate-by-pass?login=u"),
                           winhttp::METHOD_POST, "", password, 200)
                  .status,
              200u);
}
