#pragma once

#include <string>

// The proxy choice as the configuration stores it and the HTTP client applies it.
namespace agent {

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

}  // namespace agent
