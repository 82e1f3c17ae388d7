#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/message.h"

namespace Json {
class CharReader;
}

namespace winhttp {
class SimpleClient;
class CancelHandle;
}  // namespace winhttp

namespace agent {

// Pages through the user's messages, newest first: each call returns the next older page.
// Used by one thread at a time.
class MessageReader {
public:
    MessageReader(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base, std::wstring session_id,
                  std::int32_t count);

    // The next older page; empty once paging has finished. A failed call (API error,
    // transfer failure) throws and leaves the reader as it was, so the same page is asked
    // for again next time. The server's "previous" link is followed only on the agent
    // API's own origin (it gets the session): any other is not asked for, logged, and
    // fails as a transfer does (WinHttpException CURLE_UNSUPPORTED_PROTOCOL, "same_origin").
    std::vector<Message> get_messages();

    bool finished() const noexcept { return finished_; }
    std::int32_t count() const noexcept { return count_; }
    const std::wstring& previous() const noexcept { return previous_; }
    const std::wstring& next() const noexcept { return next_; }

private:
    bool finished_ = false;
    std::int32_t count_;
    std::wstring api_base_;
    std::wstring session_id_;
    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring previous_;
    std::wstring next_;
};

namespace details {

// Cuts the body of "/v1/messages/stream" into blocks and reads the message events in
// them. Wire format: LF-ended lines; "event: <kind>" names the kind ("message",
// "heartbeat", "error") of the "data: <text>" lines after it, a message's data being one
// JSON object. A block is everything up to a read that ends with LF: its messages are
// delivered together when that read arrives. Complete lines are read as they come; only
// an unfinished line is kept back.
class MessageStreamParser {
public:
    // A block still open after this many bytes ends the connection (a server sending
    // nonsense must not eat the memory).
    static constexpr std::size_t MAX_BLOCK = 16 * 1024 * 1024;

    MessageStreamParser();
    ~MessageStreamParser();
    MessageStreamParser(const MessageStreamParser&) = delete;
    MessageStreamParser& operator=(const MessageStreamParser&) = delete;

    // A new connection: nothing pending, the next block is its first.
    void restart();

    // One read of the body. Returns the messages of the block the read completes, in
    // order; none while the block is still open. In a connection's first block, a message
    // whose id is already in the batch is left out (a reconnection may resend the last
    // ones). An unreadable message (bad JSON, bad "created") is logged and left out.
    // Throws std::length_error past MAX_BLOCK.
    std::vector<Message> feed(std::string_view data);

    // Bytes of the open block (0 between blocks).
    std::size_t pending_size() const noexcept { return block_size_; }

private:
    enum class Kind { Unrecognised, Message, Heartbeat, Error };

    void start_block();
    void read_line(std::string_view line);
    void read_data(std::string_view data);

    std::unique_ptr<Json::CharReader> reader_;
    std::string partial_;  // an unfinished line
    std::size_t block_size_ = 0;
    std::vector<Message> batch_;
    bool first_block_ = true;
    Kind kind_ = Kind::Unrecognised;
    bool block_ended_ = false;  // an error event ends the reading of its block
    bool last_was_event_ = false;
    std::unordered_set<std::wstring> first_ids_;
};

// The ids one stream session has handed to the callback, or found already there when it
// began, so that each message reaches the callback once however often the stream
// reconnects. An id is remembered with its source: the number of the connection whose
// stream brought it (from 1), or CAUGHT_UP for what the reads of the newest messages
// found. Holds at
// most CAPACITY ids, forgetting the oldest first: a catch-up reads only the newest pages,
// where ids that old do not come back.
class DeliveredIds {
public:
    static constexpr std::size_t CAPACITY = 4096;
    static constexpr std::uint64_t CAUGHT_UP = 0;

    bool contains(const std::wstring& id) const { return sources_.count(id) != 0; }
    // Remembers an unknown id; false when it was known (the source stays as it was).
    bool remember(const std::wstring& id, std::uint64_t source);
    // Whether the stream of `connection` hands the id over: when it is unknown (it is
    // remembered then) or known from this same connection, whose later blocks deliver
    // what they carry. An id known from a catch-up or an earlier connection is left out.
    bool admit(const std::wstring& id, std::uint64_t connection);
    std::size_t size() const noexcept { return sources_.size(); }

private:
    std::unordered_map<std::wstring, std::uint64_t> sources_;
    std::deque<std::wstring> order_;  // oldest first
};

}  // namespace details

// Moves messages between the agent API and the desktop: paging readers, the read marks,
// and the live stream of new messages.
class MessageService {
public:
    // Called on the stream thread with each batch of new messages, in arrival order.
    using Callback = std::function<void(std::vector<Message>&&)>;

    // Reconnection delay after a failed connection.
    static constexpr std::chrono::milliseconds RETRY_DELAY{5000};
    // A stream that brings no byte, heartbeats included, for this long is taken for dead and
    // reconnected at once (a connection can die without a word: the laptop slept, a NAT
    // forgot it). The provider sends a heartbeat after 15 s without a message, so six may go
    // missing before the limit, and a dead connection is found and the stream back within
    // two minutes. A server that stays silent longer is only reconnected, never counted as
    // failing. The configuration's "stream_silence_limit" replaces it.
    static constexpr std::chrono::milliseconds SILENCE_LIMIT{90000};
    // After a reconnection the newest messages are read in pages of this size, up to
    // CATCH_UP_PAGES pages, until a page holds a message the stream session knows.
    static constexpr std::int32_t CATCH_UP_PAGE = 50;
    static constexpr int CATCH_UP_PAGES = 10;

