#include "gui/shell/browser_window.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <deque>
#include <functional>
#include <set>
#include <vector>

#include "details/glib_ptr.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "gui/engine/resources.h"
#include "gui/error.h"
#include "gui/shell_messages.h"

namespace varnelagent {

using agent::details::GPtr;
using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr wchar_t CONTEXT[] = L"varnelagent::BrowserWindow";
constexpr char PRODUCT[] = "Варнел.Агент";
constexpr int DEFAULT_WIDTH = 1100;
constexpr int DEFAULT_HEIGHT = 800;
// A cookie operation the page engine has not finished by then is given up, so that a stuck
// store never keeps a page from loading.
constexpr unsigned COOKIE_OPERATION_LIMIT_MS = 5000;

std::string scheme_of(const std::string& uri) {
    GPtr<char> scheme(g_uri_parse_scheme(uri.c_str()));
    return scheme ? std::string(scheme.get()) : std::string();
}

bool is_web(const std::string& uri) {
    const std::string scheme = scheme_of(uri);
    return scheme == "http" || scheme == "https";
}

// 127.0.0.0/8, ::1 and "localhost": what browsers treat as a secure origin over plain HTTP.
bool is_loopback(const char* host) {
    if (host == nullptr)
        return false;
    if (g_ascii_strcasecmp(host, "localhost") == 0)
        return true;
    GPtr<GInetAddress> address(g_inet_address_new_from_string(host));
    return address && g_inet_address_get_is_loopback(address.get());
}

std::string escaped(const std::string& text) {
    GPtr<char> result(g_markup_escape_text(text.c_str(), -1));
    return result.get();
}

std::vector<std::string> certificate_problems(GTlsCertificateFlags errors) {
    static const std::pair<GTlsCertificateFlags, const char*> texts[] = {
        {G_TLS_CERTIFICATE_UNKNOWN_CA, "сертификат выдан неизвестным центром сертификации"},
        {G_TLS_CERTIFICATE_BAD_IDENTITY, "сертификат выдан для другого адреса"},
        {G_TLS_CERTIFICATE_NOT_ACTIVATED, "срок действия сертификата ещё не начался"},
        {G_TLS_CERTIFICATE_EXPIRED, "срок действия сертификата истёк"},
        {G_TLS_CERTIFICATE_REVOKED, "сертификат отозван"},
        {G_TLS_CERTIFICATE_INSECURE, "сертификат использует ненадёжный алгоритм"},
        {G_TLS_CERTIFICATE_GENERIC_ERROR, "сертификат не удалось проверить"},
    };
    std::vector<std::string> problems;
    for (const auto& [flag, text] : texts)
        if ((errors & flag) != 0)
            problems.emplace_back(text);
    if (problems.empty())
        problems.emplace_back("сертификат не удалось проверить");
    return problems;
}

// The page shown instead of one that could not be loaded. It carries no script; `kind`
// ("certificate", "network", "crashed", "blocked") is on the body for whoever inspects it.
std::string error_page(const std::string& kind, const std::string& title, const std::string& text,
                       const std::vector<std::string>& details, const std::string& address) {
    std::string html =
        "<!DOCTYPE html><html lang=\"ru\"><head><meta charset=\"utf-8\"><title>" + escaped(title) +
        "</title><style>"
        "body{margin:0;background:#F7F8FA;color:#1F2937;font:13px/1.4 'Noto Sans','DejaVu Sans',sans-serif;}"
        "main{max-width:560px;margin:64px auto;padding:24px 32px;background:#fff;border:1px solid #E5E7EB;"
        "border-radius:8px;box-shadow:0 1px 2px rgba(17,24,39,.06);}"
        "h1{margin:0 0 8px;font-size:20px;line-height:1.25;}"
        "main.certificate h1{color:#DC2626;}"
        "p{margin:8px 0;}ul{margin:8px 0;padding-left:20px;}"
        ".address{color:#6B7280;font-size:12px;overflow-wrap:anywhere;}"
        "</style></head><body data-error=\"" +
        escaped(kind) + "\"><main class=\"" + escaped(kind) + "\"><h1>" + escaped(title) + "</h1><p>" +
        escaped(text) + "</p>";
    if (!details.empty()) {
        html += "<ul>";
        for (const std::string& detail : details)
            html += "<li>" + escaped(detail) + "</li>";
        html += "</ul>";
    }
    if (!address.empty())
        html += "<p class=\"address\">" + escaped(address) + "</p>";
    html += "</main></body></html>";
    return html;
}

}  // namespace

