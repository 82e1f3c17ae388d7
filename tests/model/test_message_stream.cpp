#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/message_service.h"
#include "support/sandbox.h"
#include "test_message_support.h"

namespace agent {
namespace {

using details::MessageStreamParser;

std::string event(const std::string& kind, const std::string& data) {
    return "event: " + kind + "\ndata: " + data + "\n\n";
}

std::string message(const std::string& id, const std::string& subject = "s") {
    return event("message", R"({"id": ")" + id + R"(", "subject": ")" + subject +
                                R"(", "created": "2016-03-01T09:05:07"})");
}

std::vector<std::wstring> ids(const std::vector<Message>& batch) {
    std::vector<std::wstring> result;
    for (const Message& m : batch)
        result.push_back(m.id);
    return result;
}

// Feeds the reads one after another; returns the ids of every batch delivered.
std::vector<std::vector<std::wstring>> feed_all(MessageStreamParser& parser, const std::vector<std::string>& reads) {
    std::vector<std::vector<std::wstring>> batches;
    for (const std::string& read : reads) {
        const std::vector<Message> batch = parser.feed(read);
        if (!batch.empty())
            batches.push_back(ids(batch));
    }
    return batches;
}

using Batches = std::vector<std::vector<std::wstring>>;
using MessageStreamParsing = testing::SandboxTest;

TEST_F(MessageStreamParsing, MessagesOfOneReadFormOneBatchInOrder) {
    MessageStreamParser parser;
    const std::vector<Message> batch = parser.feed(message("a", "Счёт") + event("heartbeat", "{}") + message("b"));
    ASSERT_EQ(ids(batch), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(batch[0].subject, L"Счёт");
    EXPECT_EQ(batch[0].created.hour, 9);
}

TEST_F(MessageStreamParsing, AReadSplitAnywhereDeliversEveryMessageOnce) {
    const std::string text = message("a") + event("heartbeat", "") + message("b") + "event: mess" +
                             "age\r\ndata: {\"id\": \"c\", \"created\": \"2016-03-01T09:05\"}\r\n\r\n";
    const std::vector<std::wstring> all = {L"a", L"b", L"c"};
    for (std::size_t cut = 1; cut < text.size(); ++cut) {
        MessageStreamParser parser;
        const std::string head = text.substr(0, cut);
        const std::vector<Message> first = parser.feed(head);
        // Nothing is delivered until a read ends with LF.
        if (head.back() != '\n') {
            ASSERT_TRUE(first.empty()) << cut;
        }
        std::vector<std::wstring> got = ids(first);
        for (const std::wstring& id : ids(parser.feed(text.substr(cut))))
            got.push_back(id);
        ASSERT_EQ(got, all) << "cut at " << cut;
        ASSERT_EQ(parser.pending_size(), 0u);
    }
    // Three pieces, every pair of cuts.
    for (std::size_t i = 1; i < text.size(); ++i) {
        for (std::size_t j = i + 1; j < text.size(); ++j) {
            MessageStreamParser parser;
            Batches batches = feed_all(parser, {text.substr(0, i), text.substr(i, j - i), text.substr(j)});
            std::vector<std::wstring> got;
            for (const auto& batch : batches)
                got.insert(got.end(), batch.begin(), batch.end());
            ASSERT_EQ(got, all) << "cuts at " << i << ", " << j;
        }
    }
}

TEST_F(MessageStreamParsing, RandomReadSizesLoseNothing) {
    std::string text;
    std::vector<std::wstring> all;
    for (int i = 0; i < 2000; ++i) {
        text += message("m" + std::to_string(i));
        all.push_back(L"m" + std::to_wstring(i));
        if (i % 7 == 0)
            text += event("heartbeat", "");
    }
    std::mt19937 random(7);
    MessageStreamParser parser;
    std::vector<std::wstring> got;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t size = 1 + random() % 300;
        for (const std::wstring& id : ids(parser.feed(text.substr(at, size))))
            got.push_back(id);
        at += size;
    }
    EXPECT_EQ(got, all);
}

