#include <gtest/gtest.h>

#include <atomic>

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include <curl/curl.h>

#include "details/exception.h"
#include "details/strings.h"
#include "support/sandbox.h"
#include "winhttp/simple_client.h"
#include "winhttp/test_servers.h"

using namespace winhttp;
using agent::WinHttpException;
using agent::testing::HttpServer;
using agent::testing::RawConnection;
using agent::testing::RawServer;
using agent::testing::wait_for;

namespace {

ProxySettings direct() {
    ProxySettings settings;
    settings.mode = NoProxy;
    return settings;
}

std::string text_of(const std::vector<std::uint8_t>& body) {
    return std::string(body.begin(), body.end());
}

// A raw server that records one request per connection and answers it with `answer`.
RawServer::Script answer_with(std::string answer) {
    return [answer](RawConnection& connection, RawServer& server) {
        for (;;) {
            std::string request = connection.read_request();
            if (request.empty())
                return;
            server.record(request);
            connection.send(answer);
        }
    };
}

const std::string OK_EMPTY = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

template <typename Call>
std::uint32_t curl_code_of(Call call) {
    try {
        call();
    } catch (const WinHttpException& error) {
        return error.code();
    }
    ADD_FAILURE() << "no WinHttpException";
    return 0;
}

class SimpleClientTest : public agent::testing::SandboxTest {};

}  // namespace

// ---- the header collection and URLs ---------------------------------------------------

TEST(HeaderCollection, FollowsTheAddRequestHeadersRules) {
    Headers headers;
    set_header(headers, L"Authorization", L"varnel.sid a", WINHTTP_ADDREQ_FLAG_REPLACE);
    EXPECT_EQ(headers[L"Authorization"], L"varnel.sid a");  // absent: inserted whatever the flags

    set_header(headers, L"Authorization", L"varnel.sid b", WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA);
    EXPECT_EQ(headers[L"Authorization"], L"varnel.sid a,varnel.sid b");
    set_header(headers, L"Authorization", L"c", WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON);
    EXPECT_EQ(headers[L"Authorization"], L"varnel.sid a,varnel.sid b;c");

    set_header(headers, L"Authorization", L"new", WINHTTP_ADDREQ_FLAG_ADD_IF_NEW);
    set_header(headers, L"Authorization", L"new", WINHTTP_ADDREQ_FLAG_ADD);
    EXPECT_EQ(headers[L"Authorization"], L"varnel.sid a,varnel.sid b;c");

    set_header(headers, L"Authorization", L"replaced", WINHTTP_ADDREQ_FLAG_REPLACE);
    EXPECT_EQ(headers[L"Authorization"], L"replaced");
    set_header(headers, L"Authorization", L"", WINHTTP_ADDREQ_FLAG_REPLACE);
    EXPECT_EQ(headers.count(L"Authorization"), 0u);

    // Names compare with case: these are two headers, ordered "X-b" before "x-a".
    set_header(headers, L"x-a", L"1", 0);
    set_header(headers, L"X-b", L"2", 0);
    EXPECT_EQ(headers.begin()->first, L"X-b");
}

TEST(HeaderCollection, AnnouncedLengthIsZeroWhenAbsentOrUnusable) {
    Headers headers;
    EXPECT_EQ(announced_length(headers), 0u);
    headers[L"Content-Length"] = L"12";
    EXPECT_EQ(announced_length(headers), 12u);
    headers[L"Content-Length"] = L"4294967294";
    EXPECT_EQ(announced_length(headers), 4294967294u);
    headers[L"Content-Length"] = L"4294967295";
    EXPECT_EQ(announced_length(headers), 0u);
    headers[L"Content-Length"] = L"99999999999999999999999";
    EXPECT_EQ(announced_length(headers), 0u);
    headers[L"Content-Length"] = L"-5";
    EXPECT_EQ(announced_length(headers), 0u);
}

