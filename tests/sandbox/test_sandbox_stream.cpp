#include "server_fixture.h"

namespace sandbox::testing {
namespace {

using agent::testing::wait_for;
using StreamTest = ServerTest;

const std::string HEARTBEAT = "event: heartbeat\ndata: ping\n\n";

TEST_F(StreamTest, HeartbeatsFlowAndPushedMessagesArriveAsEventAndDataLines) {
    const std::string sid = server().create_session();
    StreamReader stream(server().port(), sid);
    ASSERT_TRUE(wait_for([&] { return stream.contains("event: heartbeat\n"); }));
    EXPECT_EQ(stream.status(), 200);

    Message message;
    message.subject = "Новое требование";
    message.body = "Ответьте до [пятницы](https://example.invalid/x).";
    const Message stored = server().push_message(message);
    ASSERT_TRUE(wait_for([&] { return stream.contains(stored.id); }));

    const std::string text = stream.text();
    const std::size_t event = text.find("event: message\ndata: ");
    ASSERT_NE(event, std::string::npos);
    const std::size_t data = event + std::string("event: message\n").size();
    const std::size_t end = text.find('\n', data);
    const Json::Value json = parse(text.substr(data + 6, end - data - 6));
    EXPECT_EQ(json["id"].asString(), stored.id);
    EXPECT_EQ(json["subject"].asString(), "Новое требование");
    EXPECT_FALSE(json["read"].asBool());
    EXPECT_EQ(json["created"].asString().size(), 20u);
    EXPECT_EQ(text.substr(end, 2), "\n\n");
    // Pushed messages join the list as the newest.
    EXPECT_EQ(server().messages().front().id, stored.id);
}

TEST_F(StreamTest, PushReachesOnlyTheStreamsOfItsUser) {
    StreamReader demo_a(server().port(), server().create_session());
    StreamReader demo_b(server().port(), server().create_session());
    StreamReader other(server().port(), server().create_session("buh@varnel.example"));
    ASSERT_TRUE(wait_for([&] { return server().open_streams() == 3; }));
    Message message;
    message.subject = "только демо";
    const Message stored = server().push_message(message);
    ASSERT_TRUE(wait_for([&] { return demo_a.contains(stored.id) && demo_b.contains(stored.id); }));
    ASSERT_TRUE(wait_for([&] { return other.contains("heartbeat"); }));
    EXPECT_FALSE(other.contains(stored.id));
}

TEST_F(StreamTest, RawPiecesAreSentAsIsBeforeTheNormalStream) {
    Fault fault;
    fault.path = "/api/v1/messages/stream";
    fault.raw_stream = {"event: message\ndata: {\"id\":\"sp", "lit\"}\n\n", "data: not json\n\n"};
    fault.gap = std::chrono::milliseconds(20);
    server().add_fault(fault);
    StreamReader stream(server().port(), server().create_session());
    ASSERT_TRUE(wait_for([&] { return stream.contains("heartbeat"); }));
    EXPECT_EQ(stream.text().rfind("event: message\ndata: {\"id\":\"split\"}\n\ndata: not json\n\n", 0), 0u);
}

TEST_F(StreamTest, StreamDropsAfterTheGivenNumberOfBytes) {
    Fault fault;
    fault.path = "/api/v1/messages/stream";
    fault.drop_after_bytes = 30;
    server().add_fault(fault);
    StreamReader stream(server().port(), server().create_session());
    ASSERT_TRUE(wait_for([&] { return stream.ended(); }));
    EXPECT_EQ(stream.text(), std::string("event: heartbeat\ndata: ping\n\nevent: heartbeat\n").substr(0, 30));
    EXPECT_TRUE(wait_for([&] { return server().open_streams() == 0; }));
}

TEST_F(StreamTest, FrozenStreamsSendNothingAndStayOpenUntilClosed) {
    StreamReader frozen(server().port(), server().create_session());
    StreamReader other(server().port(), server().create_session("buh@varnel.example"));
    ASSERT_TRUE(wait_for([&] { return frozen.contains("heartbeat") && other.contains("heartbeat"); }));
    const auto answer = client().Post("/admin/streams/freeze", "", "application/json");
    ASSERT_TRUE(answer);
    EXPECT_EQ(parse(answer->body)["frozen"].asInt(), 1);
    // A write already under way may still land; the other stream's heartbeats tell when
    // the frozen one has had time for several of its own.
    const auto beats_later = [&](int beats) {
        const std::size_t from = other.text().size();
        return wait_for([&] { return other.text().size() >= from + beats * HEARTBEAT.size(); });
    };
    ASSERT_TRUE(beats_later(2));
    const std::string silent = frozen.text();
    Message message;
    message.subject = "в пустоту";
    const Message lost = server().push_message(message);
    ASSERT_TRUE(beats_later(3));
    EXPECT_EQ(frozen.text(), silent);
    EXPECT_FALSE(frozen.ended());
    EXPECT_EQ(server().open_streams(), 2u);
    EXPECT_EQ(server().messages().front().id, lost.id);

    EXPECT_EQ(server().close_streams(), 1u);
    ASSERT_TRUE(wait_for([&] { return frozen.ended(); }));
    EXPECT_FALSE(other.ended());
    EXPECT_TRUE(wait_for([&] { return server().open_streams() == 1; }));
}

TEST_F(StreamTest, StatusFaultAnswersTheNextCallsThenServesNormally) {
    Fault fault;
    fault.path = "/api/v1/messages/stream";
    fault.status = 503;
    fault.body = "<html>busy</html>";
    fault.content_type = "text/html";
    fault.count = 2;
    server().add_fault(fault);
    const auto session = demo_session();
    for (int i = 0; i < 2; ++i) {
        const auto result = client().Get("/api/v1/messages/stream", session);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 503);
        EXPECT_EQ(result->body, "<html>busy</html>");
    }
    StreamReader stream(server().port(), server().create_session());
    EXPECT_TRUE(wait_for([&] { return stream.contains("heartbeat"); }));
    EXPECT_EQ(stream.status(), 200);
}

TEST_F(StreamTest, FaultsMatchByPrefixAndCanDelay) {
    Fault fault;
    fault.path = "/api/v1/channels*";
    fault.status = 500;
    fault.body = "";
    fault.count = -1;
    server().add_fault(fault);
    const auto session = demo_session();
    for (int i = 0; i < 3; ++i) {
        const auto result = client().Post("/api/v1/channels/varnel.news/disable", session, "", "");
        EXPECT_EQ(result->status, 500);
        EXPECT_TRUE(result->body.empty());
    }
    server().clear_faults();
    EXPECT_EQ(client().Post("/api/v1/channels/varnel.news/disable", session, "", "")->status, 204);

    Fault delay;
    delay.path = "/api/v1/user/info";
    delay.delay = std::chrono::milliseconds(300);
    server().add_fault(delay);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client().Get("/api/v1/user/info", session)->status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
}

TEST_F(StreamTest, RequestsAreRecordedWithHeadersCookiesQueryAndBody) {
    const std::string sid = server().create_session();
    client().Post("/api/v1/messages/reads?x=1", {{"Authorization", "varnel.sid " + sid}, {"Cookie", "a=1; auth.sid=zz"}},
                  "[\"m1\"]\n", "application/json");
    const auto records = server().requests("/api/v1/messages/reads");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].method, "POST");
    EXPECT_EQ(records[0].query, "x=1");
    EXPECT_EQ(records[0].header("authorization"), "varnel.sid " + sid);
    EXPECT_EQ(records[0].header("Content-Type"), "application/json");
    EXPECT_EQ(records[0].cookie("auth.sid"), "zz");
    EXPECT_EQ(records[0].cookie("a"), "1");
    EXPECT_EQ(records[0].body, "[\"m1\"]\n");
    server().clear_requests();
    EXPECT_TRUE(server().requests().empty());
}

