#pragma once

// Inside the page engine layer only: what its three parts (the window, the script bridge and
// the res:/remote: schemes) share about one window.

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <json/value.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "details/glib_ptr.h"
#include "gui/engine/host_window.h"

namespace varnelagent::engine {

// Everything a window's signal handlers and pending script calls need. Signal handlers get
// a raw pointer and are disconnected before it dies; pending calls hold a weak pointer.
struct HostState : std::enable_shared_from_this<HostState> {
    GtkWidget* window = nullptr;
    WebKitWebView* view = nullptr;
    agent::details::GPtr<WebKitUserContentManager> content;
    agent::details::GPtr<GCancellable> cancellable;
    ScriptHandler script_handler;
    LinkHandler link_handler;
    DataProvider data_provider;
    std::function<void(bool)> load_handler;
    std::function<void()> close_handler;
    std::function<void()> crash_handler;
    std::string expected_url;
    std::uint64_t document = 0;
    bool loading = false;
    bool loaded = false;
    bool failed = false;
    struct {
        bool valid = false;
        guint button = 0;
        gint x_root = 0;
        gint y_root = 0;
        guint32 time = 0;
    } last_press;

    void dispatch_window_event(const char* name);
    // Makes the view (related to a live one, so that they share one web process) and puts
    // it into the window.
    void make_view();
    void release_view();
    void run_script(const char* body, GVariant* arguments, HostWindow::ScriptResultHandler done,
                    bool wrapped = true);
};

// The window's state behind one of its views, or nullptr.
HostState* state_of(WebKitWebView* view);
// Whether any page view is alive (the web context must stay while one is).
bool any_live_view();

// The script bridge (script_bridge.cpp): injected into the window's content manager and
// taken out again before the window goes.
void install_bridge(HostState& state);
void remove_bridge(HostState& state);

std::string to_json(const Json::Value& value);
bool from_json(std::string_view text, Json::Value& value);

// Waits in a nested loop for a result delivered through a ScriptResultHandler. The slot is
// shared with the handler, which may still arrive after a timeout has ended the wait.
Json::Value wait_for_result(const std::function<void(HostWindow::ScriptResultHandler)>& start,
                            std::chrono::milliseconds timeout, const std::string& what);

}  // namespace varnelagent::engine
