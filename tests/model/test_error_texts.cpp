// The error texts of both front ends and the choice of what the user is shown.
#include <gtest/gtest.h>

#include <stdexcept>

#include "details/exception.h"
#include "model/error_texts.h"

namespace agent {
namespace {

TEST(ErrorTexts, TextsOfTheCodes) {
    EXPECT_EQ(error_text(0).title, L"Варнел.Агент не удается выполнить подключение");
    EXPECT_EQ(error_text(5).title, L"Варнел.Агент - повторите вход ");
    EXPECT_EQ(error_text(6).message, L"Проверьте параметры настроек прокси: пользователь\\пароль");
    EXPECT_EQ(error_text(11).title, L"Ошибка авторизации Варнел.Агент");
    for (int code : {-1, 12, 1000}) {
        EXPECT_EQ(error_text(code).title, L"Произошла ошибка");
        EXPECT_EQ(error_text(code).message, L"Непредвиденная ошибка");
    }
    EXPECT_NE(error_text(1).message.find(L"href=\"https://account.varnel.example/account/registration\""),
              std::wstring_view::npos);
    EXPECT_NE(error_text(2).message.find(L"href=\"https://account.varnel.example/account/forgot\""),
              std::wstring_view::npos);
    EXPECT_NE(error_text(4).message.find(L"<a href=\"settings.htm\">Настроить прокси</a>"), std::wstring_view::npos);
    // Both "Как исправить" links go to the one plain-HTTP article.
    const auto article = [](std::wstring_view text) {
        const auto start = text.find(L"href=\"");
        return text.substr(start, text.find(L'"', start + 6) - start);
    };
    EXPECT_EQ(article(error_text(7).message), article(error_text(8).message));
    EXPECT_TRUE(article(error_text(7).message).starts_with(L"href=\"http://"));
    EXPECT_NE(article(error_text(7).message).find(L".example/"), std::wstring_view::npos);
}

AgentApiException api_error(std::int32_t status, std::string id, std::wstring message = L"text",
                            std::vector<std::wstring> details = {}) {
    ApiError error;
    error.status = status;
    error.id = std::move(id);
    error.message = std::move(message);
    error.details = std::move(details);
    return AgentApiException(error);
}

template <typename E>
ErrorChoice chosen(const E& error, ErrorContext context) {
    return choose_error(std::make_exception_ptr(error), context);
}

TEST(ErrorChoice, SignInFailures) {
    constexpr auto sign_in = ErrorContext::SignIn;
    EXPECT_EQ(chosen(api_error(0, "UserNotFound"), sign_in).code, ERROR_UNKNOWN_EMAIL);
    // The stand-in provider's shape: a general id and the code as the first other member.
    EXPECT_EQ(chosen(api_error(0, "AuthenticationFailed", L"text", {L"BadPassword"}), sign_in).code,
              ERROR_WRONG_PASSWORD);
    EXPECT_EQ(chosen(api_error(0, "", L"text", {L"TooManyIncorrectAttempts"}), sign_in).code,
              ERROR_TOO_MANY_ATTEMPTS);
    const ErrorChoice unknown = chosen(api_error(0, "Unheard", L"Сервер занят"), sign_in);
    EXPECT_EQ(unknown.action, ErrorAction::Text);
    EXPECT_NE(unknown.text.find(L"Сервер занят"), std::wstring::npos);

    EXPECT_EQ(chosen(api_error(401, ""), sign_in).action, ErrorAction::Code);
    EXPECT_EQ(chosen(api_error(401, ""), sign_in).code, ERROR_AUTHORIZATION);
    EXPECT_EQ(chosen(api_error(407, ""), sign_in).action, ErrorAction::Credentials);
    const ErrorChoice unreachable = chosen(WinHttpException(7, "curl_easy_perform"), sign_in);
    EXPECT_EQ(unreachable.action, ErrorAction::ProxyError);
    EXPECT_EQ(unreachable.code, ERROR_CONNECTION);
    EXPECT_EQ(unreachable.detail, WinHttpException(7, "curl_easy_perform").description());

    EXPECT_EQ(chosen(CryptoException(CryptoException::NO_MATCHING_KEY, "CMS_decrypt"), sign_in).code,
              ERROR_NO_KEY_CONTAINER);
    EXPECT_EQ(chosen(CryptoException(CryptoException::WRONG_PIN, "PKCS12_parse"), sign_in).code, ERROR_WRONG_PIN);
    EXPECT_EQ(chosen(CryptoException(CryptoException::PIN_CANCELLED, "pin"), sign_in).code, ERROR_CANCELLED);
    const ErrorChoice key = chosen(CryptoException(0x1234, "CMS_decrypt"), sign_in);
    EXPECT_EQ(key.code, ERROR_PRIVATE_KEY);
    EXPECT_NE(key.detail.find(L"CMS_decrypt"), std::wstring::npos);
}

TEST(ErrorChoice, CallFailures) {
    constexpr auto call = ErrorContext::Call;
    EXPECT_EQ(chosen(api_error(401, ""), call).action, ErrorAction::SessionExpired);
    EXPECT_EQ(chosen(api_error(401, ""), call).code, ERROR_SESSION_EXPIRED);
    EXPECT_EQ(chosen(api_error(407, ""), call).action, ErrorAction::Code);
    EXPECT_EQ(chosen(api_error(407, ""), call).code, ERROR_PROXY_CREDENTIALS);
    const ErrorChoice server = chosen(api_error(500, "Boom", L"внутренняя ошибка"), call);
    EXPECT_EQ(server.action, ErrorAction::Text);
    EXPECT_EQ(server.text, api_error(500, "Boom", L"внутренняя ошибка").message());
    EXPECT_EQ(chosen(WinHttpException(28, "curl_easy_perform"), call).code, ERROR_PROXY);

    EXPECT_EQ(chosen(AgentException(AgentException::BAD_ANSWER, "x"), call).text,
              AgentException(AgentException::BAD_ANSWER, "x").description());
    EXPECT_EQ(chosen(std::runtime_error("Сбой"), call).text, L"Сбой");
    EXPECT_EQ(chosen(42, call).text, L"Unknown exception");
    EXPECT_EQ(exception_text(std::make_exception_ptr(42)), L"Unknown exception");
}

}  // namespace
}  // namespace agent
