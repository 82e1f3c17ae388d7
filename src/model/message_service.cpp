#include "model/message_service.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <stdexcept>
#include <utility>

#include <json/json.h>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace agent {

namespace {

constexpr const wchar_t* READER_NAME = L"agent::MessageReader::get_messages";
constexpr const wchar_t* MARK_NAME = L"agent::MessageService::mark_as_read";
constexpr const wchar_t* QUEUE_NAME = L"agent::MessageService::mark_queue_as_read::send";
constexpr const wchar_t* STREAM_NAME = L"agent::MessageService::start_message_stream::stream_thread";
constexpr const wchar_t* STOP_NAME = L"agent::MessageService::stop_message_stream";

// Ids the user has read and the server has not yet been told of, shared by every user of
// the service for the life of the process.
struct ReadQueue {
    std::mutex mutex;
    std::vector<std::wstring> ids;
};

ReadQueue& read_queue_instance() {
    static ReadQueue queue;
    return queue;
}

std::shared_ptr<winhttp::SimpleClient> lock_client(const std::weak_ptr<winhttp::SimpleClient>& client) {
    std::shared_ptr<winhttp::SimpleClient> locked = client.lock();
    if (!locked)
        throw std::logic_error("The HTTP client of the message service no longer exists");
    return locked;
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
    // The server's "previous" link is a full URL and is followed as it is.
    const std::wstring url =
        previous_.empty() ? api_base_ + L"/v1/messages/top?count=" + std::to_wstring(count_) : previous_;
    const auto client = lock_client(client_);
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

// Shared by the service and its stream thread; the thread keeps it alive after a stop
// that could not wait for it (a stop from inside the callback).
struct MessageService::StreamState {
    std::weak_ptr<winhttp::SimpleClient> client;
    std::wstring api_base;
    std::string session_id;
    Callback callback;
    std::chrono::milliseconds retry_delay;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;                           // guarded by mutex
    bool reconnect = false;                          // a new connection is wanted now; guarded by mutex
    std::shared_ptr<winhttp::CancelHandle> request;  // the live request; guarded by mutex
    std::atomic<bool> ended{false};

    bool stop_requested() {
        const std::lock_guard lock(mutex);
        return stopping;
    }

    // Makes the request stoppable; false when a stop came first. A request opened while a
    // reconnection was being asked for may have been set up with the old settings: it ends
    // at once, and the next one is opened.
    bool track(std::shared_ptr<winhttp::CancelHandle> handle) {
        const std::lock_guard lock(mutex);
        if (stopping)
            return false;
        request = std::move(handle);
        if (reconnect)
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

    // Ends the live connection so that the next one is opened at once.
    void reconnect_now() {
        const std::lock_guard lock(mutex);
        if (stopping)
            return;
        reconnect = true;
        if (request)
            request->cancel();
        wake.notify_all();
    }

    // Whether the connection that just ended was ended by reconnect_now(); clears the wish.
    bool take_reconnect() {
        const std::lock_guard lock(mutex);
        return std::exchange(reconnect, false);
    }

    // Waits out the retry delay, cut short by a wish to reconnect; false when stopped.
    bool pause() {
        std::unique_lock lock(mutex);
        request.reset();
        wake.wait_for(lock, retry_delay, [this] { return stopping || reconnect; });
        return !stopping;
    }
};

namespace {

enum class PassEnd { Reconnect, Retry, Finish };

// One connection: open the stream, hand each batch to the callback until the body ends.
PassEnd stream_pass(MessageService::StreamState& state, details::MessageStreamParser& parser) {
    const std::shared_ptr<winhttp::SimpleClient> client = state.client.lock();
    if (!client) {
        AGENT_ERROR(STREAM_NAME) << "The HTTP client no longer exists";
        return PassEnd::Finish;
    }
    winhttp::Request request = details::open_api_request(*client, STREAM_NAME, state.api_base + L"/v1/messages/stream",
                                                         winhttp::METHOD_GET, state.session_id);
    // The stream stays open for as long as the server keeps it, idle or not.
    request.set_timeouts(0);
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
    std::string chunk;
    while (response.read_chunk(chunk)) {
        AGENT_DEBUG(STREAM_NAME) << "Available data: " << chunk.size();
        AGENT_DEBUG(STREAM_NAME) << std::string_view(chunk);
        std::vector<Message> batch = parser.feed(chunk);
        if (batch.empty() || !state.callback)
            continue;
        if (state.stop_requested())
            return PassEnd::Finish;
        AGENT_DEBUG(STREAM_NAME) << "Result list size: " << batch.size();
        state.callback(std::move(batch));
    }
    return PassEnd::Reconnect;
}

void run_stream(std::shared_ptr<MessageService::StreamState> state) {
    details::MessageStreamParser parser;
    while (!state->stop_requested()) {
        AGENT_DEBUG(STREAM_NAME) << "Start message stream";
        parser.restart();
        PassEnd end = PassEnd::Retry;
        try {
            end = stream_pass(*state, parser);
        } catch (const std::exception& error) {
            if (state->stop_requested())
                break;
            if (state->take_reconnect()) {
                AGENT_INFO(STREAM_NAME) << "The connection was ended to open a new one";
                continue;
            }
            AGENT_ERROR(STREAM_NAME) << describe(error);
        }
        if (end != PassEnd::Finish && state->take_reconnect())
            continue;
        if (end == PassEnd::Finish || (end == PassEnd::Retry && !state->pause()))
            break;
    }
    state->ended = true;
}

}  // namespace

// ---------------------------------------------------------------------------------------

MessageService::MessageService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base)
    : client_(std::move(client)), api_base_(std::move(api_base)) {}

MessageService::~MessageService() {
    stop_message_stream();
}

void MessageService::set_session_id(const std::wstring& session_id) {
    session_id_ = session_id;
}

MessageReader MessageService::create_reader(std::int32_t count) const {
    return MessageReader(client_, api_base_, session_id_, count);
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
    // The caller (the GUI thread) waits while a worker runs the request.
    std::future<void> task =
        std::async(std::launch::async, [client = lock_client(client_), url = api_base_ + L"/v1/messages/reads",
                                        session = details::wide_to_utf8(session_id_)] {
            ReadQueue& queue = read_queue_instance();
            Json::Value body(Json::arrayValue);
            {
                const std::lock_guard lock(queue.mutex);
                for (const std::wstring& id : queue.ids)
                    body.append(details::wide_to_utf8(id));
            }
            if (body.empty())
                return;
            details::call_api(*client, QUEUE_NAME, url, winhttp::METHOD_POST, session, &body, 204);
            // Only what was sent leaves the queue.
            const std::lock_guard lock(queue.mutex);
            const std::size_t sent = std::min<std::size_t>(body.size(), queue.ids.size());
            queue.ids.erase(queue.ids.begin(), queue.ids.begin() + static_cast<std::ptrdiff_t>(sent));
        });
    task.get();
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
    stream_ = state;
    stream_thread_ = std::thread(run_stream, std::move(state));
}

void MessageService::stop_message_stream() {
    if (!stream_thread_.joinable())
        return;
    try {
        stream_->stop();
        if (stream_thread_.get_id() == std::this_thread::get_id()) {
            // Called by the callback: the thread ends when the callback returns.
            stream_thread_.detach();
        } else {
            stream_thread_.join();
        }
    } catch (const std::exception& error) {
        AGENT_ERROR(STOP_NAME) << describe(error);
        if (stream_thread_.joinable())
            stream_thread_.detach();
    }
    stream_.reset();
}

void MessageService::reconnect_message_stream() {
    if (stream_thread_.joinable() && stream_)
        stream_->reconnect_now();
}

bool MessageService::stream_running() const {
    return stream_thread_.joinable() && !stream_->ended;
}

}  // namespace agent
