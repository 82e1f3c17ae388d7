// The program itself, as a user starts it: one copy per session (a later copy opens the
// first and ends, a socket left by a killed copy does not stop the next start), a bad
// configuration line that does not stop it, and the desktop's session ending the program.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "gui/shell/single_instance.h"
#include "shell_fixture.h"
#include "support/signing.h"
#include "x11_windows.h"

extern char** environ;

namespace agent::testing {
namespace {

using varnelagent::SingleInstance;

// A copy of varnel-agent started as a desktop would, with the test's environment.
class Program {
public:
    Program() {
        char* argv[] = {const_cast<char*>(AGENT_PROGRAM), nullptr};
        if (posix_spawn(&pid_, AGENT_PROGRAM, nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
    }
    ~Program() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool running() {
        if (pid_ <= 0 || code_)
            return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return true;
    }

    // The exit code once the program has ended within the time.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        wait_for([&] { return !running(); }, timeout);
        return code_;
    }

    void signal(int number) { ::kill(pid_, number); }

private:
    pid_t pid_ = -1;
    std::optional<int> code_;
};

class ProgramTest : public ShellTest {
protected:
    // Looks at the display now and then, not in a tight loop: every look is a connection
    // to the X server.
    static bool window_shown(const std::string& title) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (window_titled(title))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    std::string log() const {
        std::string text;
        const auto folder = home().path() / ".local" / "state" / "varnel-agent" / "log";
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
            text += read_text(entry.path());
        return text;
    }

    bool log_says(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return wait_for([&] { return log().find(text) != std::string::npos; }, timeout);
    }

    std::filesystem::path sid_file() const {
        return std::filesystem::path(details::wide_to_utf8(home().data_directory())) / "sid";
    }

    // A release installer of this build's own install tree, as scripts/package makes it.
    std::string make_installer(const std::string& version) const {
        const std::filesystem::path installer = home().path() / ("varnel-agent-" + version + ".run");
        const std::filesystem::path made = home().path() / "make-installer.txt";
        const std::string make = std::string("'" AGENT_SOURCE_DIR "/packaging/make-installer.sh' '" AGENT_BUILD_DIR
                                             "' '") +
                                 installer.string() + "' " + version + " > '" + made.string() + "' 2>&1";
        if (std::system(make.c_str()) != 0)
            ADD_FAILURE() << read_text(made);
        return read_text(installer);
    }

    // The key this build trusts besides the release key; its secret stays in the build tree.
    static SigningKeyPair build_key() {
        const std::filesystem::path folder = AGENT_TEST_UPDATE_KEY_DIR;
        return SigningKeyPair(folder / "update.pub", folder / "update.key");
    }
};

TEST(SingleInstance, ALaterCopyAsksTheFirstToOpenAndAStaleSocketIsReplaced) {
    TempHome home;
    const std::string directory = (home.path() / "run").string();
    std::filesystem::create_directories(directory);
    // A copy that was killed left its socket file behind.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = directory + "/" + SingleInstance::NAME;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    varnelagent::init_gui_thread();
    SingleInstance first(directory);
    ASSERT_EQ(first.role(), SingleInstance::Role::First);
    int opened = 0;
    first.listen([&] { ++opened; });

    SingleInstance second(directory, std::chrono::seconds(2));
    EXPECT_EQ(second.role(), SingleInstance::Role::Other);
    EXPECT_TRUE(second.delivered());
    EXPECT_TRUE(varnelagent::engine::run_nested_until([&] { return opened == 1; }, std::chrono::seconds(5)));

    // A local program that connects and says nothing holds nothing up: a later copy is heard
    // meanwhile, and the silent one is dropped without opening anything.
    const int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, first.socket_path().c_str());
        ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    SingleInstance third(directory, std::chrono::seconds(2));
    EXPECT_TRUE(third.delivered());
    EXPECT_TRUE(varnelagent::engine::run_nested_until([&] { return opened == 2; }, std::chrono::seconds(5)));
    char byte = 0;
    EXPECT_TRUE(varnelagent::engine::run_nested_until([&] { return ::recv(silent, &byte, 1, MSG_DONTWAIT) == 0; },
                                                      SingleInstance::CLIENT_PATIENCE * 3))
        << "the silent connection was not closed";
    ::close(silent);
    EXPECT_EQ(opened, 2);

