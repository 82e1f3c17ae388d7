#pragma once

#include "gui/pages/base_page.h"

namespace varnelagent::pages {

// The four-step introduction shown at the first start; it leads to the sign-in page.
class Overview : public BasePage {
public:
    explicit Overview(agent::AgentClient* client);
    ~Overview() override;

    PageKind kind() const override { return OVERVIEW_PAGE; }
    std::string start_url() const override { return "res:overview.html"; }

protected:
    std::optional<Json::Value> on_script_function(const std::string& name, const Json::Value& args) override;
};

}  // namespace varnelagent::pages
