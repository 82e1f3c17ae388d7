#include <set>

#include "server_fixture.h"

namespace sandbox::testing {
namespace {

using ApiTest = ServerTest;

TEST_F(ApiTest, EveryApiCallWantsALiveSession) {
    const char* paths[] = {"/api/v1/user/info", "/api/v1/links/instruction", "/api/v1/messages/top?count=5",
                           "/api/v1/messages/stream", "/api/v1/channels", "/api/v1/support",
                           "/api/v1/client/update", "/api/v1/client/installer"};
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        expect_error_answer(client().Get(path), 401);
        expect_error_answer(client().Get(path, session_header("no-such-session")), 401);
        expect_error_answer(client().Get(path, {{"Authorization", "Bearer " + server().create_session()}}), 401);
    }
    expect_error_answer(client().Post("/api/v1/messages/reads", "[]", "application/json"), 401);
    expect_error_answer(client().Post("/api/v1/channels/varnel.news/disable"), 401);
    expect_error_answer(client().Post("/api/v1/client/log/signin"), 401);
}

TEST_F(ApiTest, MessagesPageNewestFirstThroughAbsolutePreviousLinks) {
    const auto session = demo_session();
    const std::string base = server().base_url();
    std::string path = "/api/v1/messages/top?count=10";
    std::vector<std::string> ids;
    std::string last_created = "9999";
    int pages = 0;
    while (!path.empty()) {
        const auto result = client().Get(path, session);
        ASSERT_TRUE(result);
        ASSERT_EQ(result->status, 200) << path;
        const Json::Value body = parse(result->body);
        for (const Json::Value& item : body["items"]) {
            EXPECT_LE(item["created"].asString(), last_created);
            last_created = item["created"].asString();
            ids.push_back(item["id"].asString());
        }
        path.clear();
        bool has_next = false;
        for (const Json::Value& link : body["links"]) {
            const std::string href = link["href"].asString();
            ASSERT_EQ(href.compare(0, base.size(), base), 0) << href;
            if (link["rel"].asString() == "previous")
                path = href.substr(base.size());
            has_next = has_next || link["rel"].asString() == "next";
        }
        EXPECT_EQ(has_next, pages > 0);
        ++pages;
    }
    EXPECT_EQ(pages, 5);
    EXPECT_EQ(ids.size(), 45u);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 45u);
    int unread = 0;
    for (const Message& message : server().messages())
        unread += message.read ? 0 : 1;
    EXPECT_EQ(unread, 7);
}

TEST_F(ApiTest, MessagesOfAUserWithoutAnyAnswer204) {
    const auto result = client().Get("/api/v1/messages/top?count=30", session_header(server().create_session("new@varnel.example")));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 204);
    EXPECT_TRUE(result->body.empty());
}

TEST_F(ApiTest, BadPagingParametersGetErrorAnswers) {
    const auto session = demo_session();
    for (const char* query : {"", "?count=", "?count=0", "?count=abc", "?count=-5", "?count=100000", "?count=5&before=unknown"}) {
        SCOPED_TRACE(query);
        const auto result = client().Get(std::string("/api/v1/messages/top") + query, session);
        ASSERT_TRUE(result);
        EXPECT_GE(result->status, 400);
        expect_error_answer(result, result->status);
    }
}

