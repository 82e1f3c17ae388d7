#include <gtest/gtest.h>

#include <stdexcept>

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

TEST(CliErrorTexts, DialogTextsAsPlainText) {
    EXPECT_EQ(error_code_text(1),
              L"Ошибка авторизации Варнел.Агент: Пользователь с указанным адресом электронной почты не найден. "
              L"Если вы еще не зарегистрированы, зарегистрируйтесь (https://account.varnel.example/account/registration) "
              L"— это просто.");
    // A link to a page of the windows means nothing in a terminal.
    EXPECT_EQ(error_code_text(4), L"Варнел.Агент не удается выполнить подключение: Повторите попытку или обратитесь "
                                  L"к системному администратору.");
    EXPECT_EQ(error_code_text(5), L"Варнел.Агент - повторите вход: Ваша сессия устарела, войдите, пожалуйста, снова");
    EXPECT_EQ(error_code_text(12), L"Произошла ошибка: Непредвиденная ошибка");
    for (int code = 0; code < 12; ++code)
        EXPECT_EQ(error_code_text(code).find_first_of(L"<>"), std::wstring::npos) << code;
}

TEST(CliErrorTexts, TheWindowsChoiceInWords) {
    ApiError expired;
    expired.status = 401;
    const UserError signed_out = describe_error(std::make_exception_ptr(AgentApiException(expired)), Context::Call);
    EXPECT_EQ(signed_out.text, error_code_text(5));
    EXPECT_TRUE(signed_out.session_expired);
    EXPECT_FALSE(describe_error(std::make_exception_ptr(AgentApiException(expired)), Context::SignIn).session_expired);

    const WinHttpException unreachable(7, "curl_easy_perform");
    EXPECT_EQ(describe_error(std::make_exception_ptr(unreachable), Context::SignIn).text,
              error_code_text(0) + L" (" + unreachable.description() + L")");
    EXPECT_EQ(describe_error(std::make_exception_ptr(std::runtime_error("Сбой")), Context::Call).text,
              L"Ошибка авторизации Варнел.Агент: Сбой");
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
