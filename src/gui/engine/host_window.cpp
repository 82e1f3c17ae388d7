#include "gui/engine/host_window.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "details/logger.h"
#include "details/strings.h"
#include "gui/engine/resources.h"
#include "gui/error.h"
#include "gui/shell_messages.h"

extern "C" void varnel_resources_register_resource(void);

namespace varnelagent::engine {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr char HOST_STATE_KEY[] = "varnel-host-state";
constexpr char CALLBACK_KEY[] = "__varnel_callback";
constexpr char BRIDGE_CHANNEL[] = "view";

// Scripts only from the program's resources: HTML inside a message can show itself but
// never run (no inline script, no event attributes, no javascript: URLs).
constexpr char PAGE_POLICY[] =
    "default-src 'none'; script-src res:; style-src res: 'unsafe-inline'; img-src res: remote: data:; "
    "font-src res: data:; media-src res:; connect-src 'none'; frame-src 'none'; object-src 'none'; "
    "base-uri 'none'; form-action 'none'";

// Fixed bodies for call_async_javascript_function: names and values arrive as its
// arguments, never as script text.
constexpr char CALL_BODY[] = "return window.__varnel_bridge.call(name, args);";
constexpr char INVOKE_BODY[] = "return window.__varnel_bridge.invoke(id, args);";
constexpr char DOCUMENT_SIZE_BODY[] =
    "const root = document.documentElement;"
    "return JSON.stringify([Math.ceil(root.scrollWidth), Math.ceil(root.scrollHeight)]);";

WebKitWebContext* web_context = nullptr;

// The page views alive now. A new view is made related to one of them, so all the
// program's windows share one web process instead of starting one each.
std::vector<WebKitWebView*> live_views;

// Workers that fetch remote data for the pages, so the GUI thread never waits on a server.
GThreadPool* remote_pool = nullptr;
constexpr int REMOTE_WORKERS = 4;

template <typename T>
struct GObjectDeleter {
    void operator()(T* object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter<T>>;

struct GErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GFreeDeleter {
    void operator()(void* memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

std::string to_json(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

bool from_json(std::string_view text, Json::Value& value) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &value, nullptr);
}

void fail_request(WebKitURISchemeRequest* request, const std::string& text) {
    GErrorPtr error(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, text.c_str()));
    webkit_uri_scheme_request_finish_error(request, error.get());
}

void serve(WebKitURISchemeRequest* request, std::string data, const std::string& mime_type, bool document) {
    const auto size = static_cast<gint64>(data.size());
    auto* copy = new std::string(std::move(data));
    GBytes* bytes = g_bytes_new_with_free_func(copy->data(), copy->size(),
                                               [](gpointer text) { delete static_cast<std::string*>(text); }, copy);
    GObjectPtr<GInputStream> stream(g_memory_input_stream_new_from_bytes(bytes));
    g_bytes_unref(bytes);
    GObjectPtr<WebKitURISchemeResponse> response(webkit_uri_scheme_response_new(stream.get(), size));
    webkit_uri_scheme_response_set_status(response.get(), 200, "OK");
    webkit_uri_scheme_response_set_content_type(response.get(), mime_type.c_str());
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Content-Type", mime_type.c_str());
    if (document)
        soup_message_headers_append(headers, "Content-Security-Policy", PAGE_POLICY);
    webkit_uri_scheme_response_set_http_headers(response.get(), headers);
    webkit_uri_scheme_request_finish_with_response(request, response.get());
}

}  // namespace

// Everything a window's signal handlers and pending script calls need. Signal handlers get
// a raw pointer and are disconnected before it dies; pending calls hold a weak pointer.
struct HostState : std::enable_shared_from_this<HostState> {
    GtkWidget* window = nullptr;
    WebKitWebView* view = nullptr;
    GObjectPtr<WebKitUserContentManager> content;
    GObjectPtr<GCancellable> cancellable;
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

namespace {

HostState* state_of(WebKitWebView* view) {
    return view == nullptr ? nullptr : static_cast<HostState*>(g_object_get_data(G_OBJECT(view), HOST_STATE_KEY));
}

// GUI thread, from WebKit's loader.
void on_res_request(WebKitURISchemeRequest* request, gpointer) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    auto resource = load_resource(uri);
    if (!resource) {
        fail_request(request, std::string("No resource for ") + uri);
        return;
    }
    const bool document = resource->mime_type.starts_with("text/html");
    serve(request, std::move(resource->data), resource->mime_type, document);
}

// One remote fetch: asked on the GUI thread, fetched on a pool worker, answered on the
// GUI thread again. The request keeps a reference of its own until it is answered.
struct RemoteFetch {
    WebKitURISchemeRequest* request = nullptr;
    std::weak_ptr<HostState> host;
    DataProvider provider;
    std::string url;
    std::optional<std::string> data;
    std::string error;
};

gboolean finish_remote_fetch(gpointer data) {
    std::unique_ptr<RemoteFetch> fetch(static_cast<RemoteFetch*>(data));
    if (fetch->host.expired()) {
        fail_request(fetch->request, "The window is gone");
    } else if (!fetch->error.empty()) {
        fail_request(fetch->request, fetch->error);
    } else if (!fetch->data) {
        fail_request(fetch->request, "No data for " + fetch->url);
    } else {
        const std::string path = fetch->url.substr(0, fetch->url.find_first_of("?#"));
        serve(fetch->request, std::move(*fetch->data), mime_type_for(path), false);
    }
    g_object_unref(fetch->request);
    return G_SOURCE_REMOVE;
}

// A pool worker: the provider may block on the network for as long as its timeouts allow.
void run_remote_fetch(gpointer data, gpointer) {
    auto* fetch = static_cast<RemoteFetch*>(data);
    try {
        fetch->data = fetch->provider(fetch->url);
    } catch (...) {
        const std::wstring text = error::log_exception(std::current_exception(), L"varnelagent::engine::remote_data");
        fetch->error = wide_to_utf8(text);
        if (fetch->error.empty())
            fetch->error = "The data could not be fetched";
    }
    g_idle_add(finish_remote_fetch, fetch);
}

// GUI thread, from WebKit's loader.
void on_remote_request(WebKitURISchemeRequest* request, gpointer) {
    const std::string uri = webkit_uri_scheme_request_get_uri(request);
    HostState* state = state_of(webkit_uri_scheme_request_get_web_view(request));
    const std::string url = uri.substr(std::string_view("remote:").size());
    if (state == nullptr || !state->data_provider) {
        fail_request(request, "No data provider for " + url);
        return;
    }
    auto* fetch = new RemoteFetch{request, state->weak_from_this(), state->data_provider, url, std::nullopt, {}};
    g_object_ref(request);
    g_thread_pool_push(remote_pool, fetch, nullptr);
}

void reply_value(WebKitScriptMessageReply* reply, JSCValue* message, const Json::Value& value) {
    const std::string text = to_json(value);
    GObjectPtr<JSCValue> result(jsc_value_new_from_json(jsc_value_get_context(message), text.c_str()));
    if (!result) {
        webkit_script_message_reply_return_error_message(reply, "The native answer is not valid JSON");
        return;
    }
    webkit_script_message_reply_return_value(reply, result.get());
}

}  // namespace

// The bridge call being handled on this thread, for defer_reply().
struct BridgeCall {
    WebKitScriptMessageReply* reply;
    JSCValue* message;
    bool deferred = false;

