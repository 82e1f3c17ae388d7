#pragma once

#include <vector>

#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"
#include "gui/pages/read_marks.h"
#include "model/message.h"
#include "model/message_service.h"

namespace varnelagent::pages {

// The user's messages, newest first, in batches of 30 that the document asks for, with
// the new ones from the stream at the top. Opening an unread message queues its read mark;
// the queue goes to the server with the eleventh mark and when the page is left.
class NotificationsPage : public BasePage {
public:
    static constexpr std::int32_t BATCH_SIZE = 30;

    explicit NotificationsPage(agent::AgentClient* client);
    ~NotificationsPage() override;

    PageKind kind() const override { return NOTIFICATIONS_PAGE; }
    std::string start_url() const override { return "res:notifications.htm"; }

    // The stream thread: a batch of new messages for the top of the list. Waits for a batch
    // that is being loaded, so the two never interleave; gives up quietly when the page
    // closes meanwhile.
    void add_new_messages(const std::vector<agent::Message>& messages);
    // GUI thread: the popup opened the message; its unread look goes.
    void read_message(const std::wstring& id);

    // GUI thread: ends the page's work and sends the read marks it holds (the owner calls it
    // before it takes the page away from the stream thread). Runs once; the destructor
    // calls it too.
    void end_work();

protected:
    std::optional<Json::Value> on_script_function(const std::string& name, const Json::Value& args) override;

private:
    void get_messages(const Json::Value& args);
    void report_failure(std::exception_ptr failure, const wchar_t* context);

    // Used by one loading task at a time (the task lock).
    agent::MessageReader reader_;
    // Until a batch has been shown: an empty one is the greeting's place.
    bool greeting_ = true;
    ReadMarks read_marks_;
    PageTasks tasks_;
    bool ended_ = false;
};

// The records the list's document shows (keys as the document reads them): the whole body,
// up to MAX_SHOWN_BODY characters of it. The greeting is what a user with no messages at all
// sees.
inline constexpr std::size_t MAX_SHOWN_BODY = 20000;
Json::Value notification_record(const agent::Message& message);
agent::Message greeting_message();

}  // namespace varnelagent::pages
