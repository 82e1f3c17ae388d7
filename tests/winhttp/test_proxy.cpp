#include <gtest/gtest.h>

#include <httplib.h>

#include <cstdlib>

#include "details/exception.h"
#include "details/strings.h"
#include "support/sandbox.h"
#include "winhttp/proxy.h"
#include "winhttp/simple_client.h"
#include "winhttp/test_servers.h"

using namespace winhttp;
using agent::testing::HttpServer;
using agent::testing::RawConnection;
using agent::testing::RawServer;
using agent::testing::ScopedEnv;
using agent::testing::Tinyproxy;

namespace {

ProxySettings named(const std::wstring& url, const std::wstring& user = {}, const std::wstring& password = {}) {
    ProxySettings settings;
    settings.mode = NamedProxy;
    settings.url = url;
    settings.user = user;
    settings.password = password;
    return settings;
}

ProxySettings mode(ProxyMode value) {
    ProxySettings settings;
    settings.mode = value;
    return settings;
}

std::size_t count_starting(const std::vector<std::string>& lines, const std::string& prefix) {
    std::size_t count = 0;
    for (const std::string& line : lines)
        count += line.rfind(prefix, 0) == 0;
    return count;
}


// An HTTP and an HTTPS server (trusted through the test CA) answering "/ping".
class ProxyTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ca_ = std::make_unique<agent::testing::TestCa>(home().path() / "ca");
        plain_ = std::make_unique<HttpServer>();
        secure_ = std::make_unique<HttpServer>(*ca_);
        for (HttpServer* server : {plain_.get(), secure_.get()}) {
            server->server().Get("/ping", [](const httplib::Request&, httplib::Response& response) {
                response.set_content("pong", "text/plain");
            });
            server->start();
        }
    }

    std::shared_ptr<SimpleClient> client(const ProxySettings& settings) {
        auto made = SimpleClient::create(L"VarnelAgent-test", settings);
        made->set_ca_file(ca_->ca_file.wstring());
        made->set_timeouts(20);
        return made;
    }

    static std::uint32_t get(SimpleClient& client, const std::wstring& url, std::string* body = nullptr) {
        Response response = client.open_request(url, METHOD_GET).receive();
        std::vector<std::uint8_t> bytes = response.read_body();
        if (body)
            body->assign(bytes.begin(), bytes.end());
        return response.status_code();
    }

    std::unique_ptr<agent::testing::TestCa> ca_;
    std::unique_ptr<HttpServer> plain_;
    std::unique_ptr<HttpServer> secure_;
};

}  // namespace

TEST(ProxyRules, NamedProxyWithoutAddressIsRefused) {
    try {
        SimpleClient::create(L"", named(L""));
        FAIL();
    } catch (const agent::AgentException& error) {
        EXPECT_EQ(error.kind(), agent::AgentException::PROXY_WITHOUT_ADDRESS);
        EXPECT_EQ(error.message(), L"Поле \"Сервер\" должно быть заполнено");
    }
    auto client = SimpleClient::create(L"", named(L"127.0.0.1:3128", L"u", L"p"));
    EXPECT_THROW(client->set_proxy(named(L"")), agent::AgentException);
    EXPECT_EQ(client->proxy_settings(), named(L"127.0.0.1:3128", L"u", L"p"));
}

TEST(ProxyRules, BypassListsAndPerSchemeAddresses) {
    EXPECT_TRUE(bypasses_proxy(L"*.varnel.example;<local>", L"API.Varnel.example"));
    EXPECT_TRUE(bypasses_proxy(L"*.varnel.example;<local>", L"intranet"));
    EXPECT_FALSE(bypasses_proxy(L"*.varnel.example;<local>", L"varnel.example.org"));
    EXPECT_FALSE(bypasses_proxy(L"<local>", L"::1"));
    EXPECT_TRUE(bypasses_proxy(L"10.*, 127.0.0.1", L"127.0.0.1"));
    EXPECT_FALSE(bypasses_proxy(L"", L"127.0.0.1"));

    EXPECT_EQ(proxy_for_scheme(L"proxy:3128", L"https"), L"proxy:3128");
    EXPECT_EQ(proxy_for_scheme(L"http=a:1;https=b:2", L"https"), L"b:2");
    EXPECT_EQ(proxy_for_scheme(L"HTTP=a:1;https=b:2", L"http"), L"a:1");
    EXPECT_EQ(proxy_for_scheme(L"ftp=f:1;c:3", L"https"), L"c:3");
    EXPECT_EQ(proxy_for_scheme(L"ftp=f:1", L"https"), L"f:1");
}

