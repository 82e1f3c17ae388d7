#include "model/json_answer.h"

#include <json/reader.h>

#include <memory>
#include <stdexcept>

#include "details/logger.h"
#include "details/strings.h"
#include "winhttp/api_call.h"

namespace agent::details {

Json::Value parse_json_answer(const std::vector<std::uint8_t>& body, const wchar_t* function) {
    Json::Value root;
    std::string errors;
    if (!read_json({reinterpret_cast<const char*>(body.data()), body.size()}, root, errors)) {
        if (errors.empty())
            errors = "unreadable JSON";
        AGENT_ERROR(function) << errors;
        throw std::runtime_error(errors);
    }
    return root;
}

std::wstring json_wide(const Json::Value& object, const char* key) {
    if (!object.isObject())
        return {};
    const Json::Value& value = object[key];
    if (value.isNull())
        return {};
    return utf8_to_wide(value.asString());
}

bool json_flag(const Json::Value& object, const char* key) {
    if (!object.isObject())
        return false;
    const Json::Value& value = object[key];
    switch (value.type()) {
    case Json::nullValue:
        return false;
    case Json::stringValue:
        return !value.asString().empty();
    case Json::arrayValue:
    case Json::objectValue:
        return !value.empty();
    default:
        return value.asBool();
    }
}

}  // namespace agent::details