struct BrowserWindow::State : std::enable_shared_from_this<State> {
    explicit State(Options options_) : options(std::move(options_)) {
        if (!options.desktop)
            options.desktop = std::make_shared<agent::XdgOpenBrowser>();
    }
    ~State();

    Options options;

    // The web context with the persistent store; made on first use.
    GPtr<WebKitWebContext> context;
    WebKitWebsiteDataManager* manager = nullptr;  // the context's
    WebKitCookieManager* cookies = nullptr;  // the context's
    std::vector<GPtr<GTlsCertificate>> extra_authorities;
    // "host\ncertificate PEM" of the server certificates let through for the extra CA, so a
    // second failure of the same one shows the error page instead of trying again.
    std::set<std::string> let_through;

    // The window while it is open.
    GtkWidget* window = nullptr;
    WebKitWebView* view = nullptr;
    GtkWidget* header = nullptr;
    GtkWidget* back = nullptr;
    GtkWidget* forward = nullptr;
    GtkWidget* reload = nullptr;
    GtkWidget* reload_icon = nullptr;
    GtkWidget* external = nullptr;
    GtkWidget* spinner = nullptr;

    // Cookie work, one operation at a time; each calls its `done` once.
    using Operation = std::function<void(std::function<void()> done)>;
    std::deque<Operation> operations;
    bool running = false;
    // The page to load once the operations are done.
    std::string pending_uri;
    // The store changes kind once the operations are done.
    bool rebuild_pending = false;

    bool ensure_context();
    bool ensure_window();
    void apply_proxy();
    // Lets the context and its store go; the next use makes them anew. Calls on their way
    // keep the old one alive until they finish.
    void drop_context();
    void destroy_window();
    void enqueue(Operation operation);
    void run_next();
    void load_when_idle(const std::string& uri);
    void update_header();
    void show_error(const std::string& kind, const std::string& title, const std::string& text,
                    const std::vector<std::string>& details, const std::string& uri);
    bool trusted_by_extra_authority(GTlsCertificate* certificate, const std::string& uri) const;
    void open_in_desktop_browser();

    static void on_destroy(GtkWidget*, gpointer data);
    static gboolean on_key(GtkWidget*, GdkEventKey* event, gpointer data);
    static void on_changed(WebKitWebView*, GParamSpec*, gpointer data);
    static void on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer data);
    static gboolean on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data);
    static gboolean on_tls_failed(WebKitWebView*, gchar* uri, GTlsCertificate* certificate,
                                  GTlsCertificateFlags errors, gpointer data);
    static gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                     gpointer data);
    static GtkWidget* on_create(WebKitWebView*, WebKitNavigationAction* action, gpointer data);
    static void on_crashed(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data);
    static gboolean on_authenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer data);
};

BrowserWindow::State::~State() {
    destroy_window();
}

