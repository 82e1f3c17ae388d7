#include "gui/pages/read_marks.h"

#include <exception>

#include "details/exception.h"
#include "details/logger.h"
#include "gui/error.h"
#include "model/message_service.h"

namespace varnelagent::pages {

namespace {

constexpr wchar_t READ_MESSAGE[] = L"varnelagent::pages::InstantReadMarks::read";

// Held around every call that may send the process-wide read queue.
std::mutex& sending() {
    static std::mutex lock;
    return lock;
}

}  // namespace

bool ReadMarks::add(const std::wstring& id) {
    if (id.empty())
        return false;
    std::lock_guard lock(mutex_);
    waiting_.push_back(id);
    return true;
}

bool ReadMarks::waiting() const {
    std::lock_guard lock(mutex_);
    return !waiting_.empty();
}

void ReadMarks::hand_over(const std::function<void(const std::wstring&)>& taken) {
    std::exception_ptr first_failure;
    for (;;) {
        std::wstring id;
        {
            std::lock_guard lock(mutex_);
            if (waiting_.empty())
                break;
            id = std::move(waiting_.front());
            waiting_.erase(waiting_.begin());
        }
        bool sent = true;
        try {
            std::lock_guard lock(sending());
            service_.mark_as_read(id, send_now_);
        } catch (...) {
            // mark_as_read queues before it sends: the id is kept, only the send failed.
            sent = false;
            if (!first_failure)
                first_failure = std::current_exception();
        }
        // Outside the lock: `taken` may wait for the GUI thread, which may itself be
        // waiting for the lock in a page's flush.
        if (sent && taken)
            taken(id);
    }
    if (first_failure)
        std::rethrow_exception(first_failure);
}

void ReadMarks::flush() {
    std::vector<std::wstring> ids;
    {
        std::lock_guard lock(mutex_);
        ids.swap(waiting_);
    }
    for (const std::wstring& id : ids)
        service_.queue_read_mark(id);
    // The service's own thread sends them: the GUI thread never waits for the server.
    service_.send_read_queue();
}

InstantReadMarks::~InstantReadMarks() {
    close();
}

void InstantReadMarks::read(const std::wstring& id) {
    if (!marks_.add(id)) {
        AGENT_ERROR(L"agent::MessageService::mark_as_read") << "Try to read message with empty message id";
        tell_owner(id);
        return;
    }
    tasks_.start({READ_MESSAGE, [this] { marks_.hand_over([this](const std::wstring& sent) { tell_owner(sent); }); },
                  nullptr, [](std::exception_ptr failure) {
                      try {
                          std::rethrow_exception(failure);
                      } catch (const agent::AgentApiException& e) {
                          AGENT_ERROR(READ_MESSAGE) << e.description();
                      } catch (...) {
                          error::log_exception(std::current_exception(), READ_MESSAGE);
                      }
                  }});
}

void InstantReadMarks::close() {
    if (closed_)
        return;
    closed_ = true;
    tasks_.close();
    // Marks that a task had not handed over yet (it was waiting for the owner when the
    // tasks were ended) are queued and sent now rather than lost.
    if (!marks_.waiting())
        return;
    try {
        marks_.flush();
    } catch (...) {
        error::log_exception(std::current_exception(), READ_MESSAGE);
    }
}

void InstantReadMarks::tell_owner(const std::wstring& id) const {
    post_message_read(owner_, id);
}

}  // namespace varnelagent::pages
