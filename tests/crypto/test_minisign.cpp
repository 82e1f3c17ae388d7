// Installer signatures: what minisign makes is accepted, anything else is refused with the
// reason, never read as a signature of something it is not.
#include "crypto/minisign.h"

#include <gtest/gtest.h>

#include "details/exception.h"
#include "support/sandbox.h"
#include "support/signing.h"

namespace agent::testing {
namespace {

using crypto::SignatureFault;

class MinisignTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ours = std::make_unique<SigningKeyPair>(home().path() / "ours");
        theirs = std::make_unique<SigningKeyPair>(home().path() / "theirs");
        file = home().path() / "installer.run";
        write_text(file, content);
    }

    SignatureFault refusal(const std::string& signature, const std::vector<crypto::SigningKey>& keys) {
        try {
            crypto::verify_file_signature(file.wstring(), signature, keys);
        } catch (const crypto::SignatureRefused& e) {
            return e.fault();
        }
        ADD_FAILURE() << "accepted";
        return SignatureFault::Unreadable;
    }

    std::string content = std::string("#!/bin/sh\nlabel=\"Varnel Agent 1.1.0.199\"\n") + std::string(200000, 'x');
    std::filesystem::path file;
    std::unique_ptr<SigningKeyPair> ours;
    std::unique_ptr<SigningKeyPair> theirs;
};

TEST_F(MinisignTest, SignatureOfTheFileByAKnownKeyGivesItsTrustedComment) {
    const std::string signature = ours->sign(content, "version:1.1.0.199 file:installer.run");
    // Either key of the list may have made it; its id picks it.
    EXPECT_EQ(crypto::verify_file_signature(file.wstring(), signature, {theirs->key(), ours->key()}),
              "version:1.1.0.199 file:installer.run");
    EXPECT_EQ(crypto::verify_signature(content, signature, {ours->key()}), "version:1.1.0.199 file:installer.run");
    // CR LF line ends, as a file that went through another system may have them.
    std::string crlf;
    for (char c : signature)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_NO_THROW(crypto::verify_file_signature(file.wstring(), crlf, {ours->key()}));
    EXPECT_EQ(crypto::key_id_text(ours->key().id).size(), 16u);
}

TEST_F(MinisignTest, EveryOtherSignatureIsRefusedWithItsReason) {
    const std::string signature = ours->sign(content, "version:1.1.0.199");
    EXPECT_EQ(refusal(signature, {theirs->key()}), SignatureFault::UnknownKey);
    EXPECT_EQ(refusal(theirs->sign(content, "version:1.1.0.199"), {ours->key()}), SignatureFault::UnknownKey);
    EXPECT_EQ(refusal(ours->sign("another file", "version:1.1.0.199"), {ours->key()}), SignatureFault::WrongFile);

    // The trusted comment changed after signing (the version raised).
    std::string edited = signature;
    edited.replace(edited.find("version:1.1.0.199"), 17, "version:9.9.9.999");
    EXPECT_EQ(refusal(edited, {ours->key()}), SignatureFault::WrongComment);

    // Cut short, empty, oversized, or the legacy kind that needs the whole file in memory.
    EXPECT_EQ(refusal(signature.substr(0, signature.size() / 2), {ours->key()}), SignatureFault::Malformed);
    EXPECT_EQ(refusal("", {ours->key()}), SignatureFault::Malformed);
    EXPECT_EQ(refusal(signature + std::string(10 << 20, '\n'), {ours->key()}), SignatureFault::Malformed);
    EXPECT_EQ(refusal(ours->sign_legacy(content, "version:1.1.0.199"), {ours->key()}), SignatureFault::Malformed);
    EXPECT_EQ(refusal(signature, {}), SignatureFault::UnknownKey);

    // One byte of the file changed.
    std::string tampered = content;
    tampered[tampered.size() / 2] ^= 1;
    write_text(file, tampered);
    EXPECT_EQ(refusal(signature, {ours->key()}), SignatureFault::WrongFile);
    std::filesystem::remove(file);
    EXPECT_EQ(refusal(signature, {ours->key()}), SignatureFault::Unreadable);
}

TEST(MinisignKey, OnlyAPublicKeyFileReads) {
    const std::string text = "untrusted comment: minisign public key 49408A0A931ACE78\n"
                             "RWR4zhqTCopASQiQO08kWRkuL3xXJcdFUUHjaiWGNSGKY6If4kesLtB8\n";
    EXPECT_EQ(crypto::key_id_text(crypto::parse_public_key(text).id), "49408A0A931ACE78");
    EXPECT_THROW(crypto::parse_public_key(""), CryptoException);
    EXPECT_THROW(crypto::parse_public_key("RWR4zhqTCopASQiQO08kWRku"), CryptoException);
    EXPECT_THROW(crypto::parse_public_key(text + text), CryptoException);
}

}  // namespace
}  // namespace agent::testing