bool BrowserWindow::State::ensure_context() {
    if (context)
        return true;
    try {
        engine::initialize();
    } catch (...) {
        error::log_exception(std::current_exception(), CONTEXT);
        return false;
    }
    namespace path = agent::details::path;
    GPtr<WebKitWebsiteDataManager> manager;
    if (options.remembered) {
        for (const std::wstring& directory : {options.data_directory, options.cache_directory})
            if (!directory.empty())
                path::make_directories(directory, 0700);
        const std::string data = wide_to_utf8(options.data_directory);
        const std::string cache = wide_to_utf8(options.cache_directory);
        manager.reset(WEBKIT_WEBSITE_DATA_MANAGER(g_object_new(
            WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory", data.empty() ? nullptr : data.c_str(),
            "base-cache-directory", cache.empty() ? nullptr : cache.c_str(), nullptr)));
    } else {
        // Nothing of the provider's sites on disk for a user who did not ask to stay.
        manager.reset(webkit_website_data_manager_new_ephemeral());
    }
    // A certificate that does not verify ends the load; the extra CA is let through by the
    // handler of the view's TLS failures, nothing else is.
    webkit_website_data_manager_set_tls_errors_policy(manager.get(), WEBKIT_TLS_ERRORS_POLICY_FAIL);
    context.reset(webkit_web_context_new_with_website_data_manager(manager.get()));
    this->manager = manager.get();
    apply_proxy();
    cookies = webkit_website_data_manager_get_cookie_manager(manager.get());
    if (options.remembered && !options.data_directory.empty()) {
        const std::string store = wide_to_utf8(options.data_directory) + "/cookies.sqlite";
        webkit_cookie_manager_set_persistent_storage(cookies, store.c_str(), WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    }
    webkit_cookie_manager_set_accept_policy(cookies, WEBKIT_COOKIE_POLICY_ACCEPT_NO_THIRD_PARTY);

    if (!options.ca_file.empty()) {
        GError* raw = nullptr;
        GList* list = g_tls_certificate_list_new_from_file(wide_to_utf8(options.ca_file).c_str(), &raw);
        GPtr<GError> failure(raw);
        if (failure) {
            AGENT_ERROR(CONTEXT) << "ca_file " << options.ca_file << ": " << failure->message;
        }
        for (GList* item = list; item != nullptr; item = item->next)
            extra_authorities.emplace_back(G_TLS_CERTIFICATE(item->data));
        g_list_free(list);
    }
    return true;
}

bool BrowserWindow::State::ensure_window() {
    if (window != nullptr)
        return true;
    if (!ensure_context())
        return false;

    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(), "settings", settings,
                                        nullptr));
    g_object_unref(settings);

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), PRODUCT);
    if (const auto icon = engine::load_resource("varnel-agent.png")) {
        GPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new());
        if (gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(icon->data.data()),
                                    icon->data.size(), nullptr) &&
            gdk_pixbuf_loader_close(loader.get(), nullptr))
            gtk_window_set_icon(GTK_WINDOW(window), gdk_pixbuf_loader_get_pixbuf(loader.get()));
    }
    int width = DEFAULT_WIDTH;
    int height = DEFAULT_HEIGHT;
    if (GdkMonitor* monitor = gdk_display_get_primary_monitor(gdk_display_get_default())) {
        GdkRectangle area;
        gdk_monitor_get_workarea(monitor, &area);
        width = std::min(width, area.width - 80);
        height = std::min(height, area.height - 80);
    }
    gtk_window_set_default_size(GTK_WINDOW(window), std::max(width, 480), std::max(height, 360));

    header = gtk_header_bar_new();
    gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(header), TRUE);
    gtk_header_bar_set_has_subtitle(GTK_HEADER_BAR(header), TRUE);
    const auto icon_button = [](const char* icon, const char* name) {
        GtkWidget* button = gtk_button_new_from_icon_name(icon, GTK_ICON_SIZE_BUTTON);
        gtk_widget_set_tooltip_text(button, name);
        atk_object_set_name(gtk_widget_get_accessible(button), name);
        gtk_widget_set_focus_on_click(button, FALSE);
        return button;
    };
    GtkWidget* navigation = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_style_context_add_class(gtk_widget_get_style_context(navigation), GTK_STYLE_CLASS_LINKED);
    back = icon_button("go-previous-symbolic", "Назад");
    forward = icon_button("go-next-symbolic", "Вперёд");
    gtk_container_add(GTK_CONTAINER(navigation), back);
    gtk_container_add(GTK_CONTAINER(navigation), forward);
    gtk_header_bar_pack_start(GTK_HEADER_BAR(header), navigation);
    reload = icon_button("view-refresh-symbolic", "Обновить");
    reload_icon = gtk_button_get_image(GTK_BUTTON(reload));
    gtk_header_bar_pack_start(GTK_HEADER_BAR(header), reload);
    // Said in words: an icon alone does not tell a bookkeeper where the page goes.
    external = gtk_button_new_with_label("Открыть в браузере");
    gtk_widget_set_tooltip_text(external, "Открыть страницу в браузере по умолчанию");
    gtk_widget_set_focus_on_click(external, FALSE);
    gtk_header_bar_pack_end(GTK_HEADER_BAR(header), external);
    spinner = gtk_spinner_new();
    gtk_header_bar_pack_end(GTK_HEADER_BAR(header), spinner);
    gtk_window_set_titlebar(GTK_WINDOW(window), header);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));

    g_signal_connect_swapped(back, "clicked", G_CALLBACK(webkit_web_view_go_back), view);
    g_signal_connect_swapped(forward, "clicked", G_CALLBACK(webkit_web_view_go_forward), view);
    g_signal_connect(reload, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                         auto* state = static_cast<State*>(data);
                         if (webkit_web_view_is_loading(state->view))
                             webkit_web_view_stop_loading(state->view);
                         else
                             webkit_web_view_reload(state->view);
                     }),
                     this);
    g_signal_connect(external, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                         static_cast<State*>(data)->open_in_desktop_browser();
                     }),
                     this);
    g_signal_connect(window, "destroy", G_CALLBACK(on_destroy), this);
    g_signal_connect(window, "key-press-event", G_CALLBACK(on_key), this);
    g_signal_connect(view, "notify::title", G_CALLBACK(on_changed), this);
    g_signal_connect(view, "notify::uri", G_CALLBACK(on_changed), this);
    g_signal_connect(view, "notify::is-loading", G_CALLBACK(on_changed), this);
    g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), this);
    g_signal_connect(view, "load-failed", G_CALLBACK(on_load_failed), this);
    g_signal_connect(view, "load-failed-with-tls-errors", G_CALLBACK(on_tls_failed), this);
    g_signal_connect(view, "decide-policy", G_CALLBACK(on_decide_policy), this);
    g_signal_connect(view, "create", G_CALLBACK(on_create), this);
    g_signal_connect(view, "web-process-terminated", G_CALLBACK(on_crashed), this);
    g_signal_connect(view, "authenticate", G_CALLBACK(on_authenticate), this);
    // window.close() from the page: the window goes once the engine's signal has returned.
    g_signal_connect(view, "close", G_CALLBACK(+[](WebKitWebView*, gpointer data) {
                         const std::weak_ptr<State> weak = static_cast<State*>(data)->weak_from_this();
                         post_on_gui_thread([weak] {
                             if (auto state = weak.lock())
                                 state->destroy_window();
                         });
                     }),
                     this);
    update_header();
    gtk_widget_show_all(window);
    gtk_widget_grab_focus(GTK_WIDGET(view));
    return true;
}

