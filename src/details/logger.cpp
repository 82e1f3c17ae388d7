#include "details/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <thread>

#include "details/path.h"
#include "details/strings.h"

namespace agent::details {

namespace {

std::atomic<LogClock> g_clock{nullptr};

// Replacing the logger while other threads log. A logging statement registers in the
// reader count of the current epoch before it loads the pointer, and stays registered
// until its line is written. Installing stores the new pointer, moves to the next epoch
// and waits until the old epoch's count is zero; only then is the old logger deleted. A
// statement that registered late, in an epoch already left, sees that on its second look
// and registers again, so the wait covers only statements begun before the switch.
std::mutex g_install_mutex;
std::unique_ptr<ILogger> g_logger;  // guarded by g_install_mutex
std::atomic<ILogger*> g_logger_pointer{nullptr};
std::atomic<unsigned> g_epoch{0};
std::atomic<long> g_readers[2];

struct UtcTime {
    int year, month, day, hour, minute, second, millisecond;
};

UtcTime utc_time(std::int64_t milliseconds) {
    const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
            static_cast<int>(milliseconds % 1000)};
}

}  // namespace

const wchar_t* level_name(std::uint8_t level) noexcept {
    switch (level) {
    case LEVEL_ERROR:
        return L"ERROR";
    case LEVEL_WARN:
        return L"WARN";
    case LEVEL_INFO:
        return L"INFO";
    case LEVEL_DEBUG:
        return L"DEBUG";
    default:
        return L"";
    }
}

std::uint8_t parse_level(std::wstring_view name) noexcept {
    std::wstring lower = to_lower_ascii(std::wstring(name));
    if (lower == L"info")
        return LEVEL_INFO;
    if (lower == L"debug")
        return LEVEL_DEBUG;
    return LEVEL_WARN;
}

void set_log_clock_for_testing(LogClock clock) noexcept {
    g_clock.store(clock);
}

std::int64_t log_clock_now() noexcept {
    if (LogClock clock = g_clock.load())
        return clock();
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

MonthlyLogger::MonthlyLogger(std::wstring directory) : directory_(std::move(directory)) {
    const std::filesystem::path folder(wide_to_utf8(directory_));
    std::filesystem::create_directories(folder);
    // The log tells what the user did and when: for the user's eyes only.
    ::chmod(folder.c_str(), 0700);
    const UtcTime now = utc_time(log_clock_now());
    std::lock_guard lock(mutex_);
    open_month(now.year, now.month);
}

MonthlyLogger::~MonthlyLogger() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::wstring MonthlyLogger::current_file() const {
    std::lock_guard lock(mutex_);
    return path_;
}

void MonthlyLogger::open_month(int year, int month) {
    year_ = static_cast<std::uint16_t>(year);
    month_ = static_cast<std::uint8_t>(month);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    path_ = path::join(directory_, fmt::format(L"{}.{:02}.log", year, month));
    // O_SYNC: every line is on disk when write() returns. O_APPEND: restarts append.
    // O_NOFOLLOW: a link planted in the file's place does not lead the lines elsewhere.
    fd_ = ::open(wide_to_utf8(path_).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_SYNC | O_CLOEXEC | O_NOFOLLOW, 0600);
}

void MonthlyLogger::write(const wchar_t* text, std::size_t count) {
    const UtcTime now = utc_time(log_clock_now());
    const std::string bytes = wide_to_utf8(std::wstring_view(text, count));
    std::lock_guard lock(mutex_);
    struct stat info {};
    const bool gone = fd_ < 0 || ::stat(wide_to_utf8(path_).c_str(), &info) != 0;
    if (gone || now.year > year_ || (now.year == year_ && now.month > month_))
        open_month(now.year, now.month);
    if (fd_ < 0)
        return;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
        if (n <= 0)
            return;  // a full disk drops the line; logging must never fail the caller
        written += static_cast<std::size_t>(n);
    }
}

std::wstring default_log_directory() {
    return path::join(path::get_state_directory(), L"log");
}

