#include "model/channel_service.h"

#include <json/value.h>

#include "details/strings.h"
#include "model/client_lock.h"
#include "model/json_answer.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace agent {

namespace {

constexpr wchar_t USER_CHANNELS[] = L"agent::ChannelService::user_channels";
constexpr wchar_t CHANGE_STATUS[] = L"agent::ChannelService::change_status";

Channel read_channel(const Json::Value& item) {
    Channel channel;
    channel.id = details::json_wide(item, "id");
    channel.sender = details::json_wide(item, "sender");
    channel.sender_name = details::json_wide(item, "sender-name");
    channel.name = details::json_wide(item, "name");
    channel.description = details::json_wide(item, "description");
    channel.group = details::json_wide(item, "group");
    channel.icon = details::json_wide(item, "icon");
    channel.enabled = details::json_flag(item, "enabled");
    if (item.isObject()) {
        const Json::Value& links = item["links"];
        if (links.isArray() && !links.empty())
            channel.link = details::json_wide(links[0], "href");
    }
    return channel;
}

}  // namespace

ChannelService::ChannelService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base)
    : client_(std::move(client)), api_base_(std::move(api_base)) {}

void ChannelService::set_session_id(const std::wstring& session_id) {
    session_id_ = session_id;
}

std::vector<Channel> ChannelService::user_channels() {
    const auto client = details::lock_http_client(client_, USER_CHANNELS);
    const auto answer = details::call_api(*client, USER_CHANNELS, api_base_ + L"/v1/channels", winhttp::METHOD_GET,
                                          details::wide_to_utf8(session_id_), nullptr, 200, 204);
    if (answer.status == 204)
        return {};
    return details::parse_channels_items(answer.body);
}

void ChannelService::change_status(const std::wstring& id, bool enable) {
    const auto client = details::lock_http_client(client_, CHANGE_STATUS);
    const std::wstring url = api_base_ + L"/v1/channels/" + id + (enable ? L"/enable" : L"/disable");
    details::call_api(*client, CHANGE_STATUS, url, winhttp::METHOD_POST, details::wide_to_utf8(session_id_), nullptr,
                      204);
}

namespace details {

std::vector<Channel> parse_channels_items(const std::vector<std::uint8_t>& body) {
    const Json::Value root = parse_json_answer(body, L"agent::details::parse_channels_items");
    std::vector<Channel> channels;
    if (!root.isObject() || !root["items"].isArray())
        return channels;
    for (const Json::Value& item : root["items"])
        channels.push_back(read_channel(item));
    return channels;
}

}  // namespace details

}  // namespace agent
