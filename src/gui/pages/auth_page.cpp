#include "gui/pages/auth_page.h"

namespace varnelagent::pages {

AuthPage::AuthPage(agent::AgentClient* client) : BasePage(client) {}

AuthPage::~AuthPage() {
    closing_ = true;
    tasks_.close();
}

std::optional<Json::Value> AuthPage::on_script_function(const std::string& name, const Json::Value&) {
    if (name == "agent_close") {
        post_message(window_handle(), WM_CLOSE, 0, 0);
        return Json::Value();
    }
    if (name == "agent_minimize") {
        if (host_window() != nullptr)
            host_window()->minimize();
        return Json::Value();
    }
    return std::nullopt;
}

}  // namespace varnelagent::pages
