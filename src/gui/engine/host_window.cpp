// The window: a toplevel with one page view, its signals, its size and place, and the
// view's retirement when it is let go. The script bridge and the schemes live beside it
// (script_bridge.cpp, page_scheme.cpp).
#include "gui/engine/host_window.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "details/glib_ptr.h"
#include "details/logger.h"
#include "details/strings.h"
#include "gui/engine/host_state.h"
#include "gui/engine/resources.h"
#include "gui/error.h"
#include "gui/shell_messages.h"

namespace varnelagent::engine {

using agent::details::GPtr;
using agent::details::utf8_to_wide;

namespace {

constexpr char HOST_STATE_KEY[] = "varnel-host-state";
constexpr char DOCUMENT_SIZE_BODY[] =
    "const root = document.documentElement;"
    "return JSON.stringify([Math.ceil(root.scrollWidth), Math.ceil(root.scrollHeight)]);";

// The page views alive now. A new view is made related to one of them, so all the
// program's windows share one web process instead of starting one each.
std::vector<WebKitWebView*> live_views;

// Only the document the program asked for may load; links, form posts, script navigation
// and new windows are all refused, so a page never leaves itself.
gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                          gpointer data) {
    auto& state = *static_cast<HostState*>(data);
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
        WebKitNavigationAction* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        const auto key = resource_key(uri != nullptr ? uri : "");
        const bool expected = uri != nullptr && agent::details::starts_with_ascii_nocase(uri, "res:") && key &&
                              key == resource_key(state.expected_url);
        if (expected)
            webkit_policy_decision_use(decision);
        else
            webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    return FALSE;
}

void on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    auto& state = *static_cast<HostState*>(data);
    switch (event) {
    case WEBKIT_LOAD_STARTED:
        state.loading = true;
        state.loaded = false;
        state.failed = false;
        break;
    case WEBKIT_LOAD_COMMITTED:
        // A new document: the callbacks of the previous one are gone with it.
        ++state.document;
        break;
    case WEBKIT_LOAD_FINISHED:
        state.loading = false;
        state.loaded = !state.failed;
        if (state.load_handler) {
            const auto handler = state.load_handler;
            handler(state.loaded);
        }
        break;
    default:
        break;
    }
}

// GUI thread: the web process ended under the page (it crashed, or was killed). Every view
// of the program shares it, so every window gets this; each recovers on its own.
void on_web_process_terminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
    auto& state = *static_cast<HostState*>(data);
    AGENT_ERROR(L"varnelagent::engine::HostWindow") << "The page engine's process ended ("
                                                    << (reason == WEBKIT_WEB_PROCESS_CRASHED ? "crashed" : "killed")
                                                    << ") under " << state.expected_url;
    state.loading = false;
    state.loaded = false;
    ++state.document;
    if (state.crash_handler) {
        const auto handler = state.crash_handler;
        post_on_gui_thread(handler, L"varnelagent::engine::HostWindow::crash_handler");
        return;
    }
    const std::weak_ptr<HostState> weak = state.weak_from_this();
    post_on_gui_thread([weak] {
        if (auto host = weak.lock(); host && host->view != nullptr && !host->expected_url.empty()) {
            host->loading = true;
            webkit_web_view_load_uri(host->view, host->expected_url.c_str());
        }
    });
}

gboolean on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
    if (g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) ||
        g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
        return FALSE;
    static_cast<HostState*>(data)->failed = true;
    AGENT_ERROR(L"varnelagent::engine::HostWindow::load") << uri << " | " << error->message;
    return FALSE;
}

// A script's own message box. Every one is logged. While another document is being loaded
// the box would belong to the document that is going: the engine keeps the next document
// waiting until the box is answered, so it is dismissed instead of leaving the window stuck
// on a page the user already left.
gboolean on_script_dialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
    const auto& state = *static_cast<HostState*>(data);
    const char* text = webkit_script_dialog_get_message(dialog);
    AGENT_ERROR(L"varnelagent::engine::HostWindow::script") << (text ? text : "");
    return state.loading ? TRUE : FALSE;
}

