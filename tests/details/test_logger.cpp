#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "details/logger.h"
#include "details/strings.h"
#include "support/sandbox.h"

namespace {

using namespace agent::details;
using agent::testing::read_text;
namespace fs = std::filesystem;

std::atomic<std::int64_t> g_now{0};
std::int64_t fixed_clock() {
    return g_now.load();
}

// Milliseconds since the epoch for a UTC calendar time.
std::int64_t utc(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<std::int64_t>(::timegm(&tm)) * 1000 + millisecond;
}

class LoggerTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        directory = home().path() / "logs";
        g_now = utc(2016, 3, 1, 9, 5, 7, 5);
        set_log_clock_for_testing(&fixed_clock);
    }

    MonthlyLogger& install(std::uint8_t level = LEVEL_DEBUG) {
        auto logger = create_logger(utf8_to_wide(directory.string()), level);
        MonthlyLogger& ref = *logger;
        install_logger(std::move(logger));
        return ref;
    }

    fs::path directory;
};

TEST_F(LoggerTest, LineFormat) {
    install();
    AGENT_INFO(L"agent::ConfigurationKeyValue::load") << "Server url: " << std::wstring(L"https://x") << ' ' << 42;
    const std::string text = read_text(directory / "2016.03.log");
    const std::string tid = std::to_string(::syscall(SYS_gettid));
    EXPECT_EQ(text, "2016-03-01T09:05:07.5 | " + tid +
                        " | INFO | agent::ConfigurationKeyValue::load | Server url: https://x 42\r\n");
}

TEST_F(LoggerTest, MillisecondsAreNotPaddedButOtherFieldsAre) {
    install();
    g_now = utc(2016, 12, 31, 23, 59, 59, 50);
    AGENT_WARN(L"f") << "x";
    g_now = utc(2016, 12, 31, 23, 59, 59, 0);
    AGENT_ERROR(L"f") << "y";
    const std::string text = read_text(directory / "2016.12.log");
    EXPECT_NE(text.find("2016-12-31T23:59:59.50 | "), std::string::npos);
    EXPECT_NE(text.find("2016-12-31T23:59:59.0 | "), std::string::npos);
    EXPECT_NE(text.find(" | WARN | f | x\r\n"), std::string::npos);
    EXPECT_NE(text.find(" | ERROR | f | y\r\n"), std::string::npos);
}

TEST_F(LoggerTest, LevelFiltersAndSkipsEvaluation) {
    install(LEVEL_WARN);
    int evaluated = 0;
    auto expensive = [&evaluated] {
        ++evaluated;
        return std::wstring(L"costly");
    };
    AGENT_INFO(L"f") << expensive();
    AGENT_DEBUG(L"f") << expensive();
    EXPECT_EQ(evaluated, 0);
    AGENT_WARN(L"f") << "warn";
    AGENT_ERROR(L"f") << "error";
    const std::string text = read_text(directory / "2016.03.log");
    EXPECT_NE(text.find("| WARN | f | warn"), std::string::npos);
    EXPECT_NE(text.find("| ERROR | f | error"), std::string::npos);
    EXPECT_EQ(text.find("INFO"), std::string::npos);

    install_logger(nullptr);
    AGENT_ERROR(L"f") << expensive();
    EXPECT_EQ(evaluated, 0);
}

TEST_F(LoggerTest, SwitchesFileAtMonthChangeAndAppendsOnRestart) {
    install();
    AGENT_WARN(L"f") << "march";
    g_now = utc(2016, 4, 1, 0, 0, 0, 1);
    AGENT_WARN(L"f") << "april";
    EXPECT_EQ(read_text(directory / "2016.03.log").find("april"), std::string::npos);
    EXPECT_NE(read_text(directory / "2016.04.log").find("april"), std::string::npos);

    // The turn of the year is a month change too.
    g_now = utc(2017, 1, 1, 0, 0, 0, 0);
    AGENT_WARN(L"f") << "january";
    EXPECT_NE(read_text(directory / "2017.01.log").find("january"), std::string::npos);

    // A new process in the same month appends to that month's file.
    install();
    AGENT_WARN(L"f") << "again";
    const std::string january = read_text(directory / "2017.01.log");
    EXPECT_LT(january.find("january"), january.find("again"));
}

