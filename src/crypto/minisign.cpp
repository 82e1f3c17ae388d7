#include "crypto/minisign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fmt/format.h>
#include <openssl/evp.h>

#include "crypto/openssl.h"
#include "details/exception.h"
#include "details/strings.h"

namespace agent::crypto {

namespace {

constexpr std::size_t KEY_RECORD = 2 + 8 + 32;
constexpr std::size_t SIGNATURE_RECORD = 2 + 8 + 64;
constexpr std::size_t ED25519_SIGNATURE = 64;
constexpr std::string_view UNTRUSTED_PREFIX = "untrusted comment:";
constexpr std::string_view TRUSTED_PREFIX = "trusted comment: ";

struct MdContextDeleter {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

[[noreturn]] void refuse(SignatureFault fault, std::string detail = {}) {
    throw SignatureRefused(fault, std::move(detail));
}

// The Base64 of one line, which must decode to exactly `size` bytes; nothing otherwise.
std::vector<std::uint8_t> decode_line(std::string_view line, std::size_t size) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = agent::details::base64_decode(agent::details::utf8_to_wide(line));
    } catch (const SystemException&) {
        return {};
    }
    if (bytes.size() != size)
        return {};
    return bytes;
}

// The lines of a text, without their CR LF or LF.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

bool ed25519_verify(const std::array<std::uint8_t, 32>& key, const std::uint8_t* signature,
                    const std::uint8_t* message, std::size_t length) {
    details::EvpPkeyPtr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    MdContext context(EVP_MD_CTX_new());
    if (!pkey || !context)
        details::throw_openssl_error("EVP_PKEY_new_raw_public_key", 0);
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        details::throw_openssl_error("EVP_DigestVerifyInit", 0);
    const int result = EVP_DigestVerify(context.get(), signature, ED25519_SIGNATURE, message, length);
    details::take_openssl_error(0);
    return result == 1;
}

// The parts of a signature file.
struct ParsedSignature {
    std::array<std::uint8_t, 8> key_id{};
    std::vector<std::uint8_t> signature;  // 64 bytes
    std::string trusted_comment;
    std::vector<std::uint8_t> global;  // 64 bytes
};

ParsedSignature parse_signature(std::string_view text) {
    if (text.size() > SIGNATURE_FILE_LIMIT)
        refuse(SignatureFault::Malformed, fmt::format("larger than {} bytes", SIGNATURE_FILE_LIMIT));
    const std::vector<std::string_view> lines = split_lines(text);
    if (lines.size() != 4 || !lines[0].starts_with(UNTRUSTED_PREFIX) || !lines[2].starts_with(TRUSTED_PREFIX))
        refuse(SignatureFault::Malformed, "not four lines of a minisign signature");
    const std::vector<std::uint8_t> record = decode_line(lines[1], SIGNATURE_RECORD);
    if (record.empty())
        refuse(SignatureFault::Malformed, "the signature line is not a signature");
    if (record[0] != 'E' || record[1] != 'D')
        refuse(SignatureFault::Malformed, record[0] == 'E' && record[1] == 'd' ? "a legacy (not prehashed) signature"
                                                                                : "an unknown signature algorithm");
    ParsedSignature parsed;
    std::memcpy(parsed.key_id.data(), record.data() + 2, parsed.key_id.size());
    parsed.signature.assign(record.begin() + 10, record.end());
    parsed.trusted_comment = std::string(lines[2].substr(TRUSTED_PREFIX.size()));
    parsed.global = decode_line(lines[3], ED25519_SIGNATURE);
    if (parsed.global.empty())
        refuse(SignatureFault::Malformed, "the trusted comment's signature is not a signature");
    return parsed;
}

const SigningKey& key_of(const ParsedSignature& parsed, const std::vector<SigningKey>& keys) {
    for (const SigningKey& key : keys)
        if (key.id == parsed.key_id)
            return key;
    refuse(SignatureFault::UnknownKey, "key " + key_id_text(parsed.key_id));
}

// Checks the trusted comment, then the file's digest; returns the comment.
std::string check(const ParsedSignature& parsed, const SigningKey& key,
                  const std::array<std::uint8_t, 64>& digest) {
    std::vector<std::uint8_t> covered(parsed.signature);
    covered.insert(covered.end(), parsed.trusted_comment.begin(), parsed.trusted_comment.end());
    if (!ed25519_verify(key.key, parsed.global.data(), covered.data(), covered.size()))
        refuse(SignatureFault::WrongComment);
    if (!ed25519_verify(key.key, parsed.signature.data(), digest.data(), digest.size()))
        refuse(SignatureFault::WrongFile);
    return parsed.trusted_comment;
}

MdContext blake2b_context() {
    MdContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_blake2b512(), nullptr) != 1)
        details::throw_openssl_error("EVP_DigestInit_ex", 0);
    return context;
}