    DeferredReply take() {
        deferred = true;
        webkit_script_message_reply_ref(reply);
        auto* context = static_cast<JSCContext*>(g_object_ref(jsc_value_get_context(message)));
        return DeferredReply(reply, context);
    }
};

namespace {

thread_local BridgeCall* current_call = nullptr;

void handle_call(HostState& state, const Json::Value& message, JSCValue* value, WebKitScriptMessageReply* reply) {
    const std::string name = message["name"].isString() ? message["name"].asString() : std::string();
    const Json::Value args = message["args"].isArray() ? message["args"] : Json::Value(Json::arrayValue);
    // A copy: the call may run a nested loop during which the window is destroyed.
    const ScriptHandler handler = state.script_handler;
    BridgeCall call{reply, value};
    BridgeCall* outer = current_call;
    current_call = &call;
    struct Restore {
        BridgeCall* outer;
        ~Restore() { current_call = outer; }
    } restore{outer};
    try {
        std::optional<Json::Value> result;
        if (handler)
            result = handler(name, args);
        if (call.deferred)
            return;
        if (!result) {
            webkit_script_message_reply_return_error_message(reply, ("Unknown function: view." + name).c_str());
            return;
        }
        reply_value(reply, value, *result);
    } catch (...) {
        const std::wstring text =
            error::log_exception(std::current_exception(), utf8_to_wide("varnelagent::engine::view." + name));
        if (!call.deferred)
            webkit_script_message_reply_return_error_message(reply, wide_to_utf8(text).c_str());
    }
}

void handle_link(HostState& state, const Json::Value& message) {
    const LinkHandler handler = state.link_handler;
    if (!handler)
        return;
    try {
        handler(message["href"].isString() ? message["href"].asString() : std::string(),
                message["auth"].isString() ? message["auth"].asString() : std::string());
    } catch (...) {
        error::log_exception(std::current_exception(), L"varnelagent::engine::link_click");
    }
}

void handle_move(HostState& state) {
    if (!state.last_press.valid || state.last_press.button != GDK_BUTTON_PRIMARY)
        return;
    gtk_window_begin_move_drag(GTK_WINDOW(state.window), static_cast<gint>(state.last_press.button),
                               state.last_press.x_root, state.last_press.y_root, state.last_press.time);
}

// GUI thread: every message the bridge posts. The page's Promise settles with the reply.
gboolean on_script_message(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply,
                           gpointer data) {
    auto& state = *static_cast<HostState*>(data);
    Json::Value message;
    if (!jsc_value_is_string(value) || !from_json(GCharPtr(jsc_value_to_string(value)).get(), message) ||
        !message.isObject()) {
        webkit_script_message_reply_return_error_message(reply, "Malformed bridge message");
        return TRUE;
    }
    const std::string kind = message["kind"].isString() ? message["kind"].asString() : std::string();
    if (kind == "call") {
        handle_call(state, message, value, reply);
        return TRUE;
    }
    if (kind == "link")
        handle_link(state, message);
    else if (kind == "move")
        handle_move(state);
    reply_value(reply, value, Json::Value());
    return TRUE;
}

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

struct PendingScript {
    std::weak_ptr<HostState> host;
    HostWindow::ScriptResultHandler done;
    bool wrapped;
};

// GUI thread, when a script call started by run_script settles.
void on_script_done(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingScript> pending(static_cast<PendingScript*>(data));
    GError* raw_error = nullptr;
    GObjectPtr<JSCValue> value(
        webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &raw_error));
    GErrorPtr error(raw_error);
    HostWindow::ScriptResult outcome;
    if (error) {
        outcome.error = g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED) || pending->host.expired()
                            ? std::wstring(L"The window was closed before the script answered")
                            : utf8_to_wide(error->message);
    } else if (!value || !jsc_value_is_string(value.get())) {
        outcome.error = L"The script answered with something other than JSON text";
    } else {
        Json::Value answer;
        if (!from_json(GCharPtr(jsc_value_to_string(value.get())).get(), answer))
            outcome.error = L"The script answered with malformed JSON";
        else if (!pending->wrapped) {
            outcome.found = true;
            outcome.value = std::move(answer);
        } else {
            outcome.found = answer["found"].asBool();
            outcome.value = answer["value"];
        }
    }
    if (pending->done)
        pending->done(std::move(outcome));
}

Json::Value as_arguments(const Json::Value& args) {
    if (args.isArray())
        return args;
    Json::Value list(Json::arrayValue);
    list.append(args);
    return list;
}

// Waits in a nested loop for a result delivered through a ScriptResultHandler. The slot is
// shared with the handler, which may still arrive after a timeout has ended the wait.
Json::Value wait_for_result(const std::function<void(HostWindow::ScriptResultHandler)>& start,
                            std::chrono::milliseconds timeout, const std::string& what) {
    struct Slot {
        bool done = false;
        HostWindow::ScriptResult result;
    };
    auto slot = std::make_shared<Slot>();
    start([slot](HostWindow::ScriptResult result) {
        slot->result = std::move(result);
        slot->done = true;
    });
    if (!run_nested_until([&] { return slot->done; }, timeout))
        throw EngineException(utf8_to_wide(what) + L": no answer in time");
    if (slot->result.error)
        throw EngineException(utf8_to_wide(what) + L": " + *slot->result.error);
    return slot->result.found ? slot->result.value : Json::Value();
}

}  // namespace

