#include <gtest/gtest.h>

#include <ctime>

#include "crypto/certificate_store.h"
#include "fixtures.h"
#include "details/datetime.h"

namespace {

using agent::DateTime;
using agent::crypto::Certificate;
using agent::crypto::details::CertCustomFilterFn;
using agent::crypto::details::extract_kpp;
using agent::testing::crypto::make;
using namespace agent::certgen;

Certificate wrap(const UserCertificate& made, bool with_key = true) {
    X509_up_ref(made.certificate());
    // The key description is never used by these tests, only its presence.
    struct NoKey : agent::crypto::IPrivateKey {
        std::wstring location() const override { return L"memory"; }
        agent::crypto::details::EvpPkeyPtr load(agent::crypto::IPinPrompt*, const std::wstring&) const override {
            return nullptr;
        }
    };
    return Certificate(agent::crypto::details::X509Ptr(made.certificate()),
                       with_key ? std::make_shared<NoKey>() : nullptr, L"test");
}

DateTime utc(int year, int month, int day, int hour, int minute, int second, int millisecond = 0) {
    DateTime time;
    time.kind = DateTime::Utc;
    time.year = static_cast<std::uint16_t>(year);
    time.month = static_cast<std::uint8_t>(month);
    time.day = static_cast<std::uint8_t>(day);
    time.hour = static_cast<std::uint8_t>(hour);
    time.minute = static_cast<std::uint8_t>(minute);
    time.second = static_cast<std::uint8_t>(second);
    time.millisecond = static_cast<std::uint16_t>(millisecond);
    return time;
}

std::time_t epoch(int year, int month, int day, int hour, int minute, int second) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return timegm(&parts);
}

TEST(DateText, LongShortAndTimeForms) {
    EXPECT_EQ(agent::format_long_date(utc(2027, 3, 1, 9, 5, 0)), L"1 марта 2027");
    EXPECT_EQ(agent::format_short_date(utc(2027, 12, 31, 0, 0, 0)), L"31 декабря");
    EXPECT_EQ(agent::format_time(utc(2027, 1, 1, 9, 5, 59)), L"09:05");
    EXPECT_EQ(agent::format_time(utc(2027, 1, 1, 23, 59, 0)), L"23:59");
    EXPECT_STREQ(agent::genitive_month_name(1), L"января");
    EXPECT_STREQ(agent::genitive_month_name(0), L"");
    EXPECT_STREQ(agent::genitive_month_name(13), L"");
    EXPECT_EQ(agent::format_long_date(utc(2027, 13, 2, 0, 0, 0)), L"2  2027");
}

TEST(CertificateFields, KppIsTheFirstRunOfExactlyNineDigits) {
    EXPECT_EQ(extract_kpp(L"INN=7707083893/KPP=773601001/OGRN=1027700132195"), L"773601001");
    EXPECT_EQ(extract_kpp(L"773601001"), L"773601001");
    EXPECT_EQ(extract_kpp(L"КПП773601001ОГРН"), L"773601001");
    EXPECT_EQ(extract_kpp(L"1234567890"), L"");  // ten digits: no KPP
    EXPECT_EQ(extract_kpp(L"12345678"), L"");
    EXPECT_EQ(extract_kpp(L"1234567890 x 123456789"), L"123456789");
    EXPECT_EQ(extract_kpp(L""), L"");
}

TEST(CertificateFields, OrganisationFields) {
    UserOptions options = UserOptions::for_kind(SubjectKind::Organization);
    options.inn = "007712345678";
    options.unstructured_name = "INN=7712345678/KPP=771201001/OGRN=1027700132195";
    const Certificate certificate = wrap(make(options));
    EXPECT_EQ(certificate.inn(), L"7712345678");
    EXPECT_EQ(certificate.kpp(), L"771201001");
    EXPECT_EQ(certificate.attribute(agent::crypto::oid::ORGANIZATION), L"ООО \"Ромашка 0\"");
    EXPECT_EQ(certificate.person_name(), L"Иванов Иван Иванович");
    EXPECT_EQ(certificate.attribute("1.2.3.4.5"), L"");
    EXPECT_EQ(certificate.attribute("not an oid"), L"");
}