TEST(CrackUrl, SplitsUrlsAndNamesOrigins) {
    CrackedUrl url = crack_url(L"https://api.varnel.example/v1/messages/top?count=20#x");
    EXPECT_TRUE(url.secure);
    EXPECT_EQ(url.port, 443);
    EXPECT_EQ(url.host, L"api.varnel.example");
    EXPECT_EQ(url.path, L"/v1/messages/top");
    EXPECT_EQ(url.extra, L"?count=20#x");
    EXPECT_EQ(origin_of(url), L"https://api.varnel.example:443");

    url = crack_url(L"HTTP://127.0.0.1:8080");
    EXPECT_FALSE(url.secure);
    EXPECT_EQ(url.path, L"/");
    EXPECT_EQ(origin_of(url), L"http://127.0.0.1:8080");

    url = crack_url(L"http://[::1]:81/x");
    EXPECT_EQ(url.host, L"::1");
    EXPECT_EQ(origin_of(url), L"http://[::1]:81");
}

TEST(CrackUrl, RefusesMalformedUrlsAndOtherSchemes) {
    for (const wchar_t* bad : {L"", L"not a url", L"http://", L"https://host:99999/", L"http://exa mple.org/",
                               L"//host/path", L"http://host:port/"})
        EXPECT_EQ(curl_code_of([&] { crack_url(bad); }), CURLE_URL_MALFORMAT) << agent::details::wide_to_utf8(bad);
    for (const wchar_t* other : {L"ftp://127.0.0.1/file", L"file:///etc/passwd", L"gopher://127.0.0.1/"})
        EXPECT_EQ(curl_code_of([&] { crack_url(other); }), CURLE_UNSUPPORTED_PROTOCOL);

    auto client = SimpleClient::create(L"", direct());
    try {
        client->open_request(L"ftp://127.0.0.1/x", METHOD_GET);
        FAIL();
    } catch (const WinHttpException& error) {
        EXPECT_EQ(error.function(), "curl_url_set");
    }
    EXPECT_EQ(client->connection_count(), 0u);
}

// ---- what goes on the wire ------------------------------------------------------------

TEST_F(SimpleClientTest, RequestHeadersGoOutInNameOrderWithoutBlanks) {
    RawServer server(answer_with(OK_EMPTY));
    auto client = SimpleClient::create(L"VarnelAgent/1.1", direct());
    Request request = client->open_request(server.url("/v1/channels?x=1"), METHOD_GET);
    request.set_header(L"Content-Type", L"application/json", WINHTTP_ADDREQ_FLAG_REPLACE);
    request.set_header(L"Authorization", L"varnel.sid 42", WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA);
    request.set_header(L"X-Empty", L"", 0);
    Response response = request.receive();
    EXPECT_EQ(response.status_code(), 200u);
    EXPECT_TRUE(response.read_body().empty());

    ASSERT_EQ(server.requests().size(), 1u);
    const std::string wire = server.requests()[0];
    EXPECT_EQ(wire.rfind("GET /v1/channels?x=1 HTTP/1.1\r\n", 0), 0u) << wire;
    const std::size_t authorization = wire.find("\r\nAuthorization:varnel.sid 42\r\n");
    const std::size_t content_type = wire.find("\r\nContent-Type:application/json\r\n");
    const std::size_t empty = wire.find("\r\nX-Empty:");
    ASSERT_NE(authorization, std::string::npos) << wire;
    ASSERT_NE(content_type, std::string::npos) << wire;
    ASSERT_NE(empty, std::string::npos) << wire;
    EXPECT_LT(authorization, content_type);
    EXPECT_LT(content_type, empty);
    EXPECT_NE(wire.find("\r\nUser-Agent: VarnelAgent/1.1\r\n"), std::string::npos);
    // Nothing of curl's own making that the caller did not ask for.
    EXPECT_EQ(wire.find("Accept:"), std::string::npos) << wire;
    EXPECT_EQ(wire.find("Content-Length"), std::string::npos) << wire;
}

