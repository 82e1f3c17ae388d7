#include "gui/pages/message_popup.h"

#include "details/strings.h"

namespace varnelagent::pages {

using agent::details::wide_to_utf8;

MessagePopup::MessagePopup(WindowHandle owner, engine::HostWindow* owner_window, agent::AgentClient* client)
    : ModalDialog(client, owner, owner_window, engine::WindowRole::Popup) {}

MessagePopup::~MessagePopup() {
    closing_ = true;
    close();
}

std::optional<Json::Value> MessagePopup::on_script_function(const std::string& name, const Json::Value&) {
    if (name == "dialog_close") {
        send_message(handle(), WM_CLOSE, 0, 0);
        return Json::Value();
    }
    return std::nullopt;
}

std::intptr_t MessagePopup::on_request(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    if (message == WM_SHOW_PAGE) {
        send_message(handle(), WM_CLOSE, 0, 0);
        post_message(owner(), WM_SHOW_PAGE, wparam, lparam);
        return 1;
    }
    if (message == WM_MODAL_DIALOG && wparam == DIALOG_NEW_MESSAGES) {
        if (const auto* messages = reinterpret_cast<const std::vector<agent::Message>*>(lparam))
            add_messages(*messages);
        post_message(owner(), WM_MODAL_DIALOG, DIALOG_RUN_CURRENT, 0);
        return 1;
    }
    return 0;
}

void MessagePopup::add_messages(const std::vector<agent::Message>& messages) {
    for (const auto& message : messages) {
        Json::Value record(Json::objectValue);
        record["title"] = wide_to_utf8(message.subject);
        record["receiver"] = wide_to_utf8(message.organization);
        record["id"] = wide_to_utf8(message.id);
        record["icon"] = icon_address(message.icon);
        if (!message.link.empty())
            record["href"] = wide_to_utf8(message.link);
        record["description"] = wide_to_utf8(message.to_html(true));
        pending_.append(record);
    }
    deliver_pending();
}

void MessagePopup::deliver_pending() {
    if (!alive() || pending_.empty() || host_window() == nullptr || !host_window()->loaded())
        return;
    Json::Value args(Json::arrayValue);
    args.append(pending_);
    pending_ = Json::Value(Json::arrayValue);
    call_script_async("popups.add_messages", args);
}

}  // namespace varnelagent::pages
