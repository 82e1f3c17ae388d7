#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "details/exception.h"
#include "details/strings.h"
#include "model/message_service.h"
#include "sandbox_server.h"
#include "support/sandbox.h"
#include "test_message_support.h"
#include "winhttp/simple_client.h"
#include "winhttp/test_servers.h"

namespace agent {
namespace {

using namespace std::chrono_literals;
using details::utf8_to_wide;
using testing::wait_for;

const std::string STREAM_PATH = "/api/v1/messages/stream";
const std::string TOP_PATH = "/api/v1/messages/top";
const std::string READS_PATH = "/api/v1/messages/reads";

std::string message_event(const std::string& id) {
    return "event: message\ndata: {\"id\": \"" + id + "\", \"created\": \"2016-03-01T09:05:07Z\"}\n\n";
}

sandbox::Fault fault(const std::string& path, int status, const std::string& body = {}) {
    sandbox::Fault result;
    result.path = path;
    result.status = status;
    result.body = body;
    return result;
}

// A stream that first sends the pieces, each in its own write, `gap` apart.
sandbox::Fault raw_stream(std::vector<std::string> pieces, std::chrono::milliseconds gap) {
    sandbox::Fault result = fault(STREAM_PATH, 0);
    result.raw_stream = std::move(pieces);
    result.gap = gap;
    return result;
}

sandbox::Message pushed(const std::string& subject, const std::string& body = "text") {
    sandbox::Message message;
    message.subject = subject;
    message.body = body;
    return message;
}

// Every batch the stream hands over, as the ids it carried.
class Batches {
public:
    MessageService::Callback callback() {
        return [this](std::vector<Message>&& batch) {
            std::vector<std::wstring> ids;
            for (const Message& m : batch)
                ids.push_back(m.id);
            const std::lock_guard lock(mutex_);
            batches_.push_back(std::move(ids));
        };
    }
    std::vector<std::vector<std::wstring>> all() const {
        const std::lock_guard lock(mutex_);
        return batches_;
    }
    std::vector<std::wstring> ids() const {
        std::vector<std::wstring> result;
        for (const auto& batch : all())
            result.insert(result.end(), batch.begin(), batch.end());
        return result;
    }
    bool has(const std::wstring& id) const {
        const auto list = ids();
        return std::find(list.begin(), list.end(), id) != list.end();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<std::wstring>> batches_;
};

class MessageServiceTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        // Frequent heartbeats let the server notice a stream the agent closed.
        sandbox::Options options;
        options.heartbeat = 100ms;
        server_ = std::make_unique<sandbox::Server>(options);
        server_->start();
        winhttp::ProxySettings direct;
        direct.mode = winhttp::NoProxy;
        client_ = winhttp::SimpleClient::create(L"", direct);
        service_ = std::make_unique<MessageService>(client_, utf8_to_wide(server_->api_url()));
        sid_ = server_->create_session();
        service_->set_session_id(utf8_to_wide(sid_));
        MessageService::clear_read_queue_for_testing();
    }

    void TearDown() override {
        service_.reset();
        client_.reset();
        server_.reset();
        MessageService::clear_read_queue_for_testing();
        SandboxTest::TearDown();
    }

    // Waits until the agent has asked for the stream `requests` times and one stream is open.
    void wait_for_stream(std::size_t requests = 1) {
        ASSERT_TRUE(wait_for(
            [&] { return server_->requests(STREAM_PATH).size() >= requests && server_->open_streams() == 1; }));
    }

    std::unique_ptr<sandbox::Server> server_;
    std::shared_ptr<winhttp::SimpleClient> client_;
    std::unique_ptr<MessageService> service_;
    std::string sid_;
};

// --- paging -------------------------------------------------------------------------------

TEST_F(MessageServiceTest, PagesFortyFiveMessagesAsThirtyAndFifteen) {
    const std::vector<sandbox::Message> stored = server_->messages();
    ASSERT_EQ(stored.size(), 45u);
    MessageReader reader = service_->create_reader(30);

    const std::vector<Message> first = reader.get_messages();
    ASSERT_EQ(first.size(), 30u);
    EXPECT_FALSE(reader.finished());
    const std::vector<Message> second = reader.get_messages();
    ASSERT_EQ(second.size(), 15u);
    EXPECT_TRUE(reader.finished());
    for (std::size_t i = 0; i < 45; ++i)
        EXPECT_EQ((i < 30 ? first[i] : second[i - 30]).id, utf8_to_wide(stored[i].id)) << i;

    // Paging is over: no further request.
    EXPECT_TRUE(reader.get_messages().empty());
    const auto requests = server_->requests(TOP_PATH);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].query, "count=30");
    EXPECT_NE(requests[1].query.find("before="), std::string::npos);
    EXPECT_EQ(requests[0].header("Authorization"), "varnel.sid " + sid_);
}

