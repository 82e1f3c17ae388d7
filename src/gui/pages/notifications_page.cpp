#include "gui/pages/notifications_page.h"

#include "details/strings.h"

namespace varnelagent::pages {

NotificationsPage::NotificationsPage(agent::AgentClient* client) : BasePage(client) {}

NotificationsPage::~NotificationsPage() {
    end_work();
}

void NotificationsPage::end_work() {
    closing_ = true;
    tasks_.close();
}

void NotificationsPage::add_new_messages(const std::vector<agent::Message>& messages) {
    HandOverScope scope(tasks_.gate());
    std::lock_guard lock(tasks_.lock());
    if (closing())
        return;
    Json::Value list(Json::arrayValue);
    for (const auto& message : messages) {
        Json::Value record(Json::objectValue);
        record["id"] = agent::details::wide_to_utf8(message.id);
        record["title"] = agent::details::wide_to_utf8(message.subject);
        list.append(record);
    }
    Json::Value args(Json::arrayValue);
    args.append(list);
    tasks_.on_gui_thread([&] { call_script_async("notifications.add_new_messages", args); });
}

void NotificationsPage::read_message(const std::wstring& id) {
    Json::Value args(Json::arrayValue);
    args.append(agent::details::wide_to_utf8(id));
    call_script_async("notifications.read_message", args);
}

std::optional<Json::Value> NotificationsPage::on_script_function(const std::string&, const Json::Value&) {
    return std::nullopt;
}

}  // namespace varnelagent::pages
