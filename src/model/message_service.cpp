#include "model/message_service.h"

#include <algorithm>
#include <condition_variable>
#include <atomic>
#include <future>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <utility>

#include <curl/curl.h>
#include <json/json.h>

#include "details/exception.h"
#include "details/io.h"
#include "details/logger.h"
#include "details/strings.h"
#include "model/client_lock.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace agent {

namespace {

constexpr const wchar_t* READER_NAME = L"agent::MessageReader::get_messages";
constexpr const wchar_t* MARK_NAME = L"agent::MessageService::mark_as_read";
constexpr const wchar_t* QUEUE_NAME = L"agent::MessageService::mark_queue_as_read::send";
constexpr const wchar_t* STREAM_NAME = L"agent::MessageService::start_message_stream::stream_thread";
constexpr const wchar_t* STOP_NAME = L"agent::MessageService::stop_message_stream";
constexpr const wchar_t* CATCH_UP_NAME = L"agent::MessageService::start_message_stream::catch_up";
constexpr const wchar_t* RECONNECT_NAME = L"agent::MessageService::reconnect_message_stream";

// Ids the user has read and the server has not yet been told of, shared by every user of
// the service for the life of the process.
struct ReadQueue {
    std::mutex mutex;
    std::vector<std::wstring> ids;
    // One send at a time: two at once could each take off the queue ids only the other sent.
    std::mutex sending;
};

ReadQueue& read_queue_instance() {
    static ReadQueue queue;
    return queue;
}

std::wstring describe(const std::exception& error) {
    if (const auto* agent_error = dynamic_cast<const Exception*>(&error))
        return agent_error->description();
    return details::utf8_to_wide(std::string_view(error.what()));
}

}  // namespace

// ---------------------------------------------------------------------------------------

MessageReader::MessageReader(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base,
                             std::wstring session_id, std::int32_t count)
    : count_(count), api_base_(std::move(api_base)), session_id_(std::move(session_id)), client_(std::move(client)) {}

std::vector<Message> MessageReader::get_messages() {
    if (finished_)
        return {};
    // The server's "previous" link is a full URL and is followed as it is, but only on the
    // agent API's own origin: the request carries the user's session.
    const std::wstring url =
        previous_.empty() ? api_base_ + L"/v1/messages/top?count=" + std::to_wstring(count_) : previous_;
    if (!previous_.empty() && !details::same_origin(previous_, api_base_)) {
        AGENT_ERROR(READER_NAME) << "The link to older messages leads away from the agent API, not followed: "
                                 << details::redacted_url(previous_);
        throw WinHttpException(CURLE_UNSUPPORTED_PROTOCOL, "same_origin");
    }
    const auto client = details::lock_http_client(client_, READER_NAME);
    const details::ApiAnswer answer = details::call_api(*client, READER_NAME, url, winhttp::METHOD_GET,
                                                        details::wide_to_utf8(session_id_), nullptr, 200, 204);
    if (answer.status == 204) {
        finished_ = true;
        return {};
    }
    // Nothing is changed before the page has been read: a failure asks for it again.
    MessageList list = details::parse_messages_items(answer.body);
    previous_ = std::move(list.previous);
    next_ = std::move(list.next);
    finished_ = previous_.empty();
    return std::move(list.messages);
}

// ---------------------------------------------------------------------------------------

namespace details {

bool DeliveredIds::remember(const std::wstring& id, std::uint64_t source) {
    if (!sources_.emplace(id, source).second)
        return false;
    order_.push_back(id);
    if (order_.size() > CAPACITY) {
        sources_.erase(order_.front());
        order_.pop_front();
    }
    return true;
}

bool DeliveredIds::admit(const std::wstring& id, std::uint64_t connection) {
    const auto found = sources_.find(id);
    if (found == sources_.end())
        return remember(id, connection);
    return found->second == connection;
}

}  // namespace details