std::unique_ptr<MonthlyLogger> create_logger(const std::wstring& directory, std::uint8_t level) {
    std::wstring target = directory;
    if (target.empty()) {
        target = default_log_directory();
        if (target.empty())
            return nullptr;
    }
    auto logger = std::make_unique<MonthlyLogger>(target);
    logger->level = level;
    return logger;
}

ILogger* process_logger() noexcept {
    return g_logger_pointer.load(std::memory_order_acquire);
}

void install_logger(std::unique_ptr<ILogger> logger) {
    std::unique_ptr<ILogger> old;
    {
        std::lock_guard lock(g_install_mutex);
        if (logger && logger.get() == g_logger.get()) {
            logger.release();
            return;
        }
        old = std::move(g_logger);
        g_logger = std::move(logger);
        g_logger_pointer.store(g_logger.get());
        const unsigned left = g_epoch.fetch_add(1);
        // Statements still writing through the old logger; none can join them now.
        while (g_readers[left & 1].load() != 0)
            std::this_thread::yield();
    }
}

LogTarget::LogTarget(std::uint8_t level) noexcept {
    if (g_logger_pointer.load(std::memory_order_relaxed) == nullptr)
        return;  // no logger: nothing to hold
    for (;;) {
        const unsigned epoch = g_epoch.load();
        slot_ = static_cast<int>(epoch & 1);
        g_readers[slot_].fetch_add(1);
        if (g_epoch.load() == epoch)
            break;
        g_readers[slot_].fetch_sub(1);
    }
    ILogger* logger = g_logger_pointer.load();
    if (logger != nullptr && logger->level.load(std::memory_order_relaxed) >= level) {
        logger_ = logger;
        return;
    }
    release();
}

LogTarget::~LogTarget() {
    release();
}

void LogTarget::release() noexcept {
    if (slot_ < 0)
        return;
    g_readers[slot_].fetch_sub(1, std::memory_order_release);
    slot_ = -1;
}

LogEntry::LogEntry(ILogger& logger, std::uint8_t level, const wchar_t* function) : logger_(logger) {
    const UtcTime t = utc_time(log_clock_now());
    const auto thread = static_cast<long>(::syscall(SYS_gettid));
    fmt::format_to(std::back_inserter(buffer_), L"{}-{:02}-{:02}T{:02}:{:02}:{:02}.{} | {} | {} | {} | ", t.year,
                   t.month, t.day, t.hour, t.minute, t.second, t.millisecond, thread, level_name(level),
                   function ? function : L"");
}

LogEntry::~LogEntry() {
    try {
        static constexpr wchar_t crlf[] = L"\r\n";
        buffer_.append(crlf, crlf + 2);
        logger_.write(buffer_.data(), buffer_.size());
    } catch (...) {
        // A line that cannot be finished is lost; logging goes on.
    }
}

namespace {

// What could end a line or change how it reads: C0 and C1 controls, DEL, the Unicode line and
// paragraph separators.
bool breaks_lines(wchar_t c) noexcept {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

}  // namespace

void LogEntry::append_escaped(wchar_t c) {
    // Text from a server may hold anything: a line break in it would start a forged line.
    const auto put = [this](std::wstring_view escape) { buffer_.append(escape.data(), escape.data() + escape.size()); };
    switch (c) {
    case L'\n':
        put(L"\\n");
        return;
    case L'\r':
        put(L"\\r");
        return;
    case L'\t':
        put(L"\\t");
        return;
    default:
        fmt::format_to(std::back_inserter(buffer_), L"\\x{{{:x}}}", static_cast<unsigned>(c));
    }
}

LogEntry& LogEntry::operator<<(std::wstring_view text) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!breaks_lines(text[i]))
            continue;
        buffer_.append(text.data() + start, text.data() + i);
        append_escaped(text[i]);
        start = i + 1;
    }
    buffer_.append(text.data() + start, text.data() + text.size());
    return *this;
}

LogEntry& LogEntry::operator<<(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80 || c < 0x20 || c == 0x7F)
            return *this << std::wstring_view(utf8_to_wide(text));
    }
    for (char c : text)
        buffer_.push_back(static_cast<wchar_t>(c));
    return *this;
}

}  // namespace agent::details
