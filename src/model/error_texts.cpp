#include "model/error_texts.h"

#include <array>

#include "details/exception.h"
#include "details/strings.h"

namespace agent {

namespace {

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

ErrorChoice code(int number) {
    return {ErrorAction::Code, number, {}, {}};
}

ErrorChoice text(std::wstring own_text) {
    return {ErrorAction::Text, ERROR_AUTHORIZATION, std::move(own_text), {}};
}

// The server names what went wrong with a code when it gives no status: the first member
// besides the known ones, or else the "id".
std::wstring first_error_code(const ApiError& error) {
    if (!error.details.empty())
        return error.details.front();
    return details::utf8_to_wide(error.id);
}

ErrorChoice choose_api_error(const AgentApiException& error, ErrorContext context) {
    const bool signing_in = context == ErrorContext::SignIn;
    switch (error.status()) {
    case 0: {
        const std::wstring server_code = first_error_code(error.error());
        if (server_code == L"UserNotFound")
            return code(ERROR_UNKNOWN_EMAIL);
        if (server_code == L"BadPassword")
            return code(ERROR_WRONG_PASSWORD);
        if (server_code == L"TooManyIncorrectAttempts")
            return code(ERROR_TOO_MANY_ATTEMPTS);
        return text(error.message());
    }
    case 401:
        if (signing_in)
            return code(ERROR_AUTHORIZATION);
        return {ErrorAction::SessionExpired, ERROR_SESSION_EXPIRED, {}, {}};
    case 407:
        if (signing_in)
            return {ErrorAction::Credentials, ERROR_PROXY_CREDENTIALS, {}, {}};
        return code(ERROR_PROXY_CREDENTIALS);
    default:
        return text(error.message());
    }
}

ErrorChoice choose_crypto_error(const CryptoException& error) {
    switch (error.code()) {
    case CryptoException::NO_MATCHING_KEY:
        return code(ERROR_NO_KEY_CONTAINER);
    case CryptoException::WRONG_PIN:
        return code(ERROR_WRONG_PIN);
    case CryptoException::PIN_CANCELLED:
        return code(ERROR_CANCELLED);
    default:
        return {ErrorAction::Code, ERROR_PRIVATE_KEY, {}, error.description()};
    }
}

}  // namespace

ErrorText error_text(int number) noexcept {
    if (number < 0 || number >= static_cast<int>(texts.size()))
        return unknown_error;
    return texts[static_cast<std::size_t>(number)];
}

std::wstring exception_text(const std::exception_ptr& error) noexcept {
    try {
        try {
            std::rethrow_exception(error);
        } catch (const Exception& e) {
            return e.description();
        } catch (const std::exception& e) {
            return details::utf8_to_wide(e.what());
        } catch (...) {
            return L"Unknown exception";
        }
    } catch (...) {
        // Out of memory while describing: nothing to say.
        return {};
    }
}

ErrorChoice choose_error(const std::exception_ptr& error, ErrorContext context) {
    try {
        std::rethrow_exception(error);
    } catch (const WinHttpException& e) {
        if (context == ErrorContext::SignIn)
            return {ErrorAction::ProxyError, ERROR_CONNECTION, {}, e.description()};
        return {ErrorAction::Code, ERROR_PROXY, {}, e.description()};
    } catch (const AgentApiException& e) {
        return choose_api_error(e, context);
    } catch (const CryptoException& e) {
        return choose_crypto_error(e);
    } catch (...) {
        return text(exception_text(std::current_exception()));
    }
}

}  // namespace agent