TEST_F(SimpleClientTest, BodiesAreSentPlainOrChunked) {
    RawServer server(answer_with(OK_EMPTY));
    auto client = SimpleClient::create(L"", direct());

    // Chunked: each write one chunk, the final chunk at receive.
    Request chunked = client->open_request(server.url("/up"), METHOD_PUT);
    chunked.set_header(L"Transfer-Encoding", L"chunked", 0);
    chunked.write("abc");
    chunked.write(std::string(20, 'z'));
    EXPECT_EQ(chunked.receive().status_code(), 200u);

    // Plain: several writes, one body, announced with the caller's length.
    Request plain = client->open_request(server.url("/post"), METHOD_POST);
    plain.set_header(L"Content-Length", L"6", WINHTTP_ADDREQ_FLAG_REPLACE);
    plain.write("abc");
    plain.write("def");
    EXPECT_EQ(plain.receive().status_code(), 200u);

    // A POST without a body announces 0; a wrong announcement is not sent.
    EXPECT_EQ(client->open_request(server.url("/empty"), METHOD_POST).receive().status_code(), 200u);
    Request lying = client->open_request(server.url("/lying"), METHOD_POST);
    lying.set_header(L"Content-Length", L"100", 0);
    lying.write("12345");
    EXPECT_EQ(lying.receive().status_code(), 200u);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].rfind("PUT /up HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(requests[0].find("\r\nTransfer-Encoding:chunked\r\n"), std::string::npos) << requests[0];
    EXPECT_NE(requests[0].find("\r\n\r\n3\r\nabc\r\n14\r\nzzzzzzzzzzzzzzzzzzzz\r\n0\r\n\r\n"), std::string::npos)
        << requests[0];
    EXPECT_EQ(requests[0].find("Content-Length"), std::string::npos);

    EXPECT_NE(requests[1].find("\r\nContent-Length:6\r\n"), std::string::npos) << requests[1];
    EXPECT_EQ(requests[1].substr(requests[1].size() - 10), "\r\n\r\nabcdef");
    EXPECT_EQ(requests[1].find("Content-Type"), std::string::npos) << requests[1];
    EXPECT_EQ(requests[1].find("Expect"), std::string::npos) << requests[1];

    EXPECT_NE(requests[2].find("\r\nContent-Length: 0\r\n"), std::string::npos) << requests[2];
    EXPECT_NE(requests[3].find("\r\nContent-Length: 5\r\n\r\n12345"), std::string::npos) << requests[3];
    EXPECT_EQ(requests[3].find("Content-Length:100"), std::string::npos);
}

TEST_F(SimpleClientTest, MethodKindsSendTheirVerbs) {
    RawServer server(answer_with(OK_EMPTY));
    auto client = SimpleClient::create(L"", direct());
    const std::pair<int, std::string> kinds[] = {{METHOD_GET, "GET"},     {METHOD_POST, "POST"},
                                                 {METHOD_PUT, "PUT"},     {METHOD_HEAD, "HEAD"},
                                                 {METHOD_DELETE, "DELETE"}, {17, "GET"}};
    for (const auto& [kind, verb] : kinds)
        EXPECT_EQ(client->open_request(server.url("/m"), kind).receive().status_code(), 200u);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), std::size(kinds));
    for (std::size_t i = 0; i < std::size(kinds); ++i)
        EXPECT_EQ(requests[i].rfind(kinds[i].second + " /m HTTP/1.1\r\n", 0), 0u) << requests[i];
}

TEST_F(SimpleClientTest, RequestIsReceivedOnlyOnce) {
    RawServer server(answer_with(OK_EMPTY));
    auto client = SimpleClient::create(L"", direct());
    Request request = client->open_request(server.url("/"), METHOD_GET);
    Response response = request.receive();
    EXPECT_THROW(request.receive(), WinHttpException);
    EXPECT_THROW(request.write("late"), WinHttpException);
    EXPECT_EQ(server.requests().size(), 1u);
}

// ---- what comes back ------------------------------------------------------------------

TEST_F(SimpleClientTest, ResponseHeadersKeepFirstValuesAndBlanks) {
    RawServer server(answer_with("HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
                                 "HTTP/1.1 201 Created\r\n"
                                 "X-Repeated: first\r\n"
                                 "X-Repeated: second\r\n"
                                 "X-Blank:  two blanks \r\n"
                                 "Set-Cookie: a=1; path=/\r\n"
                                 "X-Bytes: caf\xe9\xff\r\n"
                                 "Content-Length: 2\r\n\r\nok"));
    auto client = SimpleClient::create(L"", direct());
    Response response = client->open_request(server.url("/"), METHOD_GET).receive();
    EXPECT_EQ(response.status_code(), 201u);
    const Headers& headers = response.headers();
    EXPECT_EQ(headers.at(L"X-Repeated"), L" first");
    EXPECT_EQ(headers.at(L"X-Blank"), L"  two blanks ");
    EXPECT_EQ(headers.at(L"Set-Cookie"), L" a=1; path=/");
    EXPECT_EQ(headers.at(L"X-Bytes"), L" caf\uFFFD\uFFFD");
    EXPECT_EQ(headers.count(L"X-Interim"), 0u);
    EXPECT_EQ(text_of(response.read_body()), "ok");
}

