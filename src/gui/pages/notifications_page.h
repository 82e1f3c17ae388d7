#pragma once

#include <vector>

#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"
#include "model/message.h"

namespace varnelagent::pages {

// The user's messages, newest first, with the new ones from the stream at the top.
class NotificationsPage : public BasePage {
public:
    explicit NotificationsPage(agent::AgentClient* client);
    ~NotificationsPage() override;

    PageKind kind() const override { return NOTIFICATIONS_PAGE; }
    std::string start_url() const override { return "res:notifications.htm"; }

    // The stream thread: a batch of new messages for the list. Waits for a batch that is
    // being loaded; gives up quietly when the page closes meanwhile.
    void add_new_messages(const std::vector<agent::Message>& messages);
    // GUI thread: the popup opened the message; its unread look goes.
    void read_message(const std::wstring& id);

    // GUI thread: ends the page's work before the page is destroyed (the owner calls it
    // before it takes the page away from the stream thread).
    void end_work();

protected:
    std::optional<Json::Value> on_script_function(const std::string& name, const Json::Value& args) override;

private:
    PageTasks tasks_;
};

}  // namespace varnelagent::pages
