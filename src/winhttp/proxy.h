#pragma once

#include <string>

namespace winhttp {

enum ProxyMode : int {
    NoProxy = 0,       // direct connection, whatever the system says
    DefaultProxy = 1,  // the desktop's proxy settings (the default)
    NamedProxy = 2,    // the user's own proxy
};

struct ProxySettings {
    ProxyMode mode = DefaultProxy;
    std::wstring url;              // "host:port", or a URL with a scheme
    std::wstring bypass;           // hosts that go direct; empty for none
    std::wstring auto_config_url;  // PAC address, when the desktop named one
    std::wstring user;             // empty: no proxy credentials
    std::wstring password;

    bool operator==(const ProxySettings&) const = default;
};

// "NoProxy", "DefaultProxy", "NamedProxy": the stored texts of the modes.
const wchar_t* proxy_mode_name(ProxyMode mode) noexcept;
// Compared with case; any unknown text is NamedProxy.
ProxyMode proxy_mode_from_name(const std::wstring& name) noexcept;

// Refuses NamedProxy without an address with agent::AgentException kind 2
// ("Поле \"Сервер\" должно быть заполнено"); any other record passes.
void check_proxy_settings(const ProxySettings& proxy);

// The proxy address for one request scheme ("http" or "https"): `url` itself, or, for a
// per-scheme list "http=host:port;https=host:port", the entry of that scheme (else the
// entry without a scheme, else the first).
std::wstring proxy_for_scheme(const std::wstring& url, const std::wstring& scheme);

// Whether a host is excluded from the proxy by a bypass list: entries separated by ";",
// "," or blanks, compared without case, "*" matching any run of characters, "<local>"
// matching every host name without a dot.
bool bypasses_proxy(const std::wstring& bypass, const std::wstring& host);

// Asks the desktop's proxy configuration (libproxy: environment variables, GNOME/KDE
// settings, PAC, WPAD) which proxy serves a URL. Returns NamedProxy with the address
// ("http://host:port", "socks5://host:port") or NoProxy for a direct connection; a failed
// lookup also gives NoProxy. Thread-safe.
ProxySettings resolve_system_proxy(const std::wstring& url);

}  // namespace winhttp
