#include <gtest/gtest.h>

#include "crypto/certificate_store.h"
#include "details/exception.h"
#include "details/strings.h"
#include "fixtures.h"

namespace {

using agent::crypto::Certificate;
using agent::crypto::details::check_extensions;
using agent::crypto::details::check_subject;
using agent::crypto::details::SubjectAttributes;
using agent::testing::crypto::make;
using namespace agent::certgen;
namespace oid = agent::crypto::oid;

SubjectAttributes person() {
    return {{oid::COMMON_NAME, L"Иванов Иван Иванович"},
            {oid::SURNAME, L"Иванов"},
            {oid::GIVEN_NAME, L"Иван Иванович"},
            {oid::INN, L"771234567890"},
            {oid::SNILS, L"12345678901"}};
}

SubjectAttributes organisation() {
    return {{oid::COMMON_NAME, L"ООО \"Ромашка\""}, {oid::ORGANIZATION, L"ООО \"Ромашка\""},
            {oid::REGION, L"77 г. Москва"},      {oid::COUNTRY, L"RU"},
            {oid::INN, L"007712345678"},          {oid::OGRN, L"1027700132195"}};
}

TEST(SubjectCheck, PersonNeedsSnilsAndBothNames) {
    EXPECT_TRUE(check_subject(person()));
    for (const char* missing : {oid::SNILS, oid::SURNAME, oid::GIVEN_NAME, oid::COMMON_NAME, oid::INN}) {
        SubjectAttributes subject = person();
        subject.erase(missing);
        EXPECT_FALSE(check_subject(subject)) << missing;
    }
    SubjectAttributes short_snils = person();
    short_snils[oid::SNILS] = L"1234567890";
    EXPECT_FALSE(check_subject(short_snils));
}

TEST(SubjectCheck, InnMustBeTwelveDigits) {
    for (const wchar_t* inn : {L"77123456789", L"7712345678901", L"77123456789X", L"７７1234567890"}) {
        SubjectAttributes subject = person();
        subject[oid::INN] = inn;
        EXPECT_FALSE(check_subject(subject)) << agent::details::wide_to_utf8(inn);
    }
}

TEST(SubjectCheck, EntrepreneurOgrnipMustBeFifteenDigits) {
    SubjectAttributes subject = person();
    subject[oid::OGRNIP] = L"304500116000157";
    EXPECT_TRUE(check_subject(subject));
    subject[oid::OGRNIP] = L"3045001160";
    EXPECT_FALSE(check_subject(subject));
    subject[oid::OGRNIP] = L"30450011600015X";
    EXPECT_FALSE(check_subject(subject));
}

TEST(SubjectCheck, OrganisationBranch) {
    EXPECT_TRUE(check_subject(organisation()));

    SubjectAttributes with_ogrnip = organisation();
    with_ogrnip[oid::OGRNIP] = L"304500116000157";
    EXPECT_FALSE(check_subject(with_ogrnip));

    for (const char* missing : {oid::OGRN, oid::ORGANIZATION, oid::REGION, oid::COUNTRY}) {
        SubjectAttributes subject = organisation();
        subject.erase(missing);
        EXPECT_FALSE(check_subject(subject)) << missing;
    }
    SubjectAttributes short_ogrn = organisation();
    short_ogrn[oid::OGRN] = L"102770013219";
    EXPECT_FALSE(check_subject(short_ogrn));
}

TEST(SubjectCheck, OrganisationNamesGoWithSnils) {
    SubjectAttributes names_without_snils = organisation();
    names_without_snils[oid::SURNAME] = L"Иванов";
    EXPECT_FALSE(check_subject(names_without_snils));

    SubjectAttributes director = organisation();
    director[oid::SNILS] = L"12345678901";
    EXPECT_FALSE(check_subject(director));  // SNILS without the names
    director[oid::SURNAME] = L"Иванов";
    director[oid::GIVEN_NAME] = L"Иван Иванович";
    EXPECT_TRUE(check_subject(director));
    director[oid::SNILS] = L"123456789012";
    EXPECT_FALSE(check_subject(director));
}

TEST(SubjectCheck, ZeroOgrnOnlyForInnWith99) {
    SubjectAttributes foreign = organisation();
    foreign[oid::OGRN] = L"0000000000000";
    foreign[oid::INN] = L"009912345678";
    EXPECT_TRUE(check_subject(foreign));
    foreign[oid::INN] = L"009812345678";
    EXPECT_FALSE(check_subject(foreign));
    foreign[oid::INN] = L"008912345678";
    EXPECT_FALSE(check_subject(foreign));
}

TEST(SubjectCheck, TwelveZeroInnTakesThePersonBranch) {
    SubjectAttributes subject = organisation();
    subject[oid::INN] = L"000000000000";
    EXPECT_FALSE(check_subject(subject));  // no SNILS: not a person
    subject[oid::SNILS] = L"12345678901";
    subject[oid::SURNAME] = L"Иванов";
    subject[oid::GIVEN_NAME] = L"Иван";
    subject[oid::OGRNIP] = L"304500116000157";  // an organisation could not carry it
    EXPECT_TRUE(check_subject(subject));
}

bool qualified(const UserCertificate& made) {
    const Certificate certificate(agent::crypto::details::X509Ptr([&] {
                                      X509_up_ref(made.certificate());
                                      return made.certificate();
                                  }()),
                                  nullptr, L"test");
    return agent::crypto::details::CertCustomFilterFn(false, false, true)(certificate);
}

TEST(QualifiedCheck, GeneratedCertificatesOfEveryKindPass) {
    EXPECT_TRUE(qualified(make(UserOptions::for_kind(SubjectKind::Person))));
    EXPECT_TRUE(qualified(make(UserOptions::for_kind(SubjectKind::Organization, 5))));
    EXPECT_TRUE(qualified(make(UserOptions::for_kind(SubjectKind::Entrepreneur, 7))));
}

TEST(QualifiedCheck, SubjectIsReadFromTheCertificate) {
    UserOptions organisation_with_ogrnip = UserOptions::for_kind(SubjectKind::Organization);
    organisation_with_ogrnip.ogrnip = "304500116000157";
    EXPECT_FALSE(qualified(make(organisation_with_ogrnip)));

    UserOptions person_without_snils = UserOptions::for_kind(SubjectKind::Person);
    person_without_snils.snils.reset();
    EXPECT_FALSE(qualified(make(person_without_snils)));
}

// Only the extensions the test names, in that order.
UserOptions bare(std::vector<std::pair<std::string, std::vector<std::uint8_t>>> extensions) {
    UserOptions options = UserOptions::for_kind(SubjectKind::Person);
    options.key_usage = false;
    options.authority_key_id = false;
    options.policies.clear();
    options.crl_urls.clear();
    options.subject_sign_tool.reset();
    options.issuer_sign_tools.reset();
    options.extra_extensions = std::move(extensions);
    return options;
}

bool extensions_pass(const UserOptions& options) {
    const UserCertificate made = make(options);
    X509_up_ref(made.certificate());
    const Certificate certificate(agent::crypto::details::X509Ptr(made.certificate()), nullptr, L"test");
    return check_extensions(certificate);
}

const std::vector<std::uint8_t> CRL = {0x30, 0x0B, 0x30, 0x09, 0xA0, 0x07, 0xA0, 0x05,
                                       0x86, 0x03, 'h',  ':',  '/'};
const std::vector<std::uint8_t> EMPTY_KEY_USAGE = {0x03, 0x02, 0x00, 0x00};
const std::vector<std::uint8_t> AKI_WITHOUT_KEY_ID = {0x30, 0x00};
const std::vector<std::uint8_t> NOT_DER = {0xFF, 0x01};

std::vector<std::uint8_t> utf8_string(const std::string& text) {
    std::vector<std::uint8_t> der{0x0C, static_cast<std::uint8_t>(text.size())};
    der.insert(der.end(), text.begin(), text.end());
    return der;
}

TEST(ExtensionCheck, NeedsOneMark) {
    EXPECT_FALSE(extensions_pass(bare({})));
    EXPECT_TRUE(extensions_pass(bare({{"2.5.29.31", CRL}})));
    EXPECT_TRUE(extensions_pass(UserOptions::for_kind(SubjectKind::Person)));
}

TEST(ExtensionCheck, FailingExtensionEndsTheWalk) {
    // The same two extensions: a mark before the failure counts, a mark after it is never reached.
    EXPECT_TRUE(extensions_pass(bare({{"2.5.29.31", CRL}, {"2.5.29.15", EMPTY_KEY_USAGE}})));
    EXPECT_FALSE(extensions_pass(bare({{"2.5.29.15", EMPTY_KEY_USAGE}, {"2.5.29.31", CRL}})));
    EXPECT_FALSE(extensions_pass(bare({{"2.5.29.35", AKI_WITHOUT_KEY_ID}, {"2.5.29.31", CRL}})));
    EXPECT_FALSE(extensions_pass(bare({{"1.2.643.100.111", NOT_DER}, {"2.5.29.31", CRL}})));
}

TEST(ExtensionCheck, PoliciesWithoutKc1LetTheWalkGoOn) {
    UserOptions other_policy = bare({{"2.5.29.31", CRL}});
    other_policy.policies = {"1.2.643.100.113.2"};
    EXPECT_TRUE(extensions_pass(other_policy));

    UserOptions only_other_policy = bare({});
    only_other_policy.policies = {"1.2.643.100.113.2"};
    EXPECT_FALSE(extensions_pass(only_other_policy));

    UserOptions kc1 = bare({});
    kc1.policies = {"1.2.643.100.113.2", "1.2.643.100.113.1"};
    EXPECT_TRUE(extensions_pass(kc1));
}

TEST(ExtensionCheck, SignToolLengthLimits) {
    // Counted in characters, not bytes: Cyrillic letters are two bytes each in UTF-8.
    const auto letters = [](std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i)
            text += "ж";
        return text;
    };
    const auto issuer_tools = [&](std::size_t first, std::size_t last) {
        UserOptions options = bare({});
        options.issuer_sign_tools = std::array<std::string, 4>{letters(first), letters(2), letters(3), letters(last)};
        return options;
    };
    EXPECT_TRUE(extensions_pass(issuer_tools(202, 102)));
    EXPECT_FALSE(extensions_pass(issuer_tools(203, 102)));
    EXPECT_FALSE(extensions_pass(issuer_tools(202, 103)));
    EXPECT_FALSE(extensions_pass(issuer_tools(0, 102)));

    UserOptions subject_tool = bare({});
    subject_tool.subject_sign_tool = letters(202);
    EXPECT_TRUE(extensions_pass(subject_tool));
    subject_tool.subject_sign_tool = letters(203);
    EXPECT_FALSE(extensions_pass(subject_tool));

    // Three texts instead of four.
    std::vector<std::uint8_t> three{0x30, 0x09};
    for (int i = 0; i < 3; ++i)
        for (std::uint8_t byte : utf8_string("a"))
            three.push_back(byte);
    EXPECT_FALSE(extensions_pass(bare({{"1.2.643.100.112", three}, {"2.5.29.31", CRL}})));
}

TEST(ExtensionCheck, UndecodableAuthorityKeyIdThrows) {
    UserOptions options = bare({{"2.5.29.35", NOT_DER}});
    EXPECT_THROW(extensions_pass(options), agent::CryptoException);
}

}  // namespace
