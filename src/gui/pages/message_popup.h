#pragma once

#include <memory>
#include <vector>

#include "gui/pages/modal_dialog.h"
#include "gui/pages/read_marks.h"
#include "model/message.h"

namespace varnelagent::pages {

// The small window in the corner that tells of new messages while the main window is
// hidden. It keeps every message since it opened, shows the three newest, and never closes
// by itself. It has no loop of its own: each batch shows it and raises it above the other
// windows once, without taking the focus. Opening a message from it marks the message read
// on the server at once and tells the main window. GUI thread unless said otherwise.
class MessagePopup : public ModalDialog {
public:
    MessagePopup(WindowHandle owner, engine::HostWindow* owner_window, agent::AgentClient* client);
    ~MessagePopup() override;

    PageKind kind() const override { return MESSAGE_POPUP; }
    std::string start_url() const override { return "res:popups.htm"; }

    // How many messages the document holds, as it said once it had taken in the last batch
    // (a message sent twice is held once).
    std::size_t held() const noexcept { return *held_; }

    // A batch for the popup: kept until the document is ready, then shown; the popup is
    // shown and raised once for it.
    void add_messages(const std::vector<agent::Message>& messages);

    // The link to the list: the popup goes and the main window shows the page.
    void on_show_page(PageKind kind, bool session_start) override;

protected:
    std::pair<int, int> initial_size() const override { return {485, 160}; }
    void on_document_loaded() override { deliver_pending(); }

private:
    void deliver_pending();

    // Records that arrived before the document was ready.
    Json::Value pending_ = Json::Value(Json::arrayValue);
    // Shared with the document's answers, which may come after the popup has gone.
    std::shared_ptr<std::size_t> held_ = std::make_shared<std::size_t>(0);
    InstantReadMarks read_marks_;
};

// What the popup's document shows of a message (keys as the document reads them): the body
// shortened to MAX_MESSAGE_SIZE visible characters, no date, no unread flag.
Json::Value popup_record(const agent::Message& message);

}  // namespace varnelagent::pages
