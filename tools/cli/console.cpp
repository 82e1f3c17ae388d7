#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>

#include "details/strings.h"

namespace agent::cli {

namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a closed pipe: nobody reads any more
        done += static_cast<std::size_t>(n);
    }
}

void strip_line_end(std::string& line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
}

// Restores the terminal's echo however the prompt ends.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_)
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

}  // namespace

TerminalConsole::TerminalConsole() {
    // A reader that went away (`... | head`) ends the output, not the program mid-call.
    ::signal(SIGPIPE, SIG_IGN);
}

void TerminalConsole::print(const std::wstring& line) {
    write_all(STDOUT_FILENO, details::wide_to_utf8(line) + "\n");
}

void TerminalConsole::error(const std::wstring& line) {
    write_all(STDERR_FILENO, details::wide_to_utf8(line) + "\n");
}

std::optional<std::wstring> TerminalConsole::read_line() {
    std::string line;
    if (!std::getline(std::cin, line) && line.empty())
        return std::nullopt;
    strip_line_end(line);
    return details::utf8_to_wide(line);
}

std::optional<std::wstring> TerminalConsole::ask_secret(const std::wstring& prompt) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    write_all(fd, details::wide_to_utf8(prompt));

    // Ctrl+C ends the prompt instead of the process, so the terminal gets its echo back.
    struct sigaction quiet_action {};
    quiet_action.sa_handler = [](int) {};
    sigemptyset(&quiet_action.sa_mask);
    struct sigaction saved_int {}, saved_term {};
    ::sigaction(SIGINT, &quiet_action, &saved_int);
    ::sigaction(SIGTERM, &quiet_action, &saved_term);
    const sigset_t stops = stop_signals();
    sigset_t saved_mask;
    ::pthread_sigmask(SIG_BLOCK, &stops, &saved_mask);
    sigset_t waiting_mask = saved_mask;
    sigdelset(&waiting_mask, SIGINT);
    sigdelset(&waiting_mask, SIGTERM);

    std::string line;
    bool ended = false;
    {
        EchoOff quiet(fd);
        pollfd input{fd, POLLIN, 0};
        while (!ended) {
            if (::ppoll(&input, 1, nullptr, &waiting_mask) < 0)
                break;  // interrupted
            char c = 0;
            const ssize_t n = ::read(fd, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (c == '\n')
                ended = true;
            else
                line.push_back(c);
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    ::sigaction(SIGINT, &saved_int, nullptr);
    ::sigaction(SIGTERM, &saved_term, nullptr);
    write_all(fd, "\n");
    ::close(fd);
    if (!ended)
        return std::nullopt;
    strip_line_end(line);
    return details::utf8_to_wide(line);
}

void TerminalConsole::block_interrupts() {
    const sigset_t set = stop_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool TerminalConsole::wait_for_interrupt(const std::function<bool()>& keep_waiting) {
    const sigset_t set = stop_signals();
    const timespec tick{0, 200 * 1000 * 1000};
    while (keep_waiting()) {
        if (::sigtimedwait(&set, nullptr, &tick) > 0)
            return true;
    }
    return false;
}

}  // namespace agent::cli
