#include "model/session_file.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "details/logger.h"
#include "details/strings.h"

namespace agent::details {

namespace {

constexpr std::size_t BLOCK = 16;
constexpr std::size_t PREFIX = 4;

// Changing this value orphans every saved session: old files then fail the prefix check.
constexpr std::array<std::uint8_t, 64> SALT = {
    0x08, 0x5f, 0x9e, 0x28, 0x02, 0x55, 0x35, 0xb5, 0xf8, 0xaa, 0xe4, 0xae, 0xd0, 0xf9, 0xc8, 0x23,
    0xa3, 0x7d, 0x47, 0xbb, 0x8d, 0x83, 0x2f, 0xff, 0x24, 0x71, 0xa8, 0xfb, 0xce, 0x33, 0x9e, 0x95,
    0xd4, 0x99, 0xa9, 0xd0, 0x43, 0xc5, 0x52, 0xcc, 0x33, 0x69, 0x51, 0x20, 0x9e, 0x3c, 0x09, 0x16,
    0x8f, 0x8d, 0xeb, 0xe6, 0x85, 0xc6, 0x31, 0xf3, 0xda, 0xda, 0x9e, 0x99, 0x50, 0xa2, 0xce, 0xb1,
};

struct CipherDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// Each block on its own, in place: ECB without padding is exactly that.
void transform_blocks(const std::array<std::uint8_t, 32>& key, std::vector<std::uint8_t>& bytes, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1)
        throw std::runtime_error("AES-256 is not available");
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    int written = 0;
    if (EVP_CipherUpdate(context.get(), bytes.data(), &written, bytes.data(), static_cast<int>(bytes.size())) != 1 ||
        static_cast<std::size_t>(written) != bytes.size())
        throw std::runtime_error("AES-256 block transform failed");
}

// Always 4 bytes: a shorter client id is completed with zeros, so the layout stays fixed.
std::string client_prefix(const std::wstring& client) {
    std::string prefix = wide_to_utf8(client);
    prefix.resize(PREFIX, '\0');
    return prefix;
}

}  // namespace

std::array<std::uint8_t, 32> session_key(const std::wstring& client) {
    std::string input = wide_to_utf8(client);
    input.append(reinterpret_cast<const char*>(SALT.data()), SALT.size());
    std::array<std::uint8_t, 32> key{};
    unsigned int size = 0;
    if (EVP_Digest(input.data(), input.size(), key.data(), &size, EVP_sha256(), nullptr) != 1 || size != key.size())
        throw std::runtime_error("SHA-256 is not available");
    return key;
}

std::vector<std::uint8_t> encode_session(const std::wstring& client, const std::wstring& session_id,
                                         const std::wstring& token) {
    const std::string id = wide_to_utf8(session_id);
    if (id.size() > 255)
        throw std::length_error("session id longer than 255 bytes");
    const std::string prefix = client_prefix(client);
    const std::string token_bytes = wide_to_utf8(token);

    std::vector<std::uint8_t> record;
    record.reserve(PREFIX + 1 + id.size() + token_bytes.size() + BLOCK);
    record.insert(record.end(), prefix.begin(), prefix.end());
    record.push_back(static_cast<std::uint8_t>(id.size()));
    record.insert(record.end(), id.begin(), id.end());
    record.insert(record.end(), token_bytes.begin(), token_bytes.end());
    record.resize((record.size() + BLOCK - 1) / BLOCK * BLOCK, 0);
    transform_blocks(session_key(client), record, true);
    return record;
}

std::optional<SavedSession> decode_session(const std::wstring& client, std::vector<std::uint8_t> bytes) {
    constexpr wchar_t function[] = L"agent::AgentClient::create";
    if (bytes.empty())
        return std::nullopt;
    if (bytes.size() % BLOCK != 0) {
        AGENT_ERROR(function) << "Sid is present, but invalid";
        return std::nullopt;
    }
    transform_blocks(session_key(client), bytes, false);
    while (!bytes.empty() && bytes.back() == 0)
        bytes.pop_back();
    if (bytes.size() < PREFIX + 1)
        return std::nullopt;

    const std::string prefix = client_prefix(client);
    const std::size_t length = bytes[PREFIX];
    if (!std::equal(prefix.begin(), prefix.end(), bytes.begin()) || length > bytes.size() - PREFIX - 1) {
        AGENT_ERROR(function) << "Sid is present, but invalid";
        return std::nullopt;
    }
    const char* data = reinterpret_cast<const char*>(bytes.data());
    SavedSession session;
    session.session_id = utf8_to_wide(data + PREFIX + 1, length);
    session.token = utf8_to_wide(data + PREFIX + 1 + length, bytes.size() - PREFIX - 1 - length);
    return session;
}

}  // namespace agent::details
