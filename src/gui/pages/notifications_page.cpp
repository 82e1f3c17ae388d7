#include "gui/pages/notifications_page.h"

#include <algorithm>
#include <utility>

#include "details/exception.h"
#include "details/logger.h"
#include "details/datetime.h"
#include "details/strings.h"
#include "gui/error.h"
#include "model/agent_client.h"

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
      archive_(client->archive()),
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
            archive_->mark_read(id);
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
    add_script_function("search_messages", [this](const Json::Value& args) { return search(args); });
    // Where the list is, so that a list made anew (the page engine was let go) opens there.
    add_script_function("list_place", [this](const Json::Value& args) {
        agent::MessageArchive::Place place;
        place.rows = args[0].isNumeric() && args[0].asDouble() > 0 ? static_cast<std::size_t>(args[0].asDouble()) : 0;
        place.scroll_top = args[1].isNumeric() && args[1].asDouble() > 0 ? static_cast<std::int64_t>(args[1].asDouble()) : 0;
        archive_->set_place(place);
        return Json::Value();
    });
}

Json::Value NotificationsPage::records(const std::vector<agent::Message>& messages, bool replace) {
    Json::Value list(Json::arrayValue);
    {
        std::lock_guard lock(shown_mutex_);
        if (replace)
            shown_.clear();
        for (const agent::Message& message : messages) {
            if (!message.id.empty())
                shown_.insert(message.id);
        }
        if (!messages.empty() && !messages.back().id.empty())
            oldest_ = messages.back().id;
    }
    for (const agent::Message& message : messages) {
        tasks_.check_closing();
        list.append(notification_record(message));
    }
    return list;
}

namespace {

Json::Value items_arguments(Json::Value list, bool replace, std::int64_t scroll_top = -1) {
    Json::Value options(Json::objectValue);
    options["replace"] = replace;
    if (scroll_top >= 0)
        options["scroll_top"] = static_cast<Json::Int64>(scroll_top);
    Json::Value args(Json::arrayValue);
    args.append(std::move(list));
    args.append(std::move(options));
    return args;
}

Json::Value end_arguments(bool success, bool completed, bool stale) {
    Json::Value args(Json::arrayValue);
    args.append(success);
    args.append(completed);
    args.append(stale);
    return args;
}

}  // namespace

void NotificationsPage::get_messages(const Json::Value& args) {
    if (host_window() == nullptr)
        throw engine::EngineException(L"The page has no window");
    const engine::ScriptCallback end = host_window()->callback(args[0]);
    const engine::ScriptCallback items = host_window()->callback(args[1]);
    const bool first = std::exchange(first_request_, false);
    if (first) {
        // What the archive has is on the screen before the server is asked: as many rows as
        // the list showed when it was left, and scrolled as it was.
        const agent::MessageArchive::Place place = archive_->place();
        const std::vector<agent::Message> kept =
            archive_->newest(std::max<std::size_t>(BATCH_SIZE, std::min<std::size_t>(place.rows, 2000)));
        if (!kept.empty())
            items.invoke(items_arguments(records(kept, true), true, place.scroll_top));
    }
    loading_ = true;
    tasks_.start({GET_MESSAGES,
                  [this, end, items, first] {
                      bool stale = false;
                      if (!server_first_)
                          stale = !load_first_page(items, !first);
                      else
                          load_older(items);
                      const bool completed = server_first_ && reader_.finished() && !archive_has_older();
                      tasks_.callback(end, end_arguments(!stale, completed, stale));
                      tasks_.on_gui_thread([this] { loaded_batch(); });
                  },
                  [this, end] {
                      tasks_.callback(end, end_arguments(false, true, false));
                      tasks_.on_gui_thread([this] { loaded_batch(); });
                  },
                  [this](std::exception_ptr failure) { report_failure(failure, GET_MESSAGES); }});
}

bool NotificationsPage::archive_has_older() {
    if (gap_)
        return false;
    std::wstring oldest;
    {
        std::lock_guard lock(shown_mutex_);
        oldest = oldest_;
    }
    return !archive_->older_than(oldest, 1).empty();
}

bool NotificationsPage::load_first_page(const engine::ScriptCallback& items, bool asked_for_more) {
    std::vector<agent::Message> batch;
    try {
        batch = reader_.get_messages();
    } catch (const agent::WinHttpException& e) {
        // No connection: the archive's rows are the list for now, its older ones too.
        if (archive_->size() == 0)
            throw;
        AGENT_WARN(GET_MESSAGES) << "The list is shown from the archive: " << e.description();
        if (asked_for_more)
            load_older(items);
        return false;
    }
    const bool known = archive_->add_page(batch, true, reader_.finished());
    server_first_ = true;
    std::size_t shown = 0;
    {
        std::lock_guard lock(shown_mutex_);
        shown = shown_.size();
    }
    // The server's page is the top of the list; the archive's older rows join it only
    // where the page meets them.
    gap_ = !known && !batch.empty() && !reader_.finished() && archive_->size() > batch.size();
    // An archive that could not take the page (a full disk) leaves the list to the server.
    if (!archive_->writing())
        gap_ = true;
    std::vector<agent::Message> rows = gap_ ? batch : archive_->newest(std::max(shown, batch.size()));
    tasks_.check_closing();
    Json::Value list = records(rows, true);
    if (rows.empty() && greeting_)
        list.append(notification_record(greeting_message()));
    greeting_ = false;
    tasks_.callback(items, items_arguments(std::move(list), true));
    return true;
}

void NotificationsPage::load_older(const engine::ScriptCallback& items) {
    std::wstring oldest;
    {
        std::lock_guard lock(shown_mutex_);
        oldest = oldest_;
    }
    std::vector<agent::Message> rows = gap_ ? std::vector<agent::Message>() : archive_->older_than(oldest, BATCH_SIZE);
    // The archive has no more: the server's older pages, past what the list shows already.
    while (rows.empty() && server_first_ && !reader_.finished()) {
        const std::vector<agent::Message> page = reader_.get_messages();
        if (archive_->add_page(page, false, reader_.finished()) && archive_->writing())
            gap_ = false;
        std::lock_guard lock(shown_mutex_);
        for (const agent::Message& message : page)
            if (message.id.empty() || shown_.count(message.id) == 0)
                rows.push_back(message);
    }
    tasks_.callback(items, items_arguments(records(rows, false), false));
}

Json::Value NotificationsPage::search(const Json::Value& args) {
    const std::wstring query = agent::details::utf8_to_wide(string_of(args[0]));
    Json::Value list(Json::arrayValue);
    for (const agent::Message& message : archive_->search(query, SEARCH_LIMIT))
        list.append(notification_record(message));
    return list;
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
    {
        std::lock_guard lock(shown_mutex_);
        for (const agent::Message& message : messages) {
            if (!message.id.empty())
                shown_.insert(message.id);
            list.append(notification_record(message));
        }
    }
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
