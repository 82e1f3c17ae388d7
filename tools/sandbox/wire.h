#pragma once

// Small helpers the stand-in provider's wire code shares: JSON text, random ids, times,
// percent-decoding, HTML escaping and Base64. Kept apart from the agent's own helpers so
// that the server and the agent check each other.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <json/json.h>

namespace sandbox::wire {

// Compact JSON text of the value (no trailing line break).
std::string to_json(const Json::Value& value);
// The parsed value, or nothing with `error` set to the reader's messages.
std::optional<Json::Value> parse_json(std::string_view text, std::string* error = nullptr);

// Hex text of `bytes` cryptographically random bytes.
std::string random_hex(std::size_t bytes);
// A random (version 4) UUID in its 36-character form.
std::string random_uuid();
// Current UTC time as "YYYY-MM-DDTHH:MM:SSZ".
std::string now_utc_text();

// %XX sequences decoded; "+" stays "+" (logins with a plus sign arrive as typed).
std::string percent_decode(std::string_view text);
// Every byte outside the unreserved set as %XX.
std::string percent_encode(std::string_view text);
// The raw value of one parameter of a query text, percent-decoded; nothing when absent.
std::optional<std::string> query_value(std::string_view query, std::string_view name);

std::string html_escape(std::string_view text);

std::string base64_encode(std::string_view bytes);
// Nothing when the text is not Base64.
std::optional<std::string> base64_decode(std::string_view text);

// Case-insensitive ASCII comparison of two header names.
bool iequals(std::string_view a, std::string_view b);

}  // namespace sandbox::wire
