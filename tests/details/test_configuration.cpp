#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>

#include "details/configuration.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/strings.h"
#include "support/sandbox.h"

namespace {

using namespace agent;
using agent::testing::read_text;
using agent::testing::write_text;
namespace fs = std::filesystem;

class ConfigurationTest : public agent::testing::SandboxTest {
protected:
    fs::path directory() const { return fs::path(details::wide_to_utf8(home().data_directory())); }
    fs::path file() const { return directory() / "config"; }
    void write_config(const std::string& text) const { write_text(file(), text); }
    std::shared_ptr<ConfigurationKeyValue> load() const { return ConfigurationKeyValue::load(home().data_directory()); }
    std::string default_log() const {
        for (const auto& entry : fs::directory_iterator(home().path() / ".local/state/varnel-agent/log"))
            return read_text(entry.path());
        return {};
    }
};

TEST_F(ConfigurationTest, FirstStartWritesIdAndDefaults) {
    auto config = load();
    EXPECT_TRUE(config->first_run);
    EXPECT_TRUE(std::regex_match(details::wide_to_utf8(config->client),
                                 std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    EXPECT_EQ(config->uri, DEFAULT_AGENT_URI);
    EXPECT_EQ(config->auth_uri, DEFAULT_AUTH_URI);
    EXPECT_EQ(config->instruction, DEFAULT_INSTRUCTION_URI);
    EXPECT_EQ(config->proxy.mode, DefaultProxy);
    // The instruction default is filled in after this first save, and the log keys stay
    // out while they are defaults.
    EXPECT_EQ(read_text(file()), "client = " + details::wide_to_utf8(config->client) +
                                     "\r\nuri = https://agent.varnel.example/api\r\n"
                                     "auth_uri = https://login.varnel.example/auth\r\n"
                                     "proxy_mode = DefaultProxy\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(directory().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    auto again = load();
    EXPECT_FALSE(again->first_run);
    EXPECT_EQ(again->client, config->client);
}

TEST_F(ConfigurationTest, KeysAreTrimmedLowerCasedAndFirstEqualsSplits) {
    write_config("client = id\r\n  URI \t=  https://host/api?a=b   \r\nAuth_Uri=https://auth/x\n"
                 "instruction=\nlast_email = ivan@example\n");
    auto config = load();
    EXPECT_FALSE(config->first_run);
    EXPECT_EQ(config->uri, L"https://host/api?a=b");
    EXPECT_EQ(config->auth_uri, L"https://auth/x");
    EXPECT_EQ(config->instruction, DEFAULT_INSTRUCTION_URI);
    EXPECT_EQ(config->last_email, L"ivan@example");
}

TEST_F(ConfigurationTest, ProxyModeTexts) {
    struct Case {
        const char* text;
        ProxyMode mode;
    } cases[] = {{"proxy_mode = NoProxy\r\nproxy_uri = p:3128\r\n", NoProxy},
                 {"proxy_mode = namedproxy\r\nproxy_uri = p:3128\r\n", NamedProxy},
                 {"proxy_mode = anything\r\nproxy_uri = p:3128\r\n", NamedProxy},
                 {"proxy_mode = NamedProxy\r\n", DefaultProxy},
                 {"proxy_mode = defaultproxy\r\n", DefaultProxy}};
    for (const auto& c : cases) {
        write_config(std::string("client = id\r\n") + c.text);
        EXPECT_EQ(load()->proxy.mode, c.mode) << c.text;
    }
}

TEST_F(ConfigurationTest, GarbageLinesBinaryBytesAndDuplicatesAreSurvived) {
    using namespace std::string_literals;
    write_config("client = id\n\x00\x01\xff\xfe garbage\nno equals sign here\n= value without key\n"
                 "uri = https://first\nuri = https://second\nlast_email = \xff\xfeuser\r\n"s);
    auto config = load();
    EXPECT_EQ(config->client, L"id");
    EXPECT_EQ(config->uri, L"https://second");
    EXPECT_EQ(config->last_email, L"\uFFFD\uFFFDuser");
}

TEST_F(ConfigurationTest, LogSettings) {
    const fs::path logs = home().path() / "my logs";
    write_config("client = id\nlog_path = " + logs.string() + "\nlog_level = DeBuG\n");
    auto config = load();
    EXPECT_FALSE(config->log_defaults);
    ASSERT_NE(details::process_logger(), nullptr);
    EXPECT_EQ(details::process_logger()->level.load(), details::LEVEL_DEBUG);
    ASSERT_TRUE(fs::exists(logs));
    const std::string log = read_text(fs::directory_iterator(logs)->path());
    const std::string prefix = " | INFO | agent::ConfigurationKeyValue::load | ";
    const std::string lines[] = {"Server url: " + details::wide_to_utf8(DEFAULT_AGENT_URI),
                                 "Auth url: " + details::wide_to_utf8(DEFAULT_AUTH_URI),
                                 "Path: " + details::wide_to_utf8(home().data_directory()), "Client id: id", "Proxy url: ",
                                 "Proxy mode: 1"};
    std::size_t position = 0;
    for (const auto& line : lines) {
        const auto found = log.find(prefix + line + "\r\n", position);
        ASSERT_NE(found, std::string::npos) << line;
        position = found;
    }

    write_config("client = id\nlog_level = ERROR\n");
    load();
    EXPECT_EQ(details::process_logger()->level.load(), details::LEVEL_WARN);
}

TEST_F(ConfigurationTest, DefaultLogIsWarnInStateDirectory) {
    write_config("client = id\n");
    auto config = load();
    EXPECT_TRUE(config->log_defaults);
    ASSERT_NE(details::process_logger(), nullptr);
    EXPECT_EQ(details::process_logger()->level.load(), details::LEVEL_WARN);
    AGENT_WARN(L"test") << "visible";
    EXPECT_NE(default_log().find("| WARN | test | visible"), std::string::npos);
}

TEST_F(ConfigurationTest, LoggingOffMeansNoLoggerAndIsSavedBack) {
    write_config("log_enabled = 0\n");
    auto config = load();
    EXPECT_EQ(details::process_logger(), nullptr);
    EXPECT_FALSE(fs::exists(home().path() / ".local/state/varnel-agent/log"));
    config->save();
    const std::string text = read_text(file());
    EXPECT_NE(text.find("log_enabled = 0\r\n"), std::string::npos);
    EXPECT_NE(text.find("client = "), std::string::npos);
    EXPECT_EQ(text.find("log_path"), std::string::npos);
}

// One bad line must not stop every start: the value is left out with one WARN naming the
// key, and the default applies.
TEST_F(ConfigurationTest, AnUnusableValueIsLeftOutWithAWarningNamingTheKey) {
    write_config("client = id\nlog_enabled = yes\nlast_email = a@b\n");
    auto config = load();
    EXPECT_TRUE(config->log_enabled);
    EXPECT_EQ(config->last_email, L"a@b");
    ASSERT_EQ(config->rejected().size(), 1u);
    EXPECT_EQ(config->rejected()[0].first, L"log_enabled");
    const std::string log = default_log();
    EXPECT_NE(log.find("| WARN | agent::ConfigurationKeyValue::load | log_enabled \"yes\" is not a number; the "
                       "default is used"),
              std::string::npos)
        << log;

    write_config("client = id\nlog_enabled = 99999999999\nlog_enabled = 1\n");
    EXPECT_TRUE(load()->rejected().empty()) << "a later line wins";

    // A log folder that cannot be made: the default log, and a WARN.
    write_text(home().path() / "afile", "x");
    write_config("client = id\nlog_path = " + (home().path() / "afile").string() + "\nlog_level = DEBUG\n");
    EXPECT_NO_THROW(load());
    ASSERT_NE(details::process_logger(), nullptr);
    EXPECT_NE(default_log().find("log_path \"" + (home().path() / "afile").string() + "\" cannot be used"),
              std::string::npos);
}

TEST_F(ConfigurationTest, SaveWritesAllKeysInOrderAndDropsEmptyOnes) {
    write_config("client = id\n");
    auto config = load();
    config->last_email = L"a@b";
    config->proxy = {NamedProxy, L"proxy:3128", L"", L"", L"user", L"p=ss"};
    config->log_defaults = false;
    config->log_level = L"INFO";
    config->silent_mode = true;
    config->save();
    EXPECT_EQ(read_text(file()),
              "client = id\r\nuri = https://agent.varnel.example/api\r\nauth_uri = https://login.varnel.example/auth\r\n"
              "instruction = http://help.varnel.example/support/faq/40/565\r\nlast_email = a@b\r\n"
              "proxy_mode = NamedProxy\r\nproxy_uri = proxy:3128\r\nproxy_user = user\r\nproxy_password = p=ss\r\n"
              "log_enabled = 1\r\nlog_level = INFO\r\n");

    config->last_email.clear();
    config->save();
    auto reloaded = load();
    EXPECT_TRUE(reloaded->last_email.empty());
    EXPECT_EQ(reloaded->proxy.password, L"p=ss");
    EXPECT_EQ(reloaded->proxy.mode, NamedProxy);
    EXPECT_FALSE(reloaded->silent_mode);
}

TEST_F(ConfigurationTest, StreamSilenceLimitIsKeptOnlyWhenSetAndSensible) {
    write_config("client = id\nstream_silence_limit = 30\n");
    auto config = load();
    EXPECT_EQ(config->stream_silence_limit, 30u);
    config->save();
    EXPECT_NE(read_text(file()).find("\r\nstream_silence_limit = 30\r\n"), std::string::npos);
    config->stream_silence_limit = 0;
    config->save();
    EXPECT_EQ(read_text(file()).find("stream_silence_limit"), std::string::npos);

    // Anything but 1 to 86400 seconds leaves the program's limit, with a word in the log.
    for (const char* value : {"0", "-5", "90s", "86401", "99999999999999999999", "1e3"}) {
        write_config(std::string("client = id\nstream_silence_limit = ") + value + "\n");
        EXPECT_EQ(load()->stream_silence_limit, 0u) << value;
        EXPECT_NE(default_log().find(std::string("| WARN | agent::ConfigurationKeyValue::load | stream_silence_limit \"") +
                                     value + "\""),
                  std::string::npos)
            << value;
    }
}

TEST_F(ConfigurationTest, DesktopNotificationsAreWrittenOnlyWhenOn) {
    write_config("client = id\n");
    auto config = load();
    EXPECT_FALSE(config->desktop_notifications);
    config->save();
    const std::string before = read_text(file());
    EXPECT_EQ(before.find("desktop_notifications"), std::string::npos);
    config->desktop_notifications = true;
    config->save();
    EXPECT_EQ(read_text(file()), before + "desktop_notifications = 1\r\n");
    EXPECT_TRUE(load()->desktop_notifications);
    // Only the documented value turns it on.
    for (const char* value : {"0", "", "yes", "true", "2"}) {
        write_config(std::string("client = id\ndesktop_notifications = ") + value + "\n");
        EXPECT_FALSE(load()->desktop_notifications) << value;
    }
}

TEST_F(ConfigurationTest, UnwritableDirectoryStillStartsAndSaveSaysWhy) {
    // A file where the data directory should be: nothing can be written there.
    write_text(home().path() / "blocked", "x");
    auto config = ConfigurationKeyValue::load(details::utf8_to_wide((home().path() / "blocked/").string()));
    EXPECT_TRUE(config->first_run);
    EXPECT_FALSE(config->client.empty());
    EXPECT_THROW(config->save(), SystemException);
    EXPECT_NE(default_log().find("| ERROR | agent::ConfigurationKeyValue::load | [0x14]mkdir"), std::string::npos);
}

TEST_F(ConfigurationTest, AutolaunchUsesTheExecutablePath) {
    write_config("client = id\n");
    auto config = load();
    EXPECT_FALSE(config->is_autolaunch());
    config->set_autolaunch(true);
    EXPECT_TRUE(config->is_autolaunch());
    const std::string entry = read_text(home().path() / ".config/autostart/varnel-agent.desktop");
    EXPECT_NE(entry.find(fs::canonical("/proc/self/exe").string()), std::string::npos);
    config->set_autolaunch(false);
    EXPECT_FALSE(config->is_autolaunch());
}

// A copy installed for the user is started through the link "current", which an update
// moves to the new version; the versioned folder goes with a later update.
TEST_F(ConfigurationTest, AnInstalledCopyLaunchesThroughItsStablePath) {
    const fs::path app = home().path() / ".local/share/varnel-agent/app";
    fs::create_directories(app / "1.1.0.199/bin");
    fs::create_directories(app / "1.1.0.198/bin");
    fs::create_directory_symlink("1.1.0.199", app / "current");
    const auto launch = [](const fs::path& file) {
        return fs::path(details::wide_to_utf8(details::path::get_launch_file_name(details::utf8_to_wide(file.string()))));
    };
    EXPECT_EQ(launch(app / "1.1.0.199/bin/varnel-agent"), app / "current/bin/varnel-agent");
    // Not the version "current" names (being replaced), or not such a layout: as it is.
    EXPECT_EQ(launch(app / "1.1.0.198/bin/varnel-agent"), app / "1.1.0.198/bin/varnel-agent");
    EXPECT_EQ(launch("/usr/bin/varnel-agent"), "/usr/bin/varnel-agent");
    EXPECT_EQ(launch("/opt/varnel/varnel-agent"), "/opt/varnel/varnel-agent");
}

TEST(ClientIdTest, SameSecondSameIdOtherwiseDifferent) {
    const std::wstring id = generate_client_id(1457000000);
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id, generate_client_id(1457000000));
    std::set<std::wstring> ids;
    for (std::uint32_t seed = 0; seed < 100; ++seed)
        ids.insert(generate_client_id(seed));
    EXPECT_EQ(ids.size(), 100u);
    // Each group is the top 16 bits of one MT19937 output: the first output for seed 5489
    // (the engine's default) is 3499211612 = 0xd091bb5c.
    EXPECT_EQ(generate_client_id(5489).substr(0, 4), L"d091");
}

}  // namespace
