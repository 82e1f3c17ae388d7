#include "model/agent_client.h"

#include <fstream>
#include <mutex>

#include "details/exception.h"
#include "model/capture_logger.h"
#include "model/channel_service.h"
#include "model/client_fixture.h"
#include "model/events.h"
#include "model/message_service.h"
#include "model/session_file.h"
#include "support/tinyproxy.h"
#include "winhttp/simple_client.h"

namespace agent {
namespace {

using sandbox::Server;
using testing::CaptureLogger;

class AgentClientTest : public testing::ClientTest {
protected:
    std::unique_ptr<AgentClient> signed_in(bool remember = true) {
        auto agent = create();
        agent->authenticate(wide(Server::DEMO_LOGIN), wide(Server::DEMO_PASSWORD), remember);
        return agent;
    }

    std::string file_bytes() const { return testing::read_text(sid_file()); }
};

TEST_F(AgentClientTest, PasswordSignInIsRememberedAcrossStarts) {
    auto agent = signed_in(true);
    ASSERT_TRUE(agent->has_session());
    EXPECT_TRUE(server().has_session(narrow(agent->session_id())));
    EXPECT_EQ(narrow(agent->token()), server().user(Server::DEMO_LOGIN)->token);
    EXPECT_EQ(configuration_->last_email, wide(Server::DEMO_LOGIN));
    EXPECT_EQ(server().client_events(), std::vector<std::string>{"signin"});

    ASSERT_TRUE(std::filesystem::exists(sid_file()));
    EXPECT_EQ(sid_mode(), 0600u);
    EXPECT_EQ(std::filesystem::file_size(sid_file()) % 16, 0u);
    EXPECT_EQ(file_bytes().find(narrow(agent->session_id())), std::string::npos);

    // The next start is signed in, and every service sends the restored session.
    auto restored = create();
    ASSERT_TRUE(restored->has_session());
    EXPECT_EQ(restored->session_id(), agent->session_id());
    EXPECT_EQ(restored->token(), agent->token());
    server().clear_requests();
    restored->channel_service().user_channels();
    restored->events_logger().send_event(EVENT_OPEN);
    for (const auto& request : server().requests())
        EXPECT_EQ(request.header("Authorization"), "varnel.sid " + narrow(agent->session_id())) << request.path;
}

TEST_F(AgentClientTest, UserAgentNamesVersionSystemAndClient) {
    signed_in(false);
    const auto requests = server().requests();
    ASSERT_FALSE(requests.empty());
    const std::string agent = requests.front().header("User-Agent");
    EXPECT_EQ(agent.rfind("Varnel.Agent/1.1.0.198 (", 0), 0u) << agent;
    EXPECT_TRUE(agent.ends_with("; uid:" + narrow(configuration_->client) + ")")) << agent;
    EXPECT_EQ(configuration_->client.size(), 36u);
}

TEST_F(AgentClientTest, WithoutRememberAnEarlierFileStaysAsItWas) {
    signed_in(true);
    const std::string saved = file_bytes();
    auto second = signed_in(false);
    EXPECT_TRUE(second->has_session());
    EXPECT_EQ(file_bytes(), saved);

    // Nothing saved at all when nobody asked to stay signed in.
    std::filesystem::remove(sid_file());
    signed_in(false);
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
}

// A full disk or a folder that cannot be written must not undo a sign-in the server has made:
// the user is signed in for this run and told once that it was not remembered.
TEST_F(AgentClientTest, FilesThatCannotBeWrittenLeaveTheSignInStanding) {
    const std::filesystem::path data = sid_file().parent_path();
    std::filesystem::create_directories(data);
    auto agent = create();
    // Something that is no file stands where each new file is written first.
    std::filesystem::create_directories(data / "sid.tmp" / "x");
    std::filesystem::create_directories(data / "config.tmp" / "x");
    EXPECT_NO_THROW(agent->authenticate(wide(Server::DEMO_LOGIN), wide(Server::DEMO_PASSWORD), true));
    EXPECT_TRUE(agent->has_session());
    EXPECT_TRUE(server().has_session(narrow(agent->session_id())));
    EXPECT_EQ(server().client_events(), std::vector<std::string>{"signin"});
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
    const std::wstring said = agent->take_save_failure();
    EXPECT_NE(said.find(L"не запомнен"), std::wstring::npos);
    EXPECT_NE(said.find(L"/sid»"), std::wstring::npos) << narrow(said);
    EXPECT_TRUE(agent->take_save_failure().empty()) << "said once";

    // Not asked to remember: nothing to say, the sign-in stands all the same.
    auto other = create();
    EXPECT_NO_THROW(other->authenticate(wide(Server::DEMO_LOGIN), wide(Server::DEMO_PASSWORD), false));
    EXPECT_TRUE(other->take_save_failure().empty());
}

TEST_F(AgentClientTest, SixteenByteSessionWithEmptyTokenMakesA32ByteFile) {
    answer_next("/auth/authenticate-by-pass", 200, R"({"Sid":"0123456789abcdef"})");
    answer_next("/api/v1/user/info", 200, R"({"user-id":"u-1","name":"Ann"})");
    answer_next("/api/v1/links/instruction", 200, "{}");
    auto agent = signed_in(true);
    EXPECT_EQ(agent->session_id(), L"0123456789abcdef");
    EXPECT_TRUE(agent->token().empty());
    EXPECT_EQ(std::filesystem::file_size(sid_file()), 32u);

    auto restored = create();
    EXPECT_TRUE(restored->has_session());
    EXPECT_EQ(restored->session_id(), L"0123456789abcdef");
    EXPECT_TRUE(restored->token().empty());
}

TEST_F(AgentClientTest, SessionFileOfAnotherInstallationIsIgnored) {
    {
        // The first start ever: no file yet, which is no error.
        auto& first = CaptureLogger::install(details::LEVEL_ERROR);
        EXPECT_FALSE(create()->has_session());
        EXPECT_TRUE(first.lines().empty()) << narrow(first.lines().front());
    }
    const auto foreign = details::encode_session(L"99999999-other-installation", L"0123456789abcdef", L"token");
    std::filesystem::create_directories(sid_file().parent_path());
    testing::write_text(sid_file(), std::string(foreign.begin(), foreign.end()));

    auto& log = CaptureLogger::install(details::LEVEL_ERROR);
    auto agent = create();
    EXPECT_FALSE(agent->has_session());
    EXPECT_TRUE(agent->session_id().empty());
    EXPECT_TRUE(log.contains(L"Sid is present, but invalid"));
}

TEST_F(AgentClientTest, SignInErrorsLeaveTheClientSignedOut) {
    auto agent = create();
    auto expect_code = [&](const std::wstring& login, const std::wstring& password, const std::string& code) {
        try {
            agent->authenticate(login, password, true);
            ADD_FAILURE() << "signed in with " << narrow(login);
        } catch (const AgentApiException& e) {
            EXPECT_EQ(e.status(), 0);
            ASSERT_FALSE(e.error().details.empty()) << narrow(e.message());
            EXPECT_EQ(narrow(e.error().details.front()), code);
        }
        EXPECT_FALSE(agent->has_session());
        EXPECT_TRUE(agent->session_id().empty());
    };
    expect_code(L"nobody@varnel.example", L"x", "UserNotFound");
    expect_code(wide(Server::DEMO_LOGIN), L"wrong", "BadPassword");
    for (int attempt = 2; attempt <= 5; ++attempt)
        EXPECT_THROW(agent->authenticate(wide(Server::DEMO_LOGIN), L"wrong", true), AgentApiException);
    expect_code(wide(Server::DEMO_LOGIN), wide(Server::DEMO_PASSWORD), "TooManyIncorrectAttempts");

    EXPECT_FALSE(std::filesystem::exists(sid_file()));
    EXPECT_TRUE(server().client_events().empty());
    EXPECT_TRUE(configuration_->last_email.empty());
}

TEST_F(AgentClientTest, LoginReachesTheServerAsTyped) {
    sandbox::User user;
    user.login = "a+b&c=d@example.org";
    user.password = "пароль с пробелом";
    server().add_user(user);
    auto agent = create();
    agent->authenticate(L"a+b&c=d@example.org", L"пароль с пробелом", false);
    EXPECT_TRUE(agent->has_session());
    const auto requests = server().requests("/auth/authenticate-by-pass");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].query, "login=a%2Bb%26c%3Dd@example.org");
    EXPECT_EQ(requests[0].body, "пароль с пробелом");
    EXPECT_EQ(requests[0].header("Content-Type"), "");
    EXPECT_EQ(requests[0].header("Authorization"), "");
}

