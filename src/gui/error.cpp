#include "gui/error.h"

#include <string>

#include "details/logger.h"
#include "details/strings.h"

namespace varnelagent::error {

namespace {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

Json::Value send_dialog_request(Json::Value request, WindowHandle window) {
    return request_dialog_on(window, std::move(request)).value_or(Json::Value(false));
}

// The program's own texts: HTML of ours, with our links.
Json::Value text_request(std::wstring_view title, std::wstring_view message) {
    Json::Value request(Json::objectValue);
    request["message"] = wide_to_utf8(message);
    request["title"] = wide_to_utf8(title);
    return request;
}

// Anything else (a server's message, a failure's text, a link's address) is shown as text:
// none of it is ever taken as markup in our own dialog.
Json::Value plain_request(std::wstring_view title, std::wstring_view text) {
    Json::Value request(Json::objectValue);
    request["text"] = wide_to_utf8(text);
    request["title"] = wide_to_utf8(title);
    return request;
}

std::string string_member(const Json::Value& value, const char* key) {
    const Json::Value* member = value.find(key, key + std::char_traits<char>::length(key));
    return member != nullptr && member->isString() ? member->asString() : std::string();
}

bool all_digits(std::wstring_view text) {
    for (wchar_t c : text)
        if (c < L'0' || c > L'9')
            return false;
    return true;
}

}  // namespace

std::wstring log_exception(std::exception_ptr exception, std::wstring_view context) noexcept {
    std::wstring text = agent::exception_text(exception);
    try {
        AGENT_ERROR(L"varnelagent::error::log_exception") << context << L" | " << text;
    } catch (...) {
        // Out of memory while logging: the text is all there is.
    }
    return text;
}

Json::Value show_error(const std::wstring& text, WindowHandle window) {
    return send_dialog_request(plain_request(error_text(ERROR_AUTHORIZATION).title, text), window);
}

Json::Value show_error_code(int code, WindowHandle window) {
    const ErrorText error = error_text(code);
    return send_dialog_request(text_request(error.title, error.message), window);
}

Json::Value show_proxy_error(const winhttp::ProxySettings& settings, WindowHandle window) {
    const ErrorText error = error_text(ERROR_CONNECTION);
    Json::Value request = text_request(error.title, error.message);
    request["proxy"] = proxy_to_value(settings);
    return send_dialog_request(std::move(request), window);
}

Json::Value show_credentials(WindowHandle window) {
    return send_dialog_request(Json::Value("res:credentials.html"), window);
}

Json::Value request_dialog(const Json::Value& request, WindowHandle window) {
    return send_dialog_request(request, window);
}

Json::Value report_api_error(std::int32_t status, const std::wstring& text, WindowHandle window) {
    if (status == 401) {
        Json::Value result = show_error_code(ERROR_SESSION_EXPIRED, window);
        post_command(window, ID_CHANGE_USER);
        return result;
    }
    if (status == 407)
        return show_error_code(ERROR_PROXY_CREDENTIALS, window);
    return show_error(text, window);
}

Json::Value proxy_to_value(const winhttp::ProxySettings& settings) {
    Json::Value value(Json::objectValue);
    if (settings.mode == winhttp::DefaultProxy) {
        value["mode"] = "DefaultProxy";
        return value;
    }
    if (settings.mode != winhttp::NamedProxy) {
        value["mode"] = "NoProxy";
        return value;
    }
    value["mode"] = "NamedProxy";
    std::wstring url = settings.url;
    std::wstring port;
    const auto colon = url.rfind(L':');
    if (colon != std::wstring::npos && colon + 1 < url.size() && all_digits(std::wstring_view(url).substr(colon + 1))) {
        port = url.substr(colon + 1);
        url.erase(colon);
    }
    value["url"] = wide_to_utf8(url);
    value["port"] = wide_to_utf8(port);
    value["password"] = wide_to_utf8(settings.password);
    value["username"] = wide_to_utf8(settings.user);
    return value;
}

winhttp::ProxySettings proxy_from_value(const Json::Value& value) {
    winhttp::ProxySettings settings;
    if (!value.isObject()) {
        settings.mode = winhttp::NoProxy;
        return settings;
    }
    std::string url = string_member(value, "url");
    const std::string port = string_member(value, "port");
    if (!port.empty())
        url += ":" + port;
    settings.url = utf8_to_wide(url);
    settings.password = utf8_to_wide(string_member(value, "password"));
    settings.user = utf8_to_wide(string_member(value, "username"));
    const Json::Value* mode = value.find("mode", "mode" + 4);
    if (mode != nullptr && mode->isString()) {
        const std::string name = mode->asString();
        settings.mode = name == "DefaultProxy" ? winhttp::DefaultProxy
                        : name == "NoProxy"    ? winhttp::NoProxy
                                               : winhttp::NamedProxy;
    } else {
        settings.mode = settings.url.empty() ? winhttp::DefaultProxy : winhttp::NamedProxy;
    }
    return settings;
}

}  // namespace varnelagent::error
