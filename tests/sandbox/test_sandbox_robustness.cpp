#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "server_fixture.h"

namespace sandbox::testing {
namespace {

using agent::testing::wait_for;

class RobustnessTest : public ServerTest {
protected:
    Options options() override {
        Options options = ServerTest::options();
        options.max_body_size = 64 * 1024;
        options.admin_token = "secret";
        return options;
    }

    // Sends raw bytes on a fresh connection and returns the answer's status line and body.
    std::pair<std::string, std::string> raw_exchange(const std::string& bytes) {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout{10, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server().port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        std::string answer;
        char buffer[4096];
        std::size_t header_end = std::string::npos;
        std::size_t length = 0;
        for (;;) {
            if (header_end != std::string::npos && answer.size() >= header_end + 4 + length)
                break;
            const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            answer.append(buffer, static_cast<std::size_t>(got));
            header_end = answer.find("\r\n\r\n");
            const std::size_t mark = answer.find("Content-Length: ");
            if (mark != std::string::npos && mark < header_end)
                length = std::stoul(answer.substr(mark + 16));
        }
        ::close(socket);
        if (header_end == std::string::npos)
            return {answer, ""};
        return {answer.substr(0, answer.find("\r\n")), answer.substr(header_end + 4)};
    }

    httplib::Headers admin() { return {{"Authorization", "Bearer secret"}}; }

    void expect_still_serving() { EXPECT_EQ(client().Get("/api/v1/user/info", demo_session())->status, 200); }
};

TEST_F(RobustnessTest, UnknownPathsAndWrongMethodsGetErrorAnswers) {
    expect_error_answer(client().Get("/nothing/here"), 404);
    expect_error_answer(client().Get("/api/v2/user/info", demo_session()), 404);
    const auto wrong_method = client().Get("/auth/authenticate-by-pass?login=demo@varnel.example");
    expect_error_answer(wrong_method, 405);
    EXPECT_EQ(wrong_method->get_header_value("Allow"), "POST");
    expect_error_answer(client().Delete("/api/v1/messages/stream", demo_session()), 405);
    expect_error_answer(client().Put("/api/v1/channels", demo_session(), "{}", "application/json"), 405);
    // Unknown requests are recorded too, for tests that check what the agent sent.
    EXPECT_EQ(server().requests("/nothing/here").size(), 1u);
    expect_still_serving();
}

TEST_F(RobustnessTest, HugeBodiesAre413AndTheServerKeepsServing) {
    const std::string huge(200 * 1024, 'x');
    expect_error_answer(client().Post("/api/v1/messages/reads", demo_session(), huge, "application/json"), 413);
    expect_error_answer(client().Post("/auth/authenticate-by-cert", huge, "application/octet-stream"), 413);
    expect_still_serving();
}

TEST_F(RobustnessTest, GarbageOnTheSocketGetsAnErrorAndNoCrash) {
    const std::string requests[] = {
        std::string("\x16\x03\x01\x02\x00garbage that is no HTTP\r\n\r\n", 32),
        "GET /api/v1/user/info HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n",
        "GET /x HTTP/1.1\r\nno colon in this header\r\n\r\n",
        "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n",
        std::string("\0\0\0\0\xff\xfe\r\n\r\n", 10),
    };
    for (const std::string& request : requests) {
        SCOPED_TRACE(::testing::Message() << "request of " << request.size() << " bytes");
        const auto [status_line, body] = raw_exchange(request);
        EXPECT_EQ(status_line.rfind("HTTP/1.1 4", 0), 0u) << status_line;
        const Json::Value error = parse(body);
        EXPECT_EQ(error["status"].asString(), status_line.substr(9, 3));
        EXPECT_TRUE(error.isMember("id") && error.isMember("message") && error.isMember("track-id"));
    }
    // A body that stops short of its length: the connection is closed when the read times
    // out, and the server goes on serving others meanwhile.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server().port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string partial = "POST /api/v1/messages/reads HTTP/1.1\r\nContent-Length: 10\r\n\r\n[\"a";
    ::send(stalled, partial.data(), partial.size(), MSG_NOSIGNAL);
    expect_still_serving();
    ::close(stalled);
    expect_still_serving();
}

// Channel switches and client events are posted without a body and without Content-Length.
TEST_F(RobustnessTest, PostWithoutContentLengthHasAnEmptyBody) {
    const std::string sid = server().create_session();
    const auto [status_line, body] = raw_exchange("POST /api/v1/client/log/signin HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                  "Authorization: varnel.sid " + sid + "\r\n\r\n");
    EXPECT_EQ(status_line, "HTTP/1.1 201 Created");
    const auto records = server().requests("/api/v1/client/log/signin");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].header("Content-Length"), "");
    EXPECT_EQ(records[0].headers.size(), 2u);
    EXPECT_EQ(records[0].body, "");
}

TEST_F(RobustnessTest, MalformedJsonAndWrongShapesAreRefusedWithErrorAnswers) {
    const auto session = demo_session();
    for (const char* body : {"", "{", "[\"a\" \"b\"]", "\xff\xfe", "null", "{\"a\":1}", "[[]]"}) {
        SCOPED_TRACE(body);
        expect_error_answer(client().Post("/api/v1/messages/reads", session, body, "application/json"), 400);
    }
    expect_error_answer(client().Post("/admin/push", admin(), "{\"subject\": ", "application/json"), 400);
    expect_error_answer(client().Post("/admin/faults", admin(), "{\"status\": 500}", "application/json"), 400);
    expect_still_serving();
}

TEST_F(RobustnessTest, AdminInterfaceWantsItsToken) {
    expect_error_answer(client().Get("/admin/streams"), 401);
    expect_error_answer(client().Post("/admin/push", {{"Authorization", "Bearer wrong"}}, "{}", "application/json"), 401);
    EXPECT_EQ(client().Get("/admin/streams", admin())->status, 200);
}

TEST_F(RobustnessTest, AdminInterfaceDrivesPushesFaultsAndReadback) {
    const std::string sid = parse(client().Post("/admin/sessions", admin(), "{}", "application/json")->body)["Sid"].asString();
    ASSERT_TRUE(server().has_session(sid));
    StreamReader stream(server().port(), sid);
    ASSERT_TRUE(wait_for([&] { return server().open_streams() == 1; }));

    const auto pushed = client().Post("/admin/push", admin(),
                                      "{\"subject\":\"Тема\",\"body\":\"Текст\",\"link\":\"{base}/account\"}",
                                      "application/json");
    ASSERT_EQ(pushed->status, 201);
    const std::string id = parse(pushed->body)["id"].asString();
    ASSERT_TRUE(wait_for([&] { return stream.contains(id); }));
    EXPECT_TRUE(stream.contains(server().base_url() + "/account"));

    EXPECT_EQ(client().Post("/admin/raw", admin(), "{\"pieces\":[\"data: {broken\\n\"]}", "application/json")->status, 204);
    ASSERT_TRUE(wait_for([&] { return stream.contains("data: {broken\n"); }));

    EXPECT_EQ(client().Post("/admin/faults", admin(),
                            "{\"path\":\"/api/v1/support\",\"status\":502,\"body\":\"{\\\"x\\\":1}\",\"count\":1}",
                            "application/json")->status, 204);
    const auto faulted = client().Get("/api/v1/support", session_header(sid));
    EXPECT_EQ(faulted->status, 502);
    EXPECT_EQ(faulted->body, "{\"x\":1}");
    EXPECT_EQ(client().Get("/api/v1/support", session_header(sid))->status, 200);

    const auto records = client().Get("/admin/requests?path=/api/v1/support", admin());
    const Json::Value items = parse(records->body)["items"];
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["method"].asString(), "GET");
    bool saw_authorization = false;
    for (const Json::Value& header : items[0]["headers"])
        saw_authorization = saw_authorization || header[1].asString() == "varnel.sid " + sid;
    EXPECT_TRUE(saw_authorization);

