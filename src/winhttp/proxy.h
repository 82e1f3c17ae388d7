#pragma once

#include <string>

#include "details/proxy_settings.h"

namespace winhttp {

// The records live with the configuration that stores them; the transport knows them by
// these names too.
using agent::ProxyMode;
using agent::ProxySettings;
using enum agent::ProxyMode;
using agent::proxy_mode_from_name;
using agent::proxy_mode_name;

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