gboolean on_delete(GtkWidget* window, GdkEvent*, gpointer data) {
    auto& state = *static_cast<HostState*>(data);
    if (!state.close_handler)
        return gtk_widget_hide_on_delete(window);
    const auto handler = state.close_handler;
    handler();
    return TRUE;
}

gboolean on_button_press(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto& press = static_cast<HostState*>(data)->last_press;
    press.valid = true;
    press.button = event->button;
    press.x_root = static_cast<gint>(event->x_root);
    press.y_root = static_cast<gint>(event->y_root);
    press.time = event->time;
    return FALSE;
}

gboolean on_focus_out(GtkWidget*, GdkEventFocus*, gpointer data) {
    static_cast<HostState*>(data)->dispatch_window_event("window_hide");
    return FALSE;
}

// Crossings into and out of the view's own child windows are not the pointer leaving.
gboolean on_enter(GtkWidget*, GdkEventCrossing* event, gpointer data) {
    if (event->detail != GDK_NOTIFY_INFERIOR)
        static_cast<HostState*>(data)->dispatch_window_event("on_mouse_enter");
    return FALSE;
}

gboolean on_leave(GtkWidget*, GdkEventCrossing* event, gpointer data) {
    if (event->detail != GDK_NOTIFY_INFERIOR)
        static_cast<HostState*>(data)->dispatch_window_event("on_mouse_leave");
    return FALSE;
}

}  // namespace

HostState* state_of(WebKitWebView* view) {
    return view == nullptr ? nullptr : static_cast<HostState*>(g_object_get_data(G_OBJECT(view), HOST_STATE_KEY));
}

bool any_live_view() {
    return !live_views.empty();
}

bool run_nested_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Wakes the loop now and then so that the deadline is seen even when nothing happens.
    const guint wake = g_timeout_add(20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool result = predicate();
    while (!result && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        result = predicate();
    }
    g_source_remove(wake);
    return result;
}

HostWindow::HostWindow(int width, int height) : HostWindow(WindowOptions{width, height}) {}

HostWindow::HostWindow(const WindowOptions& options) : state_(std::make_shared<HostState>()) {
    initialize();
    HostState& state = *state_;
    state.cancellable.reset(g_cancellable_new());
    state.content.reset(webkit_user_content_manager_new());

    install_bridge(state);

    state.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_decorated(GTK_WINDOW(state.window), FALSE);
    gtk_widget_set_app_paintable(state.window, TRUE);
    if (GdkVisual* visual = gdk_screen_get_rgba_visual(gtk_widget_get_screen(state.window)))
        gtk_widget_set_visual(state.window, visual);
    gtk_window_set_default_size(GTK_WINDOW(state.window), options.width, options.height);
    gtk_window_set_title(GTK_WINDOW(state.window), options.title.c_str());
    switch (options.role) {
    case WindowRole::Main:
        break;
    case WindowRole::Dialog:
        gtk_window_set_type_hint(GTK_WINDOW(state.window), GDK_WINDOW_TYPE_HINT_DIALOG);
        gtk_window_set_skip_taskbar_hint(GTK_WINDOW(state.window), TRUE);
        gtk_window_set_skip_pager_hint(GTK_WINDOW(state.window), TRUE);
        break;
    case WindowRole::Popup:
        // A notice in the corner: it must not take the keyboard from whatever the user is
        // typing into when it appears; a click on it gives it the focus.
        gtk_window_set_type_hint(GTK_WINDOW(state.window), GDK_WINDOW_TYPE_HINT_NOTIFICATION);
        gtk_window_set_skip_taskbar_hint(GTK_WINDOW(state.window), TRUE);
        gtk_window_set_skip_pager_hint(GTK_WINDOW(state.window), TRUE);
        gtk_window_set_focus_on_map(GTK_WINDOW(state.window), FALSE);
        break;
    }
    if (options.transient_for != nullptr) {
        gtk_window_set_transient_for(GTK_WINDOW(state.window), options.transient_for);
        gtk_window_set_destroy_with_parent(GTK_WINDOW(state.window), TRUE);
    }

    // The owner decides when the window goes; closing it from outside only hides it.
    g_signal_connect(state.window, "delete-event", G_CALLBACK(on_delete), &state);
    g_signal_connect(state.window, "focus-out-event", G_CALLBACK(on_focus_out), &state);
    state.make_view();
}