void BrowserWindow::State::destroy_window() {
    if (window == nullptr)
        return;
    GtkWidget* doomed = window;
    g_signal_handlers_disconnect_by_data(view, this);
    g_signal_handlers_disconnect_by_data(doomed, this);
    window = nullptr;
    view = nullptr;
    gtk_widget_destroy(doomed);
}

void BrowserWindow::State::on_destroy(GtkWidget*, gpointer data) {
    // The user closed the window: its widgets are going, the context stays for the next link.
    auto* state = static_cast<State*>(data);
    g_signal_handlers_disconnect_by_data(state->view, state);
    state->window = nullptr;
    state->view = nullptr;
    state->pending_uri.clear();
}

gboolean BrowserWindow::State::on_key(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* state = static_cast<State*>(data);
    const guint modifiers = event->state & gtk_accelerator_get_default_mod_mask();
    const guint key = event->keyval;
    if (modifiers == GDK_MOD1_MASK && key == GDK_KEY_Left) {
        webkit_web_view_go_back(state->view);
    } else if (modifiers == GDK_MOD1_MASK && key == GDK_KEY_Right) {
        webkit_web_view_go_forward(state->view);
    } else if ((modifiers == 0 && key == GDK_KEY_F5) || (modifiers == GDK_CONTROL_MASK && key == GDK_KEY_r)) {
        webkit_web_view_reload(state->view);
    } else if (modifiers == GDK_CONTROL_MASK && key == GDK_KEY_w) {
        state->destroy_window();
    } else if (modifiers == 0 && key == GDK_KEY_Escape && webkit_web_view_is_loading(state->view)) {
        webkit_web_view_stop_loading(state->view);
    } else {
        return FALSE;
    }
    return TRUE;
}

void BrowserWindow::State::update_header() {
    if (window == nullptr)
        return;
    const char* title = webkit_web_view_get_title(view);
    const char* uri = webkit_web_view_get_uri(view);
    const std::string shown = title != nullptr && title[0] != '\0' ? title : PRODUCT;
    // The window's title (the task bar's) first: GTK hands it on to the header bar.
    gtk_window_set_title(GTK_WINDOW(window), shown == PRODUCT ? PRODUCT : (shown + " — " + PRODUCT).c_str());
    gtk_header_bar_set_title(GTK_HEADER_BAR(header), shown.c_str());
    gtk_header_bar_set_subtitle(GTK_HEADER_BAR(header), uri != nullptr ? uri : "");
    gtk_widget_set_sensitive(back, webkit_web_view_can_go_back(view));
    gtk_widget_set_sensitive(forward, webkit_web_view_can_go_forward(view));
    gtk_widget_set_sensitive(external, uri != nullptr && is_web(uri));
    const bool loading = webkit_web_view_is_loading(view);
    const char* name = loading ? "Остановить" : "Обновить";
    gtk_image_set_from_icon_name(GTK_IMAGE(reload_icon), loading ? "process-stop-symbolic" : "view-refresh-symbolic",
                                 GTK_ICON_SIZE_BUTTON);
    gtk_widget_set_tooltip_text(reload, name);
    atk_object_set_name(gtk_widget_get_accessible(reload), name);
    if (loading)
        gtk_spinner_start(GTK_SPINNER(spinner));
    else
        gtk_spinner_stop(GTK_SPINNER(spinner));
}

