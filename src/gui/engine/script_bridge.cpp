// The script bridge: the page's calls into the program (view.NAME(...), links, window moves)
// through WebKit's script messages, and the program's calls into the page through fixed
// function bodies whose names and values travel as arguments, never as script text.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <string>
#include <utility>

#include "details/glib_ptr.h"
#include "details/logger.h"
#include "details/strings.h"
#include "gui/engine/host_state.h"
#include "gui/engine/resources.h"
#include "gui/error.h"

namespace varnelagent::engine {

using agent::details::GPtr;
using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr char CALLBACK_KEY[] = "__varnel_callback";
constexpr char BRIDGE_CHANNEL[] = "view";

// Fixed bodies for call_async_javascript_function: names and values arrive as its
// arguments, never as script text.
constexpr char CALL_BODY[] = "return window.__varnel_bridge.call(name, args);";
constexpr char INVOKE_BODY[] = "return window.__varnel_bridge.invoke(id, args);";

void reply_value(WebKitScriptMessageReply* reply, JSCValue* message, const Json::Value& value) {
    const std::string text = to_json(value);
    GPtr<JSCValue> result(jsc_value_new_from_json(jsc_value_get_context(message), text.c_str()));
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
    if (!jsc_value_is_string(value) || !from_json(GPtr<char>(jsc_value_to_string(value)).get(), message) ||
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

struct PendingScript {
    std::weak_ptr<HostState> host;
    HostWindow::ScriptResultHandler done;
    bool wrapped;
};

// GUI thread, when a script call started by run_script settles.
void on_script_done(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingScript> pending(static_cast<PendingScript*>(data));
    GError* raw_error = nullptr;
    GPtr<JSCValue> value(
        webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &raw_error));
    GPtr<GError> error(raw_error);
    HostWindow::ScriptResult outcome;
    if (error) {
        outcome.error = g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED) || pending->host.expired()
                            ? std::wstring(L"The window was closed before the script answered")
                            : utf8_to_wide(error->message);
    } else if (!value || !jsc_value_is_string(value.get())) {
        outcome.error = L"The script answered with something other than JSON text";
    } else {
        Json::Value answer;
        if (!from_json(GPtr<char>(jsc_value_to_string(value.get())).get(), answer))
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

}  // namespace

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

void install_bridge(HostState& state) {
    GPtr<GBytes> bridge(g_resources_lookup_data((std::string(RESOURCE_PREFIX) + "bridge.js").c_str(),
                                                G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr));
    if (!bridge)
        throw EngineException(L"The script bridge is missing from the resources");
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bridge.get(), &size));
    const std::string source(data, size);
    WebKitUserScript* script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(state.content.get(), script);
    webkit_user_script_unref(script);
    g_signal_connect(state.content.get(), "script-message-with-reply-received::view", G_CALLBACK(on_script_message),
                     &state);
    webkit_user_content_manager_register_script_message_handler_with_reply(state.content.get(), BRIDGE_CHANNEL,
                                                                           nullptr);
}

void remove_bridge(HostState& state) {
    g_signal_handlers_disconnect_by_data(state.content.get(), &state);
    webkit_user_content_manager_unregister_script_message_handler(state.content.get(), BRIDGE_CHANNEL);
}

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
    GPtr<JSCValue> result(jsc_value_new_from_json(static_cast<JSCContext*>(context_), text.c_str()));
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
