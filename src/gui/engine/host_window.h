#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <json/value.h>

#include "details/exception.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitWebContext WebKitWebContext;

// The page engine: one undecorated, per-pixel-alpha GTK window holding one WebKit view,
// the res: scheme, and the script bridge (`view` in the page, call_script and callbacks on
// this side). Everything here lives and runs on the GUI thread.
namespace varnelagent::engine {

// A failure of the engine itself: a document that could not be loaded, a script function
// that threw, a result that did not come in time, a window that went away while waited on.
class EngineException : public agent::Exception {
public:
    explicit EngineException(std::wstring text) : text_(std::move(text)) {}
    std::wstring description() const override { return text_; }
    std::wstring message() const override { return text_; }

private:
    std::wstring text_;
};

// Prepares GTK and WebKit once per process (schemes, resources, security settings).
// Called by HostWindow; GUI thread.
void initialize();

// The pages' web context (the res: and remote: schemes, the page policy). Every page
// window uses it, and views that live at the same time share one web process.
WebKitWebContext* page_context();
// When no page view lives (every window released or destroyed), lets the pages' web context
// go, and with it the page engine's processes: a program waiting in the tray then costs
// only its own process. The next view makes a new context. False while a view lives.
bool release_page_context();

// Runs the GUI thread's main context in a nested loop until the predicate holds or the
// timeout passes; returns the predicate's last value. Other events, script calls and
// GUI-thread calls are served meanwhile.
bool run_nested_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

// The native entry point of the page's `view.name(args...)` calls. nullopt: no such
// function (the Promise is rejected); an exception rejects it with its text.
using ScriptHandler = std::function<std::optional<Json::Value>(const std::string& name, const Json::Value& args)>;
// A click on an element with an href, with its href and its auth attribute (both may be empty).
using LinkHandler = std::function<void(const std::string& href, const std::string& auth)>;
// Bytes for a "remote:" URL (the URL without the "remote:" prefix); nullopt: not found.
// Called on a worker thread of the engine, never on the GUI thread: a slow or dead server
// never freezes a window. The provider must be safe to call from several threads at once.
using DataProvider = std::function<std::optional<std::string>(const std::string& url)>;

// A bridge call whose answer comes later. A script handler that cannot answer at once
// takes it with defer_reply() and returns anything; the page's Promise settles when the
// reply is given. GUI thread only, like the handler. A reply dropped without an answer
// rejects the Promise.
class DeferredReply {
public:
    DeferredReply() = default;
    ~DeferredReply();
    DeferredReply(DeferredReply&&) noexcept;
    DeferredReply& operator=(DeferredReply&&) noexcept;
    DeferredReply(const DeferredReply&) = delete;
    DeferredReply& operator=(const DeferredReply&) = delete;

    void resolve(const Json::Value& value);
    void reject(const std::wstring& text);
    bool pending() const noexcept { return reply_ != nullptr; }

private:
    friend struct BridgeCall;
    DeferredReply(void* reply, void* context) : reply_(reply), context_(context) {}
    void release();
    void* reply_ = nullptr;    // WebKitScriptMessageReply
    void* context_ = nullptr;  // JSCContext of the call
};

// Inside a script handler: takes over the answer of the call being handled. Throws
// EngineException outside a handler or when the call was already taken.
DeferredReply defer_reply();

// Screen rectangle: left and top inclusive, right and bottom exclusive.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// What kind of window the page lives in.
enum class WindowRole {
    Main,    // the program's window: in the task bar, titled "Varnel.Agent"
    Dialog,  // a modal dialog over its owner: not in the task bar
    Popup,   // the corner popup: not in the task bar, never takes the focus when it appears
};

struct WindowOptions {
    int width = 490;
    int height = 700;
    WindowRole role = WindowRole::Main;
    GtkWindow* transient_for = nullptr;
    std::string title = "Варнел.Агент";
};

class HostWindow;
struct HostState;

// A script function the page handed to native code. Cheap to copy; invoking it after its
// page has gone away (window destroyed or another document loaded) does nothing.
class ScriptCallback {
public:
    ScriptCallback() = default;