TEST_F(ApiTest, ReadMarksAre204AndStick) {
    const auto session = demo_session();
    const std::vector<Message> before = server().messages();
    ASSERT_FALSE(before.front().read);
    const std::string body = "[\"" + before[0].id + "\",\"" + before[1].id + "\",\"unknown-id\"]\n";
    const auto result = client().Post("/api/v1/messages/reads", session, body, "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 204);
    const std::vector<Message> after = server().messages();
    EXPECT_TRUE(after[0].read);
    EXPECT_TRUE(after[1].read);
    EXPECT_FALSE(after[2].read);

    expect_error_answer(client().Post("/api/v1/messages/reads", session, "[\"a\",", "application/json"), 400);
    expect_error_answer(client().Post("/api/v1/messages/reads", session, "{\"id\":1}", "application/json"), 400);
    expect_error_answer(client().Post("/api/v1/messages/reads", session, "[1,2]", "application/json"), 400);
}

TEST_F(ApiTest, EnablingAChannelOfARadioGroupSwitchesTheOthersOff) {
    const auto session = demo_session();
    const auto list = client().Get("/api/v1/channels", session);
    ASSERT_EQ(list->status, 200);
    const Json::Value items = parse(list->body)["items"];
    ASSERT_GE(items.size(), 6u);
    std::set<std::string> senders;
    for (const Json::Value& item : items) {
        senders.insert(item["sender"].asString());
        EXPECT_EQ(item["icon"].asString().rfind(server().base_url() + "/static/icons/", 0), 0u);
    }
    EXPECT_GE(senders.size(), 4u);

    EXPECT_EQ(client().Post("/api/v1/channels/bank.statements.weekly/enable", session, "", "")->status, 204);
    auto states = server().channel_states();
    EXPECT_TRUE(states["bank.statements.weekly"]);
    EXPECT_FALSE(states["bank.statements.daily"]);
    EXPECT_FALSE(states["bank.statements.never"]);
    EXPECT_TRUE(states["varnel.news"]);

    EXPECT_EQ(client().Post("/api/v1/channels/varnel.news/disable", session, "", "")->status, 204);
    EXPECT_FALSE(server().channel_states()["varnel.news"]);
    expect_error_answer(client().Post("/api/v1/channels/no.such/enable", session, "", ""), 404);
    // Switches are per user.
    EXPECT_TRUE(server().channel_states("buh@varnel.example")["varnel.news"]);
}

TEST_F(ApiTest, ClientEventsAre201) {
    const auto session = demo_session();
    EXPECT_EQ(client().Post("/api/v1/client/log/signin", session, "", "")->status, 201);
    EXPECT_EQ(client().Post("/api/v1/client/log/signout", session, "", "")->status, 201);
    expect_error_answer(client().Post("/api/v1/client/log/reboot", session, "", ""), 400);
    EXPECT_EQ(server().client_events(), (std::vector<std::string>{"signin", "signout"}));
}

TEST_F(ApiTest, SupportLinksCarryIconsServedAsRealPngImages) {
    const auto result = client().Get("/api/v1/support", demo_session());
    ASSERT_EQ(result->status, 200);
    const Json::Value items = parse(result->body)["items"];
    ASSERT_GE(items.size(), 4u);
    std::set<std::string> types;
    for (const Json::Value& item : items) {
        types.insert(item["type"].asString());
        const std::string icon = item["icon"].asString();
        const auto image = client().Get(icon.substr(server().base_url().size()));
        ASSERT_TRUE(image);
        ASSERT_EQ(image->status, 200) << icon;
        EXPECT_EQ(image->get_header_value("Content-Type"), "image/png");
        ASSERT_GT(image->body.size(), 33u);
        EXPECT_EQ(image->body.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        EXPECT_EQ(image->body.substr(12, 4), "IHDR");
        EXPECT_EQ(image->body.substr(16, 8), std::string("\0\0\0\x20\0\0\0\x20", 8));  // 32 x 32
    }
    EXPECT_EQ(types, (std::set<std::string>{"product", "link"}));
}

TEST_F(ApiTest, UpdateIsOfferedOnlyWhileAnInstallerIsSet) {
    const auto session = demo_session();
    EXPECT_EQ(client().Get("/api/v1/client/update", session)->status, 204);
    expect_error_answer(client().Get("/api/v1/client/installer", session), 404);

    server().offer_update(std::string("#!/bin/sh\ninstaller\0bytes", 26));
    const auto offer = client().Get("/api/v1/client/update", session);
    ASSERT_EQ(offer->status, 200);
    const std::string uri = parse(offer->body)["uri"].asString();
    ASSERT_EQ(uri.rfind(server().base_url(), 0), 0u);
    const auto download = client().Get(uri.substr(server().base_url().size()), session);
    ASSERT_EQ(download->status, 200);
    EXPECT_EQ(download->body, std::string("#!/bin/sh\ninstaller\0bytes", 26));
}

TEST_F(ApiTest, InstructionLinkLeadsToAPageOfThisServer) {
    const auto result = client().Get("/api/v1/links/instruction", demo_session());
    ASSERT_EQ(result->status, 200);
    const std::string href = parse(result->body)["href"].asString();
    ASSERT_EQ(href.rfind(server().base_url(), 0), 0u);
    const auto page = client().Get(href.substr(server().base_url().size()));
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
}

TEST_F(ApiTest, AccountPageNamesTheUserOfEachCookie) {
    const std::string sid = server().create_session();
    const std::string token = server().user(Server::DEMO_LOGIN)->token;
    const auto signed_in = client().Get("/account", {{"Cookie", "token=" + token + "; auth.sid=" + sid}});
    ASSERT_EQ(signed_in->status, 200);
    EXPECT_NE(signed_in->body.find("id=\"session\" data-login=\"demo@varnel.example\""), std::string::npos);
    EXPECT_NE(signed_in->body.find("id=\"token\" data-login=\"demo@varnel.example\""), std::string::npos);

    const auto stranger = client().Get("/account", {{"Cookie", "auth.sid=<script>; token=x"}});
    ASSERT_EQ(stranger->status, 200);
    EXPECT_NE(stranger->body.find("Вы не вошли"), std::string::npos);
    EXPECT_EQ(stranger->body.find("<script>"), std::string::npos);
}

}  // namespace
}  // namespace sandbox::testing
