#include "gui/pages/overview.h"

namespace varnelagent::pages {

Overview::Overview(agent::AgentClient* client) : BasePage(client) {
    add_script_function("overview_close", [this](const Json::Value&) {
        post_show_page(window_handle(), AUTH_PAGE);
        return Json::Value();
    });
}

Overview::~Overview() {
    closing_ = true;
}

}  // namespace varnelagent::pages
