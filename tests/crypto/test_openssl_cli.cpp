// Fixtures made by OpenSSL's command-line tool, not by our generator: the listing, the field
// accessors and the decryption must agree with what `openssl` wrote.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "crypto/certificate_store.h"
#include "crypto/decrypt.h"
#include "crypto/directory_store.h"
#include "details/exception.h"
#include "details/strings.h"
#include "fixtures.h"

namespace {

using agent::DateTime;
using agent::crypto::Certificate;
using agent::crypto::StaticPinPrompt;
using agent::testing::read_text;
using agent::testing::write_text;
using agent::testing::crypto::certificate_directory;
using agent::testing::crypto::run;

using agent::testing::crypto::cli::EXTENSIONS_CONFIG;
using agent::testing::crypto::cli::ORGANISATION;
using agent::testing::crypto::cli::PERSON;
using agent::testing::crypto::cli::REQUEST_HEADER;

class OpenSslCliTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        work = home().path() / "work";
        std::filesystem::create_directories(work);
        write_text(work / "ext.cnf", EXTENSIONS_CONFIG);
        ASSERT_TRUE(sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 30 "
                       "-subj '/CN=CLI Test CA' -addext basicConstraints=critical,CA:TRUE "
                       "-addext keyUsage=critical,keyCertSign,cRLSign"));
    }

    bool sh(const std::string& command) { return run("cd '" + work.string() + "' && " + command); }

    // A user certificate with the subject (OIDs in a request configuration), signed by the
    // command-line authority with the qualified extensions.
    bool issue(const std::string& name, const char* subject) {
        write_text(work / (name + ".cnf"), std::string(REQUEST_HEADER) + subject);
        return sh("openssl req -new -newkey rsa:2048 -nodes -config " + name + ".cnf -keyout " + name +
                  ".key -out " + name + ".csr") &&
               sh("openssl x509 -req -in " + name + ".csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 365 "
                  "-extfile ext.cnf -extensions user -out " + name + ".crt");
    }

    // NotAfter as the command-line tool prints it.
    DateTime end_date(const std::string& name) {
        EXPECT_TRUE(sh("openssl x509 -in " + name + ".crt -noout -enddate -out " + name + ".end"));
        const std::string text = read_text(work / (name + ".end"));
        char month[4] = {};
        int day = 0, hour = 0, minute = 0, second = 0, year = 0;
        EXPECT_EQ(std::sscanf(text.c_str(), "notAfter=%3s %d %d:%d:%d %d", month, &day, &hour, &minute, &second,
                              &year),
                  6)
            << text;
        static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        DateTime result;
        for (int i = 0; i < 12; ++i)
            if (std::strcmp(month, months[i]) == 0)
                result.month = static_cast<std::uint8_t>(i + 1);
        result.year = static_cast<std::uint16_t>(year);
        result.day = static_cast<std::uint8_t>(day);
        result.hour = static_cast<std::uint8_t>(hour);
        result.minute = static_cast<std::uint8_t>(minute);
        result.second = static_cast<std::uint8_t>(second);
        return result;
    }

    std::vector<std::uint8_t> bytes(const std::string& name) {
        const std::string text = read_text(work / name);
        return std::vector<std::uint8_t>(text.begin(), text.end());
    }

    std::filesystem::path work;
};

TEST_F(OpenSslCliTest, ListingFieldsAndDecryptionAgreeWithOpenSsl) {
    ASSERT_TRUE(issue("person", PERSON));
    ASSERT_TRUE(issue("organisation", ORGANISATION));
    const std::string store = certificate_directory().string();
    // The tool's defaults: the certificate is encrypted under the PIN as well.
    ASSERT_TRUE(sh("openssl pkcs12 -export -in person.crt -inkey person.key -certfile ca.crt -passout pass:4321 "
                   "-out '" + store + "/person.p12'"));
    // An empty PIN, as "no PIN" is written by most tools.
    ASSERT_TRUE(sh("openssl pkcs12 -export -in organisation.crt -inkey organisation.key -certfile ca.crt "
                   "-passout pass: -out '" + store + "/organisation.pfx'"));
    ASSERT_TRUE(sh("head -c 48 /dev/urandom > challenge.bin && "
                   "openssl cms -encrypt -binary -aes256 -in challenge.bin -outform DER -out person.cms person.crt && "
                   "openssl cms -encrypt -binary -aes256 -in challenge.bin -outform DER -out organisation.cms "
                   "organisation.crt"));

    StaticPinPrompt prompt(L"4321");
    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates(&prompt);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(prompt.asked(), 1);  // only the file whose certificate is locked
    const Certificate& organisation = listed[0];
    const Certificate& person = listed[1];

    EXPECT_EQ(person.inn(), L"500100732259");
    EXPECT_EQ(person.person_name(), L"Сидоров Сидор Сидорович");
    EXPECT_EQ(person.valid_to(), end_date("person"));
    EXPECT_EQ(organisation.inn(), L"7810123456");
    EXPECT_EQ(organisation.kpp(), L"781001001");
    EXPECT_EQ(organisation.attribute(agent::crypto::oid::ORGANIZATION), L"АО «Берёзка»");
    EXPECT_EQ(organisation.person_name(), L"АО «Берёзка»");
    EXPECT_EQ(organisation.valid_to(), end_date("organisation"));

    const std::vector<std::uint8_t> challenge = bytes("challenge.bin");
    EXPECT_EQ(agent::crypto::decrypt(organisation, bytes("organisation.cms")), challenge);
    StaticPinPrompt pin(L"4321");
    EXPECT_EQ(agent::crypto::decrypt(person, bytes("person.cms"), &pin), challenge);
    StaticPinPrompt wrong(L"1234");
    EXPECT_THROW(agent::crypto::decrypt(person, bytes("person.cms"), &wrong), agent::CryptoException);
    try {
        agent::crypto::decrypt(organisation, bytes("person.cms"));
        ADD_FAILURE() << "decrypted a message for another recipient";
    } catch (const agent::CryptoException& e) {
        EXPECT_EQ(e.code(), agent::CryptoException::NO_MATCHING_KEY);
    }
}

TEST_F(OpenSslCliTest, OpenSslReadsWhatOurGeneratorWrites) {
    const agent::certgen::UserCertificate made =
        agent::testing::crypto::make(agent::certgen::UserOptions::for_kind(agent::certgen::SubjectKind::Person));
    agent::certgen::Pkcs12Options options;
    options.pin = "5555";
    options.encrypt_certificate = true;
    made.write_pkcs12(work / "ours.p12", options);
    agent::certgen::write_bytes(work / "ours.cms", agent::certgen::envelope(made.certificate(), {'o', 'k'}));
    ASSERT_TRUE(sh("openssl pkcs12 -in ours.p12 -passin pass:5555 -nodes -out ours.pem"));
    ASSERT_TRUE(sh("openssl cms -decrypt -binary -inform DER -in ours.cms -inkey ours.pem -out ours.txt"));
    EXPECT_EQ(read_text(work / "ours.txt"), "ok");
}

}  // namespace
