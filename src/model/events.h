#pragma once

#include <memory>
#include <string>

namespace winhttp {
class SimpleClient;
}

namespace agent {

// Moments of the client's life reported to the agent API, so the provider can count
// sign-ins and sign-outs.
enum EventKind : int {
    EVENT_OPEN = 0,
    EVENT_SIGNIN = 1,
    EVENT_SIGNOUT = 2,
    EVENT_EXIT = 3,
};

// "open", "signin", "signout", "exit".
const wchar_t* event_path_word(EventKind kind) noexcept;

// Best-effort reporting: a failure ends as one WARN line and never reaches the caller.
class EventsLogger {
public:
    EventsLogger(std::weak_ptr<winhttp::SimpleClient> client, std::wstring api_base);

    void set_session_id(const std::wstring& session_id);

    // POST "/v1/client/log/<word>" without a body; only 201 is success.
    void send_event(EventKind kind) noexcept;

private:
    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring api_base_;
    std::wstring session_id_;
};

}  // namespace agent
