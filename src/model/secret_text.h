#pragma once

#include <string>
#include <string_view>

namespace agent::details {

// A secret as the log may show it: its first 4 characters, then "…"; a secret of 4
// characters or fewer shows only its first half, so no secret is ever logged whole.
std::wstring mask_secret(std::wstring_view secret);
std::wstring mask_secret(std::string_view utf8_secret);

// The login as a query value: UTF-8, every byte outside A-Z a-z 0-9 - . _ ~ and "@"
// percent-encoded, so "+" and "&" reach the server as typed.
std::wstring encode_query_value(const std::wstring& value);

}  // namespace agent::details