TEST_F(SimpleClientTest, HeaderLinesWithoutColonAreRefusedOrSkipped) {
    RawServer server(answer_with("HTTP/1.1 200 OK\r\nthis line has no colon\r\nX-Good: 1\r\n"
                                 "Content-Length: 0\r\n\r\n"));
    auto client = SimpleClient::create(L"", direct());
    // curl may refuse the answer outright; if it takes it, the line is dropped.
    try {
        Response response = client->open_request(server.url("/"), METHOD_GET).receive();
        EXPECT_EQ(response.status_code(), 200u);
        EXPECT_EQ(response.headers().at(L"X-Good"), L" 1");
        EXPECT_EQ(response.headers().size(), 2u);
    } catch (const WinHttpException& error) {
        EXPECT_EQ(error.code(), CURLE_WEIRD_SERVER_REPLY);
    }
}

TEST_F(SimpleClientTest, RedirectsAreFollowedToTheFinalAnswer) {
    HttpServer server;
    server.server().Get("/old", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/new");
        response.set_header("X-Old", "1");
    });
    server.server().Get("/new", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("X-New", "1");
        response.set_content("here", "text/plain");
    });
    server.start();
    auto client = SimpleClient::create(L"", direct());
    Response response = client->open_request(server.url("/old"), METHOD_GET).receive();
    EXPECT_EQ(response.status_code(), 200u);
    EXPECT_EQ(response.headers().count(L"X-Old"), 0u);
    EXPECT_EQ(response.headers().count(L"X-New"), 1u);
    EXPECT_EQ(text_of(response.read_body()), "here");
}

TEST_F(SimpleClientTest, EmptyAndHeadBodiesAreEmpty) {
    HttpServer server;
    server.server().Get("/empty", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    server.server().Get("/page", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<html><body>Internal error</body></html>", "text/html");
        response.status = 500;
    });
    server.start();
    auto client = SimpleClient::create(L"", direct());
    Response empty = client->open_request(server.url("/empty"), METHOD_GET).receive();
    EXPECT_EQ(empty.status_code(), 204u);
    EXPECT_TRUE(empty.read_body().empty());
    std::string chunk = "stale";
    EXPECT_FALSE(empty.read_chunk(chunk));
    EXPECT_TRUE(chunk.empty());

    Response head = client->open_request(server.url("/page"), METHOD_HEAD).receive();
    EXPECT_EQ(head.status_code(), 500u);
    EXPECT_TRUE(head.read_body().empty());

    // An error page is a response like any other: the status is not an error here.
    Response page = client->open_request(server.url("/page"), METHOD_GET).receive();
    EXPECT_EQ(page.status_code(), 500u);
    EXPECT_EQ(text_of(page.read_body()), "<html><body>Internal error</body></html>");
}

TEST_F(SimpleClientTest, StreamedBodyIsPulledAsItArrives) {
    std::promise<void> go_on;
    std::shared_future<void> go_on_future = go_on.get_future().share();
    RawServer server([go_on_future](RawConnection& connection, RawServer& server) {
        server.record(connection.read_request());
        connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        connection.send("5\r\nhello\r\n");
        go_on_future.wait();
        connection.send("6\r\n world\r\n0\r\n\r\n");
    });
    auto client = SimpleClient::create(L"", direct());
    Request request = client->open_request(server.url("/v1/messages/stream"), METHOD_GET);
    request.set_timeouts(0);
    Response response = request.receive();
    EXPECT_EQ(response.status_code(), 200u);

    std::string chunk;
    ASSERT_TRUE(response.read_chunk(chunk));
    EXPECT_EQ(chunk, "hello");  // arrived while the rest is held back by the server
    go_on.set_value();
    std::string rest;
    while (response.read_chunk(chunk))
        rest += chunk;
    EXPECT_EQ(rest, " world");
    EXPECT_FALSE(response.read_chunk(chunk));
}

// ---- failures -------------------------------------------------------------------------

