#include "gui/pages/settings_page.h"

namespace varnelagent::pages {

SettingsPage::SettingsPage(agent::AgentClient* client) : BasePage(client) {}

SettingsPage::~SettingsPage() {
    closing_ = true;
    tasks_.close();
}

void SettingsPage::set_silent_mode(bool enabled) {
    Json::Value args(Json::arrayValue);
    args.append(enabled);
    call_script_async("settings.set_silent_mode", args);
}

std::optional<Json::Value> SettingsPage::on_script_function(const std::string&, const Json::Value&) {
    return std::nullopt;
}

}  // namespace varnelagent::pages
