#include "gui/error.h"

#include <array>
#include <string>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"

namespace varnelagent::error {

namespace {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

#define REGISTRATION_LINK L"<a href=\"https://account.varnel.example/account/registration\">зарегистрируйтесь</a>"
#define RECOVERY_LINK L"<a href=\"https://account.varnel.example/account/forgot\">восстановления пароля</a>"
#define HOW_TO_FIX_LINK L"<a href=\"http://support.varnel.example/articles/private-key\">Как исправить</a>"

constexpr std::wstring_view CONNECTION_TITLE = L"Варнел.Агент не удается выполнить подключение";
constexpr std::wstring_view AUTHORIZATION_TITLE = L"Ошибка авторизации Варнел.Агент";

constexpr std::array<ErrorText, 12> texts{{
    {CONNECTION_TITLE, L"Соединение было прервано. Проверьте подключение и повторите вход"},
    {AUTHORIZATION_TITLE,
     L"Пользователь с указанным адресом<br>электронной почты не найден.<br>Если вы еще не "
     L"зарегистрированы,<br>" REGISTRATION_LINK L" — это просто."},
    {AUTHORIZATION_TITLE,
     L"Неверный пароль. Убедитесь, что на<br>клавиатуре не включен режим CapsLock.<br>Если вы забыли "
     L"пароль, воспользуйтесь<br>сервисом " RECOVERY_LINK L"."},
    {AUTHORIZATION_TITLE, L"Повторите попытку или обратитесь к системному администратору"},
    {CONNECTION_TITLE,
     L"Повторите попытку или обратитесь к системному администратору.<br><a href=\"settings.htm\">Настроить "
     L"прокси</a>"},
    {L"Варнел.Агент - повторите вход ", L"Ваша сессия устарела, войдите, пожалуйста, снова"},
    {CONNECTION_TITLE, L"Проверьте параметры настроек прокси: пользователь\\пароль"},
    {CONNECTION_TITLE, L"Возникли проблемы при работе с закрытым<br>ключом сертификата. " HOW_TO_FIX_LINK},
    {CONNECTION_TITLE,
     L"Не найден контейнер закрытого ключа.<br>Убедитесь, что ключевой носитель<br>(дискета, либо Рутокен) "
     L"вставлен, и<br>попробуйте еще раз. " HOW_TO_FIX_LINK},
    {CONNECTION_TITLE, L"Операция была отменена пользователем"},
    {CONNECTION_TITLE, L"Нет доступа к ключевому носителю. Введен неверный пин."},
    {AUTHORIZATION_TITLE,
     L"Превышено количество неверных попыток<br>ввода пароля. Повторить попытки через 15 минут."},
}};

constexpr ErrorText unknown_error{L"Произошла ошибка", L"Непредвиденная ошибка"};

Json::Value send_dialog_request(Json::Value request, WindowHandle window) {
    if (is_gui_thread()) {
        DialogRequest dialog{std::move(request), Json::Value(false)};
        const std::intptr_t answer =
            send_message(window, WM_MODAL_DIALOG, DIALOG_REQUEST, reinterpret_cast<std::intptr_t>(&dialog));
        return answer == 0 ? Json::Value(false) : dialog.result;
    }
    // From a worker the request lives on the heap, shared with the GUI side: a worker whose
    // hand-overs are given up (its page is closing) leaves while the dialog may still run.
    auto dialog = std::make_shared<DialogRequest>(DialogRequest{std::move(request), Json::Value(false)});
    auto answer = std::make_shared<std::intptr_t>(0);
    execute_on_gui_thread([=] {
        *answer = send_message(window, WM_MODAL_DIALOG, DIALOG_REQUEST, reinterpret_cast<std::intptr_t>(dialog.get()));
    });
    return *answer == 0 ? Json::Value(false) : dialog->result;
}

Json::Value text_request(std::wstring_view title, std::wstring_view message) {
    Json::Value request(Json::objectValue);
    request["message"] = wide_to_utf8(message);
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

ErrorText error_text(int code) noexcept {
    if (code < 0 || code >= static_cast<int>(texts.size()))
        return unknown_error;
    return texts[static_cast<std::size_t>(code)];
}

std::wstring log_exception(std::exception_ptr exception, std::wstring_view context) noexcept {
    std::wstring text;
    try {
        try {
            std::rethrow_exception(exception);
        } catch (const agent::Exception& e) {
            text = e.description();
        } catch (const std::exception& e) {
            text = utf8_to_wide(e.what());
        } catch (...) {
            text = L"Unknown exception";
        }
        AGENT_ERROR(L"varnelagent::error::log_exception") << context << L" | " << text;
    } catch (...) {
        // Out of memory while describing or logging: the text so far is all there is.
    }
    return text;
}

Json::Value show_error(const std::wstring& text, WindowHandle window) {
    return send_dialog_request(text_request(error_text(ERROR_AUTHORIZATION).title, text), window);
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
        post_message(window, WM_COMMAND, ID_CHANGE_USER, 0);
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
