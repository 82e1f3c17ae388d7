// The fault campaign of the message stream against the stand-in provider: in every case a
// message pushed while things go wrong reaches the callback exactly once, and no message
// the user already had (the seed's unread ones) is handed over as new.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "details/configuration.h"
#include "details/logger.h"
#include "details/strings.h"
#include "model/agent_client.h"
#include "model/message_service.h"
#include "sandbox_server.h"
#include "support/sandbox.h"

namespace agent {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using details::utf8_to_wide;
using testing::wait_for;

const std::string STREAM_PATH = "/api/v1/messages/stream";

sandbox::Fault stream_fault(int status, int count = 1) {
    sandbox::Fault fault;
    fault.path = STREAM_PATH;
    fault.status = status;
    fault.count = count;
    return fault;
}

// How often each id reached the callback.
class Deliveries {
public:
    MessageService::Callback callback() {
        return [this](std::vector<Message>&& batch) {
            const std::lock_guard lock(mutex_);
            for (const Message& message : batch)
                ++counts_[details::wide_to_utf8(message.id)];
        };
    }
    std::map<std::string, int> counts() const {
        const std::lock_guard lock(mutex_);
        return counts_;
    }
    bool has(const std::string& id) const { return counts().count(id) != 0; }

private:
    mutable std::mutex mutex_;
    std::map<std::string, int> counts_;
};

class StreamRecoveryTest : public testing::SandboxTest {
protected:
    // The configuration file's limit for this suite; 0 leaves the key out (the shipped limit).
    std::uint32_t silence_limit_key = 1;

    void SetUp() override {
        SandboxTest::SetUp();
        sandbox::Options options;
        options.heartbeat = 200ms;
        server_ = std::make_unique<sandbox::Server>(options);
        server_->start();
        // Written and read back through the file, as a tester would set the limit.
        auto written = ConfigurationKeyValue::load(home().data_directory());
        written->uri = utf8_to_wide(server_->api_url());
        written->auth_uri = utf8_to_wide(server_->auth_url());
        written->proxy.mode = winhttp::NoProxy;
        written->stream_silence_limit = silence_limit_key;
        written->save();
        agent_ = AgentClient::create(ConfigurationKeyValue::load(home().data_directory()));
        details::install_logger(nullptr);
        agent_->authenticate(utf8_to_wide(sandbox::Server::DEMO_LOGIN), utf8_to_wide(sandbox::Server::DEMO_PASSWORD),
                             false);
        service().set_retry_delay(200ms);
    }

    void TearDown() override {
        agent_.reset();
        server_.reset();
        SandboxTest::TearDown();
    }

    MessageService& service() { return agent_->message_service(); }
    sandbox::Server& server() { return *server_; }

    // Running and reading the stream: a first message has come, so the connection's
    // catch-up is over (it comes before the stream is read).
    void start() {
        service().start_message_stream(deliveries_.callback());
        ASSERT_TRUE(wait_for([&] { return server().open_streams() == 1; }));
        const std::string ready = push("ready");
        ASSERT_TRUE(wait_for([&] { return deliveries_.has(ready); }));
    }

    std::string push(const std::string& subject) {
        sandbox::Message message;
        message.subject = subject;
        message.body = "Требование о представлении пояснений";
        const std::string id = server().push_message(message).id;
        pushed_.push_back(id);
        return id;
    }

    // Once the stream is healthy again, a last message through it is a point after which
    // no late copy can come: every message pushed arrived once, and nothing else did.
    void expect_each_pushed_once() {
        const std::string marker = push("marker");
        ASSERT_TRUE(wait_for([&] { return deliveries_.has(marker); }, 20s)) << "lost";
        std::map<std::string, int> expected;
        for (const std::string& id : pushed_)
            expected[id] = 1;
        EXPECT_EQ(deliveries_.counts(), expected);
    }