TEST_F(SimpleClientTest, CancelEndsABlockedReadPromptly) {
    RawServer server([](RawConnection& connection, RawServer&) {
        connection.read_request();
        connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbeat\r\n");
        connection.hold();
    });
    auto client = SimpleClient::create(L"", direct());
    Request request = client->open_request(server.url("/stream"), METHOD_GET);
    request.set_timeouts(0);
    std::shared_ptr<CancelHandle> cancel = request.cancel_handle();
    Response response = request.receive();
    std::string chunk;
    ASSERT_TRUE(response.read_chunk(chunk));

    std::atomic<bool> blocked{false};
    auto reader = std::async(std::launch::async, [&] {
        blocked = true;
        return curl_code_of([&] { response.read_chunk(chunk); });
    });
    ASSERT_TRUE(wait_for([&] { return blocked.load(); }));
    const auto cancelled_at = std::chrono::steady_clock::now();
    cancel->cancel();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reader.get(), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, std::chrono::seconds(2));
    EXPECT_TRUE(cancel->cancelled());
}

TEST_F(SimpleClientTest, CancelEndsAReceiveThatGetsNoAnswer) {
    RawServer server([](RawConnection& connection, RawServer&) {
        connection.read_request();
        connection.hold();
    });
    auto client = SimpleClient::create(L"", direct());
    Request request = client->open_request(server.url("/silent"), METHOD_GET);
    request.set_timeouts(0);
    auto cancel = request.cancel_handle();
    auto receiver = std::async(std::launch::async, [&] { return curl_code_of([&] { request.receive(); }); });
    ASSERT_TRUE(wait_for([&] { return server.connections() == 1; }));
    cancel->cancel();
    ASSERT_EQ(receiver.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(receiver.get(), CURLE_ABORTED_BY_CALLBACK);
    // The handle outlives the request and stays harmless.
    cancel->cancel();
}

TEST_F(SimpleClientTest, SilentServerTimesOut) {
    RawServer server([](RawConnection& connection, RawServer&) {
        connection.read_request();
        connection.hold();
    });
    auto client = SimpleClient::create(L"", direct());
    client->set_timeouts(1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(curl_code_of([&] { client->open_request(server.url("/"), METHOD_GET).receive(); }),
              CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// The kernel's own view of the client's socket: in /proc/net/tcp the timer kind 2 is the
// keepalive timer, and its expiry is counted in hundredths of a second.
TEST_F(SimpleClientTest, AQuietStreamHasKeepaliveProbesAndAMillisecondSilenceLimit) {
    RawServer server([](RawConnection& connection, RawServer&) {
        connection.read_request();
        connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbeat\r\n");
        connection.hold();
    });
    auto client = SimpleClient::create(L"", direct());
    Request request = client->open_request(server.url("/stream"), METHOD_GET);
    request.set_timeouts(std::chrono::milliseconds(400));
    Response response = request.receive();
    std::string chunk;
    ASSERT_TRUE(response.read_chunk(chunk));

    char remote[16];
    std::snprintf(remote, sizeof remote, "0100007F:%04X", server.port());
    std::ifstream table("/proc/net/tcp");
    std::string line;
    int found = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, peer, state, queues, timer;
        fields >> slot >> local >> peer >> state >> queues >> timer;
        if (peer != remote || state != "01")
            continue;
        ++found;
        EXPECT_EQ(timer.substr(0, 2), "02") << line;
        const unsigned long hundredths = std::stoul(timer.substr(3), nullptr, 16);
        EXPECT_GT(hundredths, 0u);
        EXPECT_LE(hundredths, static_cast<unsigned long>(KEEPALIVE_IDLE.count()) * 100) << line;
    }
    EXPECT_EQ(found, 1);

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(curl_code_of([&] { response.read_chunk(chunk); }), TRANSFER_TIMED_OUT);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(400));
    EXPECT_LT(waited, std::chrono::seconds(3));
}

TEST_F(SimpleClientTest, ServerClosingMidBodyIsAnError) {
    RawServer server([](RawConnection& connection, RawServer&) {
        connection.read_request();
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b");
        connection.close();
    });
    auto client = SimpleClient::create(L"", direct());
    Response whole = client->open_request(server.url("/"), METHOD_GET).receive();
    EXPECT_EQ(curl_code_of([&] { whole.read_body(); }), CURLE_PARTIAL_FILE);

    Response pulled = client->open_request(server.url("/"), METHOD_GET).receive();
    std::string chunk, seen;
    const std::uint32_t code = curl_code_of([&] {
        while (pulled.read_chunk(chunk))
            seen += chunk;
    });
    EXPECT_EQ(code, CURLE_PARTIAL_FILE);
    EXPECT_EQ(seen, "only ten b");
}

TEST_F(SimpleClientTest, NothingListeningIsAConnectError) {
    const int port = agent::testing::free_port();
    auto client = SimpleClient::create(L"", direct());
    try {
        client->open_request(L"http://127.0.0.1:" + std::to_wstring(port) + L"/", METHOD_GET).receive();
        FAIL();
    } catch (const WinHttpException& error) {
        EXPECT_EQ(error.code(), CURLE_COULDNT_CONNECT);
        EXPECT_EQ(error.function(), "curl_easy_perform");
        EXPECT_NE(error.description().find(L"curl_easy_perform: "), std::wstring::npos);
    }
}

TEST_F(SimpleClientTest, HeaderInjectionIsRefused) {
    RawServer server(answer_with(OK_EMPTY));
    auto client = SimpleClient::create(L"", direct());
    Request request = client->open_request(server.url("/"), METHOD_GET);
    request.set_header(L"X-Evil", L"a\r\nX-Injected: 1", 0);
    EXPECT_EQ(curl_code_of([&] { request.receive(); }), CURLE_BAD_FUNCTION_ARGUMENT);
    EXPECT_EQ(server.connections(), 0);
}

// ---- connections, large bodies, TLS --------------------------------------------------

TEST_F(SimpleClientTest, RequestsToOneOriginShareOneConnection) {
    HttpServer first, second;
    for (HttpServer* server : {&first, &second}) {
        server->server().Get("/", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("x", "text/plain");
        });
        server->start();
    }
    auto client = SimpleClient::create(L"", direct());
    for (int i = 0; i < 2; ++i) {
        Response response = client->open_request(first.url("/"), METHOD_GET).receive();
        EXPECT_EQ(text_of(response.read_body()), "x");
    }
    EXPECT_EQ(client->connection_count(), 1u);
    ASSERT_EQ(first.requests().size(), 2u);
    EXPECT_EQ(first.requests()[0].remote_port, first.requests()[1].remote_port);

    client->open_request(second.url("/"), METHOD_GET).receive().read_body();
    EXPECT_EQ(client->connection_count(), 2u);

    // A proxy change drops every connection: the next request comes on a new one.
    client->set_proxy(direct());
    EXPECT_EQ(client->connection_count(), 0u);
    client->open_request(first.url("/"), METHOD_GET).receive().read_body();
    ASSERT_EQ(first.requests().size(), 3u);
    EXPECT_NE(first.requests()[2].remote_port, first.requests()[0].remote_port);
}

TEST_F(SimpleClientTest, HundredMegabyteBodyArrivesWholeWhenTheCallerExpectsIt) {
    constexpr std::size_t size = 100u << 20;
    HttpServer server;
    server.server().Get("/big", [](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, "application/octet-stream",
                                      [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                          std::string block(std::min<std::size_t>(length, 1 << 16), '\0');
                                          for (std::size_t i = 0; i < block.size(); ++i)
                                              block[i] = static_cast<char>((offset + i) % 251);
                                          sink.write(block.data(), block.size());
                                          return true;
                                      });
    });
    server.start();
    auto client = SimpleClient::create(L"", direct());
    std::vector<std::uint8_t> body = client->open_request(server.url("/big"), METHOD_GET).receive().read_body(size);
    ASSERT_EQ(body.size(), size);
    for (std::size_t i : {std::size_t{0}, std::size_t{12345}, size / 2 + 7, size - 1})
        EXPECT_EQ(body[i], static_cast<std::uint8_t>(i % 251));
}

