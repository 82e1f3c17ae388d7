#include "model/uri_service.h"

#include <ctime>
#include <iomanip>
#include <locale>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <json/json.h>

#include "details/exception.h"
#include "details/logger.h"
#include "details/lru_cache.h"
#include "details/process.h"
#include "details/strings.h"
#include "model/client_lock.h"
#include "model/secret_text.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace agent {

namespace {

// Process-wide: the help page's worker fills the link list while the GUI thread may empty
// it at sign-out, and icons are fetched on the GUI thread.
struct Caches {
    std::mutex mutex;
    LinkItems links;
    details::LruCache<std::wstring, std::vector<std::uint8_t>> icons{ICON_CACHE_ENTRIES};
};

Caches& caches() {
    static Caches instance;
    return instance;
}

std::wstring json_text(const Json::Value& item, const char* key) {
    const Json::Value& value = item[key];
    return value.isNull() ? std::wstring() : details::utf8_to_wide(value.asString());
}

}  // namespace

namespace details {

bool is_web_link(std::wstring_view url) {
    return starts_with_ascii_nocase(url, L"https://") || starts_with_ascii_nocase(url, L"http://");
}

LinkItems parse_link_items(std::string_view body) {
    Json::Value root;
    std::string errors;
    if (!read_json(body, root, errors)) {
        AGENT_ERROR(L"agent::details::parse_link_items") << errors;
        throw std::runtime_error(errors);
    }
    LinkItems items;
    if (!root.isObject())
        return items;
    const Json::Value& list = root["items"];
    if (!list.isArray() && !list.isObject())
        return items;
    for (const Json::Value& element : list) {
        if (!element.isObject())
            continue;
        LinkItem item;
        item.title = json_text(element, "title");
        item.description = json_text(element, "description");
        item.href = json_text(element, "href");
        item.icon = json_text(element, "icon");
        item.type = json_text(element, "type");
        const Json::Value& enabled = element["enabled"];
        item.enabled = !enabled.isNull() && enabled.asBool();
        items.push_back(std::move(item));
    }
    return items;
}

std::wstring host_of(const std::wstring& url) {
    const std::size_t scheme_end = url.find(L"://");
    if (scheme_end == std::wstring::npos || scheme_end == 0)
        return {};
    const std::size_t start = scheme_end + 3;
    std::wstring authority = url.substr(start, url.find_first_of(L"/?#", start) - start);
    if (const std::size_t at = authority.rfind(L'@'); at != std::wstring::npos)
        authority.erase(0, at + 1);
    std::wstring host;
    if (!authority.empty() && authority.front() == L'[') {
        const std::size_t close = authority.find(L']');
        if (close == std::wstring::npos)
            return {};
        host = authority.substr(1, close - 1);
    } else {
        host = authority.substr(0, authority.find(L':'));
    }
    for (wchar_t& c : host)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return host;
}

std::wstring cookie_domain_for(const std::wstring& url, const std::wstring& api_base) {
    if (url.find(DEVELOPMENT_COOKIE_DOMAIN) != std::wstring::npos)
        return DEVELOPMENT_COOKIE_DOMAIN;
    // A provider that is not under its own domains (the stand-in on loopback) can only be
    // given cookies for its host: a browser refuses a domain that does not cover the page.
    const std::wstring host = host_of(url);
    const std::wstring production = PRODUCTION_COOKIE_DOMAIN;
    const bool under_production = host == production.substr(1) || host.ends_with(production);
    if (!host.empty() && !under_production && host == host_of(api_base))
        return host;
    return PRODUCTION_COOKIE_DOMAIN;
}

}  // namespace details

XdgOpenBrowser::XdgOpenBrowser(std::string launcher) : launcher_(std::move(launcher)) {}

bool XdgOpenBrowser::set_cookie(const std::wstring&, const std::wstring&, const std::wstring&) {
    return false;
}

bool XdgOpenBrowser::open(const std::wstring& url) {
    // The desktop would hand any scheme to whatever claims it (a file manager for file:, a
    // custom handler): only web pages, and mail to the mail program, go there.
    if (!details::is_web_link(url) && !details::starts_with_ascii_nocase(url, L"mailto:")) {
        AGENT_WARN(L"agent::XdgOpenBrowser::open") << "Not opened (only http and https leave the program): " << url;
        return false;
    }
    try {
        details::start_detached({launcher_, details::wide_to_utf8(url)});
        return true;
    } catch (const Exception& e) {
        AGENT_ERROR(L"agent::XdgOpenBrowser::open") << e.description();
    } catch (const std::exception& e) {
        AGENT_ERROR(L"agent::XdgOpenBrowser::open") << e.what();
    }
    return false;
}

UriService::UriService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base)
    : client_(std::move(client)), api_base_(std::move(api_base)), fallback_(std::make_shared<XdgOpenBrowser>()) {}

void UriService::set_session_id(const std::wstring& session_id) {
    session_id_ = session_id;
}

void UriService::set_browser(std::shared_ptr<IBrowser> browser) {
    browser_ = std::move(browser);
}

void UriService::set_fallback_browser(std::shared_ptr<IBrowser> browser) {
    fallback_ = browser ? std::move(browser) : std::make_shared<XdgOpenBrowser>();
}

