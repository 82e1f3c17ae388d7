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
using DataProvider = std::function<std::optional<std::string>(const std::string& url)>;

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
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    // The window's own events reach the script handler too, without arguments: focus lost
    // as "window_hide", the pointer entering and leaving as "on_mouse_enter" and
    // "on_mouse_leave".
    void set_script_handler(ScriptHandler handler);
    void set_link_handler(LinkHandler handler);
    void set_data_provider(DataProvider provider);

    // Starts loading a res: document; any other URL throws EngineException, because
    // only the program's own documents get the page policy.
    void load(const std::string& url);
    // Waits (nested loop) until the document has loaded; false on failure or timeout.
    bool wait_loaded(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool loaded() const;

    void show();
    void hide();
    bool visible() const;
    void move(int x, int y);
    void resize(int width, int height);
    std::pair<int, int> size() const;
    std::pair<int, int> position() const;
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