    // A first copy that is still starting (holding the lock, not yet listening): a later
    // copy waits for it a little, then gives up without starting a second program.
    const std::string starting = (home.path() / "starting").string();
    std::filesystem::create_directories(starting);
    SingleInstance holder(starting);
    ASSERT_EQ(holder.role(), SingleInstance::Role::First);
    SingleInstance later(starting, std::chrono::milliseconds(300));
    EXPECT_EQ(later.role(), SingleInstance::Role::Other);
    EXPECT_FALSE(later.delivered());
}

TEST_F(ProgramTest, ASecondCopyOpensTheFirstAndEnds) {
    write_config();
    Program first;
    ASSERT_TRUE(log_says("wWinMain | Started"));
    EXPECT_TRUE(window_shown("Varnel.Agent"));
    Program second;
    EXPECT_EQ(second.wait(), std::optional<int>(0));
    EXPECT_TRUE(log_says("Another copy was started"));
    EXPECT_TRUE(first.running());
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), std::optional<int>(0));
}

// A hand-edited line the program cannot use once stopped every start; now it is left out.
TEST_F(ProgramTest, AnUnusableConfigurationValueStartsTheProgramWithOneWarning) {
    write_config("log_enabled = yes please\n");
    Program program;
    ASSERT_TRUE(window_shown("Varnel.Agent"));
    EXPECT_TRUE(program.running());
    EXPECT_TRUE(log_says("WARN | agent::ConfigurationKeyValue::load | log_enabled \"yes please\" is not a number"));
    EXPECT_FALSE(window_titled("ERROR"));
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(), std::optional<int>(0));
}

TEST_F(ProgramTest, TheDesktopEndingTheSessionKeepsItForTheNextStart) {
    write_config();
    remember_session();
    Program program;
    ASSERT_TRUE(wait_for([&] { return server().open_streams() == 1; }));
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(), std::optional<int>(0));
    EXPECT_TRUE(log_says("wWinMain | Ended"));
    EXPECT_TRUE(std::filesystem::exists(sid_file()));
    for (const auto& request : server().requests())
        EXPECT_NE(request.method, "DELETE") << request.path;

    // A dead network at the next start: the program starts and waits for it.
    server().stop();
    Program offline;
    EXPECT_TRUE(window_shown("Varnel.Agent"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(offline.running());
    offline.signal(SIGTERM);
    EXPECT_EQ(offline.wait(), std::optional<int>(0));
}

// The whole self-update with the real program and a real installer of a newer version,
// built from this build's own install tree: downloaded while signed in, started at the next
// start (which ends at once), installed for the user, and the new copy started once and
// signed in, with the user's files as they were.
TEST_F(ProgramTest, AnUpdateDownloadedWhileSignedInIsInstalledAtTheNextStartAndRunsOnce) {
    if (!AGENT_TRUSTS_TEST_UPDATE_KEY)
        GTEST_SKIP() << "this build trusts no key whose secret the tests hold (AGENT_TRUST_TEST_UPDATE_KEY)";
    const std::string archive = make_installer("99.0.0.0");
    server().offer_update(archive, build_key().sign(archive, "version:99.0.0.0 file:varnel-agent-99.0.0.0.run"));
    write_config();
    remember_session();
    const std::filesystem::path data = details::wide_to_utf8(home().data_directory());
    const std::string config = read_text(data / "config");
    const std::string session = read_text(sid_file());
    {
        Program program;
        ASSERT_TRUE(log_says("Installer saved", std::chrono::seconds(60)));
        EXPECT_EQ(std::filesystem::file_size(data / "update.exe"), archive.size());
        program.signal(SIGTERM);
        EXPECT_EQ(program.wait(), std::optional<int>(0));
    }
    server().withdraw_update();

    Program next;
    EXPECT_EQ(next.wait(std::chrono::seconds(30)), std::optional<int>(0)) << "the start that runs the installer ends";
    EXPECT_TRUE(log_says("Installer started"));
    // The installer puts the new version in place, then starts it once the old copy is gone.
    const std::filesystem::path app = home().path() / ".local/share/varnel-agent/app";
    const auto installed_copy = [&] {
        std::error_code failed;
        const std::filesystem::path program = std::filesystem::canonical(app / "current/bin/varnel-agent", failed);
        if (failed)
            return -1;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            if (std::filesystem::read_symlink(entry.path() / "exe", failed) == program)
                return std::atoi(entry.path().filename().c_str());
        }
        return -1;
    };
    pid_t installed = -1;
    ASSERT_TRUE(wait_for([&] { return (installed = installed_copy()) > 0; }, std::chrono::seconds(60)));
    EXPECT_EQ(std::filesystem::read_symlink(app / "current"), "99.0.0.0");
    EXPECT_TRUE(std::filesystem::exists(home().path() / ".local/share/applications/varnel-agent.desktop"));

    // The installed copy comes up signed in with the session kept; its start removes the
    // used installer and the marker, so no later start runs it again.
    EXPECT_TRUE(log_says("Installer already used, removing it", std::chrono::seconds(30)));
    EXPECT_TRUE(wait_for([&] { return server().open_streams() == 1; }, std::chrono::seconds(30)));
    EXPECT_TRUE(wait_for([&] {
        return !std::filesystem::exists(data / "update.exe") && !std::filesystem::exists(data / "already_use_update");
    })) << log();
    EXPECT_EQ(read_text(sid_file()), session);
    EXPECT_EQ(read_text(data / "config"), config);
    EXPECT_NE(log().find("Installer saved"), std::string::npos) << "the log of before the update is kept";

    // The new copy ends with the desktop's session.
    ::kill(installed, SIGTERM);
    EXPECT_TRUE(wait_for([&] { return ::kill(installed, 0) != 0; }, std::chrono::seconds(20)));
}

