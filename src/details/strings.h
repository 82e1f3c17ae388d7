#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Text is std::wstring inside the agent (UTF-32 here) and UTF-8 on the wire, in files and
// in the log. Invalid input becomes U+FFFD, never an exception.
namespace agent::details {

// Throws std::invalid_argument("source is null") for a null source.
std::wstring utf8_to_wide(const char* source, std::size_t size);
std::wstring utf8_to_wide(std::string_view source);
std::string wide_to_utf8(std::wstring_view source);
// The locale's narrow text; every locale we run under is UTF-8.
std::wstring ansi_to_wide(std::string_view source);

// "[0x<hex>] <system text for the errno value>".
std::string get_system_error_text(std::uint32_t code);

// Base64 on one line, without line breaks.
std::wstring base64_encode(const std::uint8_t* data, std::size_t size);
std::wstring base64_encode(const std::vector<std::uint8_t>& data);
std::wstring base64_encode(std::string_view data);
// Blanks and line breaks are skipped; anything else that is not Base64 throws SystemException.
std::vector<std::uint8_t> base64_decode(std::wstring_view text);

// Lower-cases ASCII letters only; other characters keep their case.
std::wstring to_lower_ascii(std::wstring text);

// Whether the text begins with the prefix, ASCII letters compared without case
// ("HTTPS://a" begins with "https://"); other characters must match exactly.
bool starts_with_ascii_nocase(std::string_view text, std::string_view prefix) noexcept;
bool starts_with_ascii_nocase(std::wstring_view text, std::wstring_view prefix) noexcept;

}  // namespace agent::details
