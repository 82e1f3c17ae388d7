#pragma once

#include <json/value.h>

#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"
#include "model/uri_service.h"

namespace varnelagent::pages {

// The provider's support and service links (res:help.htm): product links as tiles, the
// others as rows, each opened in the browser window with the user signed in. The list comes
// from the link service, which asks the agent API once per session and answers from its
// cache afterwards.
class HelpPage : public BasePage {
public:
    explicit HelpPage(agent::AgentClient* client);
    // Waits for a running request (see PageTasks::close); no callback reaches the document
    // afterwards.
    ~HelpPage() override;

    PageKind kind() const override { return HELP_PAGE; }
    std::string start_url() const override { return "res:help.htm"; }

protected:

private:
    // "get_links"(end, items): items(list of link records), then end(true); end(false) on
    // failure, followed by the error dialog.
    void get_links(const Json::Value& args);

    PageTasks tasks_;
};

// The records the document gets for the link items, in their order: "title", "href",
// "type" and "icon" (an address for the document, "icon-default.png" when the item has none).
Json::Value help_link_records(const agent::LinkItems& items);

}  // namespace varnelagent::pages