TEST_F(AgentClientTest, EmptyPasswordIsSentAsAnEmptyBody) {
    auto agent = create();
    EXPECT_THROW(agent->authenticate(wide(Server::DEMO_LOGIN), L"", false), AgentApiException);
    const auto requests = server().requests("/auth/authenticate-by-pass");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("Content-Length"), "0");
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(AgentClientTest, SignOutSendsTheEventFirstAndForgetsEverything) {
    configuration_->silent_mode = true;
    auto agent = signed_in(true);
    const std::string sid = narrow(agent->session_id());
    server().clear_requests();

    agent->signout();
    EXPECT_FALSE(agent->has_session());
    EXPECT_TRUE(agent->session_id().empty());
    EXPECT_TRUE(agent->token().empty());
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
    EXPECT_FALSE(configuration_->silent_mode);
    EXPECT_FALSE(server().has_session(sid));

    const auto requests = server().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/api/v1/client/log/signout");
    EXPECT_EQ(requests[0].header("Authorization"), "varnel.sid " + sid);
    EXPECT_EQ(requests[1].method, "DELETE");
    EXPECT_EQ(requests[1].path, "/auth/sessions/" + sid);
    EXPECT_EQ(requests[1].header("Content-Length"), "0");
}

TEST_F(AgentClientTest, SignOutDeletesTheFileEvenWhenTheServerFails) {
    auto agent = signed_in(true);
    const std::wstring sid = agent->session_id();
    answer_next("/auth/sessions/*", 500, R"({"message":"down"})");
    answer_next("/api/v1/client/log/signout", 503);

    auto& log = CaptureLogger::install(details::LEVEL_WARN);
    EXPECT_THROW(agent->signout(), AgentApiException);
    EXPECT_FALSE(agent->has_session());
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
    EXPECT_EQ(agent->session_id(), sid);  // kept for a retry
    EXPECT_EQ(log.matching(L"agent::EventsLogger::send_event").size(), 1u);
    EXPECT_FALSE(create()->has_session());
}

