#include "details/exception.h"

#include <cstring>
#include <cwchar>

#include <curl/curl.h>
#include <openssl/err.h>

#include "details/strings.h"

namespace agent {

const char* Exception::what() const noexcept {
    if (!what_ready_) {
        try {
            what_ = details::wide_to_utf8(message());
        } catch (...) {
            what_ = "agent::Exception";
        }
        what_ready_ = true;
    }
    return what_.c_str();
}

SystemException::SystemException(std::uint32_t code, std::string function)
    : code_(code), function_(std::move(function)) {}

std::wstring SystemException::message() const {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in our buffer.
    const char* text = ::strerror_r(static_cast<int>(code_), buffer, sizeof buffer);
    return details::utf8_to_wide(std::string(text ? text : ""));
}

std::wstring SystemException::description() const {
    wchar_t code[16];
    std::swprintf(code, 16, L"%x", static_cast<unsigned>(code_));
    return L"[0x" + std::wstring(code) + L"]" + details::ansi_to_wide(function_) + L": " + message();
}

std::wstring WinHttpException::message() const {
    // curl_multi_* calls fail with CURLMcode, everything else with CURLcode.
    const char* text = function().rfind("curl_multi", 0) == 0
                           ? curl_multi_strerror(static_cast<CURLMcode>(code()))
                           : curl_easy_strerror(static_cast<CURLcode>(code()));
    return details::utf8_to_wide(std::string(text ? text : ""));
}

std::wstring CryptoException::message() const {
    switch (code()) {
    case NO_MATCHING_KEY:
        return L"No private key of this certificate matches the enveloped message";
    case WRONG_PIN:
        return L"The PIN is incorrect";
    case PIN_CANCELLED:
        return L"PIN entry was cancelled";
    case PIN_LOCKED:
        return L"The PIN is locked after too many wrong entries; unlock it with the token's own tools";
    default:
        break;
    }
    char buffer[256] = {};
    ERR_error_string_n(code(), buffer, sizeof buffer);
    return details::utf8_to_wide(std::string(buffer));
}

AgentException::AgentException(int kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

std::wstring AgentException::message() const {
    switch (kind_) {
    case BAD_DATE:
        return L"Неверный формат даты";
    case BAD_ANSWER:
        return L"Не удалось разобрать полученный ответ с сервера";
    case PROXY_WITHOUT_ADDRESS:
        return L"Поле \"Сервер\" должно быть заполнено";
    default:
        return L"Неизвестная ошибка";
    }
}

std::wstring AgentException::description() const {
    std::wstring text = message();
    if (!detail_.empty())
        text += L" [" + details::utf8_to_wide(detail_) + L"]";
    return text;
}

AgentApiException::AgentApiException(ApiError error) : error_(std::move(error)) {}

std::wstring AgentApiException::message() const {
    if (!message_) {
        std::wstring text = std::to_wstring(error_.status) + L" " + details::utf8_to_wide(error_.id) + L" " +
                            details::utf8_to_wide(error_.track_id) + L" " + error_.message;
        if (!error_.details.empty()) {
            text += L" [";
            for (const auto& entry : error_.details)
                text += L" " + entry + L" ";
            text += L"]";
        }
        message_ = std::make_shared<const std::wstring>(std::move(text));
    }
    return *message_;
}

std::wstring AgentApiException::description() const {
    return message();
}

}  // namespace agent