void HostState::make_view() {
    HostState& state = *this;
    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    // Page console messages on standard output, for whoever debugs a page.
    if (g_getenv("AGENT_PAGE_CONSOLE") != nullptr)
        webkit_settings_set_enable_write_console_messages_to_stdout(settings, TRUE);
    if (live_views.empty())
        state.view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", page_context(),
                                                  "user-content-manager", state.content.get(), "settings", settings,
                                                  nullptr));
    else
        state.view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", live_views.front(),
                                                  "user-content-manager", state.content.get(), "settings", settings,
                                                  nullptr));
    g_object_unref(settings);
    live_views.push_back(state.view);
    g_object_set_data(G_OBJECT(state.view), HOST_STATE_KEY, &state);
    const GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(state.view, &transparent);

    gtk_container_add(GTK_CONTAINER(state.window), GTK_WIDGET(state.view));
    gtk_widget_show(GTK_WIDGET(state.view));
    gtk_widget_add_events(GTK_WIDGET(state.view), GDK_ENTER_NOTIFY_MASK | GDK_LEAVE_NOTIFY_MASK);
    g_signal_connect(state.view, "enter-notify-event", G_CALLBACK(on_enter), &state);
    g_signal_connect(state.view, "leave-notify-event", G_CALLBACK(on_leave), &state);
    g_signal_connect(state.view, "button-press-event", G_CALLBACK(on_button_press), &state);
    g_signal_connect(state.view, "decide-policy", G_CALLBACK(on_decide_policy), &state);
    g_signal_connect(state.view, "load-changed", G_CALLBACK(on_load_changed), &state);
    g_signal_connect(state.view, "load-failed", G_CALLBACK(on_load_failed), &state);
    g_signal_connect(state.view, "script-dialog", G_CALLBACK(on_script_dialog), &state);
    g_signal_connect(state.view, "web-process-terminated", G_CALLBACK(on_web_process_terminated), &state);
}

namespace {

// How long a view let go may take to close its page before it is destroyed anyway.
constexpr unsigned RETIRE_LIMIT_MS = 3000;

// A view let go while the engine's web process may still be at work on its page (a dialog
// answered a moment ago, a window left mid-animation) is not destroyed there and then: the
// shared web process has been seen to crash on it, taking every window's page along. It is
// asked to close (its page ends in the web process) and destroyed once that is done, or when
// its process ends, or after RETIRE_LIMIT_MS, whichever comes first. `owner`, the toplevel
// the view still sits in, goes with it (hidden at once); without one the view has already
// left its window.
void retire(WebKitWebView* view, GtkWidget* owner) {
    struct Retired {
        WebKitWebView* view;
        GtkWidget* owner;
        guint timeout = 0;
        bool finished = false;

        static void finish(Retired* retired) {
            if (retired->finished)
                return;
            retired->finished = true;
            g_signal_handlers_disconnect_by_data(retired->view, retired);
            if (retired->timeout != 0)
                g_source_remove(retired->timeout);
            // Destroyed from the main loop, never inside the engine's own signal.
            post_on_gui_thread(
                [retired] {
                    std::unique_ptr<Retired> done(retired);
                    if (done->owner != nullptr)
                        gtk_widget_destroy(done->owner);
                    else
                        gtk_widget_destroy(GTK_WIDGET(done->view));
                    g_object_unref(done->view);
                },
                L"varnelagent::engine::retire");
        }
    };
    auto* retired = new Retired{view, owner};
    g_object_ref(view);
    if (owner != nullptr)
        gtk_widget_hide(owner);
    g_signal_connect_swapped(view, "close", G_CALLBACK(+[](Retired* r) { Retired::finish(r); }), retired);
    g_signal_connect_swapped(view, "web-process-terminated", G_CALLBACK(+[](Retired* r) { Retired::finish(r); }),
                             retired);
    retired->timeout = g_timeout_add(RETIRE_LIMIT_MS,
                                     [](gpointer data) -> gboolean {
                                         auto* r = static_cast<Retired*>(data);
                                         r->timeout = 0;
                                         Retired::finish(r);
                                         return G_SOURCE_REMOVE;
                                     },
                                     retired);
    webkit_web_view_try_close(view);
}

}  // namespace

