// A user sends us the log when asking for help: signed in both ways at DEBUG, messages read,
// a proxy with credentials used, links opened signed in, signed out again, and not one of
// the secrets used on the way is in it, plain or inside a logged body.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "../model/recording_browser.h"
#include "certgen/certgen.h"
#include "crypto/certificate_store.h"
#include "crypto/pin_prompt.h"
#include "details/logger.h"
#include "details/strings.h"
#include "model/agent_client.h"
#include "model/client_fixture.h"
#include "model/channel_service.h"
#include "model/message_service.h"
#include "model/uri_service.h"
#include "support/tinyproxy.h"

namespace agent {
namespace {

// Every line of the log, with the bodies it holds as Base64 decoded beside them.
std::string readable_log(const std::filesystem::path& file) {
    const std::string text = testing::read_text(file);
    std::string readable = text;
    std::size_t at = 0;
    for (const std::string mark : {"Response body: ", "| agent::details::parse_api_error | "}) {
        at = 0;
        while ((at = text.find(mark, at)) != std::string::npos) {
            at += mark.size();
            const std::size_t end = text.find('\r', at);
            try {
                const auto bytes = details::base64_decode(details::utf8_to_wide(text.substr(at, end - at)));
                readable += "\n" + std::string(bytes.begin(), bytes.end());
            } catch (const std::exception&) {
            }
        }
    }
    return readable;
}

class SecretsInLogTest : public testing::ClientTest {};

TEST_F(SecretsInLogTest, NoSecretUsedReachesTheLog) {
    const std::filesystem::path folder = home().path() / "log";
    details::install_logger(details::create_logger(details::utf8_to_wide(folder.string()), details::LEVEL_DEBUG));
    sandbox::User user;
    user.login = "accountant@firm.example";
    user.password = "Very-S3cret-passw0rd";
    server().add_user(user);
    std::vector<std::string> secrets = {user.password};

    // Password sign-in, remembered; the list read; links opened signed in.
    auto browser = std::make_shared<testing::RecordingBrowser>();
    auto agent = create();
    agent->uri_service().set_browser(browser);
    agent->authenticate(wide(user.login), wide(user.password), true);
    secrets.push_back(narrow(agent->session_id()));
    secrets.push_back(narrow(agent->token()));
    agent->message_service().create_reader(30).get_messages();
    agent->uri_service().open_link(wide(server().base_url() + "/account"), agent->token(), agent->session_id());
    for (const auto& cookie : browser->cookies())
        secrets.push_back(narrow(cookie.data.substr(0, cookie.data.find(L';'))));

    // Through a proxy that wants credentials.
    testing::Tinyproxy proxy(home().path() / "proxy", "agent", "Pr0xy-passw0rd");
    winhttp::ProxySettings named;
    named.mode = winhttp::NamedProxy;
    named.url = proxy.address();
    agent->set_proxy(named);
    agent->set_proxy_credentials(L"agent", L"Pr0xy-passw0rd");
    configuration_->save();
    secrets.push_back("Pr0xy-passw0rd");
    agent->message_service().create_reader(30).get_messages();
    ASSERT_FALSE(proxy.requests().empty());
    agent->signout();
    winhttp::ProxySettings direct;
    direct.mode = winhttp::NoProxy;

    // Certificate sign-in with a PIN, not remembered.
    certgen::Authority authority;
    const auto holder = certgen::issue(authority, certgen::UserOptions::for_kind(certgen::SubjectKind::Person));
    certgen::Pkcs12Options pkcs12;
    pkcs12.pin = "8642";
    holder.write_pkcs12(std::filesystem::path(narrow(crypto::default_certificate_directory())) / "me.p12", pkcs12);
    secrets.push_back("8642");
    auto second = create();
    second->set_proxy(direct);
    crypto::StaticPinPrompt prompt(L"8642");
    second->authenticate(crypto::list_sign_in_certificates().front(), false, &prompt);
    secrets.push_back(narrow(second->session_id()));
    for (const auto& request : server().requests())
        if (request.path.find("/approve/") != std::string::npos) {
            secrets.push_back(request.path.substr(request.path.rfind('/') + 1));
            secrets.push_back(request.body);
            secrets.push_back(narrow(details::base64_encode(request.body)));
        }
    second->signout();
    details::install_logger(nullptr);

    const std::filesystem::path file = *std::filesystem::directory_iterator(folder);
    const std::string log = readable_log(file);
    ASSERT_NE(log.find("Response body: "), std::string::npos) << "bodies are logged at DEBUG";
    for (const std::string& secret : secrets) {
        ASSERT_GE(secret.size(), 4u);
        const std::size_t at = log.find(secret);
        EXPECT_EQ(at, std::string::npos) << "in the log: " << secret << " in "
                                         << (at == std::string::npos ? "" : log.substr(at > 300 ? at - 300 : 0, 400));
    }
    EXPECT_EQ(log.find("varnel.sid "), std::string::npos) << "an Authorization header";
    EXPECT_EQ(log.find("\"EncryptedKey\":\"M"), std::string::npos) << "the encrypted challenge";
    // The user's eyes only.
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// Text from a server cannot forge a line of the log: a message with line breaks and other
// control characters stays on its own line.
TEST_F(SecretsInLogTest, ServerTextStaysOnItsLine) {
    const std::filesystem::path folder = home().path() / "log";
    details::install_logger(details::create_logger(details::utf8_to_wide(folder.string()), details::LEVEL_DEBUG));
    answer_next("/api/v1/channels", 500,
                "{\"status\":500,\"message\":\"x\\r\\n2026-12-09T00:00:00.000 | 1 | ERROR | forged | line\\u001b[31m\"}");
    auto agent = create();
    agent->authenticate(wide(sandbox::Server::DEMO_LOGIN), wide(sandbox::Server::DEMO_PASSWORD), false);
    try {
        agent->channel_service().user_channels();
    } catch (const std::exception&) {
    }
    details::install_logger(nullptr);
    const std::string log = testing::read_text(*std::filesystem::directory_iterator(folder));
    EXPECT_EQ(log.find("\n2026-12-09T00:00:00.000 | 1 | ERROR | forged"), std::string::npos) << log;
    EXPECT_NE(log.find("x\\r\\n2026-12-09T00:00:00.000"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace agent