// What the streams of one session id have seen; shared by the service and its stream
// threads (a stopped thread may still be leaving while the next one starts).
struct MessageService::StreamHistory {
    std::mutex mutex;
    details::DeliveredIds ids;       // guarded by mutex
    std::uint64_t connections = 0;   // connections that were answered 200; guarded by mutex
    bool baseline = false;           // what was there before the first stream is known; guarded by mutex

    std::uint64_t begin_connection() {
        const std::lock_guard lock(mutex);
        return ++connections;
    }
};

// Shared by the service and its stream thread; the thread keeps it alive after a stop
// that could not wait for it (a stop from inside the callback).
struct MessageService::StreamState {
    std::weak_ptr<winhttp::SimpleClient> client;
    std::wstring api_base;
    std::string session_id;
    Callback callback;
    std::chrono::milliseconds retry_delay;
    std::chrono::milliseconds silence_limit;
    std::shared_ptr<StreamHistory> history;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;                           // guarded by mutex
    std::shared_ptr<winhttp::CancelHandle> request;  // the live request; guarded by mutex
    std::uint64_t reconnects_asked = 0;              // guarded by mutex
    std::uint64_t reconnects_handled = 0;            // guarded by mutex
    std::atomic<bool> ended{false};

    bool stop_requested() {
        const std::lock_guard lock(mutex);
        return stopping;
    }

    // Makes the request stoppable; false when a stop came first. A reconnection asked for
    // while the pass was between requests ends this one at once.
    bool track(std::shared_ptr<winhttp::CancelHandle> handle) {
        const std::lock_guard lock(mutex);
        if (stopping)
            return false;
        request = std::move(handle);
        if (reconnects_asked != reconnects_handled)
            request->cancel();
        return true;
    }

    void stop() {
        const std::lock_guard lock(mutex);
        stopping = true;
        if (request)
            request->cancel();
        wake.notify_all();
    }

    // A connection opened from now on answers every reconnection asked for so far.
    void begin_pass() {
        const std::lock_guard lock(mutex);
        reconnects_handled = reconnects_asked;
    }

    bool reconnect_asked() {
        const std::lock_guard lock(mutex);
        return reconnects_asked != reconnects_handled;
    }

    void ask_reconnect() {
        const std::lock_guard lock(mutex);
        ++reconnects_asked;
        if (request)
            request->cancel();
        wake.notify_all();
    }

    // Waits out the retry delay, cut short by a reconnection asked for; false when stopped.
    bool pause() {
        std::unique_lock lock(mutex);
        request.reset();
        wake.wait_for(lock, retry_delay, [this] { return stopping || reconnects_asked != reconnects_handled; });
        return !stopping;
    }
};