TEST_F(StreamTest, RestartKeepsSessionsMessagesAndSwitchesAndStreamsCanReconnect) {
    const std::string sid = server().create_session();
    Message message;
    message.subject = "до перезапуска";
    const Message stored = server().push_message(message);
    ASSERT_EQ(client().Post("/api/v1/channels/varnel.news/disable", session_header(sid), "", "")->status, 204);
    const std::uint16_t port = server().port();
    {
        StreamReader stream(port, sid);
        ASSERT_TRUE(wait_for([&] { return server().open_streams() == 1; }));
        server().restart();
        // The old stream was ended by the stop, not left hanging.
        ASSERT_TRUE(wait_for([&] { return stream.ended(); }));
    }
    EXPECT_EQ(server().port(), port);
    StreamReader again(port, sid);
    ASSERT_TRUE(wait_for([&] { return again.contains("heartbeat"); }));
    EXPECT_EQ(again.status(), 200);
    EXPECT_EQ(server().messages().front().id, stored.id);
    EXPECT_FALSE(server().channel_states()["varnel.news"]);
}

TEST(StreamStateTest, AStateDirectorySurvivesTheServerObject) {
    agent::testing::TempHome home;
    Options options;
    options.state_directory = home.path() / "state";
    options.threads = 8;
    std::string sid;
    {
        Server first(options);
        first.start();
        sid = first.create_session();
        first.add_user(User{"late@varnel.example", "pw", "Поздний", "", "", "", ""});
    }
    Server second(options);
    second.start();
    EXPECT_TRUE(second.has_session(sid));
    httplib::Client client("127.0.0.1", second.port());
    EXPECT_EQ(client.Get("/api/v1/user/info", session_header(sid))->status, 200);
    EXPECT_EQ(client.Post("/auth/authenticate-by-pass?login=late@varnel.example", "pw", "text/plain")->status, 200);
}

}  // namespace
}  // namespace sandbox::testing