TEST_F(AgentClientTest, SecretsNeverReachTheLogInFull) {
    auto& log = CaptureLogger::install(details::LEVEL_DEBUG);
    auto agent = signed_in(true);
    const std::wstring sid = agent->session_id();
    agent->signout();
    ASSERT_GT(sid.size(), 4u);
    EXPECT_TRUE(log.contains(L"Session received"));
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find(sid.substr(0, 8)), std::wstring::npos) << narrow(line);
}

TEST_F(AgentClientTest, RejectedSessionIsAnApiErrorOfTheCall) {
    auto agent = signed_in(false);
    server().end_session(narrow(agent->session_id()));
    try {
        agent->get_user_info();
        FAIL() << "no error";
    } catch (const AgentApiException& e) {
        EXPECT_EQ(e.status(), 401);
    }
    EXPECT_THROW(agent->channel_service().user_channels(), AgentApiException);
}

TEST_F(AgentClientTest, ProxyWithoutAddressChangesNothing) {
    auto agent = create();
    winhttp::ProxySettings bad;
    bad.mode = winhttp::NamedProxy;
    try {
        agent->set_proxy(bad);
        FAIL() << "accepted";
    } catch (const AgentException& e) {
        EXPECT_EQ(e.kind(), AgentException::PROXY_WITHOUT_ADDRESS);
    }
    EXPECT_EQ(configuration_->proxy.mode, winhttp::NoProxy);
    EXPECT_EQ(agent->http_client()->proxy_settings().mode, winhttp::NoProxy);

    // A hand-edited configuration with such a proxy still starts, with the desktop's
    // settings, and keeps what the user wrote for the proxy page to show.
    configuration_->proxy = bad;
    auto started = create();
    EXPECT_EQ(started->http_client()->proxy_settings().mode, winhttp::DefaultProxy);
    EXPECT_EQ(configuration_->proxy, bad);
}

