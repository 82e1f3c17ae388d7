#pragma once

#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"

namespace varnelagent::pages {

// The sign-in page: certificates and login with password.
class AuthPage : public BasePage {
public:
    explicit AuthPage(agent::AgentClient* client);
    ~AuthPage() override;

    PageKind kind() const override { return AUTH_PAGE; }
    std::string start_url() const override { return "res:auth.htm"; }

protected:
    std::optional<Json::Value> on_script_function(const std::string& name, const Json::Value& args) override;

private:
    PageTasks tasks_;
};

}  // namespace varnelagent::pages