TEST_F(LoggerTest, DeletedFileIsRecreated) {
    install();
    AGENT_WARN(L"f") << "first";
    fs::remove(directory / "2016.03.log");
    AGENT_WARN(L"f") << "second";
    const std::string text = read_text(directory / "2016.03.log");
    EXPECT_EQ(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

TEST_F(LoggerTest, DirectoryThatIsAFileFailsClearly) {
    agent::testing::write_text(directory, "not a directory");
    EXPECT_THROW(create_logger(utf8_to_wide(directory.string()), LEVEL_WARN), fs::filesystem_error);
}

TEST_F(LoggerTest, DefaultDirectoryFollowsXdgState) {
    set_log_clock_for_testing(nullptr);
    auto logger = create_logger(L"", LEVEL_WARN);
    ASSERT_TRUE(logger);
    EXPECT_EQ(logger->directory(), utf8_to_wide((home().path() / ".local/state/varnel-agent/log").string()));
    ::setenv("XDG_STATE_HOME", (home().path() / "state").c_str(), 1);
    EXPECT_EQ(create_logger(L"", LEVEL_WARN)->directory(),
              utf8_to_wide((home().path() / "state/varnel-agent/log").string()));
    ::unsetenv("XDG_STATE_HOME");
}

TEST_F(LoggerTest, ConcurrentWritersProduceWholeLines) {
    install();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                AGENT_INFO(L"agent::worker") << "thread " << t << " line " << i << " " << std::wstring(300, L'ж');
        });
    for (auto& thread : threads)
        thread.join();
    const std::string text = read_text(directory / "2016.03.log");
    const std::regex line("^2016-03-01T09:05:07\\.5 \\| \\d+ \\| INFO \\| agent::worker \\| thread \\d line \\d+ (ж){300}\r$");
    std::istringstream lines(text);
    std::string one;
    int count = 0;
    while (std::getline(lines, one)) {
        ASSERT_TRUE(std::regex_match(one, line)) << one.substr(0, 80);
        ++count;
    }
    EXPECT_EQ(count, 800);
}

// A logger that notices being deleted while a statement is still writing through it.
class WatchedLogger : public ILogger {
public:
    struct Watch {
        std::atomic<int> deleted_while_writing{0};
        std::atomic<long> lines{0};
    };
    explicit WatchedLogger(Watch& watch) : watch_(watch) { level = LEVEL_INFO; }
    ~WatchedLogger() override {
        if (inside_.load() > 0)
            ++watch_.deleted_while_writing;
    }
    void write(const wchar_t*, std::size_t) override {
        ++inside_;
        // A write that takes a moment, as a line written through to disk does.
        for (int i = 0; i < 20; ++i)
            std::this_thread::yield();
        ++watch_.lines;
        --inside_;
    }

private:
    Watch& watch_;
    std::atomic<int> inside_{0};
};

TEST(LoggerReplacement, NoLoggerIsDeletedWhileAnotherThreadWritesThroughIt) {
    WatchedLogger::Watch watch;
    install_logger(std::make_unique<WatchedLogger>(watch));
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&] {
            while (!stop)
                AGENT_INFO(L"agent::test::writer") << "line";
        });
    ASSERT_TRUE(agent::testing::wait_for([&] { return watch.lines.load() > 100; }));
    for (int i = 0; i < 300; ++i)
        install_logger(std::make_unique<WatchedLogger>(watch));
    stop = true;
    for (auto& writer : writers)
        writer.join();
    install_logger(nullptr);
    EXPECT_EQ(watch.deleted_while_writing.load(), 0);
}

TEST(LogLevelTest, NamesAndParsing) {
    EXPECT_STREQ(level_name(5), L"");
    EXPECT_EQ(parse_level(L"DeBuG"), LEVEL_DEBUG);
    EXPECT_EQ(parse_level(L"info"), LEVEL_INFO);
    EXPECT_EQ(parse_level(L"ERROR"), LEVEL_WARN);
    EXPECT_EQ(parse_level(L""), LEVEL_WARN);
}

}  // namespace
