#include "gui/pages/help_page.h"

namespace varnelagent::pages {

HelpPage::HelpPage(agent::AgentClient* client) : BasePage(client) {}

HelpPage::~HelpPage() {
    closing_ = true;
    tasks_.close();
}

std::optional<Json::Value> HelpPage::on_script_function(const std::string&, const Json::Value&) {
    return std::nullopt;
}

}  // namespace varnelagent::pages