TEST(CertificateFields, PersonInnKeepsItsDigitsAndNameFallsBackToCommonName) {
    UserOptions options = UserOptions::for_kind(SubjectKind::Person);
    options.inn = "770012345678";
    options.given_name.reset();
    options.common_name = "Петров П.";
    const Certificate certificate = wrap(make(options));
    EXPECT_EQ(certificate.inn(), L"770012345678");
    EXPECT_EQ(certificate.person_name(), L"Петров П.");
    EXPECT_EQ(certificate.kpp(), L"");
}

TEST(CertificateFields, ValidityAsUtcDateTimes) {
    UserOptions options = UserOptions::for_kind(SubjectKind::Person);
    options.not_before = epoch(2025, 2, 28, 23, 59, 58);
    options.not_after = epoch(2051, 1, 2, 3, 4, 5);  // past 2049: a GeneralizedTime
    const Certificate certificate = wrap(make(options));
    EXPECT_EQ(certificate.valid_from(), utc(2025, 2, 28, 23, 59, 58));
    EXPECT_EQ(certificate.valid_to(), utc(2051, 1, 2, 3, 4, 5));
    EXPECT_EQ(certificate.valid_to().kind, DateTime::Utc);
    EXPECT_EQ(agent::format_long_date(certificate.valid_to()), L"2 января 2051");
}

TEST(CertificateFilter, ValidityEdges) {
    UserOptions options = UserOptions::for_kind(SubjectKind::Person);
    options.not_before = epoch(2026, 1, 10, 12, 0, 0);
    options.not_after = epoch(2027, 1, 10, 12, 0, 0);
    const Certificate certificate = wrap(make(options));
    const auto valid_at = [&](DateTime now) {
        return CertCustomFilterFn(true, true, true, [now] { return now; })(certificate);
    };
    EXPECT_FALSE(valid_at(utc(2026, 1, 10, 11, 59, 59, 999)));
    EXPECT_TRUE(valid_at(utc(2026, 1, 10, 12, 0, 0)));
    EXPECT_TRUE(valid_at(utc(2027, 1, 10, 12, 0, 0)));
    EXPECT_FALSE(valid_at(utc(2027, 1, 10, 12, 0, 0, 1)));
}

TEST(CertificateFilter, FlagsSwitchTheirChecks) {
    UserOptions expired = UserOptions::for_kind(SubjectKind::Person);
    expired.expired();
    const Certificate certificate = wrap(make(expired));
    EXPECT_FALSE(CertCustomFilterFn(true, true, true)(certificate));
    EXPECT_TRUE(CertCustomFilterFn(true, false, true)(certificate));

    const Certificate without_key = wrap(make(UserOptions::for_kind(SubjectKind::Person)), false);
    EXPECT_FALSE(CertCustomFilterFn(true, true, true)(without_key));
    EXPECT_TRUE(CertCustomFilterFn(false, true, true)(without_key));

    UserOptions plain = UserOptions::for_kind(SubjectKind::Person);
    plain.inn.reset();
    const Certificate unqualified = wrap(make(plain));
    EXPECT_FALSE(CertCustomFilterFn(true, true, true)(unqualified));
    EXPECT_TRUE(CertCustomFilterFn(true, true, false)(unqualified));
}

TEST(CertificateCopy, CopiesOutliveTheOriginal) {
    std::vector<Certificate> copies;
    {
        const Certificate original = wrap(make(UserOptions::for_kind(SubjectKind::Person)));
        copies.push_back(original);
        copies.push_back(copies.front());
        copies[1] = original;
    }
    EXPECT_EQ(copies[0].encoded(), copies[1].encoded());
    EXPECT_EQ(copies[1].inn().size(), 12u);
    EXPECT_TRUE(copies[1].has_private_key());
}

}  // namespace