TEST_F(AgentClientTest, ProxyChangesApplyToALiveClient) {
    auto agent = signed_in(false);
    testing::Tinyproxy proxy(home().path(), "proxyuser", "proxypass");

    winhttp::ProxySettings named;
    named.mode = winhttp::NamedProxy;
    named.url = proxy.address();
    agent->set_proxy(named);
    EXPECT_EQ(configuration_->proxy, named);
    try {
        agent->get_user_info();
        FAIL() << "the proxy let a request through without credentials";
    } catch (const AgentApiException& e) {
        EXPECT_EQ(e.status(), 407);
    }

    agent->set_proxy_credentials(L"proxyuser", L"proxypass");
    EXPECT_EQ(configuration_->proxy.user, L"proxyuser");
    server().clear_requests();
    EXPECT_EQ(narrow(agent->get_user_info().token), server().user(Server::DEMO_LOGIN)->token);
    ASSERT_EQ(server().requests().size(), 1u);
    EXPECT_NE(server().requests()[0].header("Via").find("tinyproxy"), std::string::npos);

    // Back to a direct connection: the proxy is no longer asked.
    winhttp::ProxySettings direct;
    direct.mode = winhttp::NoProxy;
    agent->set_proxy(direct);
    server().clear_requests();
    agent->get_user_info();
    EXPECT_EQ(server().requests()[0].header("Via"), "");
}

TEST_F(AgentClientTest, AProxyChangeMovesTheOpenStreamOntoTheProxy) {
    auto agent = signed_in(false);
    std::mutex mutex;
    std::vector<std::wstring> received;
    agent->message_service().start_message_stream([&](std::vector<Message>&& batch) {
        const std::lock_guard lock(mutex);
        for (const Message& message : batch)
            received.push_back(message.subject);
    });
    ASSERT_TRUE(testing::wait_for([&] { return server().open_streams() == 1; }));
    const auto through_proxy = [&] {
        std::size_t count = 0;
        for (const auto& request : server().requests("/api/v1/messages/stream"))
            count += request.header("Via").find("tinyproxy") != std::string::npos;
        return count;
    };
    EXPECT_EQ(through_proxy(), 0u);

    testing::Tinyproxy proxy(home().path());
    winhttp::ProxySettings named;
    named.mode = winhttp::NamedProxy;
    named.url = proxy.address();
    agent->set_proxy(named);
    // At once, not after the retry delay of a failed connection.
    ASSERT_TRUE(testing::wait_for([&] { return through_proxy() == 1; }, std::chrono::milliseconds(3000)));
    EXPECT_EQ(server().streams_opened(), 2u);
    // Only the new connection delivers: a message pushed later than another never arrives
    // before the other's copy from a connection that was left open.
    for (const char* subject : {"Через прокси", "И ещё"}) {
        sandbox::Message message;
        message.subject = subject;
        server().push_message(message);
    }
    ASSERT_TRUE(testing::wait_for([&] {
        const std::lock_guard lock(mutex);
        return received.size() >= 2;
    }));
    {
        const std::lock_guard lock(mutex);
        EXPECT_EQ(received, (std::vector<std::wstring>{L"Через прокси", L"И ещё"}));
    }
    agent->message_service().stop_message_stream();
}

TEST_F(AgentClientTest, InstructionLinkIsStoredAtSignIn) {
    answer_next("/api/v1/links/instruction", 200, R"({"href":"https://help.varnel.example/instruction"})");
    signed_in(false);
    EXPECT_EQ(configuration_->instruction, L"https://help.varnel.example/instruction");
    EXPECT_NE(testing::read_text(std::filesystem::path(narrow(configuration_->path)) / "config")
                  .find("https://help.varnel.example/instruction"),
              std::string::npos);
}

TEST_F(AgentClientTest, TrustsTheConfiguredCaFileOnly) {
    sandbox::Options options;
    options.tls = true;
    Server secure(options);
    secure.start();
    configuration_->uri = wide(secure.api_url());
    configuration_->auth_uri = wide(secure.auth_url());

    configuration_->ca_file = wide(secure.ca_certificate().string());
    auto trusting = create();
    trusting->authenticate(wide(Server::DEMO_LOGIN), wide(Server::DEMO_PASSWORD), false);
    EXPECT_TRUE(trusting->has_session());

    configuration_->ca_file.clear();
    EXPECT_THROW(create()->authenticate(wide(Server::DEMO_LOGIN), wide(Server::DEMO_PASSWORD), false),
                 WinHttpException);

    // A CA file that cannot be read is logged; the client is still made.
    configuration_->ca_file = L"/nonexistent/ca.pem";
    auto& log = CaptureLogger::install(details::LEVEL_ERROR);
    EXPECT_NO_THROW(create());
    EXPECT_TRUE(log.contains(L"/nonexistent/ca.pem"));
}

TEST_F(AgentClientTest, CreationNeedsAConfiguration) {
    EXPECT_THROW(AgentClient::create(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace agent