LinkItems UriService::get_service_links() {
    constexpr wchar_t FUNCTION[] = L"agent::UriService::get_service_links";
    {
        std::lock_guard lock(caches().mutex);
        if (!caches().links.empty())
            return caches().links;
    }
    const std::shared_ptr<winhttp::SimpleClient> client = details::lock_http_client(client_, FUNCTION);
    const details::ApiAnswer answer =
        details::call_api(*client, FUNCTION, api_base_ + L"/v1/support", winhttp::METHOD_GET,
                          details::wide_to_utf8(session_id_), nullptr, 200, 204);
    if (answer.status == 204)
        return {};
    LinkItems items = details::parse_link_items(
        std::string_view(reinterpret_cast<const char*>(answer.body.data()), answer.body.size()));
    std::lock_guard lock(caches().mutex);
    caches().links = items;
    return items;
}

std::vector<std::uint8_t> UriService::get_icon(const std::wstring& url, std::chrono::milliseconds wait,
                                               FetchCancel* cancel) {
    constexpr wchar_t FUNCTION[] = L"agent::UriService::get_icon";
    {
        std::lock_guard lock(caches().mutex);
        if (const auto* found = caches().icons.find(url))
            return *found;
    }
    const std::shared_ptr<winhttp::SimpleClient> client = details::lock_http_client(client_, FUNCTION);
    winhttp::Request request = details::open_linked_request(*client, FUNCTION, url, winhttp::METHOD_GET,
                                                            details::wide_to_utf8(session_id_), api_base_);
    request.set_timeouts(wait);
    if (cancel != nullptr)
        cancel->attach(request.cancel_handle());
    winhttp::Response response = request.receive();
    const std::uint32_t status = response.status_code();
    details::log_status(FUNCTION, status);
    if (status != 200)
        return {};
    std::vector<std::uint8_t> bytes;
    try {
        bytes = response.read_body(ICON_MAX_BYTES);
    } catch (const AgentException& e) {
        AGENT_WARN(FUNCTION) << "No icon from " << url << ": " << e.description();
        return {};
    }
    if (image_format({reinterpret_cast<const char*>(bytes.data()), bytes.size()}) == ImageFormat::None) {
        AGENT_WARN(FUNCTION) << "No icon from " << url << ": not a PNG, JPEG, GIF, SVG or ICO image";
        return {};
    }
    std::lock_guard lock(caches().mutex);
    caches().icons.put(url, bytes);
    return bytes;
}

std::wstring UriService::get_cookie_string(const std::wstring& value, const std::wstring& domain, bool lasting) {
    if (!lasting)
        return value + L"; domain=" + domain + L"; path=/; secure; HttpOnly";
    const std::time_t expiry = std::time(nullptr) + 24 * 60 * 60;
    std::tm calendar{};
    if (::gmtime_r(&expiry, &calendar) == nullptr) {
        AGENT_ERROR(L"agent::UriService::get_cookie_string") << "gmtime_r: " << errno;
    }
    std::wostringstream text;
    // The classic locale gives English day and month names whatever the user's language.
    text.imbue(std::locale::classic());
    text << value << L"; expires=" << std::put_time(&calendar, L"%a,%d-%b-%Y %X GMT") << L"; domain=" << domain
         << L"; path=/; secure; HttpOnly";
    return text.str();
}

void UriService::set_auth_cookie(const std::wstring& name, const std::wstring& value, const std::wstring& url) {
    constexpr wchar_t FUNCTION[] = L"agent::UriService::set_auth_cookie";
    if (value.empty())
        return;
    const std::wstring data = get_cookie_string(value, details::cookie_domain_for(url, api_base_), remembered_);
    // Cookie values are credentials: the log shows what the cookie is, never its value.
    AGENT_DEBUG(FUNCTION) << "Cookie " << name << ": " << details::SECRET_MARK
                          << std::wstring_view(data).substr(std::min(data.find(L';'), data.size()));
    IBrowser& browser = browser_ ? *browser_ : *fallback_;
    try {
        if (browser.set_cookie(url, name, data))
            return;
        AGENT_ERROR(FUNCTION) << "Cookie " << name << " not stored for " << url;
    } catch (const Exception& e) {
        AGENT_ERROR(FUNCTION) << "Cookie " << name << ": " << e.description();
    } catch (const std::exception& e) {
        AGENT_ERROR(FUNCTION) << "Cookie " << name << ": " << e.what();
    }
}

bool UriService::open_link(const std::wstring& url, const std::wstring& token, const std::wstring& session_id) {
    constexpr wchar_t FUNCTION[] = L"agent::UriService::open_link";
    // Every link comes from a server (a message, the support list, the instruction): only a
    // web page leaves the program, and the sign-in cookies go nowhere else.
    if (!details::is_web_link(url)) {
        AGENT_WARN(FUNCTION) << "Not opened (only http and https leave the program): " << url;
        return false;
    }
    set_auth_cookie(L"token", token, url);
    set_auth_cookie(L"auth.sid", session_id, url);
    AGENT_INFO(FUNCTION) << "link: " << url;
    if (browser_) {
        try {
            if (browser_->open(url))
                return true;
            AGENT_WARN(FUNCTION) << "The browser window did not take the link, trying the desktop's browser";
        } catch (const Exception& e) {
            AGENT_ERROR(FUNCTION) << e.description();
        } catch (const std::exception& e) {
            AGENT_ERROR(FUNCTION) << e.what();
        }
    }
    try {
        return fallback_->open(url);
    } catch (const std::exception& e) {
        AGENT_ERROR(FUNCTION) << e.what();
        return false;
    }
}

void UriService::set_remembered(bool remembered) {
    remembered_ = remembered;
    if (browser_)
        browser_->set_remembered(remembered);
}

void UriService::set_proxy(const ProxySettings& proxy) {
    if (browser_)
        browser_->set_proxy(proxy);
}

void UriService::clear_service_links() {
    std::lock_guard lock(caches().mutex);
    caches().links.clear();
}

}  // namespace agent
