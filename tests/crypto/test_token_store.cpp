// Certificates and keys on a real software token (softhsm2) reached through p11-kit, beside
// the certificate folder.
#include <gtest/gtest.h>

#include "crypto/certificate_store.h"
#include "crypto/decrypt.h"
#include "crypto/token_store.h"
#include "details/exception.h"
#include "fixtures.h"
#include "softhsm.h"

namespace {

using agent::CryptoException;
using agent::certgen::SubjectKind;
using agent::certgen::UserOptions;
using agent::crypto::Carrier;
using agent::crypto::Certificate;
using agent::crypto::StaticPinPrompt;
using agent::testing::crypto::certificate_directory;
using agent::testing::crypto::make;
using agent::testing::crypto::same;

const std::vector<std::uint8_t> CHALLENGE{'t', 'o', 'k', 'e', 'n', ' ', 'c', 'h', 'a', 'l', 'l', 'e', 'n', 'g', 'e'};

std::uint32_t failure_of(const Certificate& certificate, const std::vector<std::uint8_t>& message,
                         agent::crypto::IPinPrompt* prompt) {
    try {
        agent::crypto::decrypt(certificate, message, prompt);
    } catch (const CryptoException& e) {
        return e.code();
    }
    return 0;
}

class TokenStoreTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        softhsm = std::make_unique<agent::testing::crypto::SoftHsm>(home().path() / "softhsm");
        ASSERT_TRUE(softhsm->init_token("Varnel A", "1234"));
    }
    void TearDown() override {
        softhsm.reset();
        SandboxTest::TearDown();
    }

    std::unique_ptr<agent::testing::crypto::SoftHsm> softhsm;
};

TEST_F(TokenStoreTest, KeyOnTheTokenAnswersTheChallengeAfterThePin) {
    const auto user = make(UserOptions::for_kind(SubjectKind::Person), true);
    ASSERT_TRUE(softhsm->import("Varnel A", "1234", user, "a1"));
    const auto other = make(UserOptions::for_kind(SubjectKind::Organization, 1));

    StaticPinPrompt listing_prompt(std::nullopt);
    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates(&listing_prompt);
    ASSERT_EQ(listed.size(), 1u);
    const Certificate& certificate = listed.front();
    EXPECT_TRUE(same(certificate, user));
    EXPECT_EQ(certificate.carrier(), Carrier::Token);
    EXPECT_NE(certificate.store_name().find(L"token=Varnel%20A"), std::wstring::npos) << certificate.store_name();
    EXPECT_EQ(listing_prompt.asked(), 0);  // the certificate is public on the token

    const auto message = agent::certgen::envelope(user.certificate(), CHALLENGE);
    StaticPinPrompt right(L"1234");
    EXPECT_EQ(agent::crypto::decrypt(certificate, message, &right), CHALLENGE);
    EXPECT_EQ(right.asked(), 1);

    StaticPinPrompt wrong(L"9999");
    EXPECT_EQ(failure_of(certificate, message, &wrong), CryptoException::WRONG_PIN);
    StaticPinPrompt cancel(std::nullopt);
    EXPECT_EQ(failure_of(certificate, message, &cancel), CryptoException::PIN_CANCELLED);
    // A message for someone else never asks for the PIN.
    StaticPinPrompt unused(L"1234");
    EXPECT_EQ(failure_of(certificate, agent::certgen::envelope(other.certificate(), CHALLENGE), &unused),
              CryptoException::NO_MATCHING_KEY);
    EXPECT_EQ(unused.asked(), 0);
    // A wrong PIN did not stay behind: the right one still works.
    StaticPinPrompt again(L"1234");
    EXPECT_EQ(agent::crypto::decrypt(certificate, message, &again), CHALLENGE);
}

TEST_F(TokenStoreTest, PulledOutOrLockedTokenIsAClearFailure) {
    const auto user = make(UserOptions::for_kind(SubjectKind::Person), true);
    ASSERT_TRUE(softhsm->import("Varnel A", "1234", user, "01"));
    const auto message = agent::certgen::envelope(user.certificate(), CHALLENGE);
    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates();
    ASSERT_EQ(listed.size(), 1u);

    // Pulled out between the listing and the sign-in.
    ASSERT_TRUE(softhsm->remove_token("Varnel A"));
    StaticPinPrompt pin(L"1234");
    EXPECT_EQ(failure_of(listed.front(), message, &pin), CryptoException::NO_MATCHING_KEY);
    EXPECT_EQ(pin.asked(), 0);

    // Wrong PINs until the token locks it: then no PIN is asked any more.
    ASSERT_TRUE(softhsm->init_token("Varnel B", "1234"));
    ASSERT_TRUE(softhsm->import("Varnel B", "1234", user, "01"));
    const std::vector<Certificate> relisted = agent::crypto::list_sign_in_certificates();
    ASSERT_EQ(relisted.size(), 1u);
    std::uint32_t code = 0;
    int tries = 0;
    for (; tries < 20 && code != CryptoException::PIN_LOCKED; ++tries) {
        StaticPinPrompt wrong(L"0000");
        code = failure_of(relisted.front(), message, &wrong);
        ASSERT_TRUE(code == CryptoException::WRONG_PIN || code == CryptoException::PIN_LOCKED) << std::hex << code;
    }
    ASSERT_EQ(code, CryptoException::PIN_LOCKED) << "after " << tries << " tries";
    StaticPinPrompt right(L"1234");
    EXPECT_EQ(failure_of(relisted.front(), message, &right), CryptoException::PIN_LOCKED);
    EXPECT_EQ(right.asked(), 0);
}

TEST_F(TokenStoreTest, SameCertificateInAFileAndOnTwoTokensIsListedOnceFromAToken) {
    const auto user = make(UserOptions::for_kind(SubjectKind::Person), true);
    ASSERT_TRUE(softhsm->init_token("Varnel B", "5678"));
    ASSERT_TRUE(softhsm->import("Varnel A", "1234", user, "01", false));  // the certificate alone
    ASSERT_TRUE(softhsm->import("Varnel B", "5678", user, "02"));
    user.write_pkcs12(certificate_directory() / "user.p12");
    const auto file_only = make(UserOptions::for_kind(SubjectKind::Entrepreneur, 2));
    file_only.write_pkcs12(certificate_directory() / "other.p12");

    // A module that is no module and one that is not there leave the rest alone.
    auto& log = agent::testing::crypto::capture_log();
    agent::crypto::TokenStore tokens({"/usr/lib/x86_64-linux-gnu/libz.so.1", "/nonexistent/libtoken.so"});
    const std::vector<Certificate> on_tokens = tokens.enumerate(nullptr);
    ASSERT_EQ(on_tokens.size(), 1u);
    EXPECT_NE(on_tokens[0].store_name().find(L"token=Varnel%20B"), std::wstring::npos);
    EXPECT_EQ(log.lines_with(L"did not load").size(), 2u);
    agent::details::install_logger(nullptr);

    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(same(listed[0], user));
    EXPECT_EQ(listed[0].carrier(), Carrier::Token);
    EXPECT_TRUE(same(listed[1], file_only));
    EXPECT_EQ(listed[1].carrier(), Carrier::File);

    StaticPinPrompt pin(L"5678");
    EXPECT_EQ(agent::crypto::decrypt(listed[0], agent::certgen::envelope(user.certificate(), CHALLENGE), &pin),
              CHALLENGE);
}

}  // namespace