std::array<std::uint8_t, 64> finish(EVP_MD_CTX* context) {
    std::array<std::uint8_t, 64> digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context, digest.data(), &size) != 1 || size != digest.size())
        details::throw_openssl_error("EVP_DigestFinal_ex", 0);
    return digest;
}

}  // namespace

SignatureRefused::SignatureRefused(SignatureFault fault, std::string detail) : fault_(fault), text_(fault_text(fault)) {
    if (!detail.empty())
        text_ += ": " + detail;
}

const char* fault_text(SignatureFault fault) noexcept {
    switch (fault) {
    case SignatureFault::Malformed:
        return "the signature file is malformed";
    case SignatureFault::UnknownKey:
        return "the signature is not made by a key the program trusts";
    case SignatureFault::WrongFile:
        return "the signature does not match the file";
    case SignatureFault::WrongComment:
        return "the trusted comment does not match its signature";
    case SignatureFault::Unreadable:
        return "the signed file cannot be read";
    }
    return "the signature is refused";
}

SigningKey parse_public_key(std::string_view text) {
    std::vector<std::string_view> lines = split_lines(text);
    if (!lines.empty() && lines[0].starts_with(UNTRUSTED_PREFIX))
        lines.erase(lines.begin());
    const std::vector<std::uint8_t> record = lines.size() == 1 ? decode_line(lines[0], KEY_RECORD)
                                                               : std::vector<std::uint8_t>{};
    if (record.empty() || record[0] != 'E' || record[1] != 'd')
        throw CryptoException(EINVAL, "minisign_public_key");
    SigningKey key;
    std::memcpy(key.id.data(), record.data() + 2, key.id.size());
    std::memcpy(key.key.data(), record.data() + 10, key.key.size());
    return key;
}

std::string key_id_text(const std::array<std::uint8_t, 8>& id) {
    std::string text;
    for (auto it = id.rbegin(); it != id.rend(); ++it)
        text += fmt::format("{:02X}", *it);
    return text;
}

std::string verify_signature(std::string_view content, std::string_view signature,
                             const std::vector<SigningKey>& keys) {
    const ParsedSignature parsed = parse_signature(signature);
    const SigningKey& key = key_of(parsed, keys);
    MdContext context = blake2b_context();
    if (EVP_DigestUpdate(context.get(), content.data(), content.size()) != 1)
        details::throw_openssl_error("EVP_DigestUpdate", 0);
    return check(parsed, key, finish(context.get()));
}

std::string verify_file_signature(const std::wstring& file, std::string_view signature,
                                  const std::vector<SigningKey>& keys) {
    // The signature is read first: a malformed one or a stranger's costs no read of the file.
    const ParsedSignature parsed = parse_signature(signature);
    const SigningKey& key = key_of(parsed, keys);
    Fd input{::open(agent::details::wide_to_utf8(file).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
    struct stat status {};
    if (input.fd < 0 || ::fstat(input.fd, &status) != 0 || !S_ISREG(status.st_mode))
        refuse(SignatureFault::Unreadable, std::strerror(input.fd < 0 ? errno : EINVAL));
    MdContext context = blake2b_context();
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(input.fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            refuse(SignatureFault::Unreadable, std::strerror(errno));
        if (got == 0)
            break;
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got)) != 1)
            details::throw_openssl_error("EVP_DigestUpdate", 0);
    }
    return check(parsed, key, finish(context.get()));
}

}  // namespace agent::crypto
