// The message readers and the time text: a list answer, the same bytes as one message
// object, and the bytes as a time text.
#include <json/json.h>

#include <stdexcept>

#include "details/exception.h"
#include "fuzz_support.h"
#include "model/message.h"
#include "winhttp/api_call.h"

namespace {

int days_in_month(int year, int month) {
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return DAYS[month - 1] + (month == 2 && leap ? 1 : 0);
}

void check_time(std::string_view text) {
    agent::DateTime time;
    try {
        time = agent::details::parse_date_time(text);
    } catch (const agent::AgentException& error) {
        FUZZ_CHECK(error.kind() == agent::AgentException::BAD_DATE);
        return;
    }
    // Whatever was counted over (24:60, 29 February), the result is a real calendar time.
    FUZZ_CHECK(time.year >= 1);
    FUZZ_CHECK(time.month >= 1 && time.month <= 12);
    FUZZ_CHECK(time.day >= 1 && time.day <= days_in_month(time.year, time.month));
    FUZZ_CHECK(time.hour < 24 && time.minute < 60 && time.second < 60 && time.millisecond < 1000);
    (void)agent::format_long_date(time);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = agent::fuzzing::text_of(data, size);
    try {
        const agent::MessageList list = agent::details::parse_messages_items(text);
        for (const agent::Message& message : list.messages)
            (void)message.to_html(false);
    } catch (const std::exception&) {
        // Not JSON (std::runtime_error) or not an object (AgentException): both documented.
    }

    Json::Value value;
    std::string errors;
    if (agent::details::read_json(text, value, errors)) {
        try {
            (void)agent::details::read_message(value);
        } catch (const std::exception&) {
            // jsoncpp's type errors and the bad date.
        }
    }

    check_time(text);
    if (size > 0)
        check_time(text.substr(1));  // a prefix byte moves every position
    return 0;
}