namespace {

enum class PassEnd { Reconnect, Retry, Finish };

// Reads the newest messages, newest first: pages until one holds a message the session
// knows (or only the first page). Nothing when stopped or the session is gone (401).
std::optional<std::vector<Message>> read_newest(MessageService::StreamState& state, winhttp::SimpleClient& client,
                                                bool first_page_only) {
    MessageService::StreamHistory& history = *state.history;
    std::vector<Message> newest;
    std::wstring url = state.api_base + L"/v1/messages/top?count=" + std::to_wstring(MessageService::CATCH_UP_PAGE);
    for (int page = 0; page < MessageService::CATCH_UP_PAGES && !url.empty(); ++page) {
        winhttp::Request request = details::open_api_request(client, CATCH_UP_NAME, url, winhttp::METHOD_GET,
                                                             state.session_id);
        if (!state.track(request.cancel_handle()))
            return std::nullopt;
        winhttp::Response response = request.receive();
        const std::uint32_t status = response.status_code();
        details::log_status(CATCH_UP_NAME, status);
        const std::vector<std::uint8_t> body = response.read_body();
        if (status == 204)
            break;
        if (status == 401) {
            AGENT_ERROR(CATCH_UP_NAME)
                << AgentApiException(details::parse_api_error(body, static_cast<std::int32_t>(status))).what();
            return std::nullopt;
        }
        if (status != 200)
            details::throw_api_error(CATCH_UP_NAME, body, status);
        details::log_body(CATCH_UP_NAME, body);
        MessageList list = details::parse_messages_items(body);
        bool reached_known = first_page_only;
        {
            const std::lock_guard lock(history.mutex);
            for (const Message& message : list.messages)
                reached_known = reached_known || history.ids.contains(message.id);
        }
        std::move(list.messages.begin(), list.messages.end(), std::back_inserter(newest));
        if (reached_known)
            break;
        url = list.previous;
    }
    return newest;
}

// Before a session id's first stream: what is already there is known, not new (the
// notifications page lists it). False: stopped or 401.
bool learn_baseline(MessageService::StreamState& state, winhttp::SimpleClient& client) {
    MessageService::StreamHistory& history = *state.history;
    {
        const std::lock_guard lock(history.mutex);
        if (history.baseline)
            return true;
    }
    const auto newest = read_newest(state, client, true);
    if (!newest)
        return false;
    const std::lock_guard lock(history.mutex);
    for (const Message& message : *newest)
        history.ids.remember(message.id, details::DeliveredIds::CAUGHT_UP);
    history.baseline = true;
    return true;
}

// Once a connection has been answered, while its bytes wait on the socket: the unread
// messages not seen before (they reached the server while no stream was open) are handed
// over, oldest first. A message pushed while this runs comes both ways and is handed over
// once. False: stopped or 401.
bool catch_up(MessageService::StreamState& state, winhttp::SimpleClient& client) {
    auto newest = read_newest(state, client, false);
    if (!newest)
        return false;
    std::vector<Message> missed;
    {
        MessageService::StreamHistory& history = *state.history;
        const std::lock_guard lock(history.mutex);
        for (auto it = newest->rbegin(); it != newest->rend(); ++it) {
            // Without an id nothing tells whether it came before.
            if (it->id.empty() || !history.ids.remember(it->id, details::DeliveredIds::CAUGHT_UP) || it->read)
                continue;
            missed.push_back(std::move(*it));
        }
    }
    AGENT_INFO(CATCH_UP_NAME) << "Missed messages: " << missed.size();
    if (missed.empty() || !state.callback)
        return true;
    if (state.stop_requested())
        return false;
    state.callback(std::move(missed));
    return true;
}

// Leaves out what the session has already handed over (see DeliveredIds::admit).
void drop_delivered(MessageService::StreamHistory& history, std::vector<Message>& batch, std::uint64_t connection) {
    const std::lock_guard lock(history.mutex);
    std::erase_if(batch, [&](const Message& message) {
        if (message.id.empty() || history.ids.admit(message.id, connection))
            return false;
        AGENT_DEBUG(STREAM_NAME) << "Already delivered: " << message.id;
        return true;
    });
}

// One connection: learn what is there (once per session id), open the stream, catch up,
// hand each batch to the callback until the body ends or the silence limit passes.
PassEnd stream_pass(MessageService::StreamState& state, details::MessageStreamParser& parser) {
    const std::shared_ptr<winhttp::SimpleClient> client = state.client.lock();
    if (!client) {
        AGENT_ERROR(STREAM_NAME) << "The HTTP client no longer exists";
        return PassEnd::Finish;
    }
    if (!learn_baseline(state, *client))
        return PassEnd::Finish;
    winhttp::Request request = details::open_api_request(*client, STREAM_NAME, state.api_base + L"/v1/messages/stream",
                                                         winhttp::METHOD_GET, state.session_id);
    // The stream stays open for as long as bytes keep coming, heartbeats included.
    request.set_timeouts(state.silence_limit);
    if (!state.track(request.cancel_handle()))
        return PassEnd::Finish;
    winhttp::Response response = request.receive();
    const std::uint32_t status = response.status_code();
    details::log_status(STREAM_NAME, status);
    if (status != 200) {
        const std::vector<std::uint8_t> body = response.read_body();
        const AgentApiException error(details::parse_api_error(body, static_cast<std::int32_t>(status)));
        AGENT_ERROR(STREAM_NAME) << error.what();
        // The session is no longer valid: the shell learns of it from its own next call.
        return status == 401 ? PassEnd::Finish : PassEnd::Retry;
    }
    const std::uint64_t connection = state.history->begin_connection();
    if (!catch_up(state, *client) || !state.track(response.cancel_handle()))
        return PassEnd::Finish;
    std::string chunk;
    try {
        while (response.read_chunk(chunk)) {
            AGENT_DEBUG(STREAM_NAME) << "Available data: " << chunk.size();
            AGENT_DEBUG(STREAM_NAME) << std::string_view(chunk);
            std::vector<Message> batch = parser.feed(chunk);
            drop_delivered(*state.history, batch, connection);
            if (batch.empty() || !state.callback)
                continue;
            if (state.stop_requested())
                return PassEnd::Finish;
            AGENT_DEBUG(STREAM_NAME) << "Result list size: " << batch.size();
            state.callback(std::move(batch));
        }
    } catch (const WinHttpException& error) {
        if (error.code() != winhttp::TRANSFER_TIMED_OUT)
            throw;
        AGENT_WARN(STREAM_NAME) << "No data for " << state.silence_limit.count() << " ms: reconnecting";
    }
    return PassEnd::Reconnect;
}

void run_stream(std::shared_ptr<MessageService::StreamState> state) {
    details::MessageStreamParser parser;
    while (!state->stop_requested()) {
        AGENT_DEBUG(STREAM_NAME) << "Start message stream";
        state->begin_pass();
        parser.restart();
        PassEnd end = PassEnd::Retry;
        try {
            end = stream_pass(*state, parser);
        } catch (const std::exception& error) {
            if (state->stop_requested())
                break;
            if (state->reconnect_asked()) {
                AGENT_INFO(STREAM_NAME) << "Reconnecting as asked";
                continue;
            }
            AGENT_ERROR(STREAM_NAME) << describe(error);
        }
        if (end == PassEnd::Finish || (end == PassEnd::Retry && !state->pause()))
            break;
    }
    state->ended = true;
}

}  // namespace

