#include <openssl/bio.h>
#include <openssl/cms.h>

#include <cstdlib>

#include "certgen/certgen.h"
#include "server_fixture.h"

namespace sandbox::testing {
namespace {

namespace certgen = agent::certgen;

class AuthTest : public ServerTest {
protected:
    httplib::Result sign_in(const std::string& login, const std::string& password) {
        return client().Post("/auth/authenticate-by-pass?login=" + login, password, "application/octet-stream");
    }

    static std::string der_of(const certgen::UserCertificate& certificate) {
        const auto der = certificate.der();
        return std::string(der.begin(), der.end());
    }

    // What the agent does with step 1's answer: CMS_decrypt with the certificate's key.
    static std::string decrypt(const certgen::UserCertificate& certificate, const std::string& base64) {
        std::string der(base64.size(), '\0');
        const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                           reinterpret_cast<const unsigned char*>(base64.data()),
                                           static_cast<int>(base64.size()));
        EXPECT_GT(length, 0);
        der.resize(static_cast<std::size_t>(length));
        const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
        CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size()));
        EXPECT_NE(cms, nullptr);
        if (cms == nullptr)
            return {};
        BIO* out = BIO_new(BIO_s_mem());
        EXPECT_EQ(CMS_decrypt(cms, certificate.key(), certificate.certificate(), nullptr, out, CMS_BINARY), 1);
        char* data = nullptr;
        const long size = BIO_get_mem_data(out, &data);
        std::string plain(data, static_cast<std::size_t>(size));
        BIO_free(out);
        CMS_ContentInfo_free(cms);
        return plain;
    }

    // Step 2 goes to the absolute "Href" exactly as received.
    httplib::Result approve(const std::string& href, const std::string& bytes) {
        const std::string base = server().base_url();
        EXPECT_EQ(href.compare(0, base.size(), base), 0) << href;
        return client().Post(href.substr(base.size()), bytes, "application/octet-stream");
    }

    certgen::Authority authority_;
};

TEST_F(AuthTest, PasswordSignInOpensASessionTheAgentApiAccepts) {
    const auto result = sign_in("demo@varnel.example", "demo");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200);
    const std::string sid = parse(result->body)["Sid"].asString();
    ASSERT_FALSE(sid.empty());

    const auto info = client().Get("/api/v1/user/info", session_header(sid));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status, 200);
    const Json::Value user = parse(info->body);
    EXPECT_EQ(user["name"].asString(), "Иван");
    EXPECT_EQ(user["lastname"].asString(), "Смирнов");
    EXPECT_FALSE(user["token"].asString().empty());
    EXPECT_FALSE(user["user-id"].asString().empty());
}

// The sign-in page reads status 0 and picks its message by the first error code.
TEST_F(AuthTest, PasswordRefusalsCarryACodeAndNoStatus) {
    const auto check = [](const httplib::Result& result, const std::string& code) {
        ASSERT_TRUE(result);
        EXPECT_NE(result->status, 200);
        const Json::Value body = parse(result->body);
        EXPECT_FALSE(body.isMember("status")) << result->body;
        EXPECT_EQ(body["code"].asString(), code);
        EXPECT_FALSE(body["message"].asString().empty());
        EXPECT_FALSE(body["track-id"].asString().empty());
    };
    check(sign_in("nobody@varnel.example", "demo"), "UserNotFound");
    check(sign_in("demo@varnel.example", "wrong"), "BadPassword");
    check(sign_in("demo@varnel.example", ""), "BadPassword");
}

TEST_F(AuthTest, TooManyWrongPasswordsLockTheLoginEvenForTheRightOne) {
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(parse(sign_in("demo@varnel.example", "wrong")->body)["code"].asString(), "BadPassword");
    EXPECT_EQ(parse(sign_in("demo@varnel.example", "wrong")->body)["code"].asString(), "TooManyIncorrectAttempts");
    const auto locked = sign_in("demo@varnel.example", "demo");
    EXPECT_EQ(parse(locked->body)["code"].asString(), "TooManyIncorrectAttempts");
    EXPECT_NE(locked->body.find("15 минут"), std::string::npos);
    // Other logins are not affected.
    EXPECT_EQ(sign_in("buh@varnel.example", "buh")->status, 200);
}

