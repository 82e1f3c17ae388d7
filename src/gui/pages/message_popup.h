#pragma once

#include <vector>

#include "gui/pages/modal_dialog.h"
#include "model/message.h"

namespace varnelagent::pages {

// The small window in the corner that tells of new messages while the main window is
// hidden. It keeps every message since it opened and never closes by itself.
class MessagePopup : public ModalDialog {
public:
    MessagePopup(WindowHandle owner, engine::HostWindow* owner_window, agent::AgentClient* client);
    ~MessagePopup() override;

    PageKind kind() const override { return MESSAGE_POPUP; }
    std::string start_url() const override { return "res:popups.htm"; }

protected:
    std::optional<Json::Value> on_script_function(const std::string& name, const Json::Value& args) override;
    std::intptr_t on_request(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override;
    std::pair<int, int> initial_size() const override { return {465, 160}; }
    void on_document_loaded() override { deliver_pending(); }

private:
    void add_messages(const std::vector<agent::Message>& messages);
    void deliver_pending();

    // Records that arrived before the document was ready.
    Json::Value pending_ = Json::Value(Json::arrayValue);
};

}  // namespace varnelagent::pages
