#pragma once

#include <functional>
#include <optional>
#include <string>

namespace agent::cli {

// Where the commands talk to the person or script that runs them.
class Console {
public:
    virtual ~Console() = default;

    // One line on standard output, written at once (follow prints as messages arrive).
    virtual void print(const std::wstring& line) = 0;
    // One line on standard error.
    virtual void error(const std::wstring& line) = 0;
    // One line of standard input without its line break; nothing at the end of input.
    virtual std::optional<std::wstring> read_line() = 0;
    // Asks on the terminal without echo; nothing when there is no terminal or the person
    // gave up (end of input).
    virtual std::optional<std::wstring> ask_secret(const std::wstring& prompt) = 0;
    // Called before the threads that must not take Ctrl+C are started: from then on the
    // stop request waits for wait_for_interrupt().
    virtual void block_interrupts() = 0;
    // Waits until the program is asked to stop (Ctrl+C, SIGTERM): true. Returns false
    // instead once keep_waiting() turns false (asked a few times a second).
    virtual bool wait_for_interrupt(const std::function<bool()>& keep_waiting) = 0;
};

// The real terminal: stdout, stderr, stdin, /dev/tty, SIGINT and SIGTERM.
class TerminalConsole : public Console {
public:
    TerminalConsole();

    void print(const std::wstring& line) override;
    void error(const std::wstring& line) override;
    std::optional<std::wstring> read_line() override;
    std::optional<std::wstring> ask_secret(const std::wstring& prompt) override;
    void block_interrupts() override;
    bool wait_for_interrupt(const std::function<bool()>& keep_waiting) override;
};

}  // namespace agent::cli