void BrowserWindow::State::on_changed(WebKitWebView*, GParamSpec*, gpointer data) {
    static_cast<State*>(data)->update_header();
}

void BrowserWindow::State::on_load_changed(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* state = static_cast<State*>(data);
    // A data: page in the window's own place is a phishing staple: a sign-in form that looks
    // like the provider's under an address nobody reads. Frames of a page may still use
    // them; the window's own load (the only one this signal tells of) is stopped before
    // anything of it is shown.
    const char* uri = webkit_web_view_get_uri(view);
    if (event == WEBKIT_LOAD_STARTED && uri != nullptr && scheme_of(uri) == "data") {
        AGENT_WARN(CONTEXT) << "Not followed: a data: address in place of the page";
        webkit_web_view_stop_loading(view);
        const std::string html =
            error_page("blocked", "Страница не открыта",
                       "Эта ссылка ведёт не на сайт, а на страницу, составленную самой ссылкой. Такие страницы "
                       "не открываются: ими подделывают сайты.",
                       {}, "");
        webkit_web_view_load_alternate_html(view, html.c_str(), "about:blank", nullptr);
        return;
    }
    state->update_header();
}

void BrowserWindow::State::show_error(const std::string& kind, const std::string& title, const std::string& text,
                                      const std::vector<std::string>& details, const std::string& uri) {
    const std::string html = error_page(kind, title, text, details, uri);
    webkit_web_view_load_alternate_html(view, html.c_str(), uri.c_str(), nullptr);
}

gboolean BrowserWindow::State::on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                              gpointer data) {
    // A load the user stopped, or one that became a download, is no failure to show.
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
        g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
        return FALSE;
    AGENT_WARN(CONTEXT) << "Not loaded: " << uri << ": " << error->message;
    static_cast<State*>(data)->show_error("network", "Не удалось открыть страницу", error->message, {},
                                          uri != nullptr ? uri : "");
    return TRUE;
}

bool BrowserWindow::State::trusted_by_extra_authority(GTlsCertificate* certificate, const std::string& uri) const {
    GPtr<GUri> parsed(g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!parsed || g_uri_get_host(parsed.get()) == nullptr)
        return false;
    const int port = g_uri_get_port(parsed.get());
    GPtr<GSocketConnectable> identity(
        g_network_address_new(g_uri_get_host(parsed.get()), static_cast<guint16>(port > 0 ? port : 443)));
    for (const auto& authority : extra_authorities)
        if (g_tls_certificate_verify(certificate, identity.get(), authority.get()) == 0)
            return true;
    return false;
}

gboolean BrowserWindow::State::on_tls_failed(WebKitWebView* view, gchar* uri, GTlsCertificate* certificate,
                                             GTlsCertificateFlags errors, gpointer data) {
    auto* state = static_cast<State*>(data);
    const std::string address = uri != nullptr ? uri : "";
    GPtr<GUri> parsed(g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr));
    const std::string host = parsed && g_uri_get_host(parsed.get()) != nullptr ? g_uri_get_host(parsed.get()) : "";
    // A server certificate issued by the configured extra CA, valid and for this host, is
    // as good as one the system trusts: it is let through once, and the page asked again.
    if ((errors & ~G_TLS_CERTIFICATE_UNKNOWN_CA) == 0 && !host.empty() &&
        state->trusted_by_extra_authority(certificate, address)) {
        GPtr<char> pem;
        g_object_get(certificate, "certificate-pem", &pem, nullptr);
        const std::string key = host + "\n" + (pem ? pem.get() : "");
        if (state->let_through.insert(key).second) {
            webkit_web_context_allow_tls_certificate_for_host(state->context.get(), certificate, host.c_str());
            webkit_web_view_load_uri(view, address.c_str());
            return TRUE;
        }
    }
    AGENT_ERROR(CONTEXT) << "The certificate of " << address << " does not verify (flags "
                         << static_cast<unsigned>(errors) << ")";
    state->show_error("certificate", "Подключение не защищено",
                      "Сертификат сервера " + host + " не прошёл проверку, поэтому страница не открыта:",
                      certificate_problems(errors), address);
    return TRUE;
}