void HostState::dispatch_window_event(const char* name) {
    const ScriptHandler handler = script_handler;
    if (!handler)
        return;
    try {
        handler(name, Json::Value(Json::arrayValue));
    } catch (...) {
        error::log_exception(std::current_exception(), utf8_to_wide(std::string("varnelagent::engine::") + name));
    }
}

void HostState::run_script(const char* body, GVariant* arguments, HostWindow::ScriptResultHandler done,
                           bool wrapped) {
    if (view == nullptr) {
        if (arguments != nullptr)
            g_variant_unref(g_variant_ref_sink(arguments));
        HostWindow::ScriptResult outcome;
        outcome.error = L"The window holds no document";
        if (done)
            done(std::move(outcome));
        return;
    }
    auto* pending = new PendingScript{weak_from_this(), std::move(done), wrapped};
    webkit_web_view_call_async_javascript_function(view, body, -1, arguments, nullptr, "res:///varnel-bridge",
                                                   cancellable.get(), on_script_done, pending);
}

namespace {

// The pages' web context, made when the first view needs it and let go by
// release_page_context().
WebKitWebContext* make_page_context() {
    WebKitWebContext* context = webkit_web_context_new_ephemeral();
    webkit_web_context_register_uri_scheme(context, "res", on_res_request, nullptr, nullptr);
    webkit_web_context_register_uri_scheme(context, "remote", on_remote_request, nullptr, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, "res");
    webkit_security_manager_register_uri_scheme_as_secure(security, "remote");
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "res");
    return context;
}

}  // namespace

