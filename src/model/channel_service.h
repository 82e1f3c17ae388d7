#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace winhttp {
class SimpleClient;
}

namespace agent {

// One source of notifications the user is subscribed to.
struct Channel {
    bool enabled = false;       // "enabled"
    std::wstring id;            // "id"
    std::wstring sender;        // "sender"
    std::wstring sender_name;   // "sender-name"
    std::wstring name;          // "name"
    std::wstring description;   // "description"
    std::wstring group;         // "group"
    std::wstring icon;          // "icon": address of the channel's icon
    std::wstring link;          // "href" of the first element of "links"

    friend bool operator==(const Channel&, const Channel&) = default;
};

// Lists the signed-in user's channels and switches one on or off.
class ChannelService {
public:
    ChannelService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base);

    void set_session_id(const std::wstring& session_id);

    // GET "/v1/channels": 200 gives the list, 204 an empty one; anything else throws
    // AgentApiException.
    std::vector<Channel> user_channels();

    // POST "/v1/channels/<id>/enable" or ".../disable" without a body. Only 204 is success;
    // anything else (200 included) throws AgentApiException.
    void change_status(const std::wstring& id, bool enable);

private:
    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring api_base_;
    std::wstring session_id_;
};

namespace details {

// The "items" of a channel list answer, in the answer's order; "items" that is not an
// array gives nothing. A body that is not JSON throws std::runtime_error.
std::vector<Channel> parse_channels_items(const std::vector<std::uint8_t>& body);

}  // namespace details

}  // namespace agent
