#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <curl/curl.h>

#include "details/exception.h"
#include "details/strings.h"

namespace {

using namespace agent;

TEST(SystemExceptionTest, DescriptionNamesCodeCallAndSystemText) {
    const SystemException e(ENOENT, "open");
    EXPECT_EQ(e.message(), L"No such file or directory");
    EXPECT_EQ(e.description(), L"[0x2]open: No such file or directory");
    EXPECT_STREQ(e.what(), "No such file or directory");
}

TEST(SystemExceptionTest, HexCodeIsLowerCaseWithoutPadding) {
    const SystemException e(0xABCDEF, "ioctl");
    EXPECT_EQ(e.description().substr(0, 15), L"[0xabcdef]ioctl");
}

TEST(SystemExceptionTest, TransferAndCryptoFailuresUseTheirOwnTexts) {
    const WinHttpException transfer(CURLE_COULDNT_CONNECT, "curl_easy_perform");
    EXPECT_EQ(transfer.message(), L"Couldn't connect to server");
    EXPECT_EQ(transfer.description(), L"[0x7]curl_easy_perform: Couldn't connect to server");

    const WinHttpException multi(CURLM_BAD_HANDLE, "curl_multi_perform");
    EXPECT_EQ(multi.message(), L"Invalid multi handle");

    const CryptoException pin(CryptoException::WRONG_PIN, "PKCS12_parse");
    EXPECT_EQ(pin.description().substr(0, 24), L"[0x8010006b]PKCS12_parse");
    EXPECT_FALSE(pin.message().empty());

    // Callers tell network and certificate failures apart by type.
    try {
        throw transfer;
    } catch (const CryptoException&) {
        FAIL() << "a transfer failure is not a certificate failure";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.code(), static_cast<std::uint32_t>(CURLE_COULDNT_CONNECT));
    }
}

TEST(AgentExceptionTest, KindsCarryTheirUserMessages) {
    EXPECT_EQ(AgentException(0).message(), L"Неверный формат даты");
    EXPECT_EQ(AgentException(1).message(), L"Не удалось разобрать полученный ответ с сервера");
    EXPECT_EQ(AgentException(2).message(), L"Поле \"Сервер\" должно быть заполнено");
    EXPECT_EQ(AgentException(7).message(), L"Неизвестная ошибка");
    EXPECT_EQ(AgentException(-1).message(), L"Неизвестная ошибка");
}

TEST(AgentExceptionTest, DetailIsBracketedOnlyWhenPresent) {
    EXPECT_EQ(AgentException(1, "x").description(), L"Не удалось разобрать полученный ответ с сервера [x]");
    EXPECT_EQ(AgentException(1).description(), L"Не удалось разобрать полученный ответ с сервера");
}

TEST(AgentExceptionTest, WhatIsUtf8AndCached) {
    const AgentException e(0);
    const char* first = e.what();
    EXPECT_STREQ(first, "Неверный формат даты");
    EXPECT_EQ(first, e.what());
}

TEST(AgentApiExceptionTest, MessageLayout) {
    ApiError error;
    error.status = 404;
    error.id = "not-found";
    error.track_id = "t-1";
    error.message = L"Нет такого сообщения";
    EXPECT_EQ(AgentApiException(error).message(), L"404 not-found t-1 Нет такого сообщения");

    error.details = {L"a", L"b"};
    const AgentApiException with_details(error);
    EXPECT_EQ(with_details.message(), L"404 not-found t-1 Нет такого сообщения [ a  b ]");
    EXPECT_EQ(with_details.description(), with_details.message());
    EXPECT_EQ(with_details.status(), 404);
}

TEST(AgentApiExceptionTest, EmptyFieldsKeepTheirBlanks) {
    ApiError error;
    EXPECT_EQ(AgentApiException(error).message(), L"0   ");
}

}  // namespace