gboolean BrowserWindow::State::on_decide_policy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                                WebKitPolicyDecisionType type, gpointer data) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    auto* state = static_cast<State*>(data);
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* requested = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    const std::string uri = requested != nullptr ? requested : "";
    const std::string scheme = scheme_of(uri);
    if (scheme == "mailto") {
        // Written to the support: the desktop's mail program.
        webkit_policy_decision_ignore(decision);
        state->options.desktop->open(utf8_to_wide(uri));
        return TRUE;
    }
    const bool web = scheme == "http" || scheme == "https";
    if (!web && scheme != "about" && scheme != "data" && scheme != "blob") {
        AGENT_WARN(CONTEXT) << "Not followed: " << uri;
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        // One window: a link meant for a new one opens here.
        webkit_policy_decision_ignore(decision);
        if (web)
            webkit_web_view_load_uri(view, uri.c_str());
        return TRUE;
    }
    return FALSE;
}

GtkWidget* BrowserWindow::State::on_create(WebKitWebView* view, WebKitNavigationAction* action, gpointer) {
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (uri != nullptr && is_web(uri))
        webkit_web_view_load_uri(view, uri);
    return nullptr;
}

void BrowserWindow::State::on_crashed(WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer data) {
    if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API)
        return;
    const char* uri = webkit_web_view_get_uri(view);
    AGENT_ERROR(CONTEXT) << "The page's process ended (reason " << static_cast<int>(reason) << ")";
    // No reload by itself: a page that kills its process would do it again and again.
    static_cast<State*>(data)->show_error("crashed", "Страница перестала работать",
                                          "Нажмите «Обновить», чтобы открыть её снова.", {}, uri != nullptr ? uri : "");
}

namespace {

// "http://host:port" from the configuration's "host:port" or URL.
std::string proxy_uri(const std::wstring& address) {
    std::string text = wide_to_utf8(address);
    if (text.empty() || text.find("://") != std::string::npos)
        return text;
    return "http://" + text;
}

}  // namespace

void BrowserWindow::State::apply_proxy() {
    if (manager == nullptr)
        return;
    const winhttp::ProxySettings& proxy = options.proxy;
    if (proxy.mode == winhttp::NoProxy) {
        webkit_website_data_manager_set_network_proxy_settings(manager, WEBKIT_NETWORK_PROXY_MODE_NO_PROXY, nullptr);
        return;
    }
    if (proxy.mode != winhttp::NamedProxy || proxy.url.empty()) {
        webkit_website_data_manager_set_network_proxy_settings(manager, WEBKIT_NETWORK_PROXY_MODE_DEFAULT, nullptr);
        return;
    }
    // The bypass list's entries, as the transport reads them: ";", "," or blanks apart.
    std::vector<std::string> ignored;
    std::string entry;
    for (const char c : wide_to_utf8(proxy.bypass) + ";") {
        if (c == ';' || c == ',' || c == ' ' || c == '\t') {
            if (!entry.empty() && entry != "<local>")
                ignored.push_back(entry);
            entry.clear();
        } else {
            entry += c;
        }
    }
    std::vector<const char*> hosts;
    for (const std::string& host : ignored)
        hosts.push_back(host.c_str());
    hosts.push_back(nullptr);
    const std::string http = proxy_uri(winhttp::proxy_for_scheme(proxy.url, L"http"));
    const std::string https = proxy_uri(winhttp::proxy_for_scheme(proxy.url, L"https"));
    WebKitNetworkProxySettings* settings = webkit_network_proxy_settings_new(http.c_str(), hosts.data());
    webkit_network_proxy_settings_add_proxy_for_scheme(settings, "https", https.c_str());
    webkit_website_data_manager_set_network_proxy_settings(manager, WEBKIT_NETWORK_PROXY_MODE_CUSTOM, settings);
    webkit_network_proxy_settings_free(settings);
}

gboolean BrowserWindow::State::on_authenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer data) {
    auto* state = static_cast<State*>(data);
    const winhttp::ProxySettings& proxy = state->options.proxy;
    // The user's credentials go only to the proxy the user named; a site asking for a
    // password, or a proxy the desktop chose, gets the engine's own question.
    if (!webkit_authentication_request_is_for_proxy(request) || proxy.mode != winhttp::NamedProxy ||
        proxy.user.empty() || webkit_authentication_request_is_retry(request))
        return FALSE;
    WebKitCredential* credential = webkit_credential_new(wide_to_utf8(proxy.user).c_str(),
                                                         wide_to_utf8(proxy.password).c_str(),
                                                         WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION);
    webkit_authentication_request_authenticate(request, credential);
    webkit_credential_free(credential);
    return TRUE;
}

