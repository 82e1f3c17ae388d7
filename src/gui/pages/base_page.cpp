#include "gui/pages/base_page.h"

#include <glib.h>

#include <cctype>
#include <map>

#include "details/logger.h"
#include "details/configuration.h"
#include "details/strings.h"
#include "gui/engine/resources.h"
#include "gui/error.h"
#include "model/agent_client.h"
#include "model/uri_service.h"

namespace varnelagent::pages {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr wchar_t LOAD_DATA[] = L"varnelagent::pages::BasePage::on_load_data";

// After the document has loaded, this long is given to its script to place the window
// before the owner shows it where it is.
constexpr unsigned PLACEMENT_GRACE_MS = 300;

Json::Value rect_value(const engine::Rect& rect) {
    Json::Value value(Json::objectValue);
    value["left"] = rect.left;
    value["top"] = rect.top;
    value["right"] = rect.right;
    value["bottom"] = rect.bottom;
    return value;
}

std::optional<int> int_of(const Json::Value& value) {
    if (value.isNumeric())
        return static_cast<int>(value.asDouble());
    return std::nullopt;
}

}  // namespace

std::optional<PageKind> page_for_link(const std::string& href) {
    static const std::map<std::string, PageKind> pages{
        {"notifications.htm", NOTIFICATIONS_PAGE},
        {"help.htm", HELP_PAGE},
        {"settings.htm", SETTINGS_PAGE},
    };
    const auto found = pages.find(href);
    if (found == pages.end())
        return std::nullopt;
    return found->second;
}

