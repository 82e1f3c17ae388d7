#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <mutex>

#include "commands.h"
#include "crypto/fixtures.h"
#include "crypto/softhsm.h"
#include "model/client_fixture.h"

namespace agent::cli {
namespace {

using sandbox::Server;

// Stands in for the terminal: scripted standard input and secrets, recorded output.
class RecordingConsole : public Console {
public:
    void print(const std::wstring& line) override {
        std::lock_guard lock(mutex_);
        out_.push_back(line);
    }
    void error(const std::wstring& line) override {
        std::lock_guard lock(mutex_);
        err_.push_back(line);
    }
    std::optional<std::wstring> read_line() override {
        if (input.empty())
            return std::nullopt;
        auto line = input.front();
        input.pop_front();
        return line;
    }
    std::optional<std::wstring> ask_secret(const std::wstring&) override {
        ++secrets_asked;
        return secret;
    }
    void block_interrupts() override {}
    bool wait_for_interrupt(const std::function<bool()>& keep_waiting) override {
        while (keep_waiting()) {
            if (interrupt_when && interrupt_when())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::vector<std::wstring> out() const {
        std::lock_guard lock(mutex_);
        return out_;
    }
    std::wstring all_out() const {
        std::wstring text;
        for (const auto& line : out())
            text += line + L"\n";
        return text;
    }
    std::wstring all_err() const {
        std::lock_guard lock(mutex_);
        std::wstring text;
        for (const auto& line : err_)
            text += line + L"\n";
        return text;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        out_.clear();
        err_.clear();
    }

    std::deque<std::wstring> input;
    std::optional<std::wstring> secret;
    int secrets_asked = 0;
    std::function<bool()> interrupt_when;

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> out_;
    std::vector<std::wstring> err_;
};

class CliRunTest : public testing::ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        configuration_->save();
    }

    int cli(std::vector<std::string> args) {
        args.insert(args.begin(), "varnel-agent-cli");
        return run(args, console_);
    }

    int sign_in() {
        console_.input = {wide(Server::DEMO_PASSWORD)};
        return cli({"signin", "--login", Server::DEMO_LOGIN, "--password-stdin", "--remember"});
    }

    RecordingConsole console_;
};

TEST_F(CliRunTest, SignInReadAndSignOut) {
    EXPECT_EQ(sign_in(), EXIT_OK) << narrow(console_.all_err());
    EXPECT_NE(console_.all_out().find(L"Signed in as "), std::wstring::npos);
    EXPECT_TRUE(std::filesystem::exists(sid_file()));
    EXPECT_EQ(console_.secrets_asked, 0);

    console_.clear();
    EXPECT_EQ(cli({"messages"}), EXIT_OK);
    const auto first_page = console_.out();
    EXPECT_EQ(first_page.size(), 30u);
    console_.clear();
    EXPECT_EQ(cli({"messages", "--all"}), EXIT_OK);
    EXPECT_EQ(console_.out().size(), server().messages().size());

    // One line per message: date and time, read mark, organisation, subject, id.
    const auto newest = server().messages().front();
    const std::wstring line = first_page.front();
    EXPECT_TRUE(line.ends_with(L"\t" + wide(newest.id))) << narrow(line);
    EXPECT_NE(line.find(wide(newest.subject)), std::wstring::npos);
    EXPECT_NE(line.find(newest.read ? L"\tread\t" : L"\tunread\t"), std::wstring::npos);

    EXPECT_EQ(cli({"read", newest.id}), EXIT_OK);
    EXPECT_TRUE(server().messages().front().read);

    console_.clear();
    EXPECT_EQ(cli({"channels"}), EXIT_OK);
    const auto states = server().channel_states();
    EXPECT_EQ(console_.out().size(), states.size());
    const std::string channel = states.begin()->first;
    EXPECT_EQ(cli({"channel", channel, states.begin()->second ? "off" : "on"}), EXIT_OK);
    EXPECT_NE(server().channel_states().at(channel), states.begin()->second);

    console_.clear();
    EXPECT_EQ(cli({"links"}), EXIT_OK);
    EXPECT_FALSE(console_.out().empty());

    console_.clear();
    EXPECT_EQ(cli({"whoami"}), EXIT_OK);
    EXPECT_EQ(console_.out().size(), 1u);

    EXPECT_EQ(cli({"signout"}), EXIT_OK);
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
    console_.clear();
    EXPECT_EQ(cli({"whoami"}), EXIT_FAILED);
    EXPECT_NE(console_.all_err().find(L"Not signed in"), std::wstring::npos);
}

TEST_F(CliRunTest, FailuresAreToldInTheUsersWords) {
    console_.input = {L"wrong"};
    EXPECT_EQ(cli({"signin", "--login", Server::DEMO_LOGIN, "--password-stdin"}), EXIT_FAILED);
    EXPECT_NE(console_.all_err().find(L"Неверный пароль"), std::wstring::npos) << narrow(console_.all_err());

    console_.clear();
    EXPECT_EQ(cli({"signin", "--login", Server::DEMO_LOGIN, "--password-stdin"}), EXIT_FAILED);
    EXPECT_NE(console_.all_err().find(L"No password"), std::wstring::npos);

    console_.clear();
    EXPECT_EQ(cli({"signin", "--login", Server::DEMO_LOGIN}), EXIT_FAILED);  // no terminal
    EXPECT_EQ(console_.secrets_asked, 1);

    EXPECT_EQ(cli({"bogus"}), EXIT_USAGE);

    server().stop();
    console_.clear();
    console_.input = {wide(Server::DEMO_PASSWORD)};
    EXPECT_EQ(cli({"signin", "--login", Server::DEMO_LOGIN, "--password-stdin"}), EXIT_FAILED);
    EXPECT_NE(console_.all_err().find(L"Соединение было прервано"), std::wstring::npos);
}

TEST_F(CliRunTest, CertificatesOnATokenAndInAGostFileSignIn) {
    testing::crypto::SoftHsm softhsm(home().path() / "softhsm");
    ASSERT_TRUE(softhsm.init_token("Varnel", "1357"));
    const auto on_token =
        certgen::issue(certgen::Authority(), certgen::UserOptions::for_kind(certgen::SubjectKind::Organization));
    ASSERT_TRUE(softhsm.import("Varnel", "1357", on_token, "0a"));
    ASSERT_TRUE(testing::crypto::openssl_gost_pkcs12(home().path() / "work",
                                                     testing::crypto::certificate_directory() / "gost.p12", "1357"));

    console_.secret = L"1357";  // the file's certificate is locked by its PIN too
    ASSERT_EQ(cli({"certs"}), EXIT_OK) << narrow(console_.all_err());
    const auto lines = console_.out();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(L"1\tООО") && lines[0].ends_with(L"\ttoken")) << narrow(lines[0]);
    EXPECT_TRUE(lines[1].starts_with(L"2\tСидоров Сидор Сидорович") && lines[1].ends_with(L"\tfile"))
        << narrow(lines[1]);