// An answer is read whole only up to its bound: announced or not, a bigger one is cut off
// and reads as an answer the agent cannot read, before it fills the memory.
TEST_F(SimpleClientTest, ABodyOverItsBoundIsCutOffAsAnUnreadableAnswer) {
    HttpServer server;
    std::atomic<std::size_t> sent{0};
    const auto endless = [&sent](std::size_t, httplib::DataSink& sink) {
        const std::string block(1 << 16, 'x');
        sent += block.size();
        return sent < (std::size_t{64} << 20) && sink.write(block.data(), block.size());
    };
    server.server().Get("/announced", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(5000, 'x'), "application/octet-stream");
    });
    server.server().Get("/chunked", [&](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/octet-stream", endless);
    });
    server.start();
    auto client = SimpleClient::create(L"", direct());
    const auto read = [&](const char* path, std::size_t limit) {
        return client->open_request(server.url(path), METHOD_GET).receive().read_body(limit);
    };
    try {
        read("/announced", 4096);
        FAIL() << "read whole";
    } catch (const agent::AgentException& e) {
        EXPECT_EQ(e.kind(), agent::AgentException::BAD_ANSWER);
        EXPECT_NE(e.description().find(L"larger than 4096 bytes"), std::wstring::npos);
    }
    EXPECT_EQ(read("/announced", 5000).size(), 5000u);
    EXPECT_THROW(read("/chunked", 1 << 20), agent::AgentException);
    EXPECT_LT(sent.load(), std::size_t{8} << 20) << "the transfer went on after the bound";
    // The client is as good as before.
    EXPECT_EQ(read("/announced", BODY_LIMIT).size(), 5000u);
}

