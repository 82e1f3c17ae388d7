#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace agent::details {

// Parses an answer body. A body that is not JSON logs the reader's formatted messages at
// ERROR under the function and throws them as std::runtime_error.
Json::Value parse_json_answer(const std::vector<std::uint8_t>& body, const wchar_t* function);

// The member as text converted from UTF-8; empty when the object lacks it or is no object.
std::wstring json_wide(const Json::Value& object, const char* key);

// A member as a flag, never throwing: true for true, a non-zero number, a non-empty string
// (whatever it says) or a non-empty container; false when absent or null.
bool json_flag(const Json::Value& object, const char* key);

}  // namespace agent::details
