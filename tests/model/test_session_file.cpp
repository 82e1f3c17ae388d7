#include "model/session_file.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "details/strings.h"
#include "model/capture_logger.h"
#include "support/sandbox.h"

namespace agent::details {
namespace {

using testing::CaptureLogger;

const std::wstring CLIENT = L"0f8a2c4e-1b3d-4f5a-9c7e-2d4b6f8a0c1e";

// Enciphers a hand-made record the way the agent does, to build files it must reject.
std::vector<std::uint8_t> encipher(const std::wstring& client, std::vector<std::uint8_t> record) {
    const auto key = session_key(client);
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(context, EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(context, 0);
    int written = 0;
    EVP_EncryptUpdate(context, record.data(), &written, record.data(), static_cast<int>(record.size()));
    EVP_CIPHER_CTX_free(context);
    return record;
}

std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return {text.begin(), text.end()};
}

class SessionFileTest : public testing::SandboxTest {};

TEST_F(SessionFileTest, RoundTripsAndHidesTheSession) {
    const auto file = encode_session(CLIENT, L"a1b2c3d4e5f6a7b8c9d0", L"tok-XYZ");
    EXPECT_EQ(file.size(), 32u);  // 4 + 1 + 20 + 7 = 32: already whole blocks
    const std::string text(file.begin(), file.end());
    EXPECT_EQ(text.find("a1b2c3d4"), std::string::npos);
    EXPECT_EQ(text.find("0f8a"), std::string::npos);

    const auto session = decode_session(CLIENT, file);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->session_id, L"a1b2c3d4e5f6a7b8c9d0");
    EXPECT_EQ(session->token, L"tok-XYZ");
}

TEST_F(SessionFileTest, SixteenByteIdWithEmptyTokenIsPaddedToTwoBlocks) {
    const auto file = encode_session(CLIENT, L"0123456789abcdef", L"");
    EXPECT_EQ(file.size(), 32u);
    const auto session = decode_session(CLIENT, file);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->session_id, L"0123456789abcdef");
    EXPECT_TRUE(session->token.empty());
}

TEST_F(SessionFileTest, RecordEndingOnABlockBoundaryIsNotPadded) {
    EXPECT_EQ(encode_session(CLIENT, L"sid", L"12345678").size(), 16u);  // 4 + 1 + 3 + 8
    EXPECT_EQ(encode_session(CLIENT, L"sid", L"123456789").size(), 32u);
}

TEST_F(SessionFileTest, LengthByteCountsUtf8BytesNotCharacters) {
    const std::wstring id = L"сессия-№1";
    const std::wstring token = L"токен✓";
    const auto session = decode_session(CLIENT, encode_session(CLIENT, id, token));
    ASSERT_TRUE(session);
    EXPECT_EQ(session->session_id, id);
    EXPECT_EQ(session->token, token);
}

// A changed salt or layout would silently sign every user out after an update.
TEST_F(SessionFileTest, FileFormatIsStableAcrossVersions) {
    const auto file = encode_session(L"abcd-client", L"S1", L"T");
    ASSERT_EQ(file.size(), 16u);
    const std::vector<std::uint8_t> plain = {'a', 'b', 'c', 'd', 2, 'S', '1', 'T', 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(file, encipher(L"abcd-client", plain));
    // SHA-256("abcd-client" + salt), pinned: the salt constant must never change.
    const auto key = session_key(L"abcd-client");
    EXPECT_EQ(base64_encode(key.data(), key.size()), L"kRU9JhGt5Pjlzge0I7A+UIWRc8542ITY683meLLSP00=");
}

TEST_F(SessionFileTest, IdTooLongForTheLengthByteIsRefused) {
    EXPECT_NO_THROW(encode_session(CLIENT, std::wstring(255, L'x'), L"t"));
    EXPECT_THROW(encode_session(CLIENT, std::wstring(256, L'x'), L"t"), std::length_error);
}

TEST_F(SessionFileTest, FileOfAnotherInstallationIsRejectedWithAnError) {
    auto& log = CaptureLogger::install(LEVEL_ERROR);
    const auto file = encode_session(L"ffff0000-other-client", L"0123456789abcdef", L"token");
    EXPECT_FALSE(decode_session(CLIENT, file));
    EXPECT_EQ(log.matching(L"Sid is present, but invalid").size(), 1u);
}

TEST_F(SessionFileTest, DamagedFilesAreRejected) {
    auto& log = CaptureLogger::install(LEVEL_ERROR);
    const std::string prefix = "0f8a";

    // The length byte claims more bytes than follow.
    auto record = bytes_of(prefix + "\x0b" + "short");
    record.resize(16, 0);
    EXPECT_FALSE(decode_session(CLIENT, encipher(CLIENT, record)));
    EXPECT_EQ(log.matching(L"Sid is present, but invalid").size(), 1u);

    // Not whole blocks: a truncated copy.
    auto truncated = encode_session(CLIENT, L"0123456789abcdef", L"token");
    truncated.pop_back();
    EXPECT_FALSE(decode_session(CLIENT, truncated));
    EXPECT_EQ(log.matching(L"Sid is present, but invalid").size(), 2u);

    // Exactly the length the byte announces is fine.
    record = bytes_of(prefix + "\x05" + "short");
    record.resize(16, 0);
    const auto session = decode_session(CLIENT, encipher(CLIENT, record));
    ASSERT_TRUE(session);
    EXPECT_EQ(session->session_id, L"short");
}

TEST_F(SessionFileTest, EmptyOrTooShortContentIsNoSessionWithoutAMessage) {
    auto& log = CaptureLogger::install(LEVEL_DEBUG);
    EXPECT_FALSE(decode_session(CLIENT, {}));
    EXPECT_FALSE(decode_session(CLIENT, encipher(CLIENT, std::vector<std::uint8_t>(16, 0))));
    // The right prefix with an empty id and token: the length byte is a trailing zero.
    auto record = bytes_of("0f8a");
    record.resize(16, 0);
    EXPECT_FALSE(decode_session(CLIENT, encipher(CLIENT, record)));
    EXPECT_FALSE(log.contains(L"Sid is present"));
}

}  // namespace
}  // namespace agent::details