void HostState::release_view() {
    if (view == nullptr)
        return;
    // Script calls still waiting settle as for a closed window.
    g_cancellable_cancel(cancellable.get());
    cancellable.reset(g_cancellable_new());
    g_signal_handlers_disconnect_by_data(view, this);
    g_object_set_data(G_OBJECT(view), HOST_STATE_KEY, nullptr);
    std::erase(live_views, view);
    // Out of the window now (a new view takes its place later), destroyed once its page has
    // closed.
    g_object_ref(view);
    gtk_container_remove(GTK_CONTAINER(window), GTK_WIDGET(view));
    retire(view, nullptr);
    g_object_unref(view);
    view = nullptr;
    expected_url.clear();
    loading = false;
    loaded = false;
    failed = false;
    last_press.valid = false;
    // The callbacks of the document went with it.
    ++document;
}

HostWindow::~HostWindow() {
    HostState& state = *state_;
    g_cancellable_cancel(state.cancellable.get());
    remove_bridge(state);
    g_signal_handlers_disconnect_by_data(state.window, &state);
    if (state.view != nullptr) {
        g_signal_handlers_disconnect_by_data(state.view, &state);
        g_object_set_data(G_OBJECT(state.view), HOST_STATE_KEY, nullptr);
        std::erase(live_views, state.view);
    }
    if (state.view != nullptr)
        retire(state.view, state.window);
    else
        gtk_widget_destroy(state.window);
}

void HostWindow::set_script_handler(ScriptHandler handler) {
    state_->script_handler = std::move(handler);
}

void HostWindow::set_link_handler(LinkHandler handler) {
    state_->link_handler = std::move(handler);
}

void HostWindow::set_data_provider(DataProvider provider) {
    state_->data_provider = std::move(provider);
}

void HostWindow::set_load_handler(std::function<void(bool)> handler) {
    state_->load_handler = std::move(handler);
}

void HostWindow::set_crash_handler(std::function<void()> handler) {
    state_->crash_handler = std::move(handler);
}

void HostWindow::set_close_handler(std::function<void()> handler) {
    state_->close_handler = std::move(handler);
}

void HostWindow::load(const std::string& url) {
    if (!agent::details::starts_with_ascii_nocase(url, "res:") || !resource_key(url))
        throw EngineException(L"Only the program's own documents can be loaded: " + utf8_to_wide(url));
    state_->expected_url = canonical_document_url(url);
    state_->loading = true;
    state_->loaded = false;
    state_->failed = false;
    if (state_->view == nullptr)
        state_->make_view();
    webkit_web_view_load_uri(state_->view, state_->expected_url.c_str());
}

void HostWindow::release() {
    state_->release_view();
}

bool HostWindow::wait_loaded(std::chrono::milliseconds timeout) {
    HostState& state = *state_;
    run_nested_until([&] { return !state.loading; }, timeout);
    return state.loaded;
}

bool HostWindow::loaded() const {
    return state_->loaded;
}

void HostWindow::show() {
    gtk_widget_show(state_->window);
}

void HostWindow::hide() {
    gtk_widget_hide(state_->window);
}

bool HostWindow::visible() const {
    return gtk_widget_get_visible(state_->window);
}

void HostWindow::present() {
    GtkWindow* window = GTK_WINDOW(state_->window);
    gtk_window_deiconify(window);
    gtk_window_present_with_time(window, gtk_get_current_event_time());
}

void HostWindow::raise_above_others() {
    GtkWindow* window = GTK_WINDOW(state_->window);
    gtk_widget_show(state_->window);
    gtk_window_set_keep_above(window, TRUE);
    if (GdkWindow* gdk = gtk_widget_get_window(state_->window))
        gdk_window_raise(gdk);
    // Above the others now, but not pinned there: the next window the user picks covers it.
    gtk_window_set_keep_above(window, FALSE);
}