// ---------------------------------------------------------------------------------------

MessageService::MessageService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base)
    : client_(std::move(client)), api_base_(std::move(api_base)) {}

// A send of the read queue a stop can cut short.
struct MessageService::ReadSend {
    std::mutex mutex;
    std::shared_ptr<winhttp::CancelHandle> request;
    bool given_up = false;

    void give_up() {
        const std::lock_guard lock(mutex);
        given_up = true;
        if (request)
            request->cancel();
    }
};

struct MessageService::ReadSender {
    std::mutex mutex;
    std::condition_variable changed;
    bool asked = false;
    bool busy = false;
    bool stopping = false;
    std::thread thread;
};

MessageService::~MessageService() {
    stop_message_stream();
    finish_read_sends(READ_SEND_GRACE);
    save_read_queue();
}

void MessageService::send_read_queue() {
    if (!sender_) {
        sender_ = std::make_unique<ReadSender>();
        sender_->thread = std::thread([this, sender = sender_.get()] {
            std::unique_lock lock(sender->mutex);
            for (;;) {
                sender->changed.wait(lock, [sender] { return sender->asked || sender->stopping; });
                if (sender->stopping)
                    break;
                sender->asked = false;
                sender->busy = true;
                lock.unlock();
                try {
                    mark_queue_as_read();
                } catch (const std::exception& e) {
                    AGENT_ERROR(QUEUE_NAME) << describe(e) << "; the ids stay queued";
                }
                lock.lock();
                sender->busy = false;
                sender->changed.notify_all();
            }
        });
    }
    const std::lock_guard lock(sender_->mutex);
    sender_->asked = true;
    sender_->changed.notify_all();
}

void MessageService::finish_read_sends(std::chrono::milliseconds limit) {
    if (!sender_)
        return;
    {
        std::unique_lock lock(sender_->mutex);
        if (!sender_->changed.wait_for(lock, limit, [this] { return !sender_->asked && !sender_->busy; })) {
            AGENT_WARN(QUEUE_NAME) << "The read marks did not go within " << limit.count()
                                   << " ms; they are kept for the next send";
        }
        sender_->stopping = true;
        sender_->asked = false;
        sender_->changed.notify_all();
    }
    {
        const std::lock_guard lock(sends_mutex_);
        for (const auto& send : sends_)
            send->give_up();
    }
    sender_->thread.join();
    sender_.reset();
}

