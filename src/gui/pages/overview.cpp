#include "gui/pages/overview.h"

namespace varnelagent::pages {

Overview::Overview(agent::AgentClient* client) : BasePage(client) {}

Overview::~Overview() {
    closing_ = true;
}

std::optional<Json::Value> Overview::on_script_function(const std::string& name, const Json::Value&) {
    if (name == "overview_close") {
        post_message(window_handle(), WM_SHOW_PAGE, AUTH_PAGE, 0);
        return Json::Value();
    }
    return std::nullopt;
}

}  // namespace varnelagent::pages