TEST_F(MessageStreamParsing, DuplicatesAreDroppedOnlyInTheFirstBlockOfAConnection) {
    MessageStreamParser parser;
    EXPECT_EQ(ids(parser.feed(message("a") + message("b") + message("a"))), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(ids(parser.feed(message("c") + message("c"))), (std::vector<std::wstring>{L"c", L"c"}));
    // An empty first block still ends the first block.
    parser.restart();
    EXPECT_TRUE(parser.feed(event("heartbeat", "")).empty());
    EXPECT_EQ(ids(parser.feed(message("d") + message("d"))), (std::vector<std::wstring>{L"d", L"d"}));
    // A reconnection starts over, and forgets a half-read line.
    parser.feed("event: message\ndata: {\"id\": ");
    parser.restart();
    EXPECT_EQ(parser.pending_size(), 0u);
    EXPECT_EQ(ids(parser.feed(message("e") + message("e"))), (std::vector<std::wstring>{L"e"}));
}

TEST_F(MessageStreamParsing, KindsDecideWhichDataLinesAreRead) {
    testing::CapturedLog log;
    MessageStreamParser parser;
    // The kind holds for every data line after its event line, within the block.
    EXPECT_EQ(ids(parser.feed("event: message\ndata: {\"id\":\"a\",\"created\":\"2016-03-01T09:05\"}\n"
                              "data: {\"id\":\"b\",\"created\":\"2016-03-01T09:05\"}\n"
                              "event: heartbeat\ndata: {\"id\":\"c\",\"created\":\"2016-03-01T09:05\"}\n"
                              "event: messages\ndata: {\"id\":\"d\",\"created\":\"2016-03-01T09:05\"}\n"
                              "id: 12345678\n: comment line\ndata\nevent\n")),
              (std::vector<std::wstring>{L"a", L"b"}));
    // Without an event line in its own block a data line is not a message.
    EXPECT_TRUE(parser.feed("data: {\"id\":\"e\",\"created\":\"2016-03-01T09:05\"}\n").empty());
    // An error event is logged and ends the block; what came before it is delivered.
    EXPECT_EQ(ids(parser.feed(message("f") + event("error", "session closed") + message("g"))),
              (std::vector<std::wstring>{L"f"}));
    EXPECT_EQ(log.count(L"ERROR", L"session closed"), 1u);
    EXPECT_EQ(ids(parser.feed(message("h"))), (std::vector<std::wstring>{L"h"}));
}

TEST_F(MessageStreamParsing, AnEventLineEndingAReadNamesTheDataOfTheNext) {
    MessageStreamParser parser;
    EXPECT_TRUE(parser.feed("event: message\n").empty());
    EXPECT_EQ(ids(parser.feed("data: {\"id\":\"a\",\"created\":\"2016-03-01T09:05\"}\n\n")),
              (std::vector<std::wstring>{L"a"}));
    // Only the very next block: a blank line ends the event.
    EXPECT_TRUE(parser.feed("event: message\n\n").empty());
    EXPECT_TRUE(parser.feed("data: {\"id\":\"b\",\"created\":\"2016-03-01T09:05\"}\n").empty());
}

TEST_F(MessageStreamParsing, AnUnreadableEventIsSkippedAndTheRestDelivered) {
    testing::CapturedLog log;
    MessageStreamParser parser;
    const std::string block = message("a") + event("message", "{\"id\": \"broken\"") +
                              event("message", R"({"id": "late", "created": "yesterday"})") +
                              event("message", R"({"id": "neg", "created": "2016-03-01T09:05", "priority": -4})") +
                              event("message", "[1]") +
                              // Deeper than the JSON reader goes: it throws rather than fails.
                              event("message", std::string(1200, '[')) + message("b");
    EXPECT_EQ(ids(parser.feed(block)), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(log.count(L"ERROR", L"Skipped"), 5u);
    EXPECT_EQ(log.count(L"ERROR", L"Неверный формат даты [yesterday]"), 1u);
}

TEST_F(MessageStreamParsing, AnEndlessLineIsRefused) {
    MessageStreamParser parser;
    const std::string chunk(1024 * 1024, 'x');
    EXPECT_THROW(
        {
            for (std::size_t i = 0; i <= MessageStreamParser::MAX_BLOCK / chunk.size(); ++i)
                parser.feed(chunk);
        },
        std::length_error);
}

}  // namespace
}  // namespace agent
