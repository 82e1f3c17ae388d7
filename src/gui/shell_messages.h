#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "details/exception.h"

// The shell's events, page kinds and timers, and the one door from any thread onto the GUI
// thread. All of it runs on the GLib main context of the GUI thread, so it keeps working
// inside nested loops (modal dialogs, synchronous script calls).
namespace varnelagent {

// The names of the program's messages, kept as the names of the typed events of
// ShellWindow below (they travel as calls, never as numbers with pointers): WM_CLOSE is
// on_close_request, WM_COMMAND on_command (the tray's ids), WM_SHOW_PAGE on_show_page,
// WM_MODAL_DIALOG on_dialog_request, WM_MESSAGE_READ on_message_read, WM_TIMER on_timer.
inline constexpr unsigned WM_USER = 1024;
inline constexpr unsigned WM_TRAY_CALLBACK = WM_USER + 1;  // 1025
inline constexpr unsigned WM_SHOW_PAGE = WM_USER + 2;      // 1026
inline constexpr unsigned WM_MODAL_DIALOG = WM_USER + 3;   // 1027
inline constexpr unsigned WM_MESSAGE_READ = WM_USER + 4;   // 1028
inline constexpr unsigned WM_CLOSE = 0x0010;
inline constexpr unsigned WM_COMMAND = 0x0111;
inline constexpr unsigned WM_TIMER = 0x0113;

// The tray menu's commands. 0 is what a click on the tray icon itself gives; it means Open.
inline constexpr unsigned ID_EXIT = 32774;
inline constexpr unsigned ID_INSTRUCTION = 32776;
inline constexpr unsigned ID_CHANGE_USER = 32777;
inline constexpr unsigned ID_OPEN = 32778;
inline constexpr unsigned ID_SILENT_MODE = 32779;

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

// Kinds that on_show_page accepts: the pages of the main window (0, 1, 2, 3 and 7).
bool is_main_window_page(int kind) noexcept;

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

// A dialog request is a string (the document URL, which is also the dialog's properties) or
// an object whose member "page" names the document. The document it opens: the string
// itself, or the object's "page" member when that is a string, else "res:error.html".
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
// before it waits for the workers: every waiting execute_on_gui_thread of those
// workers then throws HandOverCancelled, and queued calls that have not started are
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

// The one door onto the GUI thread. Queues the task on the GUI thread's main context and
// returns at once, from any thread (from the GUI thread too: the task runs later, in
// order). The calling thread's open gates (HandOverScope) cover it: once one of them has
// closed, the task is skipped. An exception it throws is logged under the context.
void post_on_gui_thread(std::function<void()> task, const wchar_t* context = L"varnelagent::post_on_gui_thread");

// The same door for a worker that needs the task done (a dialog's answer, a value only the
// GUI thread has): it waits until the task has run and rethrows what it threw. The same
// cancellation: a gate of the caller that closes, before or while it waits, gives
// HandOverCancelled. Runs also while the GUI thread sits in a nested loop. Called on the GUI
// thread itself it throws GuiThreadException instead of waiting for itself.
void execute_on_gui_thread(const std::function<void()>& task);

// Handle of a shell window; 0 is no window. Handles are never reused, so an event for a
// window that is gone finds nothing instead of a stranger.
using WindowHandle = std::uint64_t;

// A window that receives the shell's events and timers on the GUI thread, as typed calls
// (named after the program's messages, see above). A window ignores what it has no use for.
// Created and destroyed on the GUI thread.
class ShellWindow {
public:
    ShellWindow();
    virtual ~ShellWindow();
    ShellWindow(const ShellWindow&) = delete;
    ShellWindow& operator=(const ShellWindow&) = delete;

    WindowHandle handle() const noexcept { return handle_; }

    // A repeating timer: on_timer(id) every period until killed. Setting an id again
    // restarts it with the new period. GUI thread only.
    void set_timer(unsigned id, unsigned period_ms);
    void kill_timer(unsigned id);
    bool has_timer(unsigned id) const;

    // WM_CLOSE: asked to close (the close button, the page, the desktop).
    virtual void on_close_request() {}
    // WM_COMMAND: one of the tray's commands (0: a click on the icon itself, Open).
    virtual void on_command(unsigned command) { (void)command; }
    // WM_SHOW_PAGE: the page of that kind, starting the session first when asked to.
    virtual void on_show_page(PageKind kind, bool session_start) {
        (void)kind;
        (void)session_start;
    }
    // WM_MODAL_DIALOG: runs the dialog the request names and answers its result; nothing
    // when no dialog could be shown.
    virtual std::optional<Json::Value> on_dialog_request(const Json::Value& request) {
        (void)request;
        return std::nullopt;
    }
    // WM_MESSAGE_READ: the message was read somewhere in the program.
    virtual void on_message_read(const std::wstring& id) { (void)id; }
    // WM_TIMER.
    virtual void on_timer(unsigned id) { (void)id; }

private:
    WindowHandle handle_;
    std::vector<std::pair<unsigned, unsigned>> timers_;  // id, GLib source id
};

// Through the one door: the event for the window, from any thread, looked up when it runs,
// so a window destroyed meanwhile simply never sees it. The caller's gates do not apply: it
// touches nothing of the caller's. False when no such window exists now.
bool post_to(WindowHandle window, std::function<void(ShellWindow&)> event,
             const wchar_t* context = L"varnelagent::post_to");
bool post_close(WindowHandle window);
bool post_command(WindowHandle window, unsigned command);
bool post_show_page(WindowHandle window, PageKind kind, bool session_start = false);
bool post_message_read(WindowHandle window, std::wstring id);

// The dialog request on the window, and its result: a direct call on the GUI thread, a wait
// from any other (the worker's gates apply). Nothing when the window is gone or no dialog
// could be shown.
std::optional<Json::Value> request_dialog_on(WindowHandle window, Json::Value request);

// The window behind a handle, or nullptr (GUI thread: the pointer is good until the loop runs).
ShellWindow* find_window(WindowHandle window);
bool is_window(WindowHandle window);

// Timer sources still attached to the GUI thread's main context, of all windows.
std::size_t live_timer_count() noexcept;

}  // namespace varnelagent
