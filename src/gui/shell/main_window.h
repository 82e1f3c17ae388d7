#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "gui/engine/host_window.h"
#include "gui/pages/base_page.h"
#include "gui/pages/modal_dialog.h"
#include "gui/pages/read_marks.h"
#include "gui/shell/browser_window.h"
#include "gui/shell/desktop_notices.h"
#include "gui/shell/network_watch.h"
#include "gui/shell/shell_decisions.h"
#include "gui/shell/tray_icon.h"
#include "gui/shell_messages.h"
#include "model/message.h"

namespace agent {
class AgentClient;
class IConfiguration;
}  // namespace agent

namespace varnelagent {

// The program's one top-level window and what it owns: the current page, the current
// dialog (or popup), the tray icon and the agent client. It shows one page at a time,
// lives in the tray while a user is signed in, and starts and stops the message stream
// and the update check with the session. It takes the shell's events as typed calls and
// leaves its rules to decisions:: (shell_decisions.h). GUI thread unless said otherwise.
class MainWindow : public ShellWindow {
public:
    // Loads the configuration from the data directory (which installs the log) and makes
    // the agent client. Throws what they throw.
    explicit MainWindow(const std::wstring& data_directory);
    // Releases the dialog, the page, the agent client (which stops its services) and the
    // tray icon, in this order.
    ~MainWindow() override;

    // Chooses what comes first: a waiting update is started and the program closes; a
    // first run shows the overview, a restored session the notifications page with the
    // session started, anything else the sign-in page.
    void on_create();

    // The shell's events (see ShellWindow). An exception never leaves them: it is logged and
    // shown in the error dialog.
    void on_close_request() override;
    void on_command(unsigned command) override;
    void on_show_page(PageKind kind, bool session_start) override;
    std::optional<Json::Value> on_dialog_request(const Json::Value& request) override;
    void on_message_read(const std::wstring& id) override;
    void on_timer(unsigned id) override;

    // Replaces the current page (nullptr: none); false when the current page refuses to
    // be left, and then nothing changes.
    bool switch_page(std::unique_ptr<pages::BasePage> page);

    // A batch of new messages, handed over once by the stream thread: the tray's count, the
    // desktop's notices or the popup, and the current page.
    void on_new_messages(std::vector<agent::Message> messages);

    // The state the rules decide on, as it is now.
    decisions::ShellState state() const;

    // Called once the window has been destroyed (Exit): the program's loop should end.
    void set_destroy_handler(std::function<void()> handler) { destroy_handler_ = std::move(handler); }
    // Ends the program now without asking the page (the session ends with the desktop's):
    // stream and update check stopped, the session file kept.
    void terminate();

    pages::BasePage* current_page() const noexcept { return page_.get(); }
    pages::ModalDialog* current_dialog() const noexcept { return dialog_.get(); }
    engine::HostWindow& window() noexcept { return *window_; }
    TrayIcon& tray() noexcept { return tray_; }
    DesktopNotices& notices() noexcept { return *notices_; }
    BrowserWindow& browser() noexcept { return *browser_; }
    agent::AgentClient& client() noexcept { return *client_; }
    bool session_running() const noexcept { return stream_gate_ != nullptr; }
    bool destroyed() const noexcept { return destroyed_; }

    // How long the window stays hidden before the page engine is let go (and then how
    // often it is tried again while a dialog or unsaved work keeps it); tests shorten it.
    void set_release_period(std::chrono::milliseconds period) { release_period_ = period; }
    // Whether the page and the page engine were let go while hidden; the tray's Open makes
    // a page of the kind that was current.
    bool released() const noexcept { return parked_.has_value(); }

    // The icon theme folder made for the tray when the program runs uninstalled.
    static std::string prepare_icon_directory();

private:
    // Runs the event's work; what it throws is logged and shown.
    void guarded(const wchar_t* context, const std::function<void()>& work);
    void close();
    bool command(unsigned command);
    bool show_page(int kind, bool session_start);
    std::optional<Json::Value> dialog_request(const Json::Value& request);
    void timer(unsigned id);
    // The popup for a batch (made when none is on the screen) and shown for it.
    void show_popup(const std::vector<agent::Message>& messages);
    // What the desktop's notices did not take: the popup, if it still may appear.
    void on_notices_refused(std::vector<agent::Message> messages);
    void open_from_notice(const agent::Message& message);
    void make_notices();
    void count_arrived(const std::vector<agent::Message>& messages);
    void set_unread_shown();
    void clear_unread();
    void on_signout();
    void start_session();
    void stop_session();
    void show_window();
    void on_visibility(bool visible);
    // Hidden in the tray: the page, the closed popup and the page engine go, leaving only
    // this process; true when done or no longer wanted, false to try again later.
    bool release_page_engine();
    // Makes the page that was current when the engine was let go; false if none.
    bool restore_page();
    void destroy();
    std::unique_ptr<pages::BasePage> make_page(int kind);
    // The heap's free pages and the code pages this process alone maps, back to the system.
    void give_back_memory();
    bool dialog_shown() const noexcept { return dialog_ && dialog_->alive(); }

    std::shared_ptr<agent::IConfiguration> configuration_;
    std::unique_ptr<agent::AgentClient> client_;
    // Where links open: the link service holds it too.
    std::shared_ptr<BrowserWindow> browser_;
    std::unique_ptr<engine::HostWindow> window_;
    std::unique_ptr<pages::BasePage> page_;
    std::unique_ptr<pages::ModalDialog> dialog_;
    TrayIcon tray_;
    std::unique_ptr<DesktopNotices> notices_;
    // The marks of messages read from a desktop notice; they belong to the session.
    std::unique_ptr<pages::InstantReadMarks> notice_reads_;
    // Messages that arrived while the window was hidden and were not opened: their ids
    // (a message the stream brings twice counts once) and those without one.
    std::unordered_set<std::wstring> unread_ids_;
    std::size_t unread_without_id_ = 0;
    // The stream callback's hand-overs; closed before the stream is stopped.
    std::shared_ptr<HandOverGate> stream_gate_;
    // While the stream runs: a wake from sleep or a network change reconnects it at once.
    std::unique_ptr<NetworkWatch> network_watch_;
    std::function<void()> destroy_handler_;
    bool destroyed_ = false;
    // The kind of the page let go while hidden, if one was.
    std::optional<PageKind> parked_;
    std::chrono::milliseconds release_period_{TIMER_RELEASE_PERIOD_MS};
};

// The name the program's design gives the main window.
using WindowImpl = MainWindow;

}  // namespace varnelagent
