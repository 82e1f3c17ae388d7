#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "gui/pages/page_task.h"
#include "gui/shell_messages.h"

namespace agent {
class MessageService;
}

namespace varnelagent::pages {

// The road of a page's read marks to the message service's read queue. The user opens a
// message on the GUI thread; the id waits here until a task of the page hands it to the
// service, because handing it over may send the queue to the server (at once for the
// popup, with the eleventh id for the list), and the GUI thread never waits for the
// network while the user is at work. Ids reach the service in the order they were read.
//
// Every hand-over and send of any page goes through one lock: the queue is shared by the
// whole process, and two sends running at once could each take off the queue ids that
// only the other had sent.
class ReadMarks {
public:
    ReadMarks(agent::MessageService& service, bool send_now) : service_(service), send_now_(send_now) {}

    // GUI thread: the user opened the message. False for an empty id, which is not
    // queued.
    bool add(const std::wstring& id);
    bool waiting() const;

    // Task thread: hands every waiting id to the service, oldest first; `taken` is told of
    // each one the service took without a failure (sent to the server, for send_now),
    // outside the lock. An id whose send failed stays in the service's queue for the next
    // send; the first failure is rethrown once every waiting id has been handed over.
    void hand_over(const std::function<void(const std::wstring&)>& taken = nullptr);

    // The page is leaving (GUI thread, after its tasks have ended): what still waits goes to
    // the queue, and the service's own thread sends the whole queue; nothing here waits for
    // the server. A send that fails keeps the ids queued (and at the end of the program they
    // are kept for the next start).
    void flush();

private:
    agent::MessageService& service_;
    const bool send_now_;
    mutable std::mutex mutex_;
    std::vector<std::wstring> waiting_;
};

// Marks of messages the user opened in a notice rather than in the list (the popup, a
// desktop notice's "Открыть" and "Прочитано"): each goes to the server at once, by a task,
// so the GUI thread does not wait for the server, and the owner window hears of it
// (on_message_read, posted) only once the server has it, so a failed mark leaves the message
// unread in the list (and in the read queue, for the next send). GUI thread unless said
// otherwise.
class InstantReadMarks {
public:
    InstantReadMarks(agent::MessageService& service, WindowHandle owner) : owner_(owner), marks_(service, true) {}
    // close() if the owner has not.
    ~InstantReadMarks();
    InstantReadMarks(const InstantReadMarks&) = delete;
    InstantReadMarks& operator=(const InstantReadMarks&) = delete;

    // The user opened the message. An empty id cannot be marked: it is logged, and the owner
    // is told at once (the message has nothing left to wait for).
    void read(const std::wstring& id);
    // Ends the tasks (one waiting for the owner is released) and sends what they had not
    // handed over yet, so no mark is lost. Runs once.
    void close();

private:
    // Any thread: the owner hears of it on the GUI thread.
    void tell_owner(const std::wstring& id) const;

    const WindowHandle owner_;
    ReadMarks marks_;
    PageTasks tasks_;
    bool closed_ = false;
};

}  // namespace varnelagent::pages