    MessageService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base);
    // Stops the stream.
    ~MessageService();
    MessageService(const MessageService&) = delete;
    MessageService& operator=(const MessageService&) = delete;

    void set_session_id(const std::wstring& session_id);
    const std::wstring& session_id() const noexcept { return session_id_; }
    const std::wstring& api_base() const noexcept { return api_base_; }

    // A reader of pages of `count` messages with the current session.
    MessageReader create_reader(std::int32_t count) const;

    // Queues the id in the process-wide read queue; sends the queue when send_now is set or
    // 11 ids have gathered. An empty id is logged and ignored.
    void mark_as_read(const std::wstring& id, bool send_now);
    // Queues the id only; nothing is sent. False for an empty id (logged).
    bool queue_read_mark(const std::wstring& id);
    // Sends the queued ids as one JSON array. 204 takes them off the queue; any other
    // answer throws the API error and keeps them for the next call. Blocks the caller
    // while a worker runs the request, at most for the client's time-out (60 s when it
    // has none): past it the request is cancelled and WinHttpException
    // CURLE_OPERATION_TIMEDOUT is thrown, the ids staying queued. One send at a time in the
    // process: a second caller waits for the first.
    void mark_queue_as_read();

    // Sends the read queue on the service's own thread and returns at once: leaving the
    // list never waits for the server. A send asked for while one runs is one more send
    // after it. A failure is logged; the ids stay queued for the next send.
    void send_read_queue();
    // Gives the sends running or asked for up to `limit` to end, then cuts the one running
    // short; returns when none runs any more. The ids that did not go stay queued.
    void finish_read_sends(std::chrono::milliseconds limit);
    // How long the end of the service waits for a send before keeping what is left.
    static constexpr std::chrono::milliseconds READ_SEND_GRACE{2000};
    // The file that keeps the queue from one run to the next: ids an earlier run left there
    // join the queue now (and the file goes); the destructor gives a running send
    // READ_SEND_GRACE and writes there what is still queued.
    void keep_read_queue_in(std::wstring file);
    // Sign-out: the queued ids belong to the leaving session. Gives a send READ_SEND_GRACE,
    // then forgets what is left, here and in the file.
    void drop_read_queue();

    // Starts the stream thread (stopping a running one first). The thread reconnects at
    // once when the body ends or the silence limit passes, after the retry delay when a
    // connection fails, and ends on 401 (the session is gone).
    //
    // Before the first stream of a session id the newest messages are read once: they are
    // there already, not new. Then every connection catches up once it is answered: the
    // messages that reached the server while no stream was open, unread and not yet handed
    // over, go to the callback as one batch, oldest first, before anything the new stream
    // brings. A message reaches the callback once per session id, whichever way it came
    // (the same id twice in one later block of one connection still comes twice, as the
    // server sent it).
    void start_message_stream(Callback callback);
    // Drops the stream's connection and opens a new one at once, also from the retry
    // pause; then catches up. For the moments a connection is likely dead or about to be:
    // the system resumed from sleep, the network came back or changed, the proxy changed.
    // Nothing happens without a running stream. Call it on the thread that starts and stops the stream.
    void reconnect_message_stream();
    // Ends the stream thread promptly, also while it waits for data, and waits for it: the
    // callback is never called after this returns. Called from inside the callback, it
    // ends the stream without waiting. A callback running on the stream thread must not
    // wait for the thread that calls this.
    void stop_message_stream();
    bool stream_running() const;

    // The delay before a failed connection is retried; tests shorten it.
    void set_retry_delay(std::chrono::milliseconds delay) { retry_delay_ = delay; }
    // The silence limit of the streams started afterwards; 0: none.
    void set_silence_limit(std::chrono::milliseconds limit) { silence_limit_ = limit; }
    std::chrono::milliseconds silence_limit() const noexcept { return silence_limit_; }

    // The ids waiting in the process-wide read queue, oldest first.
    static std::vector<std::wstring> read_queue();
    static void clear_read_queue_for_testing();

    struct StreamState;
    struct StreamHistory;
    struct ReadSender;
    struct ReadSend;

private:
    void save_read_queue();

    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring api_base_;
    std::wstring session_id_;
    std::chrono::milliseconds retry_delay_ = RETRY_DELAY;
    std::chrono::milliseconds silence_limit_ = SILENCE_LIMIT;
    // What the streams of the current session id have handed over; a new id starts afresh.
    std::shared_ptr<StreamHistory> history_;
    mutable std::mutex stream_mutex_;  // guards the two below
    std::shared_ptr<StreamState> stream_;
    std::thread stream_thread_;
    std::wstring read_queue_file_;
    // The thread of send_read_queue, made on first use.
    std::unique_ptr<ReadSender> sender_;
    // The sends of mark_queue_as_read running now, which finish_read_sends may cut short.
    std::mutex sends_mutex_;
    std::vector<std::shared_ptr<ReadSend>> sends_;
};

}  // namespace agent