void initialize() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        if (!gtk_init_check(nullptr, nullptr))
            return;
        varnel_resources_register_resource();
        remote_pool = g_thread_pool_new(run_remote_fetch, nullptr, REMOTE_WORKERS, FALSE, nullptr);
        ready = true;
    });
    if (!ready)
        throw EngineException(L"The page engine cannot start: no display");
}

bool release_page_context() {
    if (!live_views.empty())
        return false;
    if (web_context != nullptr) {
        g_object_unref(web_context);
        web_context = nullptr;
    }
    return true;
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

WebKitWebContext* page_context() {
    initialize();
    if (web_context == nullptr)
        web_context = make_page_context();
    return web_context;
}

HostWindow::HostWindow(int width, int height) : HostWindow(WindowOptions{width, height}) {}

HostWindow::HostWindow(const WindowOptions& options) : state_(std::make_shared<HostState>()) {
    initialize();
    HostState& state = *state_;
    state.cancellable.reset(g_cancellable_new());
    state.content.reset(webkit_user_content_manager_new());

    GBytes* bridge = g_resources_lookup_data((std::string(RESOURCE_PREFIX) + "bridge.js").c_str(),
                                             G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (bridge == nullptr)
        throw EngineException(L"The script bridge is missing from the resources");
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bridge, &size));
    const std::string source(data, size);
    g_bytes_unref(bridge);
    WebKitUserScript* script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(state.content.get(), script);
    webkit_user_script_unref(script);
    g_signal_connect(state.content.get(), "script-message-with-reply-received::view", G_CALLBACK(on_script_message),
                     &state);
    webkit_user_content_manager_register_script_message_handler_with_reply(state.content.get(), BRIDGE_CHANNEL,
                                                                           nullptr);

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
            g_idle_add(
                [](gpointer data) -> gboolean {
                    std::unique_ptr<Retired> done(static_cast<Retired*>(data));
                    if (done->owner != nullptr)
                        gtk_widget_destroy(done->owner);
                    else
                        gtk_widget_destroy(GTK_WIDGET(done->view));
                    g_object_unref(done->view);
                    return G_SOURCE_REMOVE;
                },
                retired);
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
    g_signal_handlers_disconnect_by_data(state.content.get(), &state);
    g_signal_handlers_disconnect_by_data(state.window, &state);
    if (state.view != nullptr) {
        g_signal_handlers_disconnect_by_data(state.view, &state);
        g_object_set_data(G_OBJECT(state.view), HOST_STATE_KEY, nullptr);
        std::erase(live_views, state.view);
    }
    webkit_user_content_manager_unregister_script_message_handler(state.content.get(), BRIDGE_CHANNEL);
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

void HostWindow::call_script_async(const std::string& name, const Json::Value& args, ScriptResultHandler done) {
    if (!g_utf8_validate(name.c_str(), static_cast<gssize>(name.size()), nullptr)) {
        ScriptResult result;
        result.error = L"The function name is not UTF-8";
        if (done)
            done(std::move(result));
        return;
    }
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "name", g_variant_new_string(name.c_str()));
    g_variant_builder_add(&builder, "{sv}", "args", g_variant_new_string(to_json(as_arguments(args)).c_str()));
    state_->run_script(CALL_BODY, g_variant_builder_end(&builder), std::move(done));
}