void MessageService::keep_read_queue_in(std::wstring file) {
    read_queue_file_ = std::move(file);
    if (!details::io::exist_file(read_queue_file_))
        return;
    const std::vector<std::uint8_t> bytes = details::io::read_file(read_queue_file_);
    details::io::delete_file(read_queue_file_);
    std::vector<std::wstring> kept;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (!line.empty() && line.size() <= 256)
            kept.push_back(details::utf8_to_wide(line));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    ReadQueue& queue = read_queue_instance();
    const std::lock_guard lock(queue.mutex);
    for (std::wstring& id : kept)
        if (std::find(queue.ids.begin(), queue.ids.end(), id) == queue.ids.end())
            queue.ids.push_back(std::move(id));
    AGENT_INFO(QUEUE_NAME) << kept.size() << " read marks of the last run wait to be sent";
}

void MessageService::save_read_queue() {
    if (read_queue_file_.empty())
        return;
    std::string text;
    {
        ReadQueue& queue = read_queue_instance();
        const std::lock_guard lock(queue.mutex);
        for (const std::wstring& id : queue.ids)
            text += details::wide_to_utf8(id) + "\n";
    }
    if (text.empty()) {
        if (details::io::exist_file(read_queue_file_))
            details::io::delete_file(read_queue_file_);
        return;
    }
    if (details::io::write_file(read_queue_file_, text.data(), text.size())) {
        AGENT_INFO(QUEUE_NAME) << "Read marks not sent are kept for the next start";
    }
}

void MessageService::drop_read_queue() {
    finish_read_sends(READ_SEND_GRACE);
    std::size_t dropped = 0;
    {
        ReadQueue& queue = read_queue_instance();
        const std::lock_guard lock(queue.mutex);
        dropped = queue.ids.size();
        queue.ids.clear();
    }
    if (dropped > 0) {
        AGENT_WARN(QUEUE_NAME) << dropped << " read marks of the session that ends were not sent";
    }
    if (!read_queue_file_.empty() && details::io::exist_file(read_queue_file_))
        details::io::delete_file(read_queue_file_);
}

void MessageService::set_session_id(const std::wstring& session_id) {
    if (session_id != session_id_)
        history_.reset();
    session_id_ = session_id;
}

MessageReader MessageService::create_reader(std::int32_t count) const {
    return MessageReader(client_, api_base_, session_id_, count);
}

bool MessageService::queue_read_mark(const std::wstring& id) {
    if (id.empty()) {
        AGENT_ERROR(MARK_NAME) << "Try to read message with empty message id";
        return false;
    }
    ReadQueue& queue = read_queue_instance();
    const std::lock_guard lock(queue.mutex);
    queue.ids.push_back(id);
    return true;
}

void MessageService::mark_as_read(const std::wstring& id, bool send_now) {
    if (id.empty()) {
        AGENT_ERROR(MARK_NAME) << "Try to read message with empty message id";
        return;
    }
    std::size_t queued = 0;
    {
        ReadQueue& queue = read_queue_instance();
        const std::lock_guard lock(queue.mutex);
        queue.ids.push_back(id);
        queued = queue.ids.size();
    }
    if (!send_now && queued < 11)
        return;
    mark_queue_as_read();
}

