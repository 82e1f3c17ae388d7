#pragma once

#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"

namespace varnelagent::pages {

// Autolaunch, silent mode, notification channels and the proxy.
class SettingsPage : public BasePage {
public:
    explicit SettingsPage(agent::AgentClient* client);
    ~SettingsPage() override;

    PageKind kind() const override { return SETTINGS_PAGE; }
    std::string start_url() const override { return "res:settings.htm"; }

    // GUI thread: the tray's silent mode changed; the page's box follows.
    void set_silent_mode(bool enabled);

protected:
    std::optional<Json::Value> on_script_function(const std::string& name, const Json::Value& args) override;

private:
    PageTasks tasks_;
};

}  // namespace varnelagent::pages