    console_.clear();
    console_.secret = std::nullopt;
    EXPECT_EQ(cli({"signin", "--cert", "1"}), EXIT_FAILED);
    EXPECT_NE(console_.all_err().find(L"Операция была отменена пользователем"), std::wstring::npos)
        << narrow(console_.all_err());
    console_.clear();
    console_.secret = L"0000";
    EXPECT_EQ(cli({"signin", "--cert", "1"}), EXIT_FAILED);
    EXPECT_NE(console_.all_err().find(L"Введен неверный пин"), std::wstring::npos) << narrow(console_.all_err());

    console_.clear();
    console_.secret = L"1357";
    EXPECT_EQ(cli({"signin", "--cert", "1", "--remember"}), EXIT_OK) << narrow(console_.all_err());
    EXPECT_EQ(cli({"signout"}), EXIT_OK);
    // The GOST file: its challenge comes in GOST 28147-89 and is opened through the engine.
    console_.secrets_asked = 0;
    EXPECT_EQ(cli({"signin", "--cert", "2", "--remember"}), EXIT_OK) << narrow(console_.all_err());
    EXPECT_EQ(console_.secrets_asked, 1);  // only the key: the file's certificate was remembered at the first listing
    EXPECT_NE(console_.all_out().find(L"Signed in as Сидоров Сидор"), std::wstring::npos) << narrow(console_.all_out());
}

TEST_F(CliRunTest, ExpiredSessionIsForgotten) {
    ASSERT_EQ(sign_in(), EXIT_OK);
    for (const auto& request : server().requests("/api/v1/user/info"))
        server().end_session(request.header("Authorization").substr(std::string("varnel.sid ").size()));
    console_.clear();
    EXPECT_EQ(cli({"channels"}), EXIT_FAILED);
    EXPECT_NE(console_.all_err().find(L"Ваша сессия устарела"), std::wstring::npos) << narrow(console_.all_err());
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
}

TEST_F(CliRunTest, FollowPrintsNewMessagesUntilInterrupted) {
    ASSERT_EQ(sign_in(), EXIT_OK);
    console_.clear();
    sandbox::Message pushed;
    pushed.organization = "ООО Ромашка";
    pushed.subject = "Новое требование";
    bool sent = false;
    console_.interrupt_when = [&] {
        if (!sent && server().open_streams() == 1) {
            pushed = server().push_message(pushed);
            sent = true;
        }
        return sent && console_.all_out().find(L"Новое требование") != std::wstring::npos;
    };
    EXPECT_EQ(cli({"follow"}), EXIT_OK);
    EXPECT_NE(console_.all_out().find(L"\tunread\tООО Ромашка\tНовое требование\t" + wide(pushed.id)),
              std::wstring::npos)
        << narrow(console_.all_out());
}

TEST_F(CliRunTest, FollowComesBackFromABlackHoledStreamWithoutDoubles) {
    configuration_->stream_silence_limit = 1;
    configuration_->save();
    ASSERT_EQ(sign_in(), EXIT_OK);
    console_.clear();
    std::string id;
    console_.interrupt_when = [&] {
        if (id.empty() && server().open_streams() == 1 && !server().requests("/api/v1/messages/top").empty()) {
            server().freeze_streams();
            sandbox::Message message;
            message.subject = "Пока связь молчала";
            id = server().push_message(message).id;
        }
        return !id.empty() && console_.all_out().find(wide(id)) != std::wstring::npos;
    };
    EXPECT_EQ(cli({"follow"}), EXIT_OK);
    const std::wstring out = console_.all_out();
    EXPECT_EQ(out.find(wide(id)), out.rfind(wide(id))) << narrow(out);
    EXPECT_EQ(console_.out().size(), 1u) << narrow(out);
}

TEST_F(CliRunTest, FollowEndsWhenTheSessionEnds) {
    ASSERT_EQ(sign_in(), EXIT_OK);
    std::string sid;
    for (const auto& request : server().requests("/api/v1/user/info"))
        sid = request.header("Authorization").substr(std::string("varnel.sid ").size());
    console_.interrupt_when = [&] {
        if (server().open_streams() == 1)
            server().end_session(sid);
        return false;
    };
    console_.clear();
    EXPECT_EQ(cli({"follow"}), EXIT_FAILED);
    EXPECT_NE(console_.all_err().find(L"Ваша сессия устарела"), std::wstring::npos);
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
}

}  // namespace
}  // namespace agent::cli
