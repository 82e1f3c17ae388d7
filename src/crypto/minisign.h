#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Detached Ed25519 signatures in minisign's format, checked with OpenSSL. What the update
// service uses to run only installers signed by a key the program carries.
//
// A public key file is two lines: "untrusted comment: ..." and the Base64 of "Ed", the
// 8-byte key id and the 32-byte Ed25519 key. A signature file is four lines:
//
//   untrusted comment: <anything>
//   Base64("ED" + key id + Ed25519 signature of BLAKE2b-512(file))
//   trusted comment: <text>
//   Base64(Ed25519 signature of the 64 signature bytes followed by <text>)
//
// Only prehashed signatures ("ED", minisign's default since 0.10) are taken: the legacy
// kind ("Ed", minisign -l) signs the whole file at once, which an installer of hundreds of
// megabytes must not need in memory.
namespace agent::crypto {

struct SigningKey {
    std::array<std::uint8_t, 8> id{};
    std::array<std::uint8_t, 32> key{};
};

// The key of a minisign public key file's text (the comment line may be left out). Throws
// CryptoException ("minisign_public_key") for anything else.
SigningKey parse_public_key(std::string_view text);

// The id as minisign prints it: 16 upper-case hex digits of the little-endian number.
std::string key_id_text(const std::array<std::uint8_t, 8>& id);

// Why a signature was refused; the texts name the reason for the log.
enum class SignatureFault {
    Malformed,    // not a signature file of the format, or a legacy one
    UnknownKey,   // made by a key the program does not carry
    WrongFile,    // does not match the file's bytes
    WrongComment, // the trusted comment was changed
    Unreadable,   // the file to check could not be read
};
const char* fault_text(SignatureFault fault) noexcept;

// The signature of a file was refused.
class SignatureRefused : public std::exception {
public:
    SignatureRefused(SignatureFault fault, std::string detail);
    SignatureFault fault() const noexcept { return fault_; }
    // "<reason>: <detail>", or the reason alone.
    const char* what() const noexcept override { return text_.c_str(); }

private:
    SignatureFault fault_;
    std::string text_;
};

// The largest signature file taken: four short lines. A bigger one is refused unread.
inline constexpr std::size_t SIGNATURE_FILE_LIMIT = 4096;

// Checks the signature file's text against the file with the keys (the key id picks the
// key) and returns the trusted comment. Throws SignatureRefused.
std::string verify_file_signature(const std::wstring& file, std::string_view signature,
                                  const std::vector<SigningKey>& keys);

// The same for bytes in memory (the signed file's content).
std::string verify_signature(std::string_view content, std::string_view signature,
                             const std::vector<SigningKey>& keys);

}  // namespace agent::crypto
