#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
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
    // for again next time.
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

}  // namespace details

// Moves messages between the agent API and the desktop: paging readers, the read marks,
// and the live stream of new messages.
class MessageService {
public:
    // Called on the stream thread with each batch of new messages, in arrival order.
    using Callback = std::function<void(std::vector<Message>&&)>;

    // Reconnection delay after a failed connection.
    static constexpr std::chrono::milliseconds RETRY_DELAY{5000};

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
    // Sends the queued ids as one JSON array. 204 takes them off the queue; any other
    // answer throws the API error and keeps them for the next call. Blocks the caller
    // while a worker runs the request.
    void mark_queue_as_read();

    // Starts the stream thread (stopping a running one first). The thread reconnects at
    // once when the body ends, after the retry delay when a connection fails, and ends on
    // 401 (the session is gone).
    void start_message_stream(Callback callback);
    // Ends the stream thread promptly, also while it waits for data, and waits for it: the
    // callback is never called after this returns. Called from inside the callback, it
    // ends the stream without waiting. A callback running on the stream thread must not
    // wait for the thread that calls this.
    void stop_message_stream();
    bool stream_running() const;
    // Ends the stream's connection and opens a new one at once (also cutting short a
    // retry delay), so that the stream follows changed transport settings such as the
    // proxy. Nothing happens when no stream runs.
    void reconnect_message_stream();

    // The delay before a failed connection is retried; tests shorten it.
    void set_retry_delay(std::chrono::milliseconds delay) { retry_delay_ = delay; }

    // The ids waiting in the process-wide read queue, oldest first.
    static std::vector<std::wstring> read_queue();
    static void clear_read_queue_for_testing();

    struct StreamState;

private:
    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring api_base_;
    std::wstring session_id_;
    std::chrono::milliseconds retry_delay_ = RETRY_DELAY;
    std::shared_ptr<StreamState> stream_;
    std::thread stream_thread_;
};

}  // namespace agent
