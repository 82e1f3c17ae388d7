#include <cerrno>
#include <filesystem>

#include "certgen/certgen.h"
#include "crypto/certificate_store.h"
#include "crypto/pin_prompt.h"
#include "details/exception.h"
#include "details/strings.h"
#include "model/agent_client.h"
#include "model/capture_logger.h"
#include "model/client_fixture.h"

namespace agent {
namespace {

using testing::CaptureLogger;

class CertificateSignInTest : public testing::ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        certgen::Authority authority;
        user_ = std::make_unique<certgen::UserCertificate>(
            certgen::issue(authority, certgen::UserOptions::for_kind(certgen::SubjectKind::Person)));
        certgen::Pkcs12Options options;
        options.pin = "1234";
        user_->write_pkcs12(std::filesystem::path(narrow(crypto::default_certificate_directory())) / "me.p12",
                            options);
    }

    crypto::Certificate certificate() {
        const auto certificates = crypto::list_sign_in_certificates();
        if (certificates.size() != 1)
            throw std::runtime_error("expected one certificate");
        return certificates.front();
    }

    std::unique_ptr<certgen::UserCertificate> user_;
};

TEST_F(CertificateSignInTest, ChallengeIsAnsweredInTwoSteps) {
    auto& log = CaptureLogger::install(details::LEVEL_INFO);
    crypto::StaticPinPrompt prompt(L"1234");
    auto agent = create();
    agent->authenticate(certificate(), true, &prompt);
    EXPECT_TRUE(agent->has_session());
    EXPECT_TRUE(server().has_session(narrow(agent->session_id())));
    EXPECT_TRUE(std::filesystem::exists(sid_file()));
    EXPECT_EQ(prompt.asked(), 1);

    const auto requests = server().requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/auth/authenticate-by-cert");
    const auto der = user_->der();
    EXPECT_EQ(requests[0].body, std::string(der.begin(), der.end()));
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(der.size()));
    EXPECT_EQ(requests[1].path.rfind("/auth/authenticate-by-cert/approve/", 0), 0u);
    EXPECT_EQ(requests[1].header("Authorization"), "");
    // The certificate bytes stay at DEBUG.
    EXPECT_FALSE(log.contains(L"Certificate content:"));
    EXPECT_TRUE(log.contains(L"ApproveLink: "));
}

TEST_F(CertificateSignInTest, WrongPinLeavesTheClientSignedOut) {
    crypto::StaticPinPrompt prompt(L"0000");
    auto agent = create();
    try {
        agent->authenticate(certificate(), true, &prompt);
        FAIL() << "signed in with a wrong PIN";
    } catch (const CryptoException& e) {
        EXPECT_EQ(e.code(), CryptoException::WRONG_PIN);
    }
    EXPECT_FALSE(agent->has_session());
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
}

TEST_F(CertificateSignInTest, RefusedFirstStepMakesNoSecondRequest) {
    answer_next("/auth/authenticate-by-cert", 403, R"({"status":403,"id":"CertificateRevoked","message":"отозван"})");
    crypto::StaticPinPrompt prompt(L"1234");
    auto agent = create();
    try {
        agent->authenticate(certificate(), false, &prompt);
        FAIL() << "signed in";
    } catch (const AgentApiException& e) {
        EXPECT_EQ(e.status(), 403);
        EXPECT_EQ(e.error().id, "CertificateRevoked");
    }
    EXPECT_EQ(server().requests().size(), 1u);
    EXPECT_EQ(prompt.asked(), 0);
}

// The approve link is used as received, even when it names another host.
TEST_F(CertificateSignInTest, SecondStepGoesWhereTheLinkPoints) {
    sandbox::Server other;
    other.start();
    const std::string challenge = "challenge-bytes-\x01\x02";
    const auto envelope = certgen::envelope(user_->certificate(), {challenge.begin(), challenge.end()});
    const std::string href = "http://localhost:" + std::to_string(other.port()) + "/auth/authenticate-by-pass?t=1&u=2";
    answer_next("/auth/authenticate-by-cert", 200,
                R"({"EncryptedKey":")" + narrow(details::base64_encode(envelope)) + R"(","Link":{"Href":")" + href +
                    R"("}})");
    sandbox::Fault approve;
    approve.path = "/auth/authenticate-by-pass";
    approve.status = 200;
    approve.body = R"({"Sid":"elsewhere-session"})";
    other.add_fault(approve);
    // The session is not known to the main server; the later calls may fail there.
    answer_next("/api/v1/user/info", 200, R"({"user-id":"u","token":"t"})");
    answer_next("/api/v1/links/instruction", 200, "{}");

    crypto::StaticPinPrompt prompt(L"1234");
    auto agent = create();
    agent->authenticate(certificate(), false, &prompt);
    EXPECT_EQ(agent->session_id(), L"elsewhere-session");
    const auto second = other.requests("/auth/authenticate-by-pass");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].query, "t=1&u=2");
    EXPECT_EQ(second[0].body, challenge);
    EXPECT_TRUE(server().requests("/auth/authenticate-by-pass").empty());
}

// The key decrypts whatever it is given: a server must not be able to have it open a
// document encrypted to the user's certificate and receive the plain text. Only a plausible
// challenge goes back, and only over TLS (or to a local stand-in configured over http).
TEST_F(CertificateSignInTest, OnlyAPlausibleChallengeGoesBackAndOnlyOverTls) {
    sandbox::Server other;
    other.start();
    const std::string document(2048, 'D');
    const auto envelope = certgen::envelope(user_->certificate(), {document.begin(), document.end()});
    const std::string href = other.base_url() + "/auth/authenticate-by-cert/approve/x";
    answer_next("/auth/authenticate-by-cert", 200,
                R"({"EncryptedKey":")" + narrow(details::base64_encode(envelope)) + R"(","Link":{"Href":")" + href +
                    R"("}})");
    crypto::StaticPinPrompt prompt(L"1234");
    auto agent = create();
    try {
        agent->authenticate(certificate(), true, &prompt);
        FAIL() << "a 2 KiB challenge was answered";
    } catch (const CryptoException& e) {
        EXPECT_EQ(e.code(), static_cast<std::uint32_t>(EMSGSIZE));
    }
    EXPECT_FALSE(agent->has_session());
    EXPECT_TRUE(other.requests().empty()) << "nothing was sent";

    // An authentication service over TLS whose link leads to plain http: refused before the
    // key is even asked for.
    sandbox::Options tls;
    tls.tls = true;
    sandbox::Server secure(tls);
    secure.start();
    configuration_->auth_uri = wide(secure.auth_url());
    configuration_->ca_file = wide(secure.ca_certificate().string());
    const std::string challenge(32, 'c');
    const auto fine = certgen::envelope(user_->certificate(), {challenge.begin(), challenge.end()});
    sandbox::Fault step;
    step.path = "/auth/authenticate-by-cert";
    step.status = 200;
    step.body = R"({"EncryptedKey":")" + narrow(details::base64_encode(fine)) + R"(","Link":{"Href":")" + href + R"("}})";
    secure.add_fault(step);
    crypto::StaticPinPrompt unused(L"1234");
    auto over_tls = create();
    EXPECT_THROW(over_tls->authenticate(certificate(), true, &unused), CryptoException);
    EXPECT_EQ(unused.asked(), 0);
    EXPECT_TRUE(other.requests().empty());
}

}  // namespace
}  // namespace agent
