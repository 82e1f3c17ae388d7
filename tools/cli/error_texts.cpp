#include "error_texts.h"

#include <array>

#include "details/exception.h"
#include "details/strings.h"

namespace agent::cli {

namespace {

constexpr wchar_t CONNECT_TITLE[] = L"Варнел.Агент не удается выполнить подключение";
constexpr wchar_t AUTH_TITLE[] = L"Ошибка авторизации Варнел.Агент";
constexpr wchar_t KEY_ARTICLE[] = L"http://support.varnel.example/kb/private-key";

struct Text {
    const wchar_t* title;
    std::wstring message;
};

Text text_of(int code) {
    switch (code) {
    case 0:
        return {CONNECT_TITLE, L"Соединение было прервано. Проверьте подключение и повторите вход"};
    case 1:
        return {AUTH_TITLE,
                L"Пользователь с указанным адресом электронной почты не найден. Если вы еще не "
                L"зарегистрированы, зарегистрируйтесь (https://account.varnel.example/account/registration) "
                L"— это просто."};
    case 2:
        return {AUTH_TITLE,
                L"Неверный пароль. Убедитесь, что на клавиатуре не включен режим CapsLock. Если вы забыли "
                L"пароль, воспользуйтесь сервисом восстановления пароля "
                L"(https://account.varnel.example/account/forgot)."};
    case 3:
        return {AUTH_TITLE, L"Повторите попытку или обратитесь к системному администратору"};
    case 4:
        return {CONNECT_TITLE, L"Повторите попытку или обратитесь к системному администратору."};
    case 5:
        return {L"Варнел.Агент - повторите вход", L"Ваша сессия устарела, войдите, пожалуйста, снова"};
    case 6:
        return {CONNECT_TITLE, L"Проверьте параметры настроек прокси: пользователь\\пароль"};
    case 7:
        return {CONNECT_TITLE, std::wstring(L"Возникли проблемы при работе с закрытым ключом сертификата. "
                                            L"Как исправить: ") + KEY_ARTICLE};
    case 8:
        return {CONNECT_TITLE, std::wstring(L"Не найден контейнер закрытого ключа. Убедитесь, что ключевой "
                                            L"носитель (дискета, либо Рутокен) вставлен, и попробуйте еще "
                                            L"раз. Как исправить: ") + KEY_ARTICLE};
    case 9:
        return {CONNECT_TITLE, L"Операция была отменена пользователем"};
    case 10:
        return {CONNECT_TITLE, L"Нет доступа к ключевому носителю. Введен неверный пин."};
    case 11:
        return {AUTH_TITLE,
                L"Превышено количество неверных попыток ввода пароля. Повторить попытки через 15 минут."};
    default:
        return {L"Произошла ошибка", L"Непредвиденная ошибка"};
    }
}

std::wstring with_title_of(int code, const std::wstring& message) {
    return std::wstring(text_of(code).title) + L": " + message;
}

// The server names what went wrong with a code when it gives no status: the first member
// besides the known ones ("code"), or else the "id".
std::wstring first_error_code(const ApiError& error) {
    if (!error.details.empty())
        return error.details.front();
    return details::utf8_to_wide(error.id);
}

UserError describe_api_error(const AgentApiException& error, Context context) {
    switch (error.status()) {
    case 0: {
        const std::wstring code = first_error_code(error.error());
        if (code == L"UserNotFound")
            return {error_code_text(1)};
        if (code == L"BadPassword")
            return {error_code_text(2)};
        if (code == L"TooManyIncorrectAttempts")
            return {error_code_text(11)};
        return {with_title_of(3, error.message())};
    }
    case 401:
        if (context == Context::SignIn)
            return {error_code_text(3)};
        return {error_code_text(5), true};
    case 407:
        return {error_code_text(6)};
    default:
        return {with_title_of(3, error.message())};
    }
}

UserError describe_crypto_error(const CryptoException& error) {
    switch (error.code()) {
    case CryptoException::NO_MATCHING_KEY:
        return {error_code_text(8)};
    case CryptoException::WRONG_PIN:
        return {error_code_text(10)};
    case CryptoException::PIN_CANCELLED:
        return {error_code_text(9)};
    default:
        return {error_code_text(7) + L" (" + error.description() + L")"};
    }
}

}  // namespace

std::wstring error_code_text(int code) {
    const Text text = text_of(code);
    return std::wstring(text.title) + L": " + text.message;
}

UserError describe_error(const std::exception_ptr& error, Context context) {
    try {
        std::rethrow_exception(error);
    } catch (const WinHttpException& e) {
        return {error_code_text(0) + L" (" + e.description() + L")"};
    } catch (const AgentApiException& e) {
        return describe_api_error(e, context);
    } catch (const CryptoException& e) {
        return describe_crypto_error(e);
    } catch (const Exception& e) {
        return {with_title_of(3, e.description())};
    } catch (const std::exception& e) {
        return {with_title_of(3, details::utf8_to_wide(e.what()))};
    } catch (...) {
        return {error_code_text(-1)};
    }
}

}  // namespace agent::cli