void MessageService::mark_queue_as_read() {
    const auto client = details::lock_http_client(client_, QUEUE_NAME);
    const std::lock_guard one_at_a_time(read_queue_instance().sending);
    // The caller (the GUI thread) waits while a worker runs the request, but never longer
    // than the request's own time-out, counted whole: a server that trickles its answer
    // never holds the GUI thread beyond it.
    const std::uint64_t seconds = client->timeouts() > 0 ? client->timeouts() : 60;
    const auto live = std::make_shared<ReadSend>();
    {
        const std::lock_guard lock(sends_mutex_);
        sends_.push_back(live);
    }
    struct Unlist {
        MessageService& service;
        std::shared_ptr<ReadSend> send;
        ~Unlist() {
            const std::lock_guard lock(service.sends_mutex_);
            std::erase(service.sends_, send);
        }
    } unlist{*this, live};
    std::future<void> task = std::async(
        std::launch::async, [client, live, url = api_base_ + L"/v1/messages/reads", session = details::wide_to_utf8(session_id_)] {
            ReadQueue& queue = read_queue_instance();
            Json::Value body(Json::arrayValue);
            {
                const std::lock_guard lock(queue.mutex);
                for (const std::wstring& id : queue.ids)
                    body.append(details::wide_to_utf8(id));
            }
            if (body.empty())
                return;
            winhttp::Request request =
                details::open_json_request(*client, QUEUE_NAME, url, winhttp::METHOD_POST, session, &body);
            {
                const std::lock_guard lock(live->mutex);
                live->request = request.cancel_handle();
                if (live->given_up)
                    live->request->cancel();
            }
            details::finish_api_call(request, QUEUE_NAME, 204);
            // Only what was sent leaves the queue.
            const std::lock_guard lock(queue.mutex);
            const std::size_t sent = std::min<std::size_t>(body.size(), queue.ids.size());
            queue.ids.erase(queue.ids.begin(), queue.ids.begin() + static_cast<std::ptrdiff_t>(sent));
        });
    if (task.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready)
        return task.get();
    live->give_up();
    AGENT_ERROR(QUEUE_NAME) << "No answer within " << seconds << " s; the ids stay queued";
    // The cancelled request ends at once. Its cancel is not the news; an answer that came
    // just in time is.
    try {
        task.get();
        return;
    } catch (const WinHttpException& e) {
        if (e.code() != CURLE_ABORTED_BY_CALLBACK)
            throw;
    }
    throw WinHttpException(CURLE_OPERATION_TIMEDOUT, "curl_easy_perform");
}

std::vector<std::wstring> MessageService::read_queue() {
    ReadQueue& queue = read_queue_instance();
    const std::lock_guard lock(queue.mutex);
    return queue.ids;
}

void MessageService::clear_read_queue_for_testing() {
    ReadQueue& queue = read_queue_instance();
    const std::lock_guard lock(queue.mutex);
    queue.ids.clear();
}

void MessageService::start_message_stream(Callback callback) {
    stop_message_stream();
    auto state = std::make_shared<StreamState>();
    state->client = client_;
    state->api_base = api_base_;
    state->session_id = details::wide_to_utf8(session_id_);
    state->callback = std::move(callback);
    state->retry_delay = retry_delay_;
    state->silence_limit = silence_limit_;
    if (!history_)
        history_ = std::make_shared<StreamHistory>();
    state->history = history_;
    const std::lock_guard lock(stream_mutex_);
    stream_ = state;
    stream_thread_ = std::thread(run_stream, std::move(state));
}

void MessageService::stop_message_stream() {
    // Taken out under the lock, so that a stop from the callback and a question from
    // another thread never see the members half changed.
    std::shared_ptr<StreamState> state;
    std::thread thread;
    {
        const std::lock_guard lock(stream_mutex_);
        state = std::move(stream_);
        thread = std::move(stream_thread_);
    }
    if (!thread.joinable())
        return;
    try {
        state->stop();
        if (thread.get_id() == std::this_thread::get_id()) {
            // Called by the callback: the thread ends when the callback returns.
            thread.detach();
        } else {
            thread.join();
        }
    } catch (const std::exception& error) {
        AGENT_ERROR(STOP_NAME) << describe(error);
        if (thread.joinable())
            thread.detach();
    }
}

void MessageService::reconnect_message_stream() {
    const std::lock_guard lock(stream_mutex_);
    if (!stream_ || stream_->ended)
        return;
    AGENT_INFO(RECONNECT_NAME) << "Reconnecting the message stream";
    stream_->ask_reconnect();
}

bool MessageService::stream_running() const {
    const std::lock_guard lock(stream_mutex_);
    return stream_ && !stream_->ended;
}

}  // namespace agent
