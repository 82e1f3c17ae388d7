// GOST R 34.10-2012 certificates and challenges made by OpenSSL's command-line tool with the
// GOST engine: the same listing, fields and decryption as for RSA.
#include <gtest/gtest.h>

#include "crypto/certificate_store.h"
#include "crypto/decrypt.h"
#include "crypto/gost.h"
#include "details/exception.h"
#include "error_texts.h"
#include "fixtures.h"

namespace {

using agent::CryptoException;
using agent::crypto::Certificate;
using agent::crypto::StaticPinPrompt;
using agent::testing::read_text;
using agent::testing::write_text;
using agent::testing::crypto::certificate_directory;
using agent::testing::crypto::run;
namespace cli = agent::testing::crypto::cli;

class GostTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        work = home().path() / "work";
        std::filesystem::create_directories(work);
        write_text(work / "ext.cnf", cli::EXTENSIONS_CONFIG);
        ASSERT_TRUE(sh("openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes "
                       "-keyout ca.key -out ca.crt -days 30 -subj '/CN=GOST CLI CA' "
                       "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign"));
        ASSERT_TRUE(sh("head -c 32 /dev/urandom > challenge.bin"));
    }

    // The command-line tool always has the engine, also where the agent is kept from it.
    bool sh(const std::string& command) {
        return run("cd '" + work.string() + "' && unset OPENSSL_ENGINES && " + command);
    }

    // A user certificate with a GOST key of the algorithm ("gost2012_256", "gost2012_512"),
    // issued by the GOST authority with the qualified extensions.
    bool issue(const std::string& name, const char* subject, const std::string& algorithm) {
        write_text(work / (name + ".cnf"), std::string(cli::REQUEST_HEADER) + subject);
        return sh("openssl req -engine gost -new -newkey " + algorithm + " -pkeyopt paramset:A -nodes -config " +
                  name + ".cnf -keyout " + name + ".key -out " + name + ".csr") &&
               sh("openssl x509 -engine gost -req -in " + name + ".csr -CA ca.crt -CAkey ca.key -CAcreateserial "
                  "-days 365 -extfile ext.cnf -extensions user -out " + name + ".crt");
    }

    // The challenge for the certificate, encrypted by `openssl cms` with the cipher.
    std::vector<std::uint8_t> challenge_for(const std::string& name, const std::string& cipher) {
        EXPECT_TRUE(sh("openssl cms -engine gost -encrypt -binary -" + cipher + " -in challenge.bin -outform DER -out " +
                       name + ".cms " + name + ".crt"));
        return bytes(name + ".cms");
    }

    std::vector<std::uint8_t> bytes(const std::string& name) {
        const std::string text = read_text(work / name);
        return std::vector<std::uint8_t>(text.begin(), text.end());
    }

    std::filesystem::path work;
};

TEST_F(GostTest, GostCertificatesAreListedAndTheirChallengesDecrypted) {
    ASSERT_TRUE(agent::crypto::gost_available());
    ASSERT_TRUE(issue("person", cli::PERSON, "gost2012_256"));
    ASSERT_TRUE(issue("organisation", cli::ORGANISATION, "gost2012_512"));
    const std::string store = certificate_directory().string();
    // GOST protection throughout, as Russian tools export: GOST 28147-89 for the key and the
    // certificate, a Streebog MAC.
    ASSERT_TRUE(sh("openssl pkcs12 -engine gost -export -in person.crt -inkey person.key -certfile ca.crt "
                   "-keypbe gost89 -certpbe gost89 -macalg md_gost12_256 -passout pass:4321 -out '" + store +
                   "/person.p12'"));
    ASSERT_TRUE(sh("cp organisation.crt organisation.key '" + store + "/'"));

    StaticPinPrompt prompt(L"4321");
    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates(&prompt);
    ASSERT_EQ(listed.size(), 2u);
    const Certificate& organisation = listed[0];
    const Certificate& person = listed[1];
    EXPECT_TRUE(agent::crypto::is_gost_key(person.handle()));
    EXPECT_EQ(person.inn(), L"500100732259");
    EXPECT_EQ(person.person_name(), L"Сидоров Сидор Сидорович");
    EXPECT_EQ(organisation.inn(), L"7810123456");
    EXPECT_EQ(organisation.kpp(), L"781001001");

    const std::vector<std::uint8_t> challenge = bytes("challenge.bin");
    StaticPinPrompt pin(L"4321");
    EXPECT_EQ(agent::crypto::decrypt(person, challenge_for("person", "gost89"), &pin), challenge);
    EXPECT_EQ(agent::crypto::decrypt(organisation, challenge_for("organisation", "kuznyechik-ctr-acpkm-omac")),
              challenge);
    StaticPinPrompt wrong(L"1111");
    try {
        agent::crypto::decrypt(person, bytes("person.cms"), &wrong);
        ADD_FAILURE() << "decrypted with a wrong PIN";
    } catch (const CryptoException& e) {
        EXPECT_EQ(e.code(), CryptoException::WRONG_PIN);
    }
    try {
        agent::crypto::decrypt(organisation, bytes("person.cms"));
        ADD_FAILURE() << "decrypted a message for another recipient";
    } catch (const CryptoException& e) {
        EXPECT_EQ(e.code(), CryptoException::NO_MATCHING_KEY);
    }
}

