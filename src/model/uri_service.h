#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "details/proxy_settings.h"
#include "model/icons.h"

namespace winhttp {
class SimpleClient;
}

namespace agent {

// One entry of the support list shown on the help page.
struct LinkItem {
    std::wstring title;
    std::wstring description;
    std::wstring href;
    std::wstring icon;  // address of the icon image
    std::wstring type;
    bool enabled = false;

    friend bool operator==(const LinkItem&, const LinkItem&) = default;
};

using LinkItems = std::vector<LinkItem>;

// Where the link service leads the user out of the program: a browser with a cookie store
// it reads. The shell provides one backed by its own browser window; without it the
// desktop's default browser is used (see XdgOpenBrowser).
class IBrowser {
public:
    virtual ~IBrowser() = default;

    // Writes one cookie for the URL. `data` is the whole cookie string of
    // UriService::get_cookie_string (value, expiry, domain, flags). False when not stored.
    virtual bool set_cookie(const std::wstring& url, const std::wstring& name, const std::wstring& data) = 0;

    // Shows the URL; true when a browser took it.
    virtual bool open(const std::wstring& url) = 0;

    // The agent's proxy settings changed; a browser of the program's own goes through them
    // too. The desktop's browser keeps its own.
    virtual void set_proxy(const ProxySettings&) {}

    // Whether the user asked to stay signed in: without it, a browser of the program's own
    // keeps nothing of the provider's sites on disk.
    virtual void set_remembered(bool) {}
};

// The desktop's default browser, started detached through a launcher program ("xdg-open"
// unless told otherwise) with the URL as its only argument, never through a shell. Its
// cookie store is out of reach, so links opened here are not signed in.
class XdgOpenBrowser : public IBrowser {
public:
    explicit XdgOpenBrowser(std::string launcher = "xdg-open");

    // Always false: the desktop browser's cookie store cannot be written.
    bool set_cookie(const std::wstring& url, const std::wstring& name, const std::wstring& data) override;
    // True when the launcher was started (not whether it found a browser). Only http(s) and
    // mailto: addresses are handed over; anything else (file:, a custom handler) is false.
    bool open(const std::wstring& url) override;

private:
    std::string launcher_;
};

// Cookie domains of the sign-in cookies: a link whose URL contains the development suffix
// gets cookies for that domain, any other link for the production parent domain (see
// details::cookie_domain_for for a provider reached at the API's own host).
inline constexpr wchar_t DEVELOPMENT_COOKIE_DOMAIN[] = L".dev.varnel.example";
inline constexpr wchar_t PRODUCTION_COOKIE_DOMAIN[] = L".varnel.example";

// The links that lead out of the program: the support list, the icons of its entries,
// and web pages opened with the user signed in.
class UriService {
public:
    UriService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base);
    UriService(const UriService&) = delete;
    UriService& operator=(const UriService&) = delete;

    void set_session_id(const std::wstring& session_id);

    // The shell's browser window with its cookie store (GUI thread, before any link is
    // opened). nullptr leaves only the fallback.
    void set_browser(std::shared_ptr<IBrowser> browser);

    // Where links go when there is no browser window or it refuses them: XdgOpenBrowser
    // by default; nullptr restores that default.
    void set_fallback_browser(std::shared_ptr<IBrowser> browser);

    // GET <api base>/v1/support, answered from the process-wide cache once it is filled.
    // 204 gives an empty list (not cached). Other statuses throw AgentApiException; a body
    // that is not JSON throws std::runtime_error; transport errors propagate.
    LinkItems get_service_links();

    // The image bytes at the (absolute) icon URL, from the process-wide icon cache when
    // present (the ICON_CACHE_ENTRIES most recently used). The session header goes only to
    // the agent API's own origin. Each wait of the request is at most `wait`, and `cancel`
    // (when given) cuts it short from another thread. A status other than 200, a body over
    // ICON_MAX_BYTES (cut off when it gets there) or bytes that are not an image of a format
    // the pages use (image_format) give empty bytes, are logged and are not cached;
    // transport errors propagate.
    std::vector<std::uint8_t> get_icon(const std::wstring& url, std::chrono::milliseconds wait = ICON_WAIT,
                                       FetchCancel* cancel = nullptr);

    // value + "; expires=<now + 24 h, e.g. Mon,07-Dec-2026 20:15:00 GMT>; domain=" + domain
    // + "; path=/; secure; HttpOnly". English names whatever the locale. Without `expires`
    // (a session cookie, gone with the browser) when `lasting` is false.
    static std::wstring get_cookie_string(const std::wstring& value, const std::wstring& domain, bool lasting = true);

    // Whether the signed-in user asked to stay signed in (the agent client tells it at each
    // sign-in; a restored session was): without it the sign-in cookies are session cookies
    // and the browser window keeps nothing on disk.
    void set_remembered(bool remembered);

    // Writes one cookie into the browser's store; nothing when the value is empty. A failed
    // write is logged, never thrown.
    void set_auth_cookie(const std::wstring& name, const std::wstring& value, const std::wstring& url);

    // Sets the "token" and "auth.sid" cookies (skipped when empty) and opens the URL in the
    // browser window, else in the fallback browser. True when one of them took it. Only an
    // http(s) address is opened: anything else is logged and false, with no cookie written.
    bool open_link(const std::wstring& url, const std::wstring& token, const std::wstring& session_id);

    // The agent's proxy settings changed (the agent client calls it): the browser window
    // follows them.
    void set_proxy(const ProxySettings& proxy);

    // Empties the process-wide link cache; the agent client calls it at sign-out.
    static void clear_service_links();

private:
    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring api_base_;
    std::wstring session_id_;
    std::shared_ptr<IBrowser> browser_;
    std::shared_ptr<IBrowser> fallback_;
    bool remembered_ = true;
};

namespace details {

// Whether the address is an http:// or https:// one (the scheme in any case).
bool is_web_link(std::wstring_view url);

// The "items" of a support answer (UTF-8 JSON). Throws std::runtime_error with the JSON
// reader's messages when the body is not JSON.
LinkItems parse_link_items(std::string_view body);

// The cookie domain for a link URL: the development domain when the URL contains its
// suffix; the link's own host when that is the host of the agent API `api_base` and lies
// outside the provider's domains (a stand-in provider on 127.0.0.1); otherwise the
// production parent domain.
std::wstring cookie_domain_for(const std::wstring& url, const std::wstring& api_base = {});

// The host of an absolute URL, lower case, without user info, port or IPv6 brackets;
// empty when the text has no "scheme://host".
std::wstring host_of(const std::wstring& url);

}  // namespace details

}  // namespace agent