void BrowserWindow::State::open_in_desktop_browser() {
    if (view == nullptr)
        return;
    const char* uri = webkit_web_view_get_uri(view);
    if (uri == nullptr || !is_web(uri))
        return;
    if (!options.desktop->open(utf8_to_wide(uri))) {
        AGENT_ERROR(CONTEXT) << "The desktop's browser did not start for " << uri;
    }
}

void BrowserWindow::State::enqueue(Operation operation) {
    operations.push_back(std::move(operation));
    if (!running)
        run_next();
}

void BrowserWindow::State::drop_context() {
    cookies = nullptr;
    manager = nullptr;
    extra_authorities.clear();
    let_through.clear();
    context.reset();
}

void BrowserWindow::State::run_next() {
    if (operations.empty()) {
        running = false;
        if (rebuild_pending) {
            rebuild_pending = false;
            drop_context();
        }
        if (!pending_uri.empty() && view != nullptr) {
            const std::string uri = std::move(pending_uri);
            pending_uri.clear();
            webkit_web_view_load_uri(view, uri.c_str());
        }
        return;
    }
    running = true;
    Operation operation = std::move(operations.front());
    operations.pop_front();
    // Whichever comes first, the engine's answer or the limit, moves the queue on; the
    // other finds the flag set. Both may come after the window has gone.
    struct Once {
        std::weak_ptr<State> state;
        bool done = false;
        void finish() {
            if (done)
                return;
            done = true;
            if (auto live = state.lock())
                live->run_next();
        }
    };
    auto once = std::make_shared<Once>();
    once->state = weak_from_this();
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, COOKIE_OPERATION_LIMIT_MS,
        [](gpointer data) -> gboolean {
            auto& once = *static_cast<std::shared_ptr<Once>*>(data);
            if (!once->done) {
                AGENT_ERROR(CONTEXT) << "The cookie store did not answer in time";
                once->finish();
            }
            return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<Once>(once), [](gpointer data) { delete static_cast<std::shared_ptr<Once>*>(data); });
    operation([once] { once->finish(); });
}

void BrowserWindow::State::load_when_idle(const std::string& uri) {
    if (running) {
        pending_uri = uri;
        return;
    }
    pending_uri.clear();
    webkit_web_view_load_uri(view, uri.c_str());
}

namespace {

// The engine's asynchronous calls finish here; `then` gets the source and the result. The
// web context stays alive until then: the engine crashes when a cookie call finishes
// after its context has gone (the program closing, or signing out just before).
using Finish = std::function<void(GObject*, GAsyncResult*)>;

struct Pending {
    Finish then;
    GPtr<WebKitWebContext> context;
};

void* finish_with(WebKitWebContext* context, Finish then) {
    return new Pending{std::move(then), GPtr<WebKitWebContext>(WEBKIT_WEB_CONTEXT(g_object_ref(context)))};
}

void on_finished(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    pending->then(source, result);
    // The engine's task still holds the cookie manager, which needs its context when it
    // goes: the context is let go once the task has gone too.
    g_idle_add_full(
        G_PRIORITY_LOW,
        [](gpointer context) -> gboolean {
            g_object_unref(context);
            return G_SOURCE_REMOVE;
        },
        pending->context.release(), nullptr);
}

}  // namespace

BrowserWindow::BrowserWindow(Options options) : state_(std::make_shared<State>(std::move(options))) {}

BrowserWindow::~BrowserWindow() = default;

bool BrowserWindow::set_cookie(const std::wstring& url, const std::wstring& name, const std::wstring& data) {
    if (!is_gui_thread()) {
        bool stored = false;
        execute_on_gui_thread([&] { stored = set_cookie(url, name, data); });
        return stored;
    }
    State& state = *state_;
    if (!state.ensure_context())
        return false;
    const std::string address = wide_to_utf8(url);
    GPtr<GUri> origin(g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!origin || !is_web(address)) {
        AGENT_ERROR(CONTEXT) << "No cookie for " << address << ": not a web address";
        return false;
    }
    const std::string header = wide_to_utf8(name) + "=" + wide_to_utf8(data);
    g_autoptr(SoupCookie) cookie = soup_cookie_parse(header.c_str(), origin.get());
    if (cookie == nullptr || wide_to_utf8(name) != soup_cookie_get_name(cookie)) {
        AGENT_ERROR(CONTEXT) << "Cookie " << name << " refused for " << address;
        return false;
    }
    if (soup_cookie_get_secure(cookie) && g_strcmp0(g_uri_get_scheme(origin.get()), "http") == 0 &&
        is_loopback(g_uri_get_host(origin.get())))
        soup_cookie_set_secure(cookie, FALSE);
    SoupCookie* raw = static_cast<SoupCookie*>(g_steal_pointer(&cookie));
    state.enqueue([context = state.context.get(), cookies = state.cookies, raw](std::function<void()> done) {
        g_autoptr(SoupCookie) owned = raw;
        webkit_cookie_manager_add_cookie(cookies, owned, nullptr, on_finished,
                                         finish_with(context, [done, name = std::string(soup_cookie_get_name(raw))](
                                                         GObject* source, GAsyncResult* result) {
                                             GError* raw_error = nullptr;
                                             webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source),
                                                                                     result, &raw_error);
                                             GPtr<GError> failure(raw_error);
                                             if (failure) {
                                                 AGENT_ERROR(CONTEXT) << "Cookie " << name << " not stored: "
                                                                      << failure->message;
                                             }
                                             done();
                                         }));
    });
    return true;
}

