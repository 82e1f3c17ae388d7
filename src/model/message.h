#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "details/datetime.h"

namespace Json {
class Value;
}

namespace agent {

// Visible characters after which the popup's shortened HTML is cut.
inline constexpr std::size_t MAX_MESSAGE_SIZE = 90;

// One notification from the provider to the signed-in user.
struct Message {
    bool read = false;
    std::uint32_t priority = 0;
    DateTime created;
    std::wstring id;
    std::wstring channel;
    std::wstring organization;
    std::wstring subject;
    std::wstring body;  // text with link markup: [text](https://host/path)
    std::wstring link;  // opened when the message is clicked
    std::wstring icon;

    // The body as HTML: link markup and bare http(s) URLs become anchors, everything else
    // passes through as it is. With truncate, the visible text is cut after MAX_MESSAGE_SIZE
    // characters and "..." is appended (inside the anchor when the cut falls in one).
    std::wstring to_html(bool truncate) const;

    bool operator==(const Message&) const = default;
};

// One page of a list answer with its paging links (empty when absent).
struct MessageList {
    std::vector<Message> messages;
    std::wstring previous;  // URL of the next older page
    std::wstring next;
};

}  // namespace agent

namespace agent::details {

// Reads one message object. JSON type errors are jsoncpp's exceptions; a bad "created"
// is AgentException BAD_DATE.
Message read_message(const Json::Value& item);

// Reads a list answer: {"items": [...], "links": [{"rel": "previous", "href": ...}]}.
// Text that is not JSON throws std::runtime_error with the reader's messages; a root that
// is not an object throws AgentException BAD_ANSWER. An item that cannot be read is logged
// and left out, so one bad message does not hide the rest of the page.
MessageList parse_messages_items(std::string_view body);
MessageList parse_messages_items(const std::vector<std::uint8_t>& body);

// The server's time text ("2016-03-01T09:05:07.123+03:00", "...Z", "2016-03-01T09:05")
// as a calendar time: kind Unspecified without seconds or zone; kind Local otherwise,
// "Z" times converted to the system time zone. Anything else is AgentException BAD_DATE.
DateTime parse_date_time(std::string_view text);

// The link markup as one ECMAScript regular expression (used case-insensitively): group 1
// "[text](", group 2 the text, group 3 the URL, group 4 the closing parenthesis.
// to_html runs a hand-written matcher that finds exactly the matches of this pattern
// (\w and \d are ASCII, as ECMAScript defines them): std::regex recurses once per
// character of "[^\(\)]*" and would overflow the stack on a long body.
inline constexpr std::wstring_view MESSAGE_LINK_PATTERN =
    L"(\\[([^\\]\\[]*)\\]\\()?"
    L"((?:http|https)://(?:\\w|\\.|-)+(?::\\d+)?(?:/[^\\(\\)]*)?)"
    L"(\\))?";

}  // namespace agent::details