TEST_F(ProxyTest, NamedProxyCarriesPlainAndTunnelledRequests) {
    Tinyproxy proxy(home().path() / "proxy");
    auto through = client(named(proxy.address()));
    std::string body;
    EXPECT_EQ(get(*through, plain_->url("/ping"), &body), 200u);
    EXPECT_EQ(body, "pong");
    EXPECT_EQ(get(*through, secure_->url("/ping"), &body), 200u);
    EXPECT_EQ(body, "pong");

    const auto seen = proxy.requests();
    EXPECT_EQ(count_starting(seen, "GET http://127.0.0.1:" + std::to_string(plain_->port()) + "/ping"), 1u);
    EXPECT_EQ(count_starting(seen, "CONNECT 127.0.0.1:" + std::to_string(secure_->port())), 1u);
    ProxySettings record;
    ASSERT_TRUE(through->connection_proxy(L"https://127.0.0.1:" + std::to_wstring(secure_->port()), record));
    EXPECT_EQ(record.mode, NamedProxy);

    // A bypassed host goes direct.
    ProxySettings bypassing = named(proxy.address());
    bypassing.bypass = L"<local>;127.0.0.*";
    auto direct = client(bypassing);
    EXPECT_EQ(get(*direct, plain_->url("/ping")), 200u);
    EXPECT_EQ(proxy.requests().size(), seen.size());
}

TEST_F(ProxyTest, ProxyCredentialsAreCheckedAndCanChangeOnALiveClient) {
    Tinyproxy proxy(home().path() / "proxy", "agent", "s3cret");

    auto anonymous = client(named(proxy.address()));
    EXPECT_EQ(get(*anonymous, plain_->url("/ping")), 407u);
    // The proxy refuses the tunnel itself: its 407 is the response.
    Response refused = anonymous->open_request(secure_->url("/ping"), METHOD_GET).receive();
    EXPECT_EQ(refused.status_code(), 407u);
    EXPECT_TRUE(refused.read_body().empty());

    // tinyproxy refuses wrong credentials with 401 rather than 407; either way the refusal
    // is the response, for a tunnel too.
    auto wrong = client(named(proxy.address(), L"agent", L"guess"));
    for (const std::wstring& url : {plain_->url("/ping"), secure_->url("/ping")}) {
        const std::uint32_t status = get(*wrong, url);
        EXPECT_TRUE(status == 407u || status == 401u) << status;
    }

    wrong->set_proxy_credentials(L"agent", L"s3cret");
    EXPECT_EQ(wrong->proxy_settings().password, L"s3cret");
    std::string body;
    EXPECT_EQ(get(*wrong, plain_->url("/ping"), &body), 200u);
    EXPECT_EQ(body, "pong");
    EXPECT_EQ(get(*wrong, secure_->url("/ping"), &body), 200u);
    EXPECT_EQ(body, "pong");

    // Dropping the credentials again is refused again.
    wrong->set_proxy_credentials(L"", L"");
    EXPECT_EQ(get(*wrong, plain_->url("/ping")), 407u);
}

TEST_F(ProxyTest, DefaultProxyFollowsTheEnvironmentAndNoProxyIgnoresIt) {
    Tinyproxy proxy(home().path() / "proxy");
    ScopedEnv https_proxy("https_proxy", "http://" + agent::details::wide_to_utf8(proxy.address()));
    ScopedEnv http_proxy("http_proxy", "http://" + agent::details::wide_to_utf8(proxy.address()));
    ScopedEnv no_proxy("no_proxy", "");

    auto system = client(mode(DefaultProxy));
    std::string body;
    EXPECT_EQ(get(*system, secure_->url("/ping"), &body), 200u);
    EXPECT_EQ(body, "pong");
    EXPECT_EQ(count_starting(proxy.requests(), "CONNECT 127.0.0.1:" + std::to_string(secure_->port())), 1u);
    ProxySettings record;
    ASSERT_TRUE(system->connection_proxy(L"https://127.0.0.1:" + std::to_wstring(secure_->port()), record));
    EXPECT_EQ(record.mode, NamedProxy);

    const std::size_t before = proxy.requests().size();
    auto direct = client(mode(NoProxy));
    EXPECT_EQ(get(*direct, secure_->url("/ping")), 200u);
    EXPECT_EQ(get(*direct, plain_->url("/ping")), 200u);
    EXPECT_EQ(proxy.requests().size(), before);

    // Switching the live client to NoProxy drops its proxied connections.
    system->set_proxy(mode(NoProxy));
    EXPECT_EQ(get(*system, secure_->url("/ping")), 200u);
    EXPECT_EQ(proxy.requests().size(), before);
}