TEST_F(AuthTest, LoginWithPlusAndAtSignIsTakenAsTyped) {
    server().add_user(User{"a+b@varnel.example", "секрет", "А", "", "Б", "", ""});
    const auto result = sign_in("a+b@varnel.example", "секрет");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << result->body;
    const auto missing = client().Post("/auth/authenticate-by-pass", "demo", "text/plain");
    expect_error_answer(missing, 400);
}

TEST_F(AuthTest, CertificateSignInAnswersAChallengeOnlyTheKeyHolderCanOpen) {
    auto options = certgen::UserOptions::for_kind(certgen::SubjectKind::Person);
    options.extra_subject.emplace_back("1.2.840.113549.1.9.1", "demo@varnel.example");
    const auto certificate = certgen::issue(authority_, options);

    const auto step1 = client().Post("/auth/authenticate-by-cert", der_of(certificate), "application/octet-stream");
    ASSERT_TRUE(step1);
    ASSERT_EQ(step1->status, 200) << step1->body;
    const Json::Value answer = parse(step1->body);
    const std::string href = answer["Link"]["Href"].asString();
    const std::string challenge = decrypt(certificate, answer["EncryptedKey"].asString());
    EXPECT_EQ(challenge.size(), 32u);

    const auto step2 = approve(href, challenge);
    ASSERT_TRUE(step2);
    ASSERT_EQ(step2->status, 200) << step2->body;
    const std::string sid = parse(step2->body)["Sid"].asString();
    const auto info = client().Get("/api/v1/user/info", session_header(sid));
    EXPECT_EQ(parse(info->body)["lastname"].asString(), "Смирнов");

    // The approve link works once: a replay is refused.
    expect_error_answer(approve(href, challenge), 403);
}

TEST_F(AuthTest, GostCertificateGetsAGostChallengeThatOpenSslOpens) {
    auto options = certgen::UserOptions::for_kind(certgen::SubjectKind::Person);
    options.key_kind = certgen::KeyKind::Gost2012_256;
    const auto certificate = certgen::issue(authority_, options);
    const auto step1 = client().Post("/auth/authenticate-by-cert", der_of(certificate), "application/octet-stream");
    ASSERT_TRUE(step1);
    ASSERT_EQ(step1->status, 200) << step1->body;
    const Json::Value answer = parse(step1->body);

    // Opened by the command-line tool, as a GOST user's own software would open it.
    const auto work = home().path();
    agent::testing::write_text(work / "me.pem", certificate.certificate_pem() + certificate.key_pem());
    agent::testing::write_text(work / "challenge.b64", answer["EncryptedKey"].asString() + "\n");
    const std::string in = "cd '" + work.string() + "' && ";
    ASSERT_EQ(std::system((in + "openssl base64 -d -A -in challenge.b64 -out challenge.der && "
                                "openssl cms -engine gost -cmsout -print -inform DER -in challenge.der "
                                "-out printed.txt 2>/dev/null && "
                                "openssl cms -engine gost -decrypt -binary -inform DER -in challenge.der "
                                "-inkey me.pem -recip me.pem -out plain.bin 2>/dev/null")
                               .c_str()),
              0);
    EXPECT_NE(agent::testing::read_text(work / "printed.txt").find("GOST 28147-89"), std::string::npos);
    const auto step2 = approve(answer["Link"]["Href"].asString(), agent::testing::read_text(work / "plain.bin"));
    ASSERT_TRUE(step2);
    EXPECT_EQ(step2->status, 200) << step2->body;
}

