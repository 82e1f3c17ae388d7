#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "details/exception.h"

// The shell's private window messages, page kinds and timers, and the only doors from a
// worker thread onto the GUI thread: posting or sending a message to a shell window, and
// execute_on_gui_thread. All of it runs on the GLib main context of the GUI thread, so it
// keeps working inside nested loops (modal dialogs, synchronous script calls).
namespace varnelagent {

inline constexpr unsigned WM_USER = 1024;
inline constexpr unsigned WM_TRAY_CALLBACK = WM_USER + 1;  // 1025
inline constexpr unsigned WM_SHOW_PAGE = WM_USER + 2;      // 1026, wParam PageKind, lParam SESSION_START or 0
inline constexpr unsigned WM_MODAL_DIALOG = WM_USER + 3;   // 1027, wParam request code
inline constexpr unsigned WM_MESSAGE_READ = WM_USER + 4;   // 1028, wParam const wchar_t* message id
inline constexpr unsigned WM_CLOSE = 0x0010;               // a request to close the window
inline constexpr unsigned WM_COMMAND = 0x0111;             // wParam command id
inline constexpr unsigned WM_TIMER = 0x0113;               // wParam timer id

// lParam of WM_SHOW_PAGE when the page is shown because a session has just started.
inline constexpr std::intptr_t SESSION_START = 5;

// Request codes of WM_MODAL_DIALOG.
inline constexpr std::uintptr_t DIALOG_RUN_CURRENT = 0;
inline constexpr std::uintptr_t DIALOG_NEW_MESSAGES = 3;
inline constexpr std::uintptr_t DIALOG_REQUEST = 4;

// The tray menu's commands, sent as WM_COMMAND. 0 is what a click on the tray icon itself
// sends; it means Open.
inline constexpr std::uintptr_t ID_EXIT = 32774;
inline constexpr std::uintptr_t ID_INSTRUCTION = 32776;
inline constexpr std::uintptr_t ID_CHANGE_USER = 32777;
inline constexpr std::uintptr_t ID_OPEN = 32778;
inline constexpr std::uintptr_t ID_SILENT_MODE = 32779;

enum PageKind : int {
    AUTH_PAGE = 0,
    NOTIFICATIONS_PAGE = 1,
    HELP_PAGE = 2,
    SETTINGS_PAGE = 3,
    MESSAGE_POPUP = 4,
    MESSAGE_DIALOG = 5,
    SAVE_DIALOG = 6,
    OVERVIEW_PAGE = 7,
};

// Kinds that WM_SHOW_PAGE accepts: the pages of the main window (0, 1, 2, 3 and 7).
bool is_main_window_page(std::uintptr_t kind) noexcept;

inline constexpr unsigned TIMER_HIDE = 42;
// How long a window that lost the focus waits to see that the focus stayed away.
inline constexpr unsigned TIMER_HIDE_CONFIRM_MS = 120;
inline constexpr unsigned TIMER_ACTIVATE = 43;
inline constexpr unsigned TIMER_ACTIVATE_PERIOD_MS = 100;
// While the main window is hidden in the tray: the check whether the page engine can be let
// go (no window shown, no dialog, nothing unsaved), repeated until it can.
inline constexpr unsigned TIMER_RELEASE = 44;
inline constexpr unsigned TIMER_RELEASE_PERIOD_MS = 30000;
// Once the page engine has been let go: the library pages its ended processes shared with
// this one are handed back to the system (while they ran, the pages were not this process's
// alone and stayed).
inline constexpr unsigned TIMER_PAGE_OUT = 45;
inline constexpr unsigned TIMER_PAGE_OUT_DELAY_MS = 5000;

// lParam of WM_MODAL_DIALOG request 4. The request is a string (the document URL, which is
// also the dialog's properties) or an object whose member "page" names the document. The
// serving window writes the dialog's result into `result` and answers 1; the sender reads
// it after the send returns, so the result never outlives its owner.
struct DialogRequest {
    Json::Value value;
    Json::Value result;
};

// The document a dialog request opens: the string itself, or the object's "page" member
// when that is a string, else "res:error.html".
std::string dialog_document(const Json::Value& request);

// Refusal of a GUI-thread call: from the GUI thread itself, or when the GUI thread's
// loop dropped the call without running it.
class GuiThreadException : public agent::Exception {
public:
    explicit GuiThreadException(std::wstring text) : text_(std::move(text)) {}
    std::wstring description() const override { return text_; }
    std::wstring message() const override { return text_; }

private:
    std::wstring text_;
};

// A hand-over to the GUI thread that was given up: its gate closed while the caller waited
// (or before it asked). The function object was not run, or is still running and will
// finish on its own; either way the caller must leave without touching what it guards.
class HandOverCancelled : public GuiThreadException {
public:
    HandOverCancelled() : GuiThreadException(L"The hand-over to the GUI thread was given up") {}
};

// The hand-overs of a group of worker threads (a page's tasks, the message stream's
// callback) that their owner can abandon at once. The owner closes it on the GUI thread
// before it waits for the workers: every waiting execute_on_gui_thread or send_message of
// those workers then throws HandOverCancelled, and queued calls that have not started are
// skipped. This is what lets a page be destroyed, or the stream be stopped, while one of
// its workers waits for the GUI thread.
class HandOverGate {
public:
    HandOverGate() = default;
    HandOverGate(const HandOverGate&) = delete;
    HandOverGate& operator=(const HandOverGate&) = delete;

