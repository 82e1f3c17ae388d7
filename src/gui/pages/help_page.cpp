#include "gui/pages/help_page.h"

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "gui/error.h"
#include "model/agent_client.h"

namespace varnelagent::pages {

using agent::details::wide_to_utf8;

namespace {

constexpr wchar_t GET_LINKS[] = L"varnelagent::pages::HelpPage::get_links";

// After end(false): the dialog for what went wrong. On the task's thread.
void report_failure(std::exception_ptr failure, WindowHandle window) {
    try {
        std::rethrow_exception(failure);
    } catch (const agent::WinHttpException& e) {
        AGENT_ERROR(GET_LINKS) << e.description();
        error::show_error_code(error::ERROR_PROXY, window);
    } catch (const agent::AgentApiException& e) {
        AGENT_ERROR(GET_LINKS) << e.description();
        error::report_api_error(e.status(), e.message(), window);
    } catch (...) {
        const std::wstring text = error::log_exception(std::current_exception(), GET_LINKS);
        error::show_error(text, window);
    }
}

}  // namespace

Json::Value help_link_records(const agent::LinkItems& items) {
    Json::Value records(Json::arrayValue);
    for (const agent::LinkItem& item : items) {
        Json::Value record(Json::objectValue);
        record["title"] = wide_to_utf8(item.title);
        record["href"] = wide_to_utf8(item.href);
        record["type"] = wide_to_utf8(item.type);
        record["icon"] = icon_address(item.icon);
        records.append(std::move(record));
    }
    return records;
}

HelpPage::HelpPage(agent::AgentClient* client) : BasePage(client) {
    add_script_function("get_links", [this](const Json::Value& args) {
        get_links(args);
        return Json::Value();
    });
}

HelpPage::~HelpPage() {
    closing_ = true;
    tasks_.close();
}

void HelpPage::get_links(const Json::Value& args) {
    AGENT_INFO(GET_LINKS) << "Loading the links";
    const engine::ScriptCallback end = host_window()->callback(args[0]);
    const engine::ScriptCallback items = host_window()->callback(args[1]);
    const WindowHandle window = window_handle();
    tasks_.start({GET_LINKS,
                  [this, end, items] {
                      const agent::LinkItems links = client().uri_service().get_service_links();
                      Json::Value list(Json::arrayValue);
                      list.append(help_link_records(links));
                      tasks_.callback(items, list);
                      tasks_.callback(end, Json::Value(true));
                  },
                  [this, end] { tasks_.callback(end, Json::Value(false)); },
                  [window](std::exception_ptr failure) { report_failure(failure, window); }});
}

}  // namespace varnelagent::pages
