// Body to HTML, whole and shortened.
#include "details/strings.h"
#include "fuzz_support.h"
#include "model/message.h"

namespace {

std::size_t count(const std::wstring& text, std::wstring_view part) {
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + part.size()))
        ++found;
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    agent::Message message;
    message.body = agent::details::utf8_to_wide(agent::fuzzing::text_of(data, size));
    const std::wstring whole = message.to_html(false);
    const std::wstring shortened = message.to_html(true);
    FUZZ_CHECK(shortened.size() <= whole.size() + 3);
    if (count(whole, L"<a href=\"") > count(message.body, L"<a href=\""))
        return 0;
    // No link found: everything passes through as it is, and the short form is the first
    // MAX_MESSAGE_SIZE characters with "..." once that many are reached.
    FUZZ_CHECK(whole == message.body);
    const std::wstring& body = message.body;
    FUZZ_CHECK(shortened == (body.size() >= agent::MAX_MESSAGE_SIZE
                                 ? body.substr(0, agent::MAX_MESSAGE_SIZE) + L"..."
                                 : body));
    return 0;
}
