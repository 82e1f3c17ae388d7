#include "model/user_info.h"

#include "model/json_answer.h"

namespace agent::details {

UserInfo UserInfo::parse_user_info(const std::vector<std::uint8_t>& body) {
    const Json::Value root = parse_json_answer(body, L"agent::details::UserInfo::parse_user_info");
    UserInfo info;
    info.user_id = json_wide(root, "user-id");
    info.token = json_wide(root, "token");
    info.name = json_wide(root, "name");
    info.middlename = json_wide(root, "middlename");
    info.lastname = json_wide(root, "lastname");
    return info;
}

}  // namespace agent::details
