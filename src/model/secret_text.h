#pragma once

#include <string>
#include <string_view>

namespace agent::details {

// The login as a query value: UTF-8, every byte outside A-Z a-z 0-9 - . _ ~ and "@"
// percent-encoded, so "+" and "&" reach the server as typed.
std::wstring encode_query_value(const std::wstring& value);

}  // namespace agent::details