// The link to older messages is the server's, and the request carries the user's session:
// it is followed only on the agent API's own origin.
TEST_F(MessageServiceTest, APagingLinkToAnotherOriginIsNotFollowed) {
    sandbox::Server elsewhere;
    elsewhere.start();
    server_->add_fault(fault(TOP_PATH, 200,
                             R"({"items":[{"id":"m1","created":"2016-03-01T09:05:07Z"}],"links":[{"rel":"previous",)"
                             R"("href":")" + elsewhere.api_url() + R"(/v1/messages/top?before=m1"}]})"));
    MessageReader reader = service_->create_reader(30);
    ASSERT_EQ(reader.get_messages().size(), 1u);
    try {
        reader.get_messages();
        FAIL() << "followed";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.code(), 1u);  // CURLE_UNSUPPORTED_PROTOCOL: as a transfer that failed
    }
    EXPECT_TRUE(elsewhere.requests().empty()) << "the other host saw the request";
    EXPECT_FALSE(reader.finished());
}

TEST_F(MessageServiceTest, NoContentEndsPagingAtOnce) {
    server_->add_fault(fault(TOP_PATH, 204));
    MessageReader reader = service_->create_reader(30);
    EXPECT_TRUE(reader.get_messages().empty());
    EXPECT_TRUE(reader.finished());
    EXPECT_TRUE(reader.get_messages().empty());
    EXPECT_EQ(server_->requests(TOP_PATH).size(), 1u);
}

TEST_F(MessageServiceTest, AFailedPageIsAskedForAgain) {
    testing::CapturedLog log;
    MessageReader reader = service_->create_reader(30);
    ASSERT_EQ(reader.get_messages().size(), 30u);
    const std::wstring previous = reader.previous();

    server_->add_fault(fault(TOP_PATH, 500, R"({"status": 500, "id": "Boom", "message": "down"})"));
    try {
        reader.get_messages();
        FAIL();
    } catch (const AgentApiException& error) {
        EXPECT_EQ(error.status(), 500);
        EXPECT_EQ(error.error().id, "Boom");
    }
    EXPECT_EQ(log.count(L"ERROR", L"agent::MessageReader::get_messages"), 1u);
    server_->add_fault(fault(TOP_PATH, 200, "<html>not json</html>"));
    EXPECT_THROW(reader.get_messages(), std::runtime_error);
    EXPECT_EQ(reader.previous(), previous);
    EXPECT_FALSE(reader.finished());

    EXPECT_EQ(reader.get_messages().size(), 15u);
    const auto requests = server_->requests(TOP_PATH);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].query, requests[3].query);
}

// --- read marks ---------------------------------------------------------------------------

TEST_F(MessageServiceTest, ElevenQueuedIdsAreSentTogether) {
    for (int i = 1; i <= 10; ++i)
        service_->mark_as_read(L"id-" + std::to_wstring(i), false);
    EXPECT_TRUE(server_->requests(READS_PATH).empty());
    EXPECT_EQ(MessageService::read_queue().size(), 10u);

    service_->mark_as_read(L"id-11", false);
    const auto requests = server_->requests(READS_PATH);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body,
              R"(["id-1","id-2","id-3","id-4","id-5","id-6","id-7","id-8","id-9","id-10","id-11"])"
              "\n");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(requests[0].body.size()));
    EXPECT_EQ(requests[0].header("Authorization"), "varnel.sid " + sid_);
    EXPECT_TRUE(MessageService::read_queue().empty());
}

TEST_F(MessageServiceTest, SendNowSendsOneIdAndEmptyIdsAreRefused) {
    testing::CapturedLog log;
    service_->mark_as_read(L"", true);
    EXPECT_EQ(log.count(L"ERROR", L"Try to read message with empty message id"), 1u);
    EXPECT_TRUE(MessageService::read_queue().empty());
    EXPECT_TRUE(server_->requests(READS_PATH).empty());

    service_->mark_as_read(L"сообщение-1", true);
    const auto requests = server_->requests(READS_PATH);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "[\"сообщение-1\"]\n");
    // Nothing queued: no request at all.
    service_->mark_queue_as_read();
    EXPECT_EQ(server_->requests(READS_PATH).size(), 1u);
}

