#include "gui/pages/message_popup.h"

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "gui/error.h"
#include "model/agent_client.h"
#include "model/message_service.h"

namespace varnelagent::pages {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

Json::Value popup_record(const agent::Message& message) {
    Json::Value record(Json::objectValue);
    record["title"] = wide_to_utf8(message.subject);
    record["receiver"] = wide_to_utf8(message.organization);
    record["id"] = wide_to_utf8(message.id);
    record["icon"] = icon_address(message.icon);
    if (!message.link.empty())
        record["href"] = wide_to_utf8(message.link);
    record["description"] = wide_to_utf8(message.to_html(true));
    return record;
}

MessagePopup::MessagePopup(WindowHandle owner, engine::HostWindow* owner_window, agent::AgentClient* client)
    : ModalDialog(client, owner, owner_window, engine::WindowRole::Popup), read_marks_(client->message_service(), owner) {
    // The popup stays until the user closes it: losing the focus (a click elsewhere after
    // one in the popup) does not hide it as it hides a page.
    set_hide_allowed(false);
    add_script_function("dialog_close", [this](const Json::Value&) {
        // Posted: the window must not be destroyed inside its own script call.
        post_close(handle());
        return Json::Value();
    });
    add_script_function("read_message", [this](const Json::Value& args) {
        read_marks_.read(utf8_to_wide(string_of(args[0])));
        return Json::Value();
    });
}

MessagePopup::~MessagePopup() {
    closing_ = true;
    read_marks_.close();
    close();
}

void MessagePopup::on_show_page(PageKind kind, bool session_start) {
    close();
    post_show_page(owner(), kind, session_start);
}

void MessagePopup::add_messages(const std::vector<agent::Message>& messages) {
    for (const agent::Message& message : messages)
        pending_.append(popup_record(message));
    deliver_pending();
    // Shown and raised once for this batch.
    run_modal();
}

void MessagePopup::deliver_pending() {
    if (!alive() || pending_.empty() || host_window() == nullptr || !host_window()->loaded())
        return;
    Json::Value args(Json::arrayValue);
    args.append(std::move(pending_));
    pending_ = Json::Value(Json::arrayValue);
    const std::weak_ptr<std::size_t> held = held_;
    host_window()->call_script_async("popups.add_messages", args, [held](engine::HostWindow::ScriptResult result) {
        if (result.error) {
            AGENT_ERROR(L"varnelagent::pages::MessagePopup::add_messages") << *result.error;
            return;
        }
        if (auto count = held.lock(); count && result.value.isUInt())
            *count = result.value.asUInt();
    });
}

}  // namespace varnelagent::pages
