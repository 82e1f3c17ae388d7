#include "details/strings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "details/exception.h"

namespace agent::details {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

std::wstring utf8_to_wide(const char* source, std::size_t size) {
    if (source == nullptr)
        throw std::invalid_argument("source is null");
    std::wstring result;
    result.reserve(size);
    const auto* bytes = reinterpret_cast<const unsigned char*>(source);
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            result.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t code = 0;
        // Second-byte bounds exclude overlong forms, surrogates and code points past U+10FFFF.
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F;
        } else {
            result.push_back(static_cast<wchar_t>(REPLACEMENT));
            ++i;
            continue;
        }
        // A truncated or broken sequence becomes one U+FFFD for its longest valid prefix.
        std::size_t taken = 1;
        bool valid = true;
        for (; taken < length; ++taken) {
            if (i + taken >= size) {
                valid = false;
                break;
            }
            const unsigned char next = bytes[i + taken];
            if (taken == 1 ? (next < low || next > high) : !is_continuation(next)) {
                valid = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        result.push_back(static_cast<wchar_t>(valid ? code : REPLACEMENT));
        i += taken;
    }
    return result;
}

std::wstring utf8_to_wide(std::string_view source) {
    return utf8_to_wide(source.data() ? source.data() : "", source.size());
}

std::string wide_to_utf8(std::wstring_view source) {
    std::string result;
    result.reserve(source.size());
    for (wchar_t wide : source) {
        auto code = static_cast<char32_t>(wide);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = REPLACEMENT;
        if (code < 0x80) {
            result.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            result.push_back(static_cast<char>(0xC0 | (code >> 6)));
            result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            result.push_back(static_cast<char>(0xE0 | (code >> 12)));
            result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            result.push_back(static_cast<char>(0xF0 | (code >> 18)));
            result.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return result;
}

std::wstring ansi_to_wide(std::string_view source) {
    return utf8_to_wide(source);
}

std::string get_system_error_text(std::uint32_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(code));
    char buffer[256];
    const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    std::string message = text ? text : "";
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    if (!message.empty() && message.back() == '\r')
        message.pop_back();
    return "[0x" + std::string(hex) + "] " + message;
}

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

}  // namespace

std::wstring base64_encode(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    text.reserve((size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        text.push_back(ALPHABET[(n >> 18) & 63]);
        text.push_back(ALPHABET[(n >> 12) & 63]);
        text.push_back(ALPHABET[(n >> 6) & 63]);
        text.push_back(ALPHABET[n & 63]);
    }
    if (size - i == 1) {
        const std::uint32_t n = data[i] << 16;
        text.push_back(ALPHABET[(n >> 18) & 63]);
        text.push_back(ALPHABET[(n >> 12) & 63]);
        text.append(L"==");
    } else if (size - i == 2) {
        const std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8);
        text.push_back(ALPHABET[(n >> 18) & 63]);
        text.push_back(ALPHABET[(n >> 12) & 63]);
        text.push_back(ALPHABET[(n >> 6) & 63]);
        text.push_back(L'=');
    }
    return text;
}

std::wstring base64_encode(const std::vector<std::uint8_t>& data) {
    return base64_encode(data.data(), data.size());
}

std::wstring base64_encode(std::string_view data) {
    return base64_encode(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

std::vector<std::uint8_t> base64_decode(std::wstring_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t accumulator = 0;
    int bits = 0;
    std::size_t padding = 0;
    std::size_t symbols = 0;
    for (wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n')
            continue;
        if (c == L'=') {
            ++padding;
            ++symbols;
            continue;
        }
        const int value = base64_value(c);
        // Nothing but padding may follow padding.
        if (value < 0 || padding > 0)
            throw SystemException(EINVAL, "base64_decode");
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        ++symbols;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xFF));
        }
    }
    if (padding > 2 || (padding > 0 && symbols % 4 != 0) || symbols % 4 == 1)
        throw SystemException(EINVAL, "base64_decode");
    return bytes;
}

std::wstring to_lower_ascii(std::wstring text) {
    for (auto& c : text)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

namespace {

template <typename Char>
bool starts_with_nocase(std::basic_string_view<Char> text, std::basic_string_view<Char> prefix) noexcept {
    if (text.size() < prefix.size())
        return false;
    const auto lower = [](Char c) { return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i]))
            return false;
    return true;
}

}  // namespace

bool starts_with_ascii_nocase(std::string_view text, std::string_view prefix) noexcept {
    return starts_with_nocase(text, prefix);
}

bool starts_with_ascii_nocase(std::wstring_view text, std::wstring_view prefix) noexcept {
    return starts_with_nocase(text, prefix);
}

}  // namespace agent::details