    std::unique_ptr<sandbox::Server> server_;
    std::unique_ptr<AgentClient> agent_;
    Deliveries deliveries_;
    std::vector<std::string> pushed_;
};

TEST_F(StreamRecoveryTest, ABlackHoledStreamIsFoundByTheSilenceLimit) {
    start();
    const auto frozen = std::chrono::steady_clock::now();
    ASSERT_EQ(server().freeze_streams(), 1u);
    const std::string missed = push("pushed into the black hole");
    ASSERT_TRUE(wait_for([&] { return deliveries_.has(missed); }, 20s));
    // Not before the limit, counted from the last heartbeat (at most 200 ms before the freeze):
    // heartbeats keep a live stream well inside it.
    EXPECT_GE(std::chrono::steady_clock::now() - frozen, 800ms);
    EXPECT_EQ(server().streams_opened(), 2u);
    expect_each_pushed_once();
}

TEST_F(StreamRecoveryTest, AMessageJustBeforeTheFirstStreamOpensIsNotMissed) {
    sandbox::Fault slow;
    slow.path = STREAM_PATH;
    slow.delay = 500ms;
    server().add_fault(slow);
    service().start_message_stream(deliveries_.callback());
    // The messages already there have been read; the stream is not open yet.
    ASSERT_TRUE(wait_for([&] { return server().requests(STREAM_PATH).size() == 1; }));
    ASSERT_EQ(server().open_streams(), 0u);
    push("between the first read and the stream");
    expect_each_pushed_once();
}

TEST_F(StreamRecoveryTest, AServerRestartLosesNothing) {
    start();
    server().stop();
    push("pushed while the server was down");
    server().start();
    expect_each_pushed_once();
}

TEST_F(StreamRecoveryTest, AConnectionDroppedMidLineLosesNothing) {
    start();
    const std::string cut = "event: message\ndata: {\"id\": \"half\", \"subj";
    sandbox::Fault fault;
    fault.path = STREAM_PATH;
    fault.raw_stream = {cut};
    fault.drop_after_bytes = static_cast<std::int64_t>(cut.size());
    server().add_fault(fault);
    server().close_streams();
    ASSERT_TRUE(wait_for([&] { return server().streams_opened() >= 2; }));
    push("pushed around the cut");
    expect_each_pushed_once();
    // The cut connection's own catch-up may already have brought both; the next one comes.
    EXPECT_TRUE(wait_for([&] { return server().streams_opened() >= 3; }));
}

TEST_F(StreamRecoveryTest, BurstsOfServiceUnavailableLoseNothing) {
    start();
    server().add_fault(stream_fault(503, 3));
    server().close_streams();
    ASSERT_TRUE(wait_for([&] { return server().requests(STREAM_PATH).size() >= 2; }));
    push("pushed between refusals");
    expect_each_pushed_once();
    EXPECT_EQ(server().requests(STREAM_PATH).size(), 5u);
}

TEST_F(StreamRecoveryTest, GarbageIsSkippedAndAFloodEndsOnlyItsConnection) {
    start();
    server().push_raw({"\x00\xff\xfe binary\n"s, "event: message\ndata: {\"id\": 7, \"created\": []}\n\n",
                       "event: message\ndata: [1, 2\n\n", "event: wat\ndata: {\"id\": \"nope\"}\n\n", "data: x\n"});
    push("after the garbage");
    ASSERT_TRUE(wait_for([&] { return deliveries_.counts().size() == 2; }));
    EXPECT_EQ(server().streams_opened(), 1u);

    server().push_raw({std::string(details::MessageStreamParser::MAX_BLOCK + 1, 'z')});
    push("behind the flood");
    expect_each_pushed_once();
    EXPECT_EQ(server().streams_opened(), 2u);
}

TEST_F(StreamRecoveryTest, UnauthorizedEndsTheStreamAndTheNextStartCatchesUp) {
    start();
    const std::string before = push("before");
    ASSERT_TRUE(wait_for([&] { return deliveries_.has(before); }));
    server().add_fault(stream_fault(401));
    server().close_streams();
    ASSERT_TRUE(wait_for([&] { return !service().stream_running(); }));
    push("while no stream ran");
    // The shell starts the stream again when its own next call shows the session alive.
    start();
    expect_each_pushed_once();
}

TEST_F(StreamRecoveryTest, CatchUpAndReplaysAcrossTwoReconnectionsDeliverEachOnce) {
    start();
    server().freeze_streams();
    const std::string a = push("first gap, a");
    const std::string b = push("first gap, b");
    ASSERT_TRUE(wait_for([&] { return deliveries_.has(a) && deliveries_.has(b); }, 20s));

    // The second reconnection is refused once, a message arrives meanwhile, and the server
    // then replays the latest messages at the start of the new stream.
    std::string replay;
    for (const auto& message : server().messages())
        if (message.id == a || message.id == b)
            replay += "event: message\ndata: {\"id\": \"" + message.id + "\", \"created\": \"" + message.created +
                      "\"}\n\n";
    server().add_fault(stream_fault(503));
    sandbox::Fault replaying;
    replaying.path = STREAM_PATH;
    replaying.raw_stream = {replay, replay};
    server().add_fault(replaying);
    server().close_streams();
    ASSERT_TRUE(wait_for([&] { return server().requests(STREAM_PATH).size() >= 3; }));
    push("second gap, c");
    expect_each_pushed_once();
}

class ShippedLimitTest : public StreamRecoveryTest {
protected:
    ShippedLimitTest() { silence_limit_key = 0; }
};

TEST_F(ShippedLimitTest, AResumeSignalReconnectsAtOnceAlsoFromTheRetryPause) {
    ASSERT_EQ(service().silence_limit(), MessageService::SILENCE_LIMIT);
    start();
    server().freeze_streams();
    const std::string missed = push("pushed while the laptop slept");
    const auto resumed = std::chrono::steady_clock::now();
    service().reconnect_message_stream();
    ASSERT_TRUE(wait_for([&] { return deliveries_.has(missed); }));
    EXPECT_LT(std::chrono::steady_clock::now() - resumed, 5s);

    service().set_retry_delay(MessageService::RETRY_DELAY);
    service().stop_message_stream();
    server().add_fault(stream_fault(503));
    service().start_message_stream(deliveries_.callback());
    ASSERT_TRUE(wait_for([&] { return server().requests(STREAM_PATH).size() == 3; }));
    service().reconnect_message_stream();
    ASSERT_TRUE(wait_for([&] { return server().requests(STREAM_PATH).size() == 4; }, 2s));
    expect_each_pushed_once();
}

}  // namespace
}  // namespace agent
