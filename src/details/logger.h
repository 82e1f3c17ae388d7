#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>
#include <fmt/xchar.h>

namespace agent::details {

enum LogLevel : std::uint8_t {
    LEVEL_ERROR = 1,
    LEVEL_WARN = 2,
    LEVEL_INFO = 3,
    LEVEL_DEBUG = 4,
};

// "ERROR", "WARN", "INFO", "DEBUG"; an empty name for 5 and above.
const wchar_t* level_name(std::uint8_t level) noexcept;
// "WARN", "INFO" or "DEBUG" without regard to case; anything else is WARN.
std::uint8_t parse_level(std::wstring_view name) noexcept;

class ILogger {
public:
    virtual ~ILogger() = default;
    // One finished line (CR LF included).
    virtual void write(const wchar_t* text, std::size_t count) = 0;

    // Read directly by the logging sites; a message is written when level >= its level.
    std::atomic<std::uint8_t> level{LEVEL_WARN};
};

// One file per UTC month, "YYYY.MM.log", appended to, written through to disk.
class MonthlyLogger : public ILogger {
public:
    // Creates the directory with its missing parents; std::filesystem errors propagate.
    explicit MonthlyLogger(std::wstring directory);
    ~MonthlyLogger() override;
    MonthlyLogger(const MonthlyLogger&) = delete;
    MonthlyLogger& operator=(const MonthlyLogger&) = delete;

    void write(const wchar_t* text, std::size_t count) override;

    const std::wstring& directory() const noexcept { return directory_; }
    std::wstring current_file() const;

private:
    void open_month(int year, int month);

    int fd_ = -1;
    std::wstring directory_;
    std::wstring path_;
    std::uint16_t year_ = 0;
    std::uint8_t month_ = 0;
    mutable std::mutex mutex_;
};

// Default log directory: $XDG_STATE_HOME/varnel-agent/log (~/.local/state/...).
std::wstring default_log_directory();

// A logger for the directory (empty: the default one) at the level, or nullptr when no
// directory can be found.
std::unique_ptr<MonthlyLogger> create_logger(const std::wstring& directory, std::uint8_t level);

// The process logger: at most one. Installing another deletes the previous one once no
// logging statement is still writing through it (installing waits for those, never for
// statements begun after it), so any thread may log while the logger is replaced.
// process_logger() is for the thread that installs it: another thread's logger may be
// replaced under it.
ILogger* process_logger() noexcept;
void install_logger(std::unique_ptr<ILogger> logger);

// The clock the log reads (milliseconds since the epoch, UTC); tests move it across a
// month boundary. nullptr restores the system clock.
using LogClock = std::int64_t (*)();
void set_log_clock_for_testing(LogClock clock) noexcept;
std::int64_t log_clock_now() noexcept;

// One log line under construction: built in a 500-character inline buffer owned by the
// logging statement, handed to the logger when the statement ends. Whatever is written into
// it keeps to one line: line breaks and other control characters come out as escapes
// ("\n", "\r", "\t", "\x{1b}"), so text from a server can never forge a line.
class LogEntry {
public:
    LogEntry(ILogger& logger, std::uint8_t level, const wchar_t* function);
    ~LogEntry();
    LogEntry(const LogEntry&) = delete;
    LogEntry& operator=(const LogEntry&) = delete;

    LogEntry& operator<<(std::wstring_view text);
    LogEntry& operator<<(const std::wstring& text) { return *this << std::wstring_view(text); }
    LogEntry& operator<<(const wchar_t* text) { return *this << std::wstring_view(text ? text : L""); }
    // Narrow text is taken as UTF-8 (the agent's narrow texts are ASCII).
    LogEntry& operator<<(std::string_view text);
    LogEntry& operator<<(const std::string& text) { return *this << std::string_view(text); }
    LogEntry& operator<<(const char* text) { return *this << std::string_view(text ? text : ""); }
    LogEntry& operator<<(char c) { return *this << std::string_view(&c, 1); }
    LogEntry& operator<<(wchar_t c) { return *this << std::wstring_view(&c, 1); }
    LogEntry& operator<<(bool value) { return *this << (value ? L"true" : L"false"); }

    template <typename T>
        requires std::is_arithmetic_v<T>
    LogEntry& operator<<(T value) {
        fmt::format_to(std::back_inserter(buffer_), L"{}", value);
        return *this;
    }

private:
    void append_escaped(wchar_t c);

    ILogger& logger_;
    fmt::basic_memory_buffer<wchar_t, 500> buffer_;
};

// The logger that admits a message of this level, held for one logging statement: while
// a target holds it, installing another logger waits before deleting it. Empty when there
// is no logger or its level does not admit the message.
class LogTarget {
public:
    explicit LogTarget(std::uint8_t level) noexcept;
    ~LogTarget();
    LogTarget(const LogTarget&) = delete;
    LogTarget& operator=(const LogTarget&) = delete;

    explicit operator bool() const noexcept { return logger_ != nullptr; }
    ILogger& operator*() const noexcept { return *logger_; }

private:
    void release() noexcept;

    ILogger* logger_ = nullptr;
    int slot_ = -1;  // the reader count this statement is registered in
};

}  // namespace agent::details

// AGENT_INFO(L"agent::MessageService::mark_as_read") << "Query: " << url;
// Nothing right of the macro is evaluated when no logger admits the level.
#define AGENT_LOG(level, function)                                         \
    if (::agent::details::LogTarget agent_log_target_{level}; !agent_log_target_) { \
    } else                                                                 \
        ::agent::details::LogEntry(*agent_log_target_, level, function)

#define AGENT_ERROR(function) AGENT_LOG(::agent::details::LEVEL_ERROR, function)
#define AGENT_WARN(function) AGENT_LOG(::agent::details::LEVEL_WARN, function)
#define AGENT_INFO(function) AGENT_LOG(::agent::details::LEVEL_INFO, function)
#define AGENT_DEBUG(function) AGENT_LOG(::agent::details::LEVEL_DEBUG, function)
