#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace agent::details {

// The signed-in user, as "/v1/user/info" answers.
struct UserInfo {
    std::wstring user_id;     // "user-id"
    std::wstring token;       // "token"
    std::wstring name;        // "name"
    std::wstring middlename;  // "middlename"
    std::wstring lastname;    // "lastname"

    // A missing key gives an empty field; a body that is not JSON throws std::runtime_error
    // with the reader's messages (logged at ERROR).
    static UserInfo parse_user_info(const std::vector<std::uint8_t>& body);
};

}  // namespace agent::details
