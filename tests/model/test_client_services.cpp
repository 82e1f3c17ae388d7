#include <string>

#include "details/exception.h"
#include "model/agent_client.h"
#include "model/capture_logger.h"
#include "model/channel_service.h"
#include "model/client_fixture.h"
#include "model/events.h"
#include "model/user_info.h"

namespace agent {
namespace {

using sandbox::Server;
using testing::CaptureLogger;

std::vector<std::uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(ChannelItems, LinksEnabledAndMissingKeys) {
    const auto channels = details::parse_channels_items(bytes(R"({"items":[
        {"id":"c1","sender":"s1","sender-name":"ФНС","name":"Требования","description":"d","group":"g",
         "icon":"https://i/1.png","enabled":true,"links":[{"href":"https://a"},{"href":"https://b"}]},
        {"id":"c2","enabled":"false","links":[]},
        {"id":"c3","enabled":0},
        {"id":"c4","enabled":2.5},
        {"id":"c5"}
    ]})"));
    ASSERT_EQ(channels.size(), 5u);
    EXPECT_EQ(channels[0].sender_name, L"ФНС");
    EXPECT_EQ(channels[0].icon, L"https://i/1.png");
    EXPECT_EQ(channels[0].link, L"https://a");
    EXPECT_TRUE(channels[0].enabled);
    // Any non-empty string reads as true, even the text false.
    EXPECT_TRUE(channels[1].enabled);
    EXPECT_TRUE(channels[1].link.empty());
    EXPECT_FALSE(channels[2].enabled);
    EXPECT_TRUE(channels[3].enabled);
    EXPECT_FALSE(channels[4].enabled);
    EXPECT_TRUE(channels[4].name.empty());
}

TEST(ChannelItems, ItemsThatAreNoArrayGiveNothingAndBadJsonThrows) {
    EXPECT_TRUE(details::parse_channels_items(bytes(R"({"items":{"id":"c1"}})")).empty());
    EXPECT_TRUE(details::parse_channels_items(bytes(R"([1,2])")).empty());
    EXPECT_THROW(details::parse_channels_items(bytes("<html>")), std::runtime_error);
    EXPECT_THROW(details::parse_channels_items({}), std::runtime_error);
}

TEST(UserInfoAnswer, KeysAndMissingKeys) {
    const auto info = details::UserInfo::parse_user_info(
        bytes(R"({"user-id":"u1","token":"t","name":"Иван","middlename":"Иванович","lastname":"Иванов"})"));
    EXPECT_EQ(info.user_id, L"u1");
    EXPECT_EQ(info.token, L"t");
    EXPECT_EQ(info.middlename, L"Иванович");
    EXPECT_EQ(info.lastname, L"Иванов");
    EXPECT_TRUE(details::UserInfo::parse_user_info(bytes("{}")).token.empty());
    EXPECT_THROW(details::UserInfo::parse_user_info(bytes("not json")), std::runtime_error);
}

class ServicesTest : public testing::ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        agent_ = create();
        agent_->authenticate(wide(Server::DEMO_LOGIN), wide(Server::DEMO_PASSWORD), false);
        server().clear_requests();
    }

    std::unique_ptr<AgentClient> agent_;
};

TEST_F(ServicesTest, ChannelsAreListedAndSwitched) {
    const auto channels = agent_->channel_service().user_channels();
    ASSERT_FALSE(channels.empty());
    const auto states = server().channel_states();
    for (const auto& channel : channels)
        EXPECT_EQ(states.at(narrow(channel.id)), channel.enabled);

    const std::wstring id = channels.front().id;
    const bool was = channels.front().enabled;
    agent_->channel_service().change_status(id, !was);
    EXPECT_EQ(server().channel_states().at(narrow(id)), !was);
    const auto switches = server().requests("/api/v1/channels/" + narrow(id) + (was ? "/disable" : "/enable"));
    ASSERT_EQ(switches.size(), 1u);
    EXPECT_EQ(switches[0].method, "POST");
    EXPECT_TRUE(switches[0].body.empty());
}

TEST_F(ServicesTest, ChannelListAnswers) {
    answer_next("/api/v1/channels", 204);
    EXPECT_TRUE(agent_->channel_service().user_channels().empty());

    answer_next("/api/v1/channels", 500, R"({"status":500,"message":"broken","id":"E1"})");
    try {
        agent_->channel_service().user_channels();
        FAIL() << "no error";
    } catch (const AgentApiException& e) {
        EXPECT_EQ(e.status(), 500);
        EXPECT_EQ(e.error().message, L"broken");
    }
}

TEST_F(ServicesTest, OnlyNoContentSwitchesAChannel) {
    answer_next("/api/v1/channels/c-x/enable", 200, "{}");
    EXPECT_THROW(agent_->channel_service().change_status(L"c-x", true), AgentApiException);
}

TEST_F(ServicesTest, EventsAreSentAndTheirFailuresOnlyWarn) {
    agent_->events_logger().send_event(EVENT_OPEN);
    agent_->events_logger().send_event(EVENT_EXIT);
    EXPECT_EQ(server().client_events(), (std::vector<std::string>{"signin", "open", "exit"}));
    EXPECT_EQ(server().requests().front().path, "/api/v1/client/log/open");

    auto& log = CaptureLogger::install(details::LEVEL_WARN);
    answer_next("/api/v1/client/log/open", 200, R"({"message":"only 201 counts"})");
    agent_->events_logger().send_event(EVENT_OPEN);
    ASSERT_EQ(log.matching(L"agent::EventsLogger::send_event").size(), 1u);
    EXPECT_TRUE(log.contains(L"only 201 counts"));
    EXPECT_FALSE(log.contains(L"Query: "));

    // The network down: one WARN line, no exception.
    server().stop();
    agent_->events_logger().send_event(EVENT_SIGNOUT);
    EXPECT_EQ(log.matching(L"agent::EventsLogger::send_event").size(), 2u);
}

TEST_F(ServicesTest, ServiceOutlivingItsClientFailsCleanly) {
    ChannelService orphan(std::weak_ptr<winhttp::SimpleClient>(), L"http://127.0.0.1:1");
    EXPECT_THROW(orphan.user_channels(), std::runtime_error);
    EventsLogger events(std::weak_ptr<winhttp::SimpleClient>(), L"http://127.0.0.1:1");
    EXPECT_NO_THROW(events.send_event(EVENT_OPEN));
}

}  // namespace
}  // namespace agent