bool BrowserWindow::open(const std::wstring& url) {
    if (!is_gui_thread()) {
        bool opened = false;
        execute_on_gui_thread([&] { opened = open(url); });
        return opened;
    }
    const std::string address = wide_to_utf8(url);
    if (!is_web(address)) {
        AGENT_ERROR(CONTEXT) << "Not a web address: " << address;
        return false;
    }
    State& state = *state_;
    if (!state.ensure_window())
        return false;
    state.load_when_idle(address);
    gtk_window_present(GTK_WINDOW(state.window));
    return true;
}

void BrowserWindow::sign_out() {
    State& state = *state_;
    state.destroy_window();
    state.pending_uri.clear();
    if (!state.ensure_context())
        return;
    state.enqueue([context = state.context.get(), manager = state.manager](std::function<void()> done) {
        webkit_website_data_manager_clear(
            manager, WEBKIT_WEBSITE_DATA_ALL, 0, nullptr, on_finished,
            finish_with(context, [done](GObject* source, GAsyncResult* result) {
                GError* raw_error = nullptr;
                webkit_website_data_manager_clear_finish(WEBKIT_WEBSITE_DATA_MANAGER(source), result, &raw_error);
                GPtr<GError> failure(raw_error);
                if (failure) {
                    AGENT_ERROR(CONTEXT) << "The sites' data was not all removed: " << failure->message;
                }
                done();
            }));
    });
}

void BrowserWindow::set_remembered(bool remembered) {
    if (!is_gui_thread()) {
        // From the sign-in's worker: nothing to wait for, and the links it opens later
        // come after this on the GUI thread.
        post_on_gui_thread([weak = std::weak_ptr<State>(state_), remembered] {
            if (auto state = weak.lock())
                BrowserWindow::apply_remembered(*state, remembered);
        });
        return;
    }
    apply_remembered(*state_, remembered);
}

void BrowserWindow::apply_remembered(State& state, bool remembered) {
    if (state.options.remembered == remembered)
        return;
    state.options.remembered = remembered;
    state.destroy_window();
    state.pending_uri.clear();
    // The store of the other kind is made with the next page, once the queued work is done.
    if (state.running)
        state.rebuild_pending = true;
    else
        state.drop_context();
}

void BrowserWindow::close() {
    state_->destroy_window();
    state_->pending_uri.clear();
}

void BrowserWindow::set_proxy(const winhttp::ProxySettings& proxy) {
    if (!is_gui_thread()) {
        execute_on_gui_thread([&] { set_proxy(proxy); });
        return;
    }
    state_->options.proxy = proxy;
    state_->apply_proxy();
}

bool BrowserWindow::busy() const {
    return state_->running;
}

GtkWindow* BrowserWindow::gtk_window() const {
    return state_->window != nullptr ? GTK_WINDOW(state_->window) : nullptr;
}

WebKitWebView* BrowserWindow::web_view() const {
    return state_->view;
}

std::string BrowserWindow::title() const {
    if (state_->header == nullptr || state_->window == nullptr)
        return {};
    const char* title = gtk_header_bar_get_title(GTK_HEADER_BAR(state_->header));
    return title != nullptr ? title : "";
}

std::string BrowserWindow::address() const {
    if (state_->header == nullptr || state_->window == nullptr)
        return {};
    const char* subtitle = gtk_header_bar_get_subtitle(GTK_HEADER_BAR(state_->header));
    return subtitle != nullptr ? subtitle : "";
}

}  // namespace varnelagent
