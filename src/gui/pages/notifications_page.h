#pragma once

#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"
#include "gui/pages/read_marks.h"
#include "model/message.h"
#include "model/message_archive.h"
#include "model/message_service.h"

namespace varnelagent::pages {

// The user's messages, newest first, in batches of 30 that the document asks for, with
// the new ones from the stream at the top. Opening an unread message queues its read mark;
// the queue goes to the server with the eleventh mark and when the page is left.
//
// The list opens from the message archive at once (as many rows as it showed when it was
// last left, scrolled where it was), then the server's first page replaces them with what
// the server has; older batches come from the archive first, then from the server. Without
// a connection the archive's rows stay, marked as possibly out of date. The search field
// finds messages in the archive.
class NotificationsPage : public BasePage {
public:
    static constexpr std::int32_t BATCH_SIZE = 30;
    // The newest matches a search shows.
    static constexpr std::size_t SEARCH_LIMIT = 200;

    explicit NotificationsPage(agent::AgentClient* client);
    ~NotificationsPage() override;

    PageKind kind() const override { return NOTIFICATIONS_PAGE; }
    std::string start_url() const override { return "res:notifications.htm"; }

    // A batch of new messages for the top of the list. One that comes while a batch is being
    // loaded (or before the document asked for the list) waits for it, so the two never
    // interleave.
    void on_new_messages(const std::vector<agent::Message>& messages) override;
    // The popup or a notice opened the message; its unread look goes.
    void on_message_read(const std::wstring& id) override;

    // Ends the page's work and sends the read marks it holds (the owner calls it before it
    // takes the page away). Runs once; the destructor calls it too.
    void end_work() override;

protected:
    void on_document_loaded() override;

private:
    void add_functions();
    // A loading task has handed over its batch (or failed): what waited goes to the document.
    void loaded_batch();
    void get_messages(const Json::Value& args);
    void report_failure(std::exception_ptr failure, const wchar_t* context);
    // Task thread: the server's first page, reconciled with the archive; false when the
    // server could not be reached and the archive's rows stand in for it.
    bool load_first_page(const engine::ScriptCallback& items, bool asked_for_more);
    // Task thread: the next older batch, from the archive while it has one, else the server.
    void load_older(const engine::ScriptCallback& items);
    // The batch's records for the list, each id remembered as shown.
    Json::Value records(const std::vector<agent::Message>& messages, bool replace);
    Json::Value search(const Json::Value& args);
    bool archive_has_older();

    // Used by one loading task at a time (the task lock).
    agent::MessageReader reader_;
    std::shared_ptr<agent::MessageArchive> archive_;
    // The server's first page has been read (and the archive follows it).
    bool server_first_ = false;
    // The server's first page held nothing the archive knew: what the archive has beyond
    // it may leave out messages, so older batches come from the server until they meet it.
    bool gap_ = false;
    // What the list shows (the stream's rows included) and its oldest row.
    std::mutex shown_mutex_;
    std::unordered_set<std::wstring> shown_;
    std::wstring oldest_;
    bool first_request_ = true;
    // Until a batch has been shown: an empty one is the greeting's place.
    bool greeting_ = true;
    ReadMarks read_marks_;
    PageTasks tasks_;
    bool ended_ = false;
    // A batch is on its way from the server; new messages wait in `waiting_` until it is in.
    bool loading_ = false;
    std::vector<agent::Message> waiting_;
};

// The records the list's document shows (keys as the document reads them): the whole body,
// up to MAX_SHOWN_BODY characters of it. The greeting is what a user with no messages at all
// sees.
inline constexpr std::size_t MAX_SHOWN_BODY = agent::MessageArchive::MAX_BODY;
Json::Value notification_record(const agent::Message& message);
agent::Message greeting_message();

}  // namespace varnelagent::pages
