// The session and the proxy password in a real Secret Service (gnome-keyring on the test's
// own session bus), looked at from outside with secret-tool, and the file where none runs.
#include <gtest/gtest.h>

#include <filesystem>

#include "details/configuration.h"
#include "details/keyring.h"
#include "model/capture_logger.h"
#include "model/client_fixture.h"
#include "model/session_file.h"
#include "support/keyring.h"

namespace agent {
namespace {

using sandbox::Server;
using testing::CaptureLogger;

class KeyringTest : public testing::ClientTest {
protected:
    static void SetUpTestSuite() {
        folder_ = new testing::TempHome();
        keyring_ = new testing::PrivateKeyring(folder_->path() / "keyring");
    }
    static void TearDownTestSuite() {
        delete keyring_;
        delete folder_;
    }
    void TearDown() override {
        // Each test starts with an empty keyring and the service running.
        keyring_->start_service();
        std::string error;
        details::keyring::clear({"session", "127.0.0.1", ""}, error);
        details::keyring::clear({"proxy", "proxy.local:3128", ""}, error);
        ClientTest::TearDown();
    }

    std::unique_ptr<AgentClient> signed_in(bool remember) {
        auto agent = create();
        agent->authenticate(wide(Server::DEMO_LOGIN), wide(Server::DEMO_PASSWORD), remember);
        return agent;
    }

    std::filesystem::path config_file() const { return sid_file().parent_path() / "config"; }

    static testing::TempHome* folder_;
    static testing::PrivateKeyring* keyring_;
};

testing::TempHome* KeyringTest::folder_ = nullptr;
testing::PrivateKeyring* KeyringTest::keyring_ = nullptr;

TEST_F(KeyringTest, ARememberedSessionLivesInTheKeyringAndSignOutRemovesIt) {
    auto agent = signed_in(true);
    const std::string item = keyring_->search("kind session");
    EXPECT_NE(item.find("attribute.host = 127.0.0.1"), std::string::npos) << item;
    EXPECT_NE(item.find(narrow(agent->session_id())), std::string::npos) << "the secret is the session";
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
    EXPECT_EQ(testing::read_text(config_file()).find(narrow(agent->session_id())), std::string::npos);

    // The next start comes up signed in from the keyring.
    auto restored = create();
    ASSERT_TRUE(restored->has_session());
    EXPECT_EQ(restored->session_id(), agent->session_id());
    EXPECT_EQ(restored->token(), agent->token());

    restored->signout();
    EXPECT_EQ(keyring_->search("kind session").find("secret ="), std::string::npos);
    EXPECT_FALSE(create()->has_session());

    // Not asked to remember: nothing anywhere.
    signed_in(false);
    EXPECT_EQ(keyring_->search("kind session").find("secret ="), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
}

// Without a Secret Service the session is kept in the file, as before, with one WARN; once
// one runs, the file's session moves into it and the file goes.
TEST_F(KeyringTest, WithoutAKeyringTheFileAndItsSessionMovesInLater) {
    keyring_->stop_service();
    CaptureLogger& log = CaptureLogger::install(details::LEVEL_WARN);
    auto agent = signed_in(true);
    ASSERT_TRUE(std::filesystem::exists(sid_file()));
    EXPECT_EQ(log.matching(L"The session is kept in " + configuration_->path + L"sid").size(), 1u) << narrow(log.text());

    keyring_->start_service();
    auto moved = create();
    ASSERT_TRUE(moved->has_session());
    EXPECT_EQ(moved->session_id(), agent->session_id());
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
    EXPECT_NE(keyring_->search("kind session").find(narrow(agent->session_id())), std::string::npos);
    EXPECT_TRUE(create()->has_session());
}

TEST_F(KeyringTest, TheProxyPasswordMovesOutOfTheConfiguration) {
    testing::write_text(config_file(), "client = 0a1b2c3d-0000-4000-8000-00000000abcd\nproxy_mode = NamedProxy\n"
                                       "proxy_uri = proxy.local:3128\nproxy_user = ivan\nproxy_password = Pr0xy-S3cret\n");
    auto config = ConfigurationKeyValue::load(configuration_->path);
    details::install_logger(nullptr);
    EXPECT_EQ(config->proxy.password, L"Pr0xy-S3cret");
    EXPECT_TRUE(config->proxy_password_in_keyring);
    EXPECT_EQ(testing::read_text(config_file()).find("Pr0xy-S3cret"), std::string::npos);
    EXPECT_NE(testing::read_text(config_file()).find("proxy_user = ivan"), std::string::npos);
    EXPECT_NE(keyring_->search("kind proxy").find("Pr0xy-S3cret"), std::string::npos);

    // Read back at the next start; a new password replaces it there.
    auto again = ConfigurationKeyValue::load(configuration_->path);
    details::install_logger(nullptr);
    EXPECT_EQ(again->proxy.password, L"Pr0xy-S3cret");
    again->proxy.password = L"N3w-pr0xy";
    again->save();
    EXPECT_EQ(testing::read_text(config_file()).find("N3w-pr0xy"), std::string::npos);
    EXPECT_NE(keyring_->search("kind proxy").find("N3w-pr0xy"), std::string::npos);
    EXPECT_EQ(keyring_->search("kind proxy").find("Pr0xy-S3cret"), std::string::npos);
}

}  // namespace
}  // namespace agent
