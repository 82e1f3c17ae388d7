#include "model/events.h"

#include <cassert>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "model/client_lock.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace agent {

namespace {

constexpr wchar_t SEND_EVENT[] = L"agent::EventsLogger::send_event";

}  // namespace

const wchar_t* event_path_word(EventKind kind) noexcept {
    switch (kind) {
    case EVENT_OPEN:
        return L"open";
    case EVENT_SIGNIN:
        return L"signin";
    case EVENT_SIGNOUT:
        return L"signout";
    case EVENT_EXIT:
        return L"exit";
    }
    assert(!"src/model/events: unknown event kind");
    return L"open";
}

EventsLogger::EventsLogger(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base)
    : client_(std::move(client)), api_base_(std::move(api_base)) {}

void EventsLogger::set_session_id(const std::wstring& session_id) {
    session_id_ = session_id;
}

void EventsLogger::send_event(EventKind kind) noexcept {
    try {
        const auto client = details::lock_http_client(client_, SEND_EVENT);
        // Query and status only at DEBUG: events are routine, their failures are the news.
        const std::wstring url = api_base_ + L"/v1/client/log/" + event_path_word(kind);
        AGENT_DEBUG(SEND_EVENT) << "Query: " << url;
        winhttp::Request request = client->open_request(url, winhttp::METHOD_POST);
        request.set_header(L"Authorization", L"varnel.sid " + session_id_,
                           winhttp::WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA);
        winhttp::Response response = request.receive();
        const std::vector<std::uint8_t> body = response.read_body();
        const std::uint32_t status = response.status_code();
        AGENT_DEBUG(SEND_EVENT) << "Status code: " << status;
        if (status == 201)
            return;
        const AgentApiException error(details::parse_api_error(body, static_cast<std::int32_t>(status)));
        AGENT_WARN(SEND_EVENT) << error.message();
    } catch (const Exception& e) {
        AGENT_WARN(SEND_EVENT) << e.description();
    } catch (const std::exception& e) {
        AGENT_WARN(SEND_EVENT) << e.what();
    } catch (...) {
        AGENT_WARN(SEND_EVENT) << "Unknown exception";
    }
}

}  // namespace agent