bool is_web_address(const std::string& href) {
    std::string scheme;
    for (char c : href) {
        if (c == ':')
            return scheme == "http" || scheme == "https";
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
        scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return false;
}

std::string icon_address(const std::wstring& url) {
    if (url.empty())
        return "icon-default.png";
    const std::string text = wide_to_utf8(url);
    return is_web_address(text) ? "remote:" + text : text;
}

bool is_true(const Json::Value& value) {
    if (value.isBool())
        return value.asBool();
    if (value.isNumeric())
        return value.asDouble() != 0;
    return false;
}

std::string string_of(const Json::Value& value) {
    return value.isString() ? value.asString() : std::string();
}

std::string fetch_remote_image(const std::weak_ptr<winhttp::SimpleClient>& client, const std::wstring& api_base,
                               const std::wstring& session_id, const std::string& url) {
    try {
        agent::UriService service(client, api_base);
        service.set_session_id(session_id);
        const std::vector<std::uint8_t> bytes = service.get_icon(utf8_to_wide(url));
        if (!bytes.empty())
            return std::string(bytes.begin(), bytes.end());
        AGENT_WARN(LOAD_DATA) << "No image at " << url;
    } catch (...) {
        error::log_exception(std::current_exception(), LOAD_DATA);
    }
    auto fallback = engine::load_resource("icon-default.png");
    return fallback ? fallback->data : std::string();
}

BasePage::BasePage(agent::AgentClient* client) : client_(client) {
    add_shared_functions();
}

void BasePage::add_script_function(const std::string& name, ScriptFunction function) {
    functions_[name] = std::move(function);
}

BasePage::~BasePage() {
    detach();
}

void BasePage::attach(ShellWindow& owner, engine::HostWindow& window) {
    owner_ = &owner;
    owner_handle_ = owner.handle();
    window_ = &window;
    placed_ = false;
    window.set_script_handler(
        [this](const std::string& name, const Json::Value& args) { return dispatch(name, args); });
    window.set_link_handler([this](const std::string& href, const std::string& auth) { on_link(href, auth); });
    const std::weak_ptr<winhttp::SimpleClient> http = client_->http_client();
    const std::wstring api_base = client_->configuration()->uri;
    const std::wstring session_id = client_->session_id();
    window.set_data_provider([http, api_base, session_id](const std::string& url) -> std::optional<std::string> {
        return fetch_remote_image(http, api_base, session_id, url);
    });
    const std::weak_ptr<int> life = life_;
    window.set_load_handler([this, life](bool loaded) {
        if (life.expired())
            return;
        if (!loaded) {
            AGENT_ERROR(L"varnelagent::pages::BasePage::attach") << "The document " << start_url()
                                                                 << " did not load";
            mark_placed();
            return;
        }
        on_document_loaded();
        // A document that does not place itself is shown where the window is.
        struct Grace {
            std::weak_ptr<int> life;
            BasePage* page;
        };
        g_timeout_add_full(
            G_PRIORITY_DEFAULT, PLACEMENT_GRACE_MS,
            [](gpointer data) -> gboolean {
                const auto& grace = *static_cast<Grace*>(data);
                if (!grace.life.expired() && !grace.page->placed_)
                    grace.page->mark_placed();
                return G_SOURCE_REMOVE;
            },
            new Grace{life, this}, [](gpointer data) { delete static_cast<Grace*>(data); });
    });
    window.load(start_url());
}

void BasePage::load_document(const std::string& url) {
    if (window_ == nullptr)
        return;
    placed_ = false;
    window_->load(url);
}

void BasePage::detach() {
    if (window_ == nullptr)
        return;
    window_->set_script_handler(nullptr);
    window_->set_link_handler(nullptr);
    window_->set_data_provider(nullptr);
    window_->set_load_handler(nullptr);
    window_ = nullptr;
    owner_ = nullptr;
}

void BasePage::mark_placed() {
    placed_ = true;
    if (placed_handler_) {
        const auto handler = placed_handler_;
        handler();
    }
}

bool BasePage::on_unload_page() {
    if (window_ == nullptr)
        return true;
    Json::Value result;
    try {
        // The documents' own answer is immediate; a question to the user is the page's
        // business before this (SettingsPage), in a dialog of its own.
        result = call_script("on_unload_page");
    } catch (...) {
        error::log_exception(std::current_exception(), L"varnelagent::pages::BasePage::on_unload_page");
        return true;
    }
    if (result.isBool())
        return result.asBool();
    if (result.isNumeric())
        return result.asDouble() != 0;
    return true;
}

Json::Value BasePage::call_script(const std::string& name, const Json::Value& args,
                                  std::chrono::milliseconds timeout) {
    if (window_ == nullptr)
        return Json::Value();
    return window_->call_script(name, args, timeout);
}

void BasePage::call_script_async(const std::string& name, const Json::Value& args) {
    if (window_ == nullptr)
        return;
    window_->call_script_async(name, args, [name](engine::HostWindow::ScriptResult result) {
        if (result.error) {
            AGENT_ERROR(L"varnelagent::pages::BasePage::call_script") << name << ": " << *result.error;
        }
    });
}

std::optional<Json::Value> BasePage::dispatch(const std::string& name, const Json::Value& args) {
    if (window_ == nullptr || owner_ == nullptr)
        return std::nullopt;
    for (const auto* table : {&shared_functions_, &functions_}) {
        const auto found = table->find(name);
        if (found != table->end())
            return found->second(args);
    }
    return std::nullopt;
}

void BasePage::add_shared_functions() {
    auto& shared = shared_functions_;
    shared["window_hide"] = [this](const Json::Value&) {
        // The focus went elsewhere; a dialog over the page keeps it. The tray's own menu
        // takes the focus too, so the window hides while the menu is open and the menu's
        // Open brings it back.
        // The loss is confirmed a moment later: a focus that only flickers (the window
        // being raised again, a display without a window manager) must not hide it.
        if (hide_allowed_ && hides_when_unfocused() && window_->visible())
            owner_->set_timer(TIMER_HIDE, TIMER_HIDE_CONFIRM_MS);
        return Json::Value();
    };
    shared["on_mouse_enter"] = [this](const Json::Value&) {
        if (!window_->active())
            owner_->set_timer(TIMER_ACTIVATE, TIMER_ACTIVATE_PERIOD_MS);
        return Json::Value();
    };
    shared["on_mouse_leave"] = [this](const Json::Value&) {
        if (!window_->active())
            owner_->kill_timer(TIMER_ACTIVATE);
        return Json::Value();
    };
    shared["get_work_area"] = [this](const Json::Value&) { return rect_value(window_->work_area()); };
    shared["get_window_rect"] = [this](const Json::Value&) { return rect_value(window_->rect()); };
    shared["set_window_rect"] = [this](const Json::Value& args) {
        const engine::Rect now = window_->rect();
        const int left = int_of(args[0]).value_or(now.left);
        const int top = int_of(args[1]).value_or(now.top);
        const int width = int_of(args[2]).value_or(now.width());
        const int height = int_of(args[3]).value_or(now.height());
        if (width > 0 && height > 0)
            window_->resize(width, height);
        window_->move(left, top);
        if (!placed_)
            mark_placed();
        return Json::Value();
    };
    shared["show_dialog"] = [this](const Json::Value& args) {
        // The dialog's own loop runs after this call returns; the script's Promise settles
        // with the dialog's result.
        auto reply = std::make_shared<engine::DeferredReply>(engine::defer_reply());
        const Json::Value request = args[0];
        const WindowHandle handle = owner_handle_;
        post_on_gui_thread([reply, request, handle] { reply->resolve(error::request_dialog(request, handle)); },
                           L"varnelagent::pages::BasePage::show_dialog");
        return Json::Value();
    };
}

void BasePage::on_link(const std::string& href, const std::string& auth) {
    // Handled after the click's own processing: opening a link may show a dialog, whose
    // nested loop must not run inside the engine's event handler.
    const std::weak_ptr<int> life = life_;
    post_on_gui_thread(
        [this, life, href, auth] {
            if (!life.expired() && !closing())
                open_link(href, auth);
        },
        L"varnelagent::pages::BasePage::on_link");
}

void BasePage::open_link(const std::string& href, const std::string& auth) {
    if (const auto page = page_for_link(href)) {
        post_show_page(owner_handle_, *page);
        return;
    }
    if (href.empty())
        return;
    open_web_link(*client_, href, auth == "true", owner_handle_);
}

void open_web_link(agent::AgentClient& client, const std::string& href, bool signed_in, WindowHandle owner) {
    bool opened = false;
    if (is_web_address(href)) {
        const std::wstring url = utf8_to_wide(href);
        if (signed_in)
            opened = client.uri_service().open_link(url, client.token(), client.session_id());
        else
            opened = client.uri_service().open_link(url, L"", L"");
    } else {
        AGENT_WARN(L"varnelagent::pages::BasePage::on_link") << "Not a web address: " << href;
    }
    if (!opened)
        error::show_error(L"Не удалось открыть ссылку: " + utf8_to_wide(href), owner);
}

}  // namespace varnelagent::pages
