#pragma once

#include "gui/pages/base_page.h"

namespace varnelagent::pages {

// The four-step introduction shown at the first start (res:overview.html); its close link,
// its close icon, the last step's "Открыть Варнел.Агент" and closing the window all lead to
// the sign-in page. Its movable parts drag the window.
class Overview : public BasePage {
public:
    explicit Overview(agent::AgentClient* client);
    ~Overview() override;

    PageKind kind() const override { return OVERVIEW_PAGE; }
    std::string start_url() const override { return "res:overview.html"; }
    // The first start has no tray icon yet: a window hidden now could not be brought back.
    bool hides_when_unfocused() const override { return false; }

protected:
};

}  // namespace varnelagent::pages
