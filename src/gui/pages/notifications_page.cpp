#include "gui/pages/notifications_page.h"

#include <ctime>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "gui/error.h"
#include "model/agent_client.h"
#include "details/datetime.h"

namespace varnelagent::pages {

using agent::details::wide_to_utf8;

namespace {

constexpr wchar_t GET_MESSAGES[] = L"varnelagent::pages::NotificationsPage::get_messages";
constexpr wchar_t READ_MESSAGE[] = L"varnelagent::pages::NotificationsPage::read_message";
constexpr wchar_t DESTRUCTOR[] = L"varnelagent::pages::NotificationsPage::~NotificationsPage";

Json::Value arguments(Json::Value first) {
    Json::Value args(Json::arrayValue);
    args.append(std::move(first));
    return args;
}

Json::Value arguments(bool first, bool second) {
    Json::Value args(Json::arrayValue);
    args.append(first);
    args.append(second);
    return args;
}

}  // namespace

Json::Value notification_record(const agent::Message& message) {
    Json::Value record(Json::objectValue);
    record["title"] = wide_to_utf8(message.subject);
    record["time"] = wide_to_utf8(agent::format_time(message.created));
    record["date"] = wide_to_utf8(agent::format_short_date(message.created));
    record["receiver"] = wide_to_utf8(message.organization);
    record["id"] = wide_to_utf8(message.id);
    record["icon"] = icon_address(message.icon);
    if (!message.link.empty())
        record["href"] = wide_to_utf8(message.link);
    if (!message.read)
        record["new"] = true;
    if (message.body.size() <= MAX_SHOWN_BODY) {
        record["description"] = wide_to_utf8(message.to_html(false));
    } else {
        // A card is not a reader: a body of megabytes would hold up every window of the
        // program while the engine lays it out. Its beginning is shown; the link has the rest.
        agent::Message shown = message;
        shown.body.resize(MAX_SHOWN_BODY);
        shown.body += L"…";
        record["description"] = wide_to_utf8(shown.to_html(false));
    }
    return record;
}

agent::Message greeting_message() {
    agent::Message greeting;
    greeting.subject = L"Привет!";
    greeting.read = true;
    // Shown as it is, in UTC: the moment the list was first found empty.
    greeting.created = agent::utc_now();
    greeting.body =
        L"Здесь вы будете видеть уведомления из сервисов Варнел: Отчётность, Электронный документооборот и "
        L"Бухгалтерия.<br><a href=\"settings.htm\">Настроить уведомления из сервисов</a>";
    return greeting;
}

NotificationsPage::NotificationsPage(agent::AgentClient* client)
    : BasePage(client),
      reader_(client->message_service().create_reader(BATCH_SIZE)),
      read_marks_(client->message_service(), false) {
    add_functions();
}

NotificationsPage::~NotificationsPage() {
    end_work();
}

void NotificationsPage::end_work() {
    if (ended_)
        return;
    ended_ = true;
    closing_ = true;
    tasks_.close();
    // Whatever the user read here goes to the server now, with anything else queued.
    try {
        read_marks_.flush();
    } catch (...) {
        error::log_exception(std::current_exception(), DESTRUCTOR);
    }
}

void NotificationsPage::add_functions() {
    add_script_function("read_message", [this](const Json::Value& args) {
        // Queued only; the eleventh mark sends the queue, which a task does off this thread.
        const std::wstring id = agent::details::utf8_to_wide(string_of(args[0]));
        if (read_marks_.add(id)) {
            tasks_.start({READ_MESSAGE, [this] { read_marks_.hand_over(); }, nullptr,
                          [this](std::exception_ptr failure) { report_failure(failure, READ_MESSAGE); }});
            // Read here, it needs no notice on the desktop any more.
            if (shell_owner() != nullptr)
                shell_owner()->on_message_read(id);
        }
        return Json::Value();
    });
    add_script_function("get_messages", [this](const Json::Value& args) {
        get_messages(args);
        return Json::Value();
    });
}

void NotificationsPage::get_messages(const Json::Value& args) {
    if (host_window() == nullptr)
        throw engine::EngineException(L"The page has no window");
    const engine::ScriptCallback end = host_window()->callback(args[0]);
    const engine::ScriptCallback items = host_window()->callback(args[1]);
    loading_ = true;
    tasks_.start({GET_MESSAGES,
                  [this, end, items] {
                      const std::vector<agent::Message> batch = reader_.get_messages();
                      // Records are made here, so the GUI thread only runs the script.
                      Json::Value list(Json::arrayValue);
                      tasks_.check_closing();
                      if (batch.empty() && greeting_)
                          list.append(notification_record(greeting_message()));
                      for (const agent::Message& message : batch) {
                          tasks_.check_closing();
                          list.append(notification_record(message));
                      }
                      tasks_.callback(items, arguments(std::move(list)));
                      greeting_ = false;
                      tasks_.callback(end, arguments(true, reader_.finished()));
                      tasks_.on_gui_thread([this] { loaded_batch(); });
                  },
                  [this, end] {
                      tasks_.callback(end, arguments(false, true));
                      tasks_.on_gui_thread([this] { loaded_batch(); });
                  },
                  [this](std::exception_ptr failure) { report_failure(failure, GET_MESSAGES); }});
}

void NotificationsPage::report_failure(std::exception_ptr failure, const wchar_t* context) {
    const bool reading = std::wstring_view(context) == READ_MESSAGE;
    try {
        std::rethrow_exception(failure);
    } catch (const agent::AgentApiException& e) {
        AGENT_ERROR(context) << e.description();
        // A read mark that did not go stays queued for the next send; only an ended session
        // is worth the user's attention then.
        if (!reading || e.status() == 401)
            error::report_api_error(e.status(), e.message(), window_handle());
    } catch (const agent::WinHttpException& e) {
        AGENT_ERROR(context) << e.description();
        if (!reading)
            error::show_error_code(error::ERROR_PROXY, window_handle());
    } catch (...) {
        const std::wstring text = error::log_exception(std::current_exception(), context);
        if (!reading)
            error::show_error(text, window_handle());
    }
}

void NotificationsPage::on_new_messages(const std::vector<agent::Message>& messages) {
    if (messages.empty() || closing() || tasks_.closing())
        return;
    // A batch being loaded reaches the document first; the new ones wait for it.
    if (loading_ || host_window() == nullptr || !host_window()->loaded()) {
        waiting_.insert(waiting_.end(), messages.begin(), messages.end());
        return;
    }
    Json::Value list(Json::arrayValue);
    for (const agent::Message& message : messages)
        list.append(notification_record(message));
    call_script_async("notifications.add_new_messages", arguments(std::move(list)));
}

void NotificationsPage::loaded_batch() {
    loading_ = false;
    std::vector<agent::Message> waiting = std::move(waiting_);
    waiting_.clear();
    on_new_messages(waiting);
}

void NotificationsPage::on_document_loaded() {
    // New messages that came while the document was loading and before it asked for the
    // list wait for the list's first batch.
    if (!loading_ && !waiting_.empty())
        loaded_batch();
}

void NotificationsPage::on_message_read(const std::wstring& id) {
    call_script_async("notifications.read_message", arguments(Json::Value(wide_to_utf8(id))));
}

}  // namespace varnelagent::pages
