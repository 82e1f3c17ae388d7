// A message body and subject as a desktop notice shows them: plain text within its limit,
// with no control character, whatever the server sent.
#include "details/strings.h"
#include "fuzz_support.h"
#include "model/notice_text.h"

namespace {

constexpr std::size_t LIMIT = 240;

bool is_control(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void check_plain(const std::string& utf8) {
    const std::wstring text = agent::details::utf8_to_wide(utf8);
    FUZZ_CHECK(text.size() <= LIMIT);
    for (wchar_t c : text)
        FUZZ_CHECK(!is_control(c));
    FUZZ_CHECK(text.empty() || (text.front() != L' ' && text.back() != L' '));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    agent::Message message;
    message.body = agent::details::utf8_to_wide(agent::fuzzing::text_of(data, size));
    check_plain(agent::notice_first_line(message, LIMIT));
    check_plain(agent::notice_line(message.body, LIMIT));
    for (const std::wstring& line : agent::plain_lines(message.body, 3))
        for (wchar_t c : line)
            FUZZ_CHECK(c != L'\n' && !is_control(c));
    return 0;
}