TEST_F(MessageServiceTest, AFailedSendKeepsTheQueue) {
    server_->add_fault(fault(READS_PATH, 500, R"({"status": 500, "message": "later"})"));
    service_->mark_as_read(L"a", false);
    EXPECT_THROW(service_->mark_as_read(L"b", true), AgentApiException);
    EXPECT_EQ(MessageService::read_queue(), (std::vector<std::wstring>{L"a", L"b"}));

    service_->mark_queue_as_read();
    EXPECT_TRUE(MessageService::read_queue().empty());
    const auto requests = server_->requests(READS_PATH);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].body, "[\"a\",\"b\"]\n");
}

TEST_F(MessageServiceTest, ATricklingAnswerHoldsTheCallerNoLongerThanTheTimeOut) {
    // A server that answers one byte every 200 ms: never silent long enough for the
    // transfer's own silence limit, never done.
    std::atomic<bool> finished{false};
    testing::RawServer slow([&](testing::RawConnection& connection, testing::RawServer&) {
        connection.read_request();
        connection.send("HTTP/1.1 500 Internal Server Error\r\nTransfer-Encoding: chunked\r\n\r\n");
        for (int i = 0; i < 300 && !finished; ++i) {
            connection.send("1\r\n \r\n");
            std::this_thread::sleep_for(200ms);  // the server's pace, not a wait of the test
        }
    });
    client_->set_timeouts(1);
    MessageService service(client_, slow.url("/api"));
    service.set_session_id(L"sid");
    service.mark_as_read(L"a", false);
    const auto begin = std::chrono::steady_clock::now();
    try {
        service.mark_queue_as_read();
        ADD_FAILURE() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.code(), 28u);  // CURLE_OPERATION_TIMEDOUT
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(MessageService::read_queue(), std::vector<std::wstring>{L"a"});
    finished = true;
}

// Leaving the list hands the marks to the service's own thread; the end of the program gives
// a slow send two seconds, then keeps what did not go for the next start, which sends it.
TEST_F(MessageServiceTest, MarksSentInTheBackgroundAreKeptForTheNextStartWhenTheyDoNotGo) {
    const std::filesystem::path file = home().path() / "unsent_read_marks";
    auto slow = fault(READS_PATH, 0);
    slow.delay = 30s;
    server_->add_fault(slow);
    auto service = std::make_unique<MessageService>(client_, utf8_to_wide(server_->api_url()));
    service->set_session_id(utf8_to_wide(sid_));
    service->keep_read_queue_in(file.wstring());
    ASSERT_TRUE(service->queue_read_mark(L"a"));
    ASSERT_TRUE(service->queue_read_mark(L"b"));
    EXPECT_FALSE(service->queue_read_mark(L""));
    service->send_read_queue();
    ASSERT_TRUE(wait_for([&] { return server_->requests(READS_PATH).size() == 1; }));
    EXPECT_EQ(MessageService::read_queue(), (std::vector<std::wstring>{L"a", L"b"})) << "still on its way";

    const auto begin = std::chrono::steady_clock::now();
    service.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(testing::read_text(file), "a\nb\n");

    // The next start takes them up (once) and sends them with the next send.
    MessageService::clear_read_queue_for_testing();
    service_->keep_read_queue_in(file.wstring());
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(MessageService::read_queue(), (std::vector<std::wstring>{L"a", L"b"}));
    service_->send_read_queue();
    ASSERT_TRUE(wait_for([&] { return MessageService::read_queue().empty(); }));
    EXPECT_EQ(server_->requests(READS_PATH).back().body, "[\"a\",\"b\"]\n");
    service_.reset();
    EXPECT_FALSE(std::filesystem::exists(file)) << "nothing left to keep";
}

// --- the stream ---------------------------------------------------------------------------