// A desktop configured with an auto-configuration script: the script decides, and a
// request goes where it says (libproxy runs it through its PAC plugin).
TEST_F(ProxyTest, DefaultProxyRunsTheAutoConfigurationScript) {
    Tinyproxy proxy(home().path() / "proxy");
    const std::string address = agent::details::wide_to_utf8(proxy.address());
    HttpServer pac;
    pac.server().Get("/p.pac", [address](const httplib::Request&, httplib::Response& response) {
        response.set_content("function FindProxyForURL(url, host) {\n"
                             "    return host == 'direct.invalid' ? 'DIRECT' : 'PROXY " +
                                 address + "';\n}\n",
                             "application/x-ns-proxy-autoconfig");
    });
    pac.start();
    ScopedEnv http_proxy("http_proxy", "pac+" + agent::details::wide_to_utf8(pac.url("/p.pac")));
    ScopedEnv https_proxy("https_proxy", "");
    ScopedEnv no_proxy("no_proxy", "");

    EXPECT_EQ(resolve_system_proxy(L"http://direct.invalid/").mode, NoProxy);
    auto system = client(mode(DefaultProxy));
    std::string body;
    EXPECT_EQ(get(*system, plain_->url("/ping"), &body), 200u);
    EXPECT_EQ(body, "pong");
    EXPECT_EQ(count_starting(proxy.requests(), "GET http://127.0.0.1:" + std::to_string(plain_->port()) + "/ping"),
              1u)
        << "the script's proxy was not used";
}

// The user's proxy credentials go at once to the proxy the user named, and to a proxy the
// desktop chose only once it has asked for them.
TEST_F(ProxyTest, CredentialsGoToADesktopsProxyOnlyWhenItAsks) {
    const auto authorization = [](const std::string& request) {
        return request.find("\r\nProxy-Authorization: Basic ") != std::string::npos;
    };
    RawServer proxy([&](RawConnection& connection, RawServer& server) {
        for (std::string request = connection.read_request(); !request.empty(); request = connection.read_request()) {
            server.record(request);
            if (!authorization(request)) {
                connection.send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                                "realm=\"office\"\r\nContent-Length: 0\r\n\r\n");
                continue;
            }
            connection.send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npong");
        }
    });
    const std::string address = "http://127.0.0.1:" + std::to_string(proxy.port());
    ScopedEnv http_proxy("http_proxy", address);
    ScopedEnv no_proxy("no_proxy", "");
    ProxySettings system = mode(DefaultProxy);
    system.user = L"ivan";
    system.password = L"pa55";
    EXPECT_EQ(get(*client(system), plain_->url("/ping")), 200u);
    ASSERT_EQ(proxy.requests().size(), 2u);
    EXPECT_FALSE(authorization(proxy.requests()[0])) << "sent before the proxy asked";
    EXPECT_TRUE(authorization(proxy.requests()[1]));

    EXPECT_EQ(get(*client(named(agent::details::utf8_to_wide(address), L"ivan", L"pa55")), plain_->url("/ping")),
              200u);
    ASSERT_EQ(proxy.requests().size(), 3u);
    EXPECT_TRUE(authorization(proxy.requests()[2])) << "the named proxy gets them with the first request";
}

TEST_F(ProxyTest, DeadProxyIsATransferError) {
    const int port = agent::testing::free_port();
    auto through = client(named(L"127.0.0.1:" + std::to_wstring(port)));
    try {
        get(*through, plain_->url("/ping"));
        FAIL();
    } catch (const agent::WinHttpException& error) {
        EXPECT_EQ(error.function(), "curl_easy_perform");
    }
}
