#include "model/notice_text.h"

#include <cwctype>
#include <map>
#include <optional>

#include "details/strings.h"

namespace agent {

namespace {

// The longest reference looked for: "&#x10FFFF;" and the longest of the names below.
constexpr std::size_t REFERENCE_LIMIT = 10;

bool is_control(char32_t c) {
    // C0 and C1 controls, and the invisible marks that reorder or hide text.
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

std::optional<char32_t> character_reference(std::wstring_view name) {
    static const std::map<std::wstring_view, char32_t> named{
        {L"amp", U'&'}, {L"lt", U'<'}, {L"gt", U'>'}, {L"quot", U'"'}, {L"apos", U'\''}, {L"nbsp", U' '},
        {L"laquo", U'«'}, {L"raquo", U'»'}, {L"mdash", U'—'}, {L"ndash", U'–'}, {L"hellip", U'…'}};
    if (name.size() > 1 && name[0] == L'#') {
        const bool hex = name[1] == L'x' || name[1] == L'X';
        const std::wstring digits(name.substr(hex ? 2 : 1));
        if (digits.empty() || digits.size() > 7 ||
            digits.find_first_not_of(hex ? L"0123456789abcdefABCDEF" : L"0123456789") != std::wstring::npos)
            return std::nullopt;
        const unsigned long code = std::stoul(digits, nullptr, hex ? 16 : 10);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return std::nullopt;
        return static_cast<char32_t>(code);
    }
    const auto found = named.find(name);
    if (found == named.end())
        return std::nullopt;
    return found->second;
}

bool breaks_line(std::wstring_view tag) {
    std::wstring name;
    for (wchar_t c : tag) {
        if (c == L'/' && name.empty())
            continue;
        if (!std::iswalnum(c) || name.size() > 8)
            break;
        name += static_cast<wchar_t>(std::towlower(c));
    }
    return name == L"br" || name == L"p" || name == L"div" || name == L"li" || name == L"tr" || name == L"h1" ||
           name == L"h2" || name == L"h3";
}

std::wstring cut(std::wstring text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    text.resize(limit - 1);
    while (!text.empty() && text.back() == L' ')
        text.pop_back();
    return text + L"…";
}

void trim(std::wstring& line) {
    while (!line.empty() && line.back() == L' ')
        line.pop_back();
    if (!line.empty() && line.front() == L' ')
        line.erase(0, 1);
}

// The scan behind plain_lines: `done` is asked after every line that ends.
template <typename Done>
std::vector<std::wstring> scan(std::wstring_view html, Done done, std::size_t line_limit) {
    std::vector<std::wstring> lines(1);
    bool finished = false;
    auto put = [&](char32_t c) {
        if (c == U'\n' || c == 0x2028 || c == 0x2029) {
            trim(lines.back());
            if (done(lines))
                finished = true;
            else
                lines.emplace_back();
            return;
        }
        if (c == U'\t' || c == U' ' || c == 0xA0)
            c = U' ';
        else if (is_control(c))
            return;
        std::wstring& line = lines.back();
        if (c == U' ' && (line.empty() || line.back() == L' '))
            return;
        line += static_cast<wchar_t>(c);
        // Past what anyone shows of it: the rest is not needed.
        if (line.size() > line_limit)
            finished = true;
    };
    for (std::size_t i = 0; i < html.size() && !finished; ++i) {
        const wchar_t c = html[i];
        if (c == L'<') {
            const std::size_t end = html.find(L'>', i);
            if (end == std::wstring_view::npos)
                break;  // an unclosed tag shows nothing of itself
            if (breaks_line(html.substr(i + 1, end - i - 1)))
                put(U'\n');
            i = end;
            continue;
        }
        if (c == L'&') {
            // A reference is short: its ";" is looked for a few characters ahead only.
            const std::wstring_view ahead = html.substr(i + 1, REFERENCE_LIMIT);
            const std::size_t end = ahead.find(L';');
            if (end != std::wstring_view::npos) {
                if (const auto decoded = character_reference(ahead.substr(0, end))) {
                    put(*decoded);
                    i += end + 1;
                    continue;
                }
            }
        }
        put(static_cast<char32_t>(c));
    }
    if (!finished)
        trim(lines.back());
    return lines;
}

}  // namespace

std::vector<std::wstring> plain_lines(std::wstring_view html, std::size_t lines) {
    return scan(
        html, [lines](const std::vector<std::wstring>& so_far) { return so_far.size() >= lines; },
        static_cast<std::size_t>(-1));
}

std::string notice_line(std::wstring_view text, std::size_t limit) {
    std::wstring line;
    for (const wchar_t c : text) {
        const char32_t code = static_cast<char32_t>(c);
        const bool blank = code == U' ' || code == U'\t' || code == U'\n' || code == U'\r' || code == 0xA0 ||
                           code == 0x2028 || code == 0x2029;
        if (blank) {
            if (!line.empty() && line.back() != L' ')
                line += L' ';
            continue;
        }
        if (!is_control(code))
            line += c;
        if (line.size() > limit + 1)
            break;
    }
    while (!line.empty() && line.back() == L' ')
        line.pop_back();
    return details::wide_to_utf8(cut(std::move(line), limit));
}

std::string notice_first_line(const Message& message, std::size_t limit) {
    // Done at the first line with anything on it.
    const std::vector<std::wstring> lines = scan(
        message.to_html(false), [](const std::vector<std::wstring>& so_far) { return !so_far.back().empty(); },
        limit + 1);
    for (const std::wstring& line : lines)
        if (!line.empty())
            return details::wide_to_utf8(cut(line, limit));
    return {};
}

}  // namespace agent