Json::Value HostWindow::call_script(const std::string& name, const Json::Value& args,
                                    std::chrono::milliseconds timeout) {
    return wait_for_result([&](ScriptResultHandler done) { call_script_async(name, args, std::move(done)); },
                           timeout, name);
}

bool HostWindow::is_callback(const Json::Value& value) {
    return value.isObject() && value.size() == 1 && value[CALLBACK_KEY].isIntegral();
}

ScriptCallback HostWindow::callback(const Json::Value& value) const {
    if (!is_callback(value))
        throw EngineException(L"The argument is not a script function");
    return ScriptCallback(state_, state_->document, value[CALLBACK_KEY].asInt64());
}

GtkWindow* HostWindow::gtk_window() const {
    return GTK_WINDOW(state_->window);
}

WebKitWebView* HostWindow::web_view() const {
    return state_->view;
}

DeferredReply::~DeferredReply() {
    if (reply_ != nullptr)
        reject(L"The native side dropped the call without an answer");
}

DeferredReply::DeferredReply(DeferredReply&& other) noexcept
    : reply_(std::exchange(other.reply_, nullptr)), context_(std::exchange(other.context_, nullptr)) {}

DeferredReply& DeferredReply::operator=(DeferredReply&& other) noexcept {
    if (this != &other) {
        if (reply_ != nullptr)
            reject(L"The native side dropped the call without an answer");
        reply_ = std::exchange(other.reply_, nullptr);
        context_ = std::exchange(other.context_, nullptr);
    }
    return *this;
}

void DeferredReply::release() {
    webkit_script_message_reply_unref(static_cast<WebKitScriptMessageReply*>(reply_));
    g_object_unref(context_);
    reply_ = nullptr;
    context_ = nullptr;
}

void DeferredReply::resolve(const Json::Value& value) {
    if (reply_ == nullptr)
        return;
    auto* reply = static_cast<WebKitScriptMessageReply*>(reply_);
    const std::string text = to_json(value);
    GObjectPtr<JSCValue> result(jsc_value_new_from_json(static_cast<JSCContext*>(context_), text.c_str()));
    if (result)
        webkit_script_message_reply_return_value(reply, result.get());
    else
        webkit_script_message_reply_return_error_message(reply, "The native answer is not valid JSON");
    release();
}

void DeferredReply::reject(const std::wstring& text) {
    if (reply_ == nullptr)
        return;
    webkit_script_message_reply_return_error_message(static_cast<WebKitScriptMessageReply*>(reply_),
                                                     wide_to_utf8(text).c_str());
    release();
}

DeferredReply defer_reply() {
    if (current_call == nullptr || current_call->deferred)
        throw EngineException(L"No script call to answer later");
    return current_call->take();
}

bool ScriptCallback::alive() const {
    auto host = host_.lock();
    return host && host->document == document_;
}

bool ScriptCallback::invoke(const Json::Value& args) const {
    auto host = host_.lock();
    if (!host || host->document != document_)
        return false;
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "id", g_variant_new_double(static_cast<double>(id_)));
    g_variant_builder_add(&builder, "{sv}", "args", g_variant_new_string(to_json(as_arguments(args)).c_str()));
    host->run_script(INVOKE_BODY, g_variant_builder_end(&builder), [](HostWindow::ScriptResult result) {
        if (result.error) {
            AGENT_ERROR(L"varnelagent::engine::ScriptCallback::invoke") << *result.error;
        }
    });
    return true;
}

Json::Value ScriptCallback::call(const Json::Value& args, std::chrono::milliseconds timeout) const {
    auto host = host_.lock();
    if (!host || host->document != document_)
        throw EngineException(L"The page of the callback is gone");
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "id", g_variant_new_double(static_cast<double>(id_)));
    g_variant_builder_add(&builder, "{sv}", "args", g_variant_new_string(to_json(as_arguments(args)).c_str()));
    GVariant* arguments = g_variant_builder_end(&builder);
    return wait_for_result(
        [&](HostWindow::ScriptResultHandler done) { host->run_script(INVOKE_BODY, arguments, std::move(done)); },
        timeout, "callback");
}

}  // namespace varnelagent::engine
