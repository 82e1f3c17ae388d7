#include <gtest/gtest.h>

#include "arguments.h"
#include "details/exception.h"
#include "error_texts.h"
#include "format.h"
#include "model/channel_service.h"
#include "model/message.h"
#include "model/uri_service.h"
#include "model/user_info.h"

namespace agent::cli {
namespace {

Arguments parse(std::vector<std::string> args) {
    args.insert(args.begin(), "varnel-agent-cli");
    return parse_arguments(args);
}

TEST(CliArguments, SignInForms) {
    const auto by_login = parse({"signin", "--login", "a+b@example.org", "--password-stdin", "--remember"});
    EXPECT_EQ(by_login.command, Command::SignIn);
    EXPECT_EQ(by_login.login, L"a+b@example.org");
    EXPECT_TRUE(by_login.password_stdin);
    EXPECT_TRUE(by_login.remember);
    EXPECT_FALSE(by_login.by_certificate);

    const auto by_cert = parse({"signin", "--cert", "2"});
    EXPECT_TRUE(by_cert.by_certificate);
    EXPECT_EQ(by_cert.certificate, 2u);
    EXPECT_FALSE(by_cert.remember);

    const auto cyrillic = parse({"signin", "--login", "пользователь@почта.рф"});
    EXPECT_EQ(cyrillic.login, L"пользователь@почта.рф");
}

TEST(CliArguments, WrongSignInsAreUsageErrors) {
    EXPECT_THROW(parse({"signin"}), UsageError);
    EXPECT_THROW(parse({"signin", "--login"}), UsageError);
    EXPECT_THROW(parse({"signin", "--login", ""}), UsageError);
    EXPECT_THROW(parse({"signin", "--login", "a", "--cert", "1"}), UsageError);
    EXPECT_THROW(parse({"signin", "--cert", "0"}), UsageError);
    EXPECT_THROW(parse({"signin", "--cert", "-1"}), UsageError);
    EXPECT_THROW(parse({"signin", "--cert", "1x"}), UsageError);
    EXPECT_THROW(parse({"signin", "--cert", "99999999999999999999999"}), UsageError);
    EXPECT_THROW(parse({"signin", "--cert", "1", "--password-stdin"}), UsageError);
    EXPECT_THROW(parse({"signin", "--login", "a", "--pasword-stdin"}), UsageError);
}

TEST(CliArguments, OtherCommands) {
    EXPECT_TRUE(parse({"messages", "--all"}).all);
    EXPECT_FALSE(parse({"messages"}).all);
    EXPECT_EQ(parse({"read", "m1", "m2"}).ids, (std::vector<std::wstring>{L"m1", L"m2"}));
    const auto on = parse({"channel", "ch-7", "on"});
    EXPECT_EQ(on.channel_id, L"ch-7");
    EXPECT_TRUE(on.channel_on);
    EXPECT_FALSE(parse({"channel", "ch-7", "off"}).channel_on);
    EXPECT_EQ(parse({"follow"}).command, Command::Follow);
    EXPECT_EQ(parse({"--help"}).command, Command::Help);

    EXPECT_THROW(parse({}), UsageError);
    EXPECT_THROW(parse({"frobnicate"}), UsageError);
    EXPECT_THROW(parse({"read"}), UsageError);
    EXPECT_THROW(parse({"channel", "ch-7"}), UsageError);
    EXPECT_THROW(parse({"channel", "ch-7", "yes"}), UsageError);
    EXPECT_THROW(parse({"channel", "ch-7", "on", "extra"}), UsageError);
    EXPECT_THROW(parse({"whoami", "extra"}), UsageError);
    EXPECT_THROW(parse({"messages", "--al"}), UsageError);
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
UserError told(const E& error, Context context = Context::SignIn) {
    return describe_error(std::make_exception_ptr(error), context);
}

TEST(CliErrorTexts, ServerCodesWithoutStatusPickTheirText) {
    EXPECT_EQ(told(api_error(0, "UserNotFound")).text, error_code_text(1));
    EXPECT_EQ(told(api_error(0, "BadPassword")).text, error_code_text(2));
    // The stand-in provider's shape: a general id and the code as the first other member.
    EXPECT_EQ(told(api_error(0, "AuthenticationFailed", L"text", {L"BadPassword"})).text, error_code_text(2));
    EXPECT_EQ(told(api_error(0, "", L"text", {L"TooManyIncorrectAttempts"})).text, error_code_text(11));
    EXPECT_NE(error_code_text(11).find(L"15 минут"), std::wstring::npos);
    // An unknown code shows the server's own text under the generic sign-in title.
    const auto unknown = told(api_error(0, "Unheard", L"Сервер занят"));
    EXPECT_NE(unknown.text.find(L"Сервер занят"), std::wstring::npos);
    EXPECT_EQ(unknown.text.rfind(L"Ошибка авторизации Варнел.Агент", 0), 0u);
}

TEST(CliErrorTexts, StatusDecidesBetweenRefusedAndExpired) {
    const auto refused = told(api_error(401, ""), Context::SignIn);
    EXPECT_EQ(refused.text, error_code_text(3));
    EXPECT_FALSE(refused.session_expired);
    const auto expired = told(api_error(401, ""), Context::Call);
    EXPECT_EQ(expired.text, error_code_text(5));
    EXPECT_TRUE(expired.session_expired);
    EXPECT_EQ(told(api_error(407, "")).text, error_code_text(6));
    EXPECT_NE(told(api_error(500, "Boom", L"внутренняя ошибка")).text.find(L"внутренняя ошибка"), std::wstring::npos);
}

TEST(CliErrorTexts, TransportAndKeyFailures) {
    const auto network = told(WinHttpException(7, "curl_easy_perform"));
    EXPECT_EQ(network.text.rfind(error_code_text(0), 0), 0u);
    EXPECT_EQ(told(CryptoException(CryptoException::NO_MATCHING_KEY, "CMS_decrypt")).text, error_code_text(8));
    EXPECT_EQ(told(CryptoException(CryptoException::WRONG_PIN, "PKCS12_parse")).text, error_code_text(10));
    EXPECT_EQ(told(CryptoException(CryptoException::PIN_CANCELLED, "pin")).text, error_code_text(9));
    EXPECT_EQ(told(CryptoException(0x1234, "CMS_decrypt")).text.rfind(error_code_text(7), 0), 0u);
    EXPECT_EQ(describe_error(std::make_exception_ptr(42), Context::Call).text, error_code_text(12));
}

TEST(CliFormat, OneTabSeparatedLinePerItem) {
    Message message;
    message.created = DateTime{DateTime::Local, 2026, 12, 7, 9, 5, 7, 0};
    message.organization = L"ООО \"Ромашка\"";
    message.subject = L"Счёт\tоплачен\nсегодня";
    message.id = L"m-1";
    EXPECT_EQ(format_message(message), L"2026-12-07 09:05\tunread\tООО \"Ромашка\"\tСчёт оплачен сегодня\tm-1");
    message.read = true;
    EXPECT_NE(format_message(message).find(L"\tread\t"), std::wstring::npos);

    Channel channel;
    channel.id = L"c1";
    channel.enabled = true;
    channel.sender_name = L"ФНС";
    channel.name = L"Требования";
    EXPECT_EQ(format_channel(channel), L"c1\ton\tФНС\tТребования");

    details::UserInfo user;
    user.lastname = L"Иванов";
    user.name = L"Иван";
    user.user_id = L"u-9";
    EXPECT_EQ(format_user(user), L"Иванов Иван\tu-9");

    CertificateLine line{3, L"ООО Ромашка", L"Иванов Иван", L"7701234567", L"770101001",
                         DateTime{DateTime::Utc, 2027, 1, 31, 0, 0, 0, 0}};
    EXPECT_EQ(format_certificate(line),
              L"3\tООО Ромашка\tИванов Иван\tINN 7701234567\tKPP 770101001\tvalid to 2027-01-31\tfile");
    line.kpp.clear();
    line.on_token = true;
    EXPECT_EQ(format_certificate(line), L"3\tООО Ромашка\tИванов Иван\tINN 7701234567\tvalid to 2027-01-31\ttoken");
}

}  // namespace
}  // namespace agent::cli