TEST_F(AuthTest, WrongChallengeBytesAreRefusedAndBurnTheLink) {
    const auto certificate = certgen::issue(authority_, certgen::UserOptions::for_kind(certgen::SubjectKind::Organization));
    const auto step1 = client().Post("/auth/authenticate-by-cert", der_of(certificate), "application/octet-stream");
    ASSERT_EQ(step1->status, 200);
    const Json::Value answer = parse(step1->body);
    const std::string href = answer["Link"]["Href"].asString();
    std::string challenge = decrypt(certificate, answer["EncryptedKey"].asString());
    std::string wrong = challenge;
    wrong[0] = static_cast<char>(wrong[0] ^ 1);
    expect_error_answer(approve(href, wrong), 403);
    expect_error_answer(approve(href, challenge), 403);
    expect_error_answer(approve(server().base_url() + "/auth/authenticate-by-cert/approve/nonsense", challenge), 404);
}

TEST_F(AuthTest, CertificateWithoutEmailSignsInAsAUserOfItsOwn) {
    const auto certificate = certgen::issue(authority_, certgen::UserOptions::for_kind(certgen::SubjectKind::Entrepreneur));
    const auto step1 = client().Post("/auth/authenticate-by-cert", der_of(certificate), "application/octet-stream");
    ASSERT_EQ(step1->status, 200);
    const Json::Value answer = parse(step1->body);
    const auto step2 = approve(answer["Link"]["Href"].asString(), decrypt(certificate, answer["EncryptedKey"].asString()));
    ASSERT_EQ(step2->status, 200);
    const auto info = client().Get("/api/v1/user/info", session_header(parse(step2->body)["Sid"].asString()));
    const Json::Value user = parse(info->body);
    EXPECT_EQ(user["lastname"].asString(), "Иванов");
    EXPECT_EQ(user["name"].asString(), "Иван");
    EXPECT_EQ(user["middlename"].asString(), "Иванович");
}

TEST_F(AuthTest, CertificatesThatCannotSignInGetErrorAnswers) {
    expect_error_answer(client().Post("/auth/authenticate-by-cert", "", "application/octet-stream"), 400);
    expect_error_answer(client().Post("/auth/authenticate-by-cert", std::string(300, '\x30'), "application/octet-stream"), 400);
    const auto valid = der_of(certgen::issue(authority_, certgen::UserOptions::for_kind(certgen::SubjectKind::Person)));
    expect_error_answer(client().Post("/auth/authenticate-by-cert", valid.substr(0, valid.size() / 2), "application/octet-stream"), 400);
    expect_error_answer(client().Post("/auth/authenticate-by-cert", valid + "trailing", "application/octet-stream"), 400);

    auto expired = certgen::UserOptions::for_kind(certgen::SubjectKind::Person);
    expired.expired();
    expect_error_answer(client().Post("/auth/authenticate-by-cert", der_of(certgen::issue(authority_, expired)),
                                      "application/octet-stream"), 403);
    auto future = certgen::UserOptions::for_kind(certgen::SubjectKind::Person);
    future.not_yet_valid();
    expect_error_answer(client().Post("/auth/authenticate-by-cert", der_of(certgen::issue(authority_, future)),
                                      "application/octet-stream"), 403);
    // Still serving.
    EXPECT_EQ(client().Get("/api/v1/user/info", demo_session())->status, 200);
}

TEST_F(AuthTest, SignOutEndsTheSessionAndItsStreams) {
    const std::string sid = server().create_session();
    StreamReader stream(server().port(), sid);
    ASSERT_TRUE(agent::testing::wait_for([&] { return server().open_streams() == 1; }));

    const auto result = client().Delete("/auth/sessions/" + sid);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_TRUE(parse(result->body)["Success"].asBool());
    EXPECT_TRUE(agent::testing::wait_for([&] { return stream.ended(); }));
    expect_error_answer(client().Get("/api/v1/user/info", session_header(sid)), 401);

    const auto again = client().Delete("/auth/sessions/" + sid);
    EXPECT_EQ(again->status, 200);
    EXPECT_FALSE(parse(again->body)["Success"].asBool());
}

}  // namespace
}  // namespace sandbox::testing