// An installer whose bytes changed after it was signed (a hijacked host, a proxy that
// rewrites downloads) is never kept and never runs; the program goes on as it is.
TEST_F(ProgramTest, ATamperedUpdateIsNotKeptAndTheProgramRunsOn) {
    if (!AGENT_TRUSTS_TEST_UPDATE_KEY)
        GTEST_SKIP() << "this build trusts no key whose secret the tests hold (AGENT_TRUST_TEST_UPDATE_KEY)";
    std::string archive = make_installer("99.0.0.0");
    const std::string signature = build_key().sign(archive, "version:99.0.0.0");
    archive.insert(archive.find('\n') + 1, "touch \"$HOME/tampered-installer-ran\"\n");
    server().offer_update(archive, signature);
    write_config();
    remember_session();
    const std::filesystem::path data = details::wide_to_utf8(home().data_directory());
    Program program;
    ASSERT_TRUE(log_says("Installer refused: the signature does not match the file", std::chrono::seconds(60)));
    EXPECT_TRUE(wait_for([&] {
        return !std::filesystem::exists(data / "update.exe") && !std::filesystem::exists(data / "update.exe.part");
    }));
    EXPECT_TRUE(program.running());
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(), std::optional<int>(0));

    // Placed by hand with the good signature of other bytes: the next start removes it and
    // comes up as usual.
    write_text(data / "update.exe", archive);
    std::filesystem::permissions(data / "update.exe", std::filesystem::perms::owner_all);
    write_text(data / "update.exe.minisig", signature);
    server().clear_requests();
    Program next;
    EXPECT_TRUE(log_says("The installer is not run and is removed"));
    EXPECT_TRUE(wait_for([&] { return !std::filesystem::exists(data / "update.exe"); })) << log();
    ASSERT_TRUE(wait_for([&] { return !server().requests("/api/v1/messages/stream").empty(); },
                         std::chrono::seconds(30)));
    EXPECT_TRUE(next.running());
    EXPECT_FALSE(std::filesystem::exists(home().path() / "tampered-installer-ran"));
    next.signal(SIGTERM);
    EXPECT_EQ(next.wait(), std::optional<int>(0));
}

}  // namespace
}  // namespace agent::testing