    EXPECT_EQ(client().Post("/admin/reset", admin(), "", "")->status, 204);
    EXPECT_TRUE(wait_for([&] { return stream.ended(); }));
    EXPECT_FALSE(server().has_session(sid));
    EXPECT_EQ(server().messages().size(), 45u);
}

class TlsTest : public ServerTest {
protected:
    Options options() override {
        Options options = ServerTest::options();
        options.tls = true;
        options.state_directory = home().path() / "state";
        return options;
    }
};

TEST_F(TlsTest, ServesHttpsWithTheGeneratedCaAndKeepsItAcrossRestarts) {
    ASSERT_EQ(server().base_url().rfind("https://127.0.0.1:", 0), 0u);
    const std::filesystem::path ca = server().ca_certificate();
    ASSERT_TRUE(std::filesystem::exists(ca));
    const std::string ca_text = agent::testing::read_text(ca);

    httplib::SSLClient client("127.0.0.1", server().port());
    client.set_ca_cert_path(ca.c_str());
    client.enable_server_certificate_verification(true);
    const auto result = client.Post("/auth/authenticate-by-pass?login=demo@varnel.example", "demo", "text/plain");
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, 200);

    httplib::SSLClient untrusting("127.0.0.1", server().port());
    untrusting.enable_server_certificate_verification(true);
    untrusting.set_ca_cert_path("/nonexistent.pem");
    EXPECT_FALSE(untrusting.Get("/account"));

    server().restart();
    EXPECT_EQ(agent::testing::read_text(server().ca_certificate()), ca_text);
    httplib::SSLClient after("127.0.0.1", server().port());
    after.set_ca_cert_path(ca.c_str());
    after.enable_server_certificate_verification(true);
    const auto again = after.Get("/account");
    ASSERT_TRUE(again) << httplib::to_string(again.error());
    EXPECT_EQ(again->status, 200);
}

}  // namespace
}  // namespace sandbox::testing
