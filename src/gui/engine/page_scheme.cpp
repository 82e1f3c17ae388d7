// The pages' web context and its two schemes: res: serves the program's own documents from
// its resources, remote: fetches a page's remote data (icons) on workers through the
// window's data provider.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "details/glib_ptr.h"
#include "details/strings.h"
#include "gui/engine/host_state.h"
#include "gui/engine/resources.h"
#include "gui/error.h"
#include "gui/shell_messages.h"

extern "C" void varnel_resources_register_resource(void);

namespace varnelagent::engine {

using agent::details::GPtr;
using agent::details::wide_to_utf8;

namespace {

// Scripts only from the program's resources: HTML inside a message can show itself but
// never run (no inline script, no event attributes, no javascript: URLs).
constexpr char PAGE_POLICY[] =
    "default-src 'none'; script-src res:; style-src res: 'unsafe-inline'; img-src res: remote: data:; "
    "font-src res: data:; media-src res:; connect-src 'none'; frame-src 'none'; object-src 'none'; "
    "base-uri 'none'; form-action 'none'";

WebKitWebContext* web_context = nullptr;

// Workers that fetch remote data for the pages, so the GUI thread never waits on a server.
GThreadPool* remote_pool = nullptr;
constexpr int REMOTE_WORKERS = 4;

void fail_request(WebKitURISchemeRequest* request, const std::string& text) {
    GPtr<GError> error(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, text.c_str()));
    webkit_uri_scheme_request_finish_error(request, error.get());
}

void serve(WebKitURISchemeRequest* request, std::string data, const std::string& mime_type, bool document) {
    const auto size = static_cast<gint64>(data.size());
    auto* copy = new std::string(std::move(data));
    GPtr<GBytes> bytes(g_bytes_new_with_free_func(copy->data(), copy->size(),
                                                  [](gpointer text) { delete static_cast<std::string*>(text); }, copy));
    GPtr<GInputStream> stream(g_memory_input_stream_new_from_bytes(bytes.get()));
    GPtr<WebKitURISchemeResponse> response(webkit_uri_scheme_response_new(stream.get(), size));
    webkit_uri_scheme_response_set_status(response.get(), 200, "OK");
    webkit_uri_scheme_response_set_content_type(response.get(), mime_type.c_str());
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Content-Type", mime_type.c_str());
    if (document)
        soup_message_headers_append(headers, "Content-Security-Policy", PAGE_POLICY);
    webkit_uri_scheme_response_set_http_headers(response.get(), headers);
    webkit_uri_scheme_request_finish_with_response(request, response.get());
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
// GUI thread again. It holds a reference to the request until it is answered; one that is
// never answered (the program ends first) is failed when it goes.
struct RemoteFetch {
    GPtr<WebKitURISchemeRequest> request;
    std::weak_ptr<HostState> host;
    DataProvider provider;
    std::string url;
    std::optional<std::string> data;
    std::string error;

    void finish() {
        if (host.expired()) {
            fail_request(request.get(), "The window is gone");
        } else if (!error.empty()) {
            fail_request(request.get(), error);
        } else if (!data) {
            fail_request(request.get(), "No data for " + url);
        } else {
            const std::string path = url.substr(0, url.find_first_of("?#"));
            serve(request.get(), std::move(*data), mime_type_for(path), false);
        }
        request.reset();
    }
};

// A pool worker: the provider may block on the network for as long as its timeouts allow.
// The answer goes through the one door onto the GUI thread.
void run_remote_fetch(gpointer data, gpointer) {
    std::shared_ptr<RemoteFetch> fetch(static_cast<RemoteFetch*>(data));
    try {
        fetch->data = fetch->provider(fetch->url);
    } catch (...) {
        const std::wstring text = error::log_exception(std::current_exception(), L"varnelagent::engine::remote_data");
        fetch->error = wide_to_utf8(text);
        if (fetch->error.empty())
            fetch->error = "The data could not be fetched";
    }
    // Moved: the worker keeps nothing of the engine's once it has handed the answer over.
    post_on_gui_thread([fetch = std::move(fetch)] { fetch->finish(); }, L"varnelagent::engine::remote_data");
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
    auto* fetch = new RemoteFetch{GPtr<WebKitURISchemeRequest>(WEBKIT_URI_SCHEME_REQUEST(g_object_ref(request))),
                                  state->weak_from_this(),
                                  state->data_provider,
                                  url,
                                  std::nullopt,
                                  {}};
    g_thread_pool_push(remote_pool, fetch, nullptr);
}

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
    if (any_live_view())
        return false;
    if (web_context != nullptr) {
        g_object_unref(web_context);
        web_context = nullptr;
    }
    return true;
}

WebKitWebContext* page_context() {
    initialize();
    if (web_context == nullptr)
        web_context = make_page_context();
    return web_context;
}

}  // namespace varnelagent::engine
