#include "winhttp/proxy.h"

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include <proxy.h>

#include "details/exception.h"
#include "details/strings.h"

namespace winhttp {

void check_proxy_settings(const ProxySettings& proxy) {
    if (proxy.mode == NamedProxy && proxy.url.empty())
        throw agent::AgentException(agent::AgentException::PROXY_WITHOUT_ADDRESS);
}

namespace {

bool is_separator(wchar_t c) {
    return c == L';' || c == L',' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

std::vector<std::wstring> split_list(const std::wstring& text) {
    std::vector<std::wstring> items;
    std::wstring current;
    for (wchar_t c : text) {
        if (!is_separator(c)) {
            current.push_back(c);
            continue;
        }
        if (!current.empty())
            items.push_back(std::move(current));
        current.clear();
    }
    if (!current.empty())
        items.push_back(std::move(current));
    return items;
}

// Glob match with "*" only, both sides already lower-cased.
bool matches(std::wstring_view pattern, std::wstring_view text) {
    std::size_t p = 0, t = 0, star = std::wstring_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

}  // namespace

std::wstring proxy_for_scheme(const std::wstring& url, const std::wstring& scheme) {
    if (url.find(L'=') == std::wstring::npos)
        return url;
    std::wstring plain, first;
    for (const std::wstring& item : split_list(url)) {
        std::size_t equals = item.find(L'=');
        if (equals == std::wstring::npos) {
            if (plain.empty())
                plain = item;
        } else if (agent::details::to_lower_ascii(item.substr(0, equals)) == scheme) {
            return item.substr(equals + 1);
        } else if (first.empty()) {
            first = item.substr(equals + 1);
        }
    }
    return plain.empty() ? first : plain;
}

bool bypasses_proxy(const std::wstring& bypass, const std::wstring& host) {
    const std::wstring name = agent::details::to_lower_ascii(host);
    for (const std::wstring& item : split_list(bypass)) {
        std::wstring pattern = agent::details::to_lower_ascii(item);
        if (pattern == L"<local>") {
            if (name.find(L'.') == std::wstring::npos && name.find(L':') == std::wstring::npos)
                return true;
            continue;
        }
        if (matches(pattern, name))
            return true;
    }
    return false;
}

namespace {

// libproxy's factory keeps the desktop configuration and PAC state between lookups; one
// for the process, used under a lock. It is never freed: freeing it unloads libproxy's
// plugins, and the PAC plugin's script engine does not survive being torn down while the
// process exits.
std::mutex factory_mutex;
pxProxyFactory* factory = nullptr;

}  // namespace

ProxySettings resolve_system_proxy(const std::wstring& url) {
    ProxySettings direct;
    direct.mode = NoProxy;
    std::lock_guard lock(factory_mutex);
    if (factory == nullptr)
        factory = px_proxy_factory_new();
    if (factory == nullptr)
        return direct;
    char** proxies = px_proxy_factory_get_proxies(factory, agent::details::wide_to_utf8(url).c_str());
    if (proxies == nullptr)
        return direct;
    // The first answer is the one to use; later ones are fallbacks we do not try.
    std::string first = proxies[0] != nullptr ? proxies[0] : "";
    px_proxy_factory_free_proxies(proxies);
    if (first.empty() || first.rfind("direct://", 0) == 0)
        return direct;
    ProxySettings named;
    named.mode = NamedProxy;
    named.url = agent::details::utf8_to_wide(first);
    return named;
}

}  // namespace winhttp