TEST_F(GostTest, OpenSslReadsTheGostChallengesOfOurGenerator) {
    auto options = agent::certgen::UserOptions::for_kind(agent::certgen::SubjectKind::Entrepreneur);
    options.key_kind = agent::certgen::KeyKind::Gost2012_512;
    const auto made = agent::certgen::issue(agent::testing::crypto::authority(), options);
    write_text(work / "ours.pem", made.certificate_pem() + made.key_pem());
    agent::certgen::write_bytes(work / "ours.cms", agent::certgen::envelope(made.certificate(), {'o', 'k'}));
    ASSERT_TRUE(sh("openssl cms -engine gost -decrypt -binary -inform DER -in ours.cms -inkey ours.pem "
                   "-recip ours.pem -out ours.txt"));
    EXPECT_EQ(read_text(work / "ours.txt"), "ok");
}

// Run with OPENSSL_ENGINES naming a folder without engines: as on a machine without
// libengine-gost-openssl.
using WithoutEngineTest = GostTest;

TEST_F(WithoutEngineTest, GostCertificatesAreListedAndSignInFailsClearly) {
    ASSERT_FALSE(agent::crypto::gost_available()) << "the engine was found: OPENSSL_ENGINES is not set";
    ASSERT_TRUE(issue("person", cli::PERSON, "gost2012_256"));
    // The tool's default protection (AES, SHA-256), readable without the engine.
    ASSERT_TRUE(sh("openssl pkcs12 -engine gost -export -in person.crt -inkey person.key -passout pass:4321 "
                   "-out '" + certificate_directory().string() + "/person.p12'"));
    const std::vector<std::uint8_t> message = challenge_for("person", "gost89");

    StaticPinPrompt prompt(L"4321");
    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates(&prompt);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].person_name(), L"Сидоров Сидор Сидорович");
    EXPECT_EQ(listed[0].inn(), L"500100732259");

    auto& log = agent::testing::crypto::capture_log();
    StaticPinPrompt pin(L"4321");
    try {
        agent::crypto::decrypt(listed[0], message, &pin);
        ADD_FAILURE() << "decrypted a GOST challenge without the engine";
    } catch (const CryptoException& e) {
        EXPECT_EQ(e.function(), "ENGINE_by_id");
        // Neither "no key", "wrong PIN" nor "cancelled": the certificate error dialog.
        const auto text = agent::cli::describe_error(std::current_exception(), agent::cli::Context::SignIn).text;
        EXPECT_EQ(text.rfind(agent::cli::error_code_text(7), 0), 0u) << text;
    }
    EXPECT_EQ(pin.asked(), 0);  // no PIN for a key that cannot be used
    EXPECT_EQ(log.lines_with(L"libengine-gost-openssl").size(), 1u);
    agent::details::install_logger(nullptr);
}

}  // namespace