void HostWindow::minimize() {
    gtk_window_iconify(GTK_WINDOW(state_->window));
}

bool HostWindow::active() const {
    return gtk_window_is_active(GTK_WINDOW(state_->window));
}

void HostWindow::set_sensitive(bool sensitive) {
    gtk_widget_set_sensitive(state_->window, sensitive);
}

Rect HostWindow::rect() const {
    const auto [x, y] = position();
    const auto [width, height] = size();
    return Rect{x, y, x + width, y + height};
}

Rect HostWindow::work_area() const {
    GdkDisplay* display = gtk_widget_get_display(state_->window);
    GdkMonitor* monitor = nullptr;
    if (GdkWindow* gdk = gtk_widget_get_window(state_->window))
        monitor = gdk_display_get_monitor_at_window(display, gdk);
    if (monitor == nullptr)
        monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr && gdk_display_get_n_monitors(display) > 0)
        monitor = gdk_display_get_monitor(display, 0);
    if (monitor == nullptr)
        return Rect{0, 0, 1024, 768};
    GdkRectangle area{};
    gdk_monitor_get_workarea(monitor, &area);
    return Rect{area.x, area.y, area.x + area.width, area.y + area.height};
}

void HostWindow::move(int x, int y) {
    gtk_window_move(GTK_WINDOW(state_->window), x, y);
}

void HostWindow::resize(int width, int height) {
    gtk_window_resize(GTK_WINDOW(state_->window), width, height);
}

std::pair<int, int> HostWindow::size() const {
    int width = 0;
    int height = 0;
    gtk_window_get_size(GTK_WINDOW(state_->window), &width, &height);
    return {width, height};
}

std::pair<int, int> HostWindow::position() const {
    int x = 0;
    int y = 0;
    gtk_window_get_position(GTK_WINDOW(state_->window), &x, &y);
    return {x, y};
}

std::pair<int, int> HostWindow::fit_to_document() {
    const Json::Value size = wait_for_result(
        [&](ScriptResultHandler done) { state_->run_script(DOCUMENT_SIZE_BODY, nullptr, std::move(done), false); },
        std::chrono::seconds(10), "fit_to_document");
    const int width = size[0].asInt();
    const int height = size[1].asInt();
    if (width > 0 && height > 0)
        resize(width, height);
    return {width, height};
}

void HostWindow::snapshot_png(const std::string& path) {
    struct Slot {
        bool done = false;
        cairo_surface_t* surface = nullptr;
        std::string error;
    };
    if (state_->view == nullptr)
        throw EngineException(L"The window holds no document to take a snapshot of");
    auto slot = std::make_shared<Slot>();
    using Holder = std::shared_ptr<Slot>;
    webkit_web_view_get_snapshot(
        state_->view, WEBKIT_SNAPSHOT_REGION_FULL_DOCUMENT, WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND,
        state_->cancellable.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Holder> holder(static_cast<Holder*>(data));
            GError* error = nullptr;
            (*holder)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (error != nullptr) {
                (*holder)->error = error->message;
                g_error_free(error);
            }
            (*holder)->done = true;
        },
        new Holder(slot));
    const bool done = run_nested_until([&] { return slot->done; }, std::chrono::seconds(10));
    if (!done)
        throw EngineException(L"The snapshot did not come in time");
    if (slot->surface == nullptr)
        throw EngineException(L"The snapshot failed: " + utf8_to_wide(slot->error));
    const cairo_status_t status = cairo_surface_write_to_png(slot->surface, path.c_str());
    cairo_surface_destroy(slot->surface);
    if (status != CAIRO_STATUS_SUCCESS)
        throw EngineException(L"The snapshot cannot be written to " + utf8_to_wide(path) + L": " +
                              utf8_to_wide(cairo_status_to_string(status)));
}

GtkWindow* HostWindow::gtk_window() const {
    return GTK_WINDOW(state_->window);
}

WebKitWebView* HostWindow::web_view() const {
    return state_->view;
}

}  // namespace varnelagent::engine
