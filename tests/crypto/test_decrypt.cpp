#include <gtest/gtest.h>

#include "crypto/decrypt.h"
#include "crypto/directory_store.h"
#include "details/exception.h"
#include "details/strings.h"
#include "fixtures.h"

namespace {

using agent::CryptoException;
using agent::crypto::Certificate;
using agent::crypto::decrypt;
using agent::crypto::DirectoryStore;
using agent::crypto::StaticPinPrompt;
using agent::testing::crypto::bytes_of;
using agent::testing::crypto::certificate_directory;
using agent::testing::crypto::make;
using namespace agent::certgen;

class DecryptTest : public agent::testing::SandboxTest {
protected:
    // Writes the file and reads it back through the store, as the sign-in does.
    Certificate stored(const std::string& name) {
        DirectoryStore store(agent::details::utf8_to_wide(certificate_directory().string()));
        for (Certificate& certificate : store.enumerate(nullptr))
            if (certificate.private_key() &&
                certificate.private_key()->location().ends_with(agent::details::utf8_to_wide(name)))
                return certificate;
        throw std::runtime_error("not listed: " + name);
    }

    const std::vector<std::uint8_t> challenge = bytes_of("a challenge of 32 bytes, binary\x01");
};

std::uint32_t code_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const CryptoException& e) {
        return e.code();
    }
    ADD_FAILURE() << "no CryptoException";
    return 0;
}

TEST_F(DecryptTest, RightKeyWithoutPinNeverAsks) {
    const UserCertificate made = make(UserOptions::for_kind(SubjectKind::Person));
    made.write_pkcs12(certificate_directory() / "plain.p12");
    StaticPinPrompt prompt(L"unused");
    EXPECT_EQ(decrypt(stored("plain.p12"), envelope(made.certificate(), challenge), &prompt), challenge);
    std::filesystem::remove(certificate_directory() / "plain.p12");
    made.write_pem(certificate_directory() / "pair.pem");
    EXPECT_EQ(decrypt(stored("pair.pem"), envelope(made.certificate(), challenge), &prompt), challenge);
    EXPECT_EQ(prompt.asked(), 0);
}

TEST_F(DecryptTest, PinProtectedKey) {
    const UserCertificate made = make(UserOptions::for_kind(SubjectKind::Person));
    Pkcs12Options options;
    options.pin = "пин-1234";
    made.write_pkcs12(certificate_directory() / "pin.p12", options);
    const Certificate certificate = stored("pin.p12");
    const std::vector<std::uint8_t> message = envelope(made.certificate(), challenge);

    StaticPinPrompt right(L"пин-1234");
    EXPECT_EQ(decrypt(certificate, message, &right), challenge);
    EXPECT_EQ(right.asked(), 1);

    StaticPinPrompt wrong(L"пин-1235");
    EXPECT_EQ(code_of([&] { decrypt(certificate, message, &wrong); }), CryptoException::WRONG_PIN);
    StaticPinPrompt cancel(std::nullopt);
    EXPECT_EQ(code_of([&] { decrypt(certificate, message, &cancel); }), CryptoException::PIN_CANCELLED);
    EXPECT_EQ(code_of([&] { decrypt(certificate, message, nullptr); }), CryptoException::PIN_CANCELLED);
}

TEST_F(DecryptTest, EncryptedPemKey) {
    const UserCertificate made = make(UserOptions::for_kind(SubjectKind::Person));
    made.write_pem(certificate_directory() / "user.crt", false);
    ASSERT_TRUE(agent::testing::crypto::run("cd '" + certificate_directory().string() +
                                            "' && printf '%s' '" + made.key_pem() +
                                            "' | openssl pkcs8 -topk8 -v2 aes-256-cbc -passout pass:9876 -out user.key"));
    const Certificate certificate = stored("user.key");
    const std::vector<std::uint8_t> message = envelope(made.certificate(), challenge);
    StaticPinPrompt right(L"9876");
    EXPECT_EQ(decrypt(certificate, message, &right), challenge);
    StaticPinPrompt wrong(L"0000");
    EXPECT_EQ(code_of([&] { decrypt(certificate, message, &wrong); }), CryptoException::WRONG_PIN);
}

TEST_F(DecryptTest, MessageForAnotherRecipientFailsBeforeAskingThePin) {
    const UserCertificate mine = make(UserOptions::for_kind(SubjectKind::Person, 1));
    const UserCertificate other = make(UserOptions::for_kind(SubjectKind::Person, 2), true);
    Pkcs12Options options;
    options.pin = "1111";
    mine.write_pkcs12(certificate_directory() / "mine.p12", options);
    StaticPinPrompt prompt(L"1111");
    const Certificate certificate = stored("mine.p12");
    EXPECT_EQ(code_of([&] { decrypt(certificate, envelope(other.certificate(), challenge), &prompt); }),
              CryptoException::NO_MATCHING_KEY);
    EXPECT_EQ(prompt.asked(), 0);
}

TEST_F(DecryptTest, CertificateWithAForeignKeyFile) {
    // A PEM certificate paired with a key that is not its own.
    const UserCertificate mine = make(UserOptions::for_kind(SubjectKind::Person, 1));
    const UserCertificate stranger = make(UserOptions::for_kind(SubjectKind::Person, 2), true);
    mine.write_pem(certificate_directory() / "mine.pem", false);
    write_bytes(certificate_directory() / "mine.key", bytes_of(stranger.key_pem()));
    EXPECT_EQ(code_of([&] { decrypt(stored("mine.key"), envelope(mine.certificate(), challenge)); }),
              CryptoException::NO_MATCHING_KEY);
}

TEST_F(DecryptTest, BadInputGivesACryptoException) {
    const UserCertificate made = make(UserOptions::for_kind(SubjectKind::Person));
    made.write_pkcs12(certificate_directory() / "plain.p12");
    const Certificate certificate = stored("plain.p12");
    const std::vector<std::uint8_t> message = envelope(made.certificate(), challenge);

    std::vector<std::uint8_t> truncated(message.begin(), message.end() - 20);
    std::vector<std::uint8_t> flipped = message;
    flipped[flipped.size() - 3] ^= 0x55;  // the last cipher block: bad padding
    for (const auto& data : {std::vector<std::uint8_t>{}, bytes_of("garbage"), truncated, flipped}) {
        try {
            const std::vector<std::uint8_t> plain = decrypt(certificate, data);
            ADD_FAILURE() << "decrypted " << plain.size() << " bytes from bad input";
        } catch (const CryptoException& e) {
            EXPECT_NE(e.code(), 0u);
            EXPECT_NE(e.code(), CryptoException::WRONG_PIN);
            EXPECT_FALSE(e.description().empty());
        }
    }
    EXPECT_EQ(decrypt(certificate, envelope(made.certificate(), {})), std::vector<std::uint8_t>{});
}

}  // namespace