    // Any thread. Wakes every waiter; later hand-overs through the gate fail at once.
    void close();
    bool closed() const;

    struct Waiter;

private:
    friend struct GateAccess;
    mutable std::mutex mutex_;
    bool closed_ = false;
    std::vector<std::weak_ptr<Waiter>> waiters_;
};

// Puts the calling thread's hand-overs under the gate for the scope's life. Worker
// threads open one first thing. Scopes nest: a hand-over is given up when any of the
// thread's open gates closes.
class HandOverScope {
public:
    explicit HandOverScope(std::shared_ptr<HandOverGate> gate);
    ~HandOverScope();
    HandOverScope(const HandOverScope&) = delete;
    HandOverScope& operator=(const HandOverScope&) = delete;
};

// Marks the calling thread as the GUI thread. The entry point calls it before any other
// thread exists; without the call the first thread to ask is taken.
void init_gui_thread();
bool is_gui_thread();

// Runs the function object on the GUI thread and returns once it has run; an exception it
// throws is rethrown here. Runs also while the GUI thread sits in a nested loop. Called on
// the GUI thread itself it throws GuiThreadException instead of waiting for itself.
void execute_on_gui_thread(const std::function<void()>& functor);

// Queues the function object on the GUI thread and returns at once (any thread). An
// exception it throws is logged under the context.
void post_on_gui_thread(std::function<void()> functor, const wchar_t* context = L"varnelagent::post_on_gui_thread");

// Handle of a shell window; 0 is no window. Handles are never reused, so a message for a
// window that is gone finds nothing instead of a stranger.
using WindowHandle = std::uint64_t;

// A window that receives the shell's messages and timers on the GUI thread. Created and
// destroyed on the GUI thread.
class ShellWindow {
public:
    ShellWindow();
    virtual ~ShellWindow();
    ShellWindow(const ShellWindow&) = delete;
    ShellWindow& operator=(const ShellWindow&) = delete;

    WindowHandle handle() const noexcept { return handle_; }

    // A repeating timer: WM_TIMER with the id every period until killed. Setting an id
    // again restarts it with the new period. GUI thread only.
    void set_timer(unsigned id, unsigned period_ms);
    void kill_timer(unsigned id);
    bool has_timer(unsigned id) const;

    // GUI thread. The answer of a sent message; ignored for posted ones.
    virtual std::intptr_t on_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) = 0;

private:
    WindowHandle handle_;
    std::vector<std::pair<unsigned, unsigned>> timers_;  // id, GLib source id
};

// Queues the message for the window from any thread (the GUI thread included) and returns
// at once. False when no such window exists now; a window destroyed before the message is
// delivered simply never sees it.
bool post_message(WindowHandle window, unsigned message, std::uintptr_t wparam, std::intptr_t lparam);

// Delivers the message to the window on the GUI thread and returns its answer: a direct
// call on the GUI thread, a wait from any other thread. 0 when the window does not exist.
std::intptr_t send_message(WindowHandle window, unsigned message, std::uintptr_t wparam, std::intptr_t lparam);

bool is_window(WindowHandle window);

// Timer sources still attached to the GUI thread's main context, of all windows.
std::size_t live_timer_count() noexcept;

}  // namespace varnelagent