TEST_F(MessageServiceTest, PushedMessagesArriveAndOneReadIsOneBatch) {
    Batches batches;
    service_->start_message_stream(batches.callback());
    wait_for_stream();
    const sandbox::Message sent = server_->push_message(pushed("Счёт", "[здесь](http://h/a)"));
    ASSERT_TRUE(wait_for([&] { return batches.has(utf8_to_wide(sent.id)); }));

    server_->push_raw({message_event("a") + "event: heartbeat\ndata: ping\n\n" + message_event("b")});
    ASSERT_TRUE(wait_for([&] { return batches.has(L"b"); }));
    EXPECT_EQ(batches.all().back(), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(server_->requests(STREAM_PATH).at(0).header("Authorization"), "varnel.sid " + sid_);
}

TEST_F(MessageServiceTest, DuplicatesAreDroppedOnlyRightAfterConnecting) {
    Batches batches;
    server_->add_fault(raw_stream({message_event("a") + message_event("a") + message_event("b"),
                                   message_event("c") + message_event("c")},
                                  300ms));
    service_->start_message_stream(batches.callback());
    ASSERT_TRUE(wait_for([&] { return batches.ids().size() >= 4; }));
    EXPECT_EQ(batches.all(), (std::vector<std::vector<std::wstring>>{{L"a", L"b"}, {L"c", L"c"}}));
}

TEST_F(MessageServiceTest, ALineSplitAcrossReadsIsDeliveredWhole) {
    // One connection per cut: the data line arrives in two writes, then the server drops it.
    const std::string line = "data: {\"id\": \"split-XX\", \"subject\": \"Счёт\", \"created\": \"2016-03-01T09:05\"}\n";
    std::vector<std::wstring> expected;
    for (std::size_t cut = 1; cut < line.size(); ++cut) {
        std::string text = "event: message\n" + line + "\n";
        const std::string id = (cut < 10 ? "0" : "") + std::to_string(cut);
        text.replace(text.find("XX"), 2, id);
        const std::size_t at = std::string("event: message\n").size() + cut;
        sandbox::Fault split = raw_stream({text.substr(0, at), text.substr(at)}, 5ms);
        split.drop_after_bytes = static_cast<std::int64_t>(text.size());
        server_->add_fault(split);
        expected.push_back(L"split-" + utf8_to_wide(id));
    }
    service_->set_retry_delay(1ms);
    Batches batches;
    service_->start_message_stream(batches.callback());
    ASSERT_TRUE(wait_for([&] { return batches.ids().size() >= expected.size(); }, 60s));
    EXPECT_EQ(batches.ids(), expected);
}

TEST_F(MessageServiceTest, AnUnreadableEventKeepsTheConnection) {
    testing::CapturedLog log;
    Batches batches;
    service_->start_message_stream(batches.callback());
    wait_for_stream();
    server_->push_raw({message_event("a") + "event: message\ndata: {\"id\": \"x\", \"created\": 5}\n\n" +
                       "event: message\ndata: {oops\n\n" + message_event("b")});
    ASSERT_TRUE(wait_for([&] { return batches.has(L"b"); }));
    EXPECT_EQ(batches.all().back(), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(server_->streams_opened(), 1u);
    EXPECT_EQ(log.count(L"ERROR", L"Skipped"), 2u);
}

TEST_F(MessageServiceTest, AFailedConnectionIsRetriedAfterFiveSeconds) {
    testing::CapturedLog log;
    server_->add_fault(fault(STREAM_PATH, 503, R"({"status": 503, "message": "busy"})"));
    Batches batches;
    service_->start_message_stream(batches.callback());
    wait_for_stream(2);
    const auto requests = server_->requests(STREAM_PATH);
    ASSERT_EQ(requests.size(), 2u);
    const auto pause = requests[1].received - requests[0].received;
    EXPECT_GE(pause, 5000ms);
    EXPECT_LT(pause, 7000ms);
    EXPECT_EQ(log.count(L"ERROR", L"503"), 1u);

    const sandbox::Message sent = server_->push_message(pushed("after"));
    EXPECT_TRUE(wait_for([&] { return batches.has(utf8_to_wide(sent.id)); }));
}

TEST_F(MessageServiceTest, UnauthorizedEndsTheStream) {
    service_->set_retry_delay(1ms);
    Batches batches;
    service_->start_message_stream(batches.callback());
    wait_for_stream();
    // A message through the stream: the connection is past its catch-up read.
    const sandbox::Message sent = server_->push_message(pushed("before"));
    ASSERT_TRUE(wait_for([&] { return batches.has(utf8_to_wide(sent.id)); }));
    // Signing the session out on the server closes its stream; the reconnection gets 401.
    server_->end_session(sid_);
    ASSERT_TRUE(wait_for([&] { return !service_->stream_running(); }));
    EXPECT_EQ(server_->requests(STREAM_PATH).size(), 2u);
    EXPECT_EQ(server_->open_streams(), 0u);
}

TEST_F(MessageServiceTest, AServerRestartIsFollowedByReconnection) {
    service_->set_retry_delay(50ms);
    Batches batches;
    service_->start_message_stream(batches.callback());
    wait_for_stream();
    server_->restart();
    wait_for_stream(2);
    const sandbox::Message sent = server_->push_message(pushed("после перезапуска"));
    EXPECT_TRUE(wait_for([&] { return batches.has(utf8_to_wide(sent.id)); }));
}

TEST_F(MessageServiceTest, StopEndsAnIdleOrHalfReadStreamPromptly) {
    for (bool half_read : {false, true}) {
        Batches batches;
        service_->start_message_stream(batches.callback());
        ASSERT_TRUE(wait_for([&] { return server_->open_streams() == 1; }));
        if (half_read)
            server_->push_raw({"event: message\ndata: {\"id\": \"half\", "});
        const auto started = std::chrono::steady_clock::now();
        service_->stop_message_stream();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        EXPECT_FALSE(service_->stream_running());
        ASSERT_TRUE(wait_for([&] { return server_->open_streams() == 0; }));
        EXPECT_TRUE(batches.all().empty());
    }
    service_->stop_message_stream();  // a second stop does nothing
}

TEST_F(MessageServiceTest, StopWaitsForARunningCallbackAndNoneFollows) {
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool release = false;
    std::atomic<int> calls{0};
    service_->start_message_stream([&](std::vector<Message>&&) {
        ++calls;
        std::unique_lock lock(mutex);
        inside = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        inside = false;
    });
    wait_for_stream();
    server_->push_raw({message_event("a")});
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return inside; }));
    }
    std::future<void> stop = std::async(std::launch::async, [&] { service_->stop_message_stream(); });
    EXPECT_EQ(stop.wait_for(300ms), std::future_status::timeout);
    {
        const std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    stop.get();
    EXPECT_FALSE(inside);
    server_->push_raw({message_event("b")});
    server_->push_message(pushed("late"));
    EXPECT_TRUE(wait_for([&] { return server_->open_streams() == 0; }));
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(MessageServiceTest, TheCallbackMayStopTheStream) {
    std::atomic<int> calls{0};
    service_->start_message_stream([&](std::vector<Message>&&) {
        ++calls;
        service_->stop_message_stream();
    });
    wait_for_stream();
    // Asked from another thread all the while the callback stops the stream.
    std::atomic<bool> asking{true};
    std::thread asker([&] {
        while (asking)
            service_->stream_running();
    });
    server_->push_raw({message_event("a")});
    const bool stopped = wait_for([&] { return calls.load() == 1 && server_->open_streams() == 0; });
    asking = false;
    asker.join();
    ASSERT_TRUE(stopped);
    EXPECT_FALSE(service_->stream_running());
    // A witness stream of its own: once it has "b", a stream the callback failed to stop,
    // or one that came back, would have had it too.
    MessageService witness(client_, utf8_to_wide(server_->api_url()));
    witness.set_session_id(utf8_to_wide(sid_));
    Batches seen;
    witness.start_message_stream(seen.callback());
    ASSERT_TRUE(wait_for([&] { return server_->open_streams() == 1; }));
    server_->push_raw({message_event("b")});
    ASSERT_TRUE(wait_for([&] { return seen.has(L"b"); }));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(server_->requests(STREAM_PATH).size(), 2u);  // the stopped stream never asked again
}

TEST_F(MessageServiceTest, StartingAgainReplacesTheRunningStream) {
    Batches old_batches;
    Batches new_batches;
    service_->start_message_stream(old_batches.callback());
    wait_for_stream();
    service_->start_message_stream(new_batches.callback());
    wait_for_stream(2);
    const sandbox::Message sent = server_->push_message(pushed("one"));
    ASSERT_TRUE(wait_for([&] { return new_batches.has(utf8_to_wide(sent.id)); }));
    EXPECT_TRUE(old_batches.all().empty());
    EXPECT_EQ(server_->open_streams(), 1u);
}

}  // namespace
}  // namespace agent
