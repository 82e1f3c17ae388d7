// Certificates and keys on a real software token (softhsm2) reached through p11-kit, beside
// the certificate folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "crypto/certificate_store.h"
#include "crypto/decrypt.h"
#include "crypto/token_store.h"
#include "details/exception.h"
#include "details/strings.h"
#include "fixtures.h"
#include "model/capture_logger.h"
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
using agent::testing::CaptureLogger;
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

// Tokens as users bring them: a key written without its public half (found only after the
// login), and softhsm2's blank slot beside it, which is no failure.
TEST_F(TokenStoreTest, AKeyWithoutItsPublicHalfIsFoundAfterThePin) {
    CaptureLogger& log = CaptureLogger::install(agent::details::LEVEL_WARN);
    const auto user = make(UserOptions::for_kind(SubjectKind::Person), true);
    ASSERT_TRUE(softhsm->write_with_pkcs11_tool("Varnel A", "1234", user, "b2"));
    StaticPinPrompt listing_prompt(std::nullopt);
    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates(&listing_prompt);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(same(listed.front(), user));
    EXPECT_EQ(listing_prompt.asked(), 0);
    EXPECT_FALSE(log.contains(L"ERROR")) << agent::details::wide_to_utf8(log.text());

    const auto message = agent::certgen::envelope(user.certificate(), CHALLENGE);
    StaticPinPrompt right(L"1234");
    EXPECT_EQ(agent::crypto::decrypt(listed.front(), message, &right), CHALLENGE);

    // A certificate whose key is not on the token after all: the certificate error, after
    // the PIN.
    ASSERT_TRUE(softhsm->init_token("Varnel B", "5678"));
    const auto lonely = make(UserOptions::for_kind(SubjectKind::Organization, 2), true);
    ASSERT_TRUE(softhsm->import("Varnel B", "5678", lonely, "c3", false));
    std::optional<Certificate> keyless;
    for (Certificate& certificate : agent::crypto::list_sign_in_certificates(&listing_prompt))
        if (same(certificate, lonely))
            keyless = std::move(certificate);
    ASSERT_TRUE(keyless);
    StaticPinPrompt second(L"5678");
    EXPECT_EQ(failure_of(*keyless, agent::certgen::envelope(lonely.certificate(), CHALLENGE), &second),
              CryptoException::NO_MATCHING_KEY);
}

// Pulls the token out when the PIN is asked, as a user might while the PIN dialog is open.
class PullingPrompt : public agent::crypto::IPinPrompt {
public:
    explicit PullingPrompt(agent::testing::crypto::SoftHsm& softhsm) : softhsm_(softhsm) {}
    std::optional<std::wstring> ask_pin(const agent::crypto::PinRequest&) override {
        softhsm_.remove_token("Varnel A");
        return L"1234";
    }

private:
    agent::testing::crypto::SoftHsm& softhsm_;
};

TEST_F(TokenStoreTest, PulledOutTokenHasNoKey) {
    const auto user = make(UserOptions::for_kind(SubjectKind::Person), true);
    ASSERT_TRUE(softhsm->import("Varnel A", "1234", user, "01"));
    const auto message = agent::certgen::envelope(user.certificate(), CHALLENGE);
    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates();
    ASSERT_EQ(listed.size(), 1u);

    PullingPrompt pulling(*softhsm);
    EXPECT_EQ(failure_of(listed.front(), message, &pulling), CryptoException::NO_MATCHING_KEY);

    // Pulled out between the listing and the sign-in: no PIN is asked for a missing token.
    StaticPinPrompt pin(L"1234");
    EXPECT_EQ(failure_of(listed.front(), message, &pin), CryptoException::NO_MATCHING_KEY);
    EXPECT_EQ(pin.asked(), 0);
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

TEST_F(TokenStoreTest, LockedPinAndAHangingModule) {
    const auto locked = make(UserOptions::for_kind(SubjectKind::Person), true);
    agent::certgen::write_bytes(home().path() / "locked.der", locked.der());
    ::setenv("FAKE_PKCS11_CERTIFICATE", (home().path() / "locked.der").c_str(), 1);
    const auto user = make(UserOptions::for_kind(SubjectKind::Organization, 3));
    ASSERT_TRUE(softhsm->import("Varnel A", "1234", user, "01"));

    // A locked PIN fails at once, with its own code, and asks nothing.
    agent::crypto::TokenStore tokens({FAKE_PKCS11_MODULE});
    const std::vector<Certificate> listed = tokens.enumerate(nullptr);
    ASSERT_EQ(listed.size(), 2u);
    const auto on_locked = std::find_if(listed.begin(), listed.end(),
                                        [&](const Certificate& c) { return same(c, locked); });
    ASSERT_NE(on_locked, listed.end());
    ASSERT_TRUE(on_locked->has_private_key());
    StaticPinPrompt pin(L"1234");
    EXPECT_EQ(failure_of(*on_locked, agent::certgen::envelope(locked.certificate(), CHALLENGE), &pin),
              CryptoException::PIN_LOCKED);
    EXPECT_EQ(pin.asked(), 0);

    // A module that does not answer is left behind at the deadline; the others are listed.
    const std::filesystem::path release = home().path() / "release";
    ::setenv("FAKE_PKCS11_HANG_UNTIL", release.c_str(), 1);
    const std::filesystem::path finalized = home().path() / "finalized";
    ::setenv("FAKE_PKCS11_FINALIZED", finalized.c_str(), 1);
    auto& log = agent::testing::crypto::capture_log();
    agent::crypto::TokenStore hanging({FAKE_PKCS11_MODULE}, std::chrono::milliseconds(300));
    const auto started = std::chrono::steady_clock::now();
    const std::vector<Certificate> without = hanging.enumerate(nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ASSERT_EQ(without.size(), 1u);
    EXPECT_TRUE(same(without[0], user));
    EXPECT_EQ(log.lines_with(L"did not answer within 300 ms").size(), 1u);
    // Once it answers, its thread ends and lets the modules go.
    EXPECT_FALSE(std::filesystem::exists(finalized));
    agent::testing::write_text(release, "");
    EXPECT_TRUE(agent::testing::wait_for([&] { return !log.lines_with(L"answered after the listing").empty(); }));
    EXPECT_TRUE(agent::testing::wait_for([&] { return std::filesystem::exists(finalized); }));
    agent::details::install_logger(nullptr);
    ::unsetenv("FAKE_PKCS11_HANG_UNTIL");
    ::unsetenv("FAKE_PKCS11_FINALIZED");
    ::unsetenv("FAKE_PKCS11_CERTIFICATE");
}

}  // namespace
