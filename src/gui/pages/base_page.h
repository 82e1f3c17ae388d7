#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "gui/engine/host_window.h"
#include "gui/shell_messages.h"
#include "model/message.h"

namespace agent {
class AgentClient;
}
namespace winhttp {
class SimpleClient;
}

// The screens of the shell. Every page lives in one window: the main window for the
// ordinary pages, a window of its own for the popup and the dialogs.
namespace varnelagent::pages {

// The base of every page. It receives the window's script calls, answers the functions
// every page shares, turns link clicks into page switches or browser launches, supplies
// the remote images of the page off the GUI thread, and asks the document whether the
// page may be left. Derived pages give their kind, their document and their own script
// functions (a table of names, see add_script_function), and take the shell's events they
// care about through the virtuals below. Everything here runs on the GUI thread unless said
// otherwise.
class BasePage {
public:
    explicit BasePage(agent::AgentClient* client);
    // Detaches. Derived destructors first set the closing flag and end their work.
    virtual ~BasePage();
    BasePage(const BasePage&) = delete;
    BasePage& operator=(const BasePage&) = delete;

    // Makes the page the handler of the window's events and loads its document. `owner`
    // receives the page's messages (page switches, close, dialogs) and owns its timers.
    void attach(ShellWindow& owner, engine::HostWindow& window);
    void detach();
    bool attached() const noexcept { return window_ != nullptr; }

    virtual PageKind kind() const = 0;
    virtual std::string start_url() const = 0;
    // Asks the document's on_unload_page(): a result that is neither a boolean nor a
    // number (no such function) lets the page go; otherwise non-zero does.
    virtual bool on_unload_page();

    // The shell's news for the current page (GUI thread), each ignored unless a page wants it:
    // a batch of new messages from the stream (a page still loading keeps it until it can
    // show it), a message read elsewhere in the program, the silent mode changed in the tray.
    virtual void on_new_messages(const std::vector<agent::Message>& messages) { (void)messages; }
    virtual void on_message_read(const std::wstring& id) { (void)id; }
    virtual void on_silent_mode(bool enabled) { (void)enabled; }
    // Ends the page's work (its tasks, and what they hold for the server) before the owner
    // takes the page away. Runs once; destructors call it too.
    virtual void end_work() {}

    // Calls a global script function of the document and waits for its result.
    Json::Value call_script(const std::string& name, const Json::Value& args = Json::Value(Json::arrayValue),
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Queues the call and returns at once; a failure is logged.
    void call_script_async(const std::string& name, const Json::Value& args = Json::Value(Json::arrayValue));

    // Any thread: set first thing by the derived destructor; workers and the stream
    // thread stop handing anything to the page once it is set.
    bool closing() const noexcept { return closing_.load(); }

    // Cleared while a dialog is shown over the page, so that losing the focus to the
    // dialog does not hide the window.
    void set_hide_allowed(bool allowed) noexcept { hide_allowed_ = allowed; }
    // Whether losing the focus hides the window: yes for the pages a user brings back from
    // the tray; a page shown before there is a tray icon keeps its window.
    virtual bool hides_when_unfocused() const { return true; }
    bool hide_allowed() const noexcept { return hide_allowed_; }
    // Whether the page may be destroyed while its window is hidden, to be made afresh when
    // the window is shown again: not while it holds something the user has not saved.
    virtual bool may_release() { return true; }

    // The handle of the window that receives the page's messages (0 before attach).
    WindowHandle window_handle() const noexcept { return owner_handle_; }
    engine::HostWindow* host_window() const noexcept { return window_; }
    agent::AgentClient& client() const noexcept { return *client_; }

    // Whether the document has placed and sized its window since it was loaded (the
    // owner shows the window once it has, so it never appears at the old size).
    bool placed() const noexcept { return placed_; }
    // Called once the document has placed its window, or failed to load.
    void set_placed_handler(std::function<void()> handler) { placed_handler_ = std::move(handler); }

protected:
    // What a script call of the document does: its arguments in, its answer out (null for
    // none; a handler that answers later takes engine::defer_reply()).
    using ScriptFunction = std::function<Json::Value(const Json::Value& args)>;
    // Makes `view.<name>(...)` of the page's document run the handler (GUI thread). The
    // functions every page shares come first; a name neither knows rejects the call.
    void add_script_function(const std::string& name, ScriptFunction function);

    // Loads another document into the page's window; it places the window again.
    void load_document(const std::string& url);
    // The document has loaded (GUI thread).
    virtual void on_document_loaded() {}
    // The owner of the page's window (the main window, or the dialog itself); null before
    // attach.
    ShellWindow* shell_owner() const noexcept { return owner_; }

    std::atomic<bool> closing_{false};

private:
    std::optional<Json::Value> dispatch(const std::string& name, const Json::Value& args);
    void add_shared_functions();
    void on_link(const std::string& href, const std::string& auth);
    void open_link(const std::string& href, const std::string& auth);
    void mark_placed();

    agent::AgentClient* client_;
    ShellWindow* owner_ = nullptr;
    WindowHandle owner_handle_ = 0;
    engine::HostWindow* window_ = nullptr;
    bool hide_allowed_ = true;
    bool placed_ = false;
    std::function<void()> placed_handler_;
    std::map<std::string, ScriptFunction> shared_functions_;
    std::map<std::string, ScriptFunction> functions_;
    // Work queued for later (link clicks) checks this before touching the page.
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

// The page a href names when it is one of the pages of the main window ("notifications.htm",
// "help.htm", "settings.htm"), else nothing.
std::optional<PageKind> page_for_link(const std::string& href);

// Whether the browser may be given this address: http and https only, so that a
// "javascript:" or "file:" link from a message can never be opened.
bool is_web_address(const std::string& href);

// Opens an address a user clicked (a message, a link of the help page, a desktop notice's
// "Открыть"): an http(s) address in the browser window, signed in with the client's
// session when `signed_in`; anything else is refused. A failure is shown in the error
// dialog over the owner ("Не удалось открыть ссылку: …"), which runs a loop of its own, so
// this is called outside any event handler. GUI thread.
void open_web_link(agent::AgentClient& client, const std::string& href, bool signed_in, WindowHandle owner);

// The bytes for a remote image of a page: the icon through the program's own HTTP client,
// or the resource "icon-default.png" when it cannot be fetched. Any thread.
std::string fetch_remote_image(const std::weak_ptr<winhttp::SimpleClient>& client, const std::wstring& api_base,
                               const std::wstring& session_id, const std::string& url);

// How a page's document addresses an icon: "icon-default.png" for none, "remote:<url>"
// for an http(s) address (fetched by the shell), anything else as it is.
std::string icon_address(const std::wstring& url);

// Numbers from a script value the way the pages read them: true for a boolean true or a
// non-zero number; a string for string values, else empty.
bool is_true(const Json::Value& value);
std::string string_of(const Json::Value& value);

}  // namespace varnelagent::pages
