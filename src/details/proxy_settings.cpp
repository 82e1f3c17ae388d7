#include "details/proxy_settings.h"

namespace agent {

const wchar_t* proxy_mode_name(ProxyMode mode) noexcept {
    switch (mode) {
    case NoProxy:
        return L"NoProxy";
    case DefaultProxy:
        return L"DefaultProxy";
    case NamedProxy:
        return L"NamedProxy";
    }
    return L"NamedProxy";
}

ProxyMode proxy_mode_from_name(const std::wstring& name) noexcept {
    if (name == L"DefaultProxy")
        return DefaultProxy;
    if (name == L"NoProxy")
        return NoProxy;
    return NamedProxy;
}

}  // namespace agent
