#pragma once

#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"

namespace varnelagent::pages {

// The provider's support and service links.
class HelpPage : public BasePage {
public:
    explicit HelpPage(agent::AgentClient* client);
    ~HelpPage() override;

    PageKind kind() const override { return HELP_PAGE; }
    std::string start_url() const override { return "res:help.htm"; }

protected:
    std::optional<Json::Value> on_script_function(const std::string& name, const Json::Value& args) override;

private:
    PageTasks tasks_;
};

}  // namespace varnelagent::pages