TEST_F(SimpleClientTest, UntrustedCertificateFailsUntilTheCaFileIsGiven) {
    agent::testing::TestCa ca(home().path() / "ca");
    HttpServer server(ca);
    server.server().Get("/v1/user/info", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{}", "application/json");
    });
    server.start();
    auto client = SimpleClient::create(L"", direct());
    try {
        client->open_request(server.url("/v1/user/info"), METHOD_GET).receive();
        FAIL();
    } catch (const WinHttpException& error) {
        EXPECT_EQ(error.code(), CURLE_PEER_FAILED_VERIFICATION);
        EXPECT_FALSE(error.message().empty());
    }

    EXPECT_EQ(curl_code_of([&] { client->set_ca_file((home().path() / "missing.pem").wstring()); }),
              CURLE_SSL_CACERT_BADFILE);
    agent::testing::write_text(home().path() / "junk.pem", "not a certificate");
    EXPECT_EQ(curl_code_of([&] { client->set_ca_file((home().path() / "junk.pem").wstring()); }),
              CURLE_SSL_CACERT_BADFILE);

    client->set_ca_file(ca.ca_file.wstring());
    Response response = client->open_request(server.url("/v1/user/info"), METHOD_GET).receive();
    EXPECT_EQ(response.status_code(), 200u);
    EXPECT_EQ(text_of(response.read_body()), "{}");
}

TEST_F(SimpleClientTest, OneClientServesSeveralThreadsAndSurvivesAProxyChange) {
    HttpServer server;
    server.server().Get("/n", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(request.get_param_value("i"), "text/plain");
    });
    server.start();
    auto client = SimpleClient::create(L"", direct());

    // A request opened before the proxy change still completes on the old pool.
    Request early = client->open_request(server.url("/n?i=early"), METHOD_GET);
    client->set_proxy(direct());
    EXPECT_EQ(text_of(early.receive().read_body()), "early");

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string id = std::to_string(t * 100 + i);
                Response response = client->open_request(server.url("/n?i=" + id), METHOD_GET).receive();
                if (response.status_code() != 200 || text_of(response.read_body()) != id)
                    ++wrong;
                if (i == 12 && t == 0)
                    client->set_proxy(direct());
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(client->connection_count(), 1u);
}

TEST_F(SimpleClientTest, PulledChunksStaySmallAndLoseNothing) {
    // Chunks of every size from 1 byte up, sent as fast as the socket takes them.
    std::string body, wire = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (std::size_t size = 1; body.size() < (6u << 20); size = size * 3 % 70001 + 1) {
        std::string piece(size, static_cast<char>('a' + size % 26));
        char head[32];
        std::snprintf(head, sizeof head, "%zx\r\n", size);
        wire += head + piece + "\r\n";
        body += piece;
    }
    wire += "0\r\n\r\n";
    RawServer server(answer_with(wire));
    auto client = SimpleClient::create(L"", direct());
    Response response = client->open_request(server.url("/stream"), METHOD_GET).receive();
    std::string chunk, pulled;
    std::size_t largest = 0;
    while (response.read_chunk(chunk)) {
        largest = std::max(largest, chunk.size());
        pulled += chunk;
    }
    EXPECT_EQ(pulled.size(), body.size());
    EXPECT_TRUE(pulled == body);
    EXPECT_LE(largest, 64u * 1024 + 70001);

    // The same answer read whole.
    EXPECT_EQ(text_of(client->open_request(server.url("/stream"), METHOD_GET).receive().read_body()), body);
}
