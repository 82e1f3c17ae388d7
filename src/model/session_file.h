#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The saved session ("sid" in the data directory). Plain record: the first 4 bytes of the
// client id in UTF-8, one byte L (length of the session id in UTF-8), the session id (L
// bytes), the token in UTF-8 up to the end; zero bytes up to the next multiple of 16; every
// 16-byte block enciphered on its own with AES-256 under SHA-256(client id + our salt).
namespace agent::details {

struct SavedSession {
    std::wstring session_id;
    std::wstring token;
};

// SHA-256 of the client id in UTF-8 followed by the program's fixed 64-byte salt.
std::array<std::uint8_t, 32> session_key(const std::wstring& client);

// The enciphered file content. Throws std::length_error when the session id does not fit
// the length byte (more than 255 bytes): such a record would restore as another session.
std::vector<std::uint8_t> encode_session(const std::wstring& client, const std::wstring& session_id,
                                         const std::wstring& token);

// The session in a file's content, or nothing when the content is not a session of this
// client: empty or shorter than 5 bytes once deciphered and stripped of trailing zeros
// (silently), or with another client prefix, a length byte longer than what follows, or
// a size that is not whole blocks ("Sid is present, but invalid" at ERROR).
std::optional<SavedSession> decode_session(const std::wstring& client, std::vector<std::uint8_t> bytes);

}  // namespace agent::details