    // Queues the call and returns at once.
    bool invoke(const Json::Value& args) const;
    // Calls and waits for the result (nested loop). Throws EngineException.
    Json::Value call(const Json::Value& args, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool alive() const;

private:
    friend class HostWindow;
    ScriptCallback(std::weak_ptr<HostState> host, std::uint64_t document, std::int64_t id)
        : host_(std::move(host)), document_(document), id_(id) {}

    std::weak_ptr<HostState> host_;
    std::uint64_t document_ = 0;
    std::int64_t id_ = 0;
};

class HostWindow {
public:
    HostWindow(int width = 490, int height = 700);
    explicit HostWindow(const WindowOptions& options);
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    // The window's own events reach the script handler too, without arguments: focus lost
    // as "window_hide", the pointer entering and leaving as "on_mouse_enter" and
    // "on_mouse_leave".
    void set_script_handler(ScriptHandler handler);
    void set_link_handler(LinkHandler handler);
    void set_data_provider(DataProvider provider);
    // Called when a document has finished loading (true) or failed (false).
    void set_load_handler(std::function<void(bool)> handler);
    // Called (later, on the GUI thread) when the page engine's process has ended under the
    // page; without a handler the document is loaded again.
    void set_crash_handler(std::function<void()> handler);
    // Called when the user or the desktop asks to close the window; without a handler the
    // window only hides.
    void set_close_handler(std::function<void()> handler);

    // Starts loading a res: document; any other URL throws EngineException, because
    // only the program's own documents get the page policy.
    void load(const std::string& url);
    // Waits (nested loop) until the document has loaded; false on failure or timeout.
    bool wait_loaded(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool loaded() const;
    // Destroys the view and its document; the window stays (hidden or not). Pending script
    // calls fail, callbacks of the document die, web_view() is nullptr until the next
    // load(), which makes a new view.
    void release();

    void show();
    void hide();
    bool visible() const;
    // Shows the window and brings it to the front with the focus (Open).
    void present();
    // Puts the window above all others once, without keeping it there.
    void raise_above_others();
    void minimize();
    // Whether the window has the keyboard focus of the desktop.
    bool active() const;
    void set_sensitive(bool sensitive);
    void move(int x, int y);
    void resize(int width, int height);
    std::pair<int, int> size() const;
    std::pair<int, int> position() const;
    Rect rect() const;
    // The work area of the monitor the window is on (the whole monitor less panels).
    Rect work_area() const;
    // Resizes the window to the document's scroll size and returns that size.
    std::pair<int, int> fit_to_document();
    // Renders the whole document into a PNG file. Throws EngineException.
    void snapshot_png(const std::string& path);

    // Calls the global script function by dotted name ("popups.add_messages") with the
    // elements of `args` (an array; any other value is one argument). The result comes
    // with `found` false when no such function exists; a throwing function gives an error.
    struct ScriptResult {
        bool found = false;
        Json::Value value;
        std::optional<std::wstring> error;
    };
    using ScriptResultHandler = std::function<void(ScriptResult)>;
    void call_script_async(const std::string& name, const Json::Value& args, ScriptResultHandler done);
    // Waits for the result in a nested loop. A missing function gives null; a script error
    // or a timeout throws EngineException.
    Json::Value call_script(const std::string& name, const Json::Value& args,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // True for an argument that the page passed as a function.
    static bool is_callback(const Json::Value& value);
    // The callback behind such an argument; throws EngineException for any other value.
    ScriptCallback callback(const Json::Value& value) const;

    GtkWindow* gtk_window() const;
    WebKitWebView* web_view() const;

private:
    std::shared_ptr<HostState> state_;
};

}  // namespace varnelagent::engine
