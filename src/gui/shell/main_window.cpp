#include "gui/shell/main_window.h"

#include <gtk/gtk.h>

#include <malloc.h>

#include "details/configuration.h"
#include "details/io.h"
#include "details/logger.h"
#include "details/os.h"
#include "details/path.h"
#include "details/strings.h"
#include "gui/engine/resources.h"
#include "gui/error.h"
#include "gui/pages/auth_page.h"
#include "gui/pages/help_page.h"
#include "gui/pages/message_popup.h"
#include "gui/pages/notifications_page.h"
#include "gui/pages/overview.h"
#include "gui/pages/settings_page.h"
#include "model/agent_client.h"
#include "model/message_archive.h"
#include "model/message_service.h"
#include "model/update_service.h"
#include "model/uri_service.h"

namespace varnelagent {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr char WINDOW_TITLE[] = "Varnel.Agent";
constexpr char TRAY_TIP[] = "Варнел.Агент";

}  // namespace

std::string MainWindow::prepare_icon_directory() {
    // The tray host loads icons by name; a program that is not installed puts its own
    // into a folder of the runtime directory and names that folder to the host.
    const std::string directory = std::string(g_get_user_runtime_dir()) + "/varnel-agent/icons";
    if (g_mkdir_with_parents(directory.c_str(), 0700) != 0)
        return {};
    for (const char* name : {TrayIcon::ICON, TrayIcon::UNREAD_ICON}) {
        const auto resource = engine::load_resource(std::string(name) + ".png");
        if (!resource)
            continue;
        const std::string file = directory + "/" + name + ".png";
        GError* error = nullptr;
        if (!g_file_set_contents(file.c_str(), resource->data.data(), static_cast<gssize>(resource->data.size()),
                                 &error)) {
            AGENT_ERROR(L"varnelagent::MainWindow::prepare_icon_directory") << error->message;
            g_error_free(error);
        }
    }
    return directory;
}

MainWindow::MainWindow(const std::wstring& data_directory)
    : configuration_(agent::ConfigurationKeyValue::load(data_directory)),
      client_(agent::AgentClient::create(configuration_)),
      tray_(handle(), TRAY_TIP, prepare_icon_directory()) {
    namespace path = agent::details::path;
    BrowserWindow::Options browsing;
    browsing.data_directory = path::join(path::get_user_data_directory(), L"browser");
    browsing.cache_directory = path::join(path::get_user_cache_directory(), L"browser");
    browsing.ca_file = configuration_->ca_file;
    browsing.proxy = configuration_->proxy;
    browser_ = std::make_shared<BrowserWindow>(std::move(browsing));
    client_->uri_service().set_browser(browser_);
    engine::WindowOptions options;
    options.role = engine::WindowRole::Main;
    options.title = WINDOW_TITLE;
    window_ = std::make_unique<engine::HostWindow>(options);
    window_->set_close_handler([handle = handle()] { post_close(handle); });
    // The page engine's process ended under the page: a new page of the same kind starts
    // afresh (its document and its state, such as where the list had got to).
    window_->set_crash_handler([this] {
        if (page_ && !destroyed_)
            post_show_page(handle(), page_->kind());
    });
    // GUI thread: the release of the page engine follows the window's visibility.
    auto track = +[](GtkWidget* widget, gpointer data) {
        static_cast<MainWindow*>(data)->on_visibility(gtk_widget_get_visible(widget));
    };
    g_signal_connect(window_->gtk_window(), "show", G_CALLBACK(track), this);
    g_signal_connect(window_->gtk_window(), "hide", G_CALLBACK(track), this);
    tray_.set_default_item(ID_OPEN);
    make_notices();
}

void MainWindow::make_notices() {
    DesktopNotices::Handlers handlers;
    // GUI thread, from the main loop; the notices live no longer than this window.
    handlers.refused = [this](std::vector<agent::Message> messages) { on_notices_refused(std::move(messages)); };
    handlers.open = [this](const agent::Message& message) { open_from_notice(message); };
    handlers.read = [this](const std::wstring& id) {
        if (session_running())
            notice_reads_->read(id);
    };
    handlers.show_list = [this] {
        if (!session_running())
            return;
        if (page_ && page_->kind() == NOTIFICATIONS_PAGE)
            on_command(ID_OPEN);
        else
            post_show_page(handle(), NOTIFICATIONS_PAGE);
    };
    notices_ = std::make_unique<DesktopNotices>(std::move(handlers), client_->http_client(), configuration_->uri);
    notice_reads_ = std::make_unique<pages::InstantReadMarks>(client_->message_service(), handle());
}

MainWindow::~MainWindow() {
    g_signal_handlers_disconnect_by_data(window_->gtk_window(), this);
    // Nobody would answer their actions any more.
    notices_->withdraw_all();
    notices_->flush();
    notices_.reset();
    notice_reads_.reset();
    stop_session();
    dialog_.reset();
    if (page_)
        page_->end_work();
    page_.reset();
    client_.reset();
    browser_.reset();
    tray_.remove();
}

void MainWindow::on_create() {
    const std::wstring& path = configuration_->path;
    if (agent::UpdateService::required_update(path) && agent::UpdateService::update(path)) {
        AGENT_INFO(L"varnelagent::MainWindow::on_create") << "An update was started; the program closes";
        post_close(handle());
        return;
    }
    if (configuration_->first_run)
        post_show_page(handle(), OVERVIEW_PAGE);
    else if (client_->has_session())
        post_show_page(handle(), NOTIFICATIONS_PAGE, true);
    else
        post_show_page(handle(), AUTH_PAGE);
}

void MainWindow::guarded(const wchar_t* context, const std::function<void()>& work) {
    if (destroyed_)
        return;
    try {
        work();
    } catch (...) {
        const std::wstring text = error::log_exception(std::current_exception(), context);
        if ((page_ || parked_) && !destroyed_)
            error::show_error(text, handle());
    }
}

void MainWindow::on_close_request() {
    guarded(L"varnelagent::MainWindow::on_close_request", [this] { close(); });
}

void MainWindow::on_command(unsigned command) {
    guarded(L"varnelagent::MainWindow::on_command", [this, command] { this->command(command); });
}

void MainWindow::on_show_page(PageKind kind, bool session_start) {
    guarded(L"varnelagent::MainWindow::on_show_page", [this, kind, session_start] { show_page(kind, session_start); });
}

std::optional<Json::Value> MainWindow::on_dialog_request(const Json::Value& request) {
    std::optional<Json::Value> result;
    guarded(L"varnelagent::MainWindow::on_dialog_request", [&] { result = dialog_request(request); });
    return result;
}

void MainWindow::on_timer(unsigned id) {
    guarded(L"varnelagent::MainWindow::on_timer", [this, id] { timer(id); });
}

decisions::ShellState MainWindow::state() const {
    decisions::ShellState state;
    state.window_visible = window_->visible();
    state.session_running = session_running();
    if (page_)
        state.page = page_->kind();
    state.parked = parked_;
    if (dialog_shown())
        state.dialog = dialog_->kind();
    state.silent_mode = configuration_->silent_mode;
    state.desktop_notices = configuration_->desktop_notifications;
    state.do_not_disturb = notices_->inhibited();
    return state;
}

void MainWindow::on_visibility(bool visible) {
    if (visible)
        kill_timer(TIMER_RELEASE);
    else if (session_running() && !destroyed_)
        set_timer(TIMER_RELEASE, static_cast<unsigned>(release_period_.count()));
}

void MainWindow::close() {
    switch (decisions::close(state())) {
    case decisions::CloseAction::Hide:
        window_->hide();
        break;
    case decisions::CloseAction::ShowSignIn:
        post_show_page(handle(), AUTH_PAGE);
        break;
    case decisions::CloseAction::Exit:
        post_command(handle(), ID_EXIT);
        break;
    }
}

bool MainWindow::command(unsigned command) {
    switch (decisions::command_under_dialog(state(), command)) {
    case decisions::DialogFirst::Ignore:
        return false;
    case decisions::DialogFirst::ClosePopup:
        dialog_->close();
        break;
    case decisions::DialogFirst::CloseDialogAndRepeat:
        dialog_->close();
        // A message dialog's loop is still on the stack until this returns; leaving the page
        // may ask a question in a dialog of its own, which must not replace the closed one
        // before its loop has ended. The command comes again from the queue.
        post_command(handle(), command);
        return true;
    case decisions::DialogFirst::Proceed:
        break;
    }
    switch (command) {
    case 0:
    case ID_OPEN:
        if (!page_ && !restore_page())
            return false;
        show_window();
        return true;
    case ID_EXIT:
        if (!switch_page(nullptr))
            return false;
        destroy();
        return true;
    case ID_INSTRUCTION:
        return client_->uri_service().open_link(configuration_->instruction, L"", L"");
    case ID_CHANGE_USER:
        if (!switch_page(nullptr))
            return false;
        on_signout();
        return true;
    case ID_SILENT_MODE:
        configuration_->silent_mode = !configuration_->silent_mode;
        tray_.set_silent_check(configuration_->silent_mode);
        if (page_)
            page_->on_silent_mode(configuration_->silent_mode);
        return true;
    default:
        return false;
    }
}

void MainWindow::timer(unsigned timer) {
    if (timer == TIMER_HIDE) {
        if (!dialog_shown() && page_ && page_->hide_allowed() && page_->hides_when_unfocused() &&
            window_->visible() && !window_->active())
            window_->hide();
        kill_timer(TIMER_HIDE);
        return;
    }
    if (timer == TIMER_RELEASE) {
        if (release_page_engine())
            kill_timer(TIMER_RELEASE);
        return;
    }
    if (timer == TIMER_PAGE_OUT) {
        kill_timer(TIMER_PAGE_OUT);
        if (released() && !window_->visible() && !dialog_shown())
            give_back_memory();
        return;
    }
    if (timer == TIMER_ACTIVATE) {
        if (!window_->active() && window_->visible())
            window_->present();
        kill_timer(TIMER_ACTIVATE);
        kill_timer(TIMER_HIDE);
    }
}

std::unique_ptr<pages::BasePage> MainWindow::make_page(int kind) {
    switch (kind) {
    case AUTH_PAGE:
        return std::make_unique<pages::AuthPage>(client_.get());
    case NOTIFICATIONS_PAGE:
        return std::make_unique<pages::NotificationsPage>(client_.get());
    case HELP_PAGE:
        return std::make_unique<pages::HelpPage>(client_.get());
    case SETTINGS_PAGE:
        return std::make_unique<pages::SettingsPage>(client_.get());
    case OVERVIEW_PAGE:
        return std::make_unique<pages::Overview>(client_.get());
    default:
        return nullptr;
    }
}

bool MainWindow::show_page(int kind, bool session_start) {
    if (session_start)
        start_session();
    auto page = make_page(kind);
    if (!page)
        return false;
    if (!switch_page(std::move(page)))
        return false;
    show_window();
    return true;
}

void MainWindow::show_window() {
    if (!page_)
        return;
    // The list of messages comes into sight: nothing waits unseen any more.
    if (page_->kind() == NOTIFICATIONS_PAGE)
        clear_unread();
    // A page whose document has not placed its window yet is shown when it has, so the
    // window never flashes up at the previous page's size.
    if (page_->placed()) {
        window_->present();
        return;
    }
    pages::BasePage* page = page_.get();
    page->set_placed_handler([this, page] {
        if (page_.get() == page && !destroyed_)
            window_->present();
    });
}

bool MainWindow::release_page_engine() {
    if (destroyed_ || window_->visible() || !session_running())
        return true;
    // The popup or a dialog is on the screen, or the page holds unsaved work: later.
    if (!decisions::may_release_engine(state()) || (page_ && !page_->may_release()))
        return false;
    const std::optional<PageKind> kind = page_ ? std::optional<PageKind>(page_->kind()) : parked_;
    if (!switch_page(nullptr))
        return false;
    parked_ = kind;
    dialog_.reset();
    window_->release();
    engine::release_page_context();
    give_back_memory();
    // The page engine's processes end in a moment; the code they shared goes then.
    set_timer(TIMER_PAGE_OUT, TIMER_PAGE_OUT_DELAY_MS);
    AGENT_INFO(L"varnelagent::MainWindow::release_page_engine") << "Hidden in the tray: the page engine is let go";
    return true;
}

void MainWindow::give_back_memory() {
    // What the pages' documents and their replies left on the heap, and the page engine's
    // code, which nothing runs until a window is needed again, go back to the system.
    ::malloc_trim(0);
    agent::details::page_out_file_mappings();
}

bool MainWindow::restore_page() {
    if (page_)
        return true;
    if (!parked_ || destroyed_)
        return false;
    return switch_page(make_page(*parked_)) && page_;
}

bool MainWindow::switch_page(std::unique_ptr<pages::BasePage> page) {
    if (page_ && !page_->on_unload_page())
        return false;
    // Asking the page may have run a dialog, during which the window may have been closed.
    if (destroyed_)
        return false;
    parked_.reset();
    if (page_)
        page_->end_work();
    std::unique_ptr<pages::BasePage> old = std::move(page_);
    page_ = std::move(page);
    old.reset();
    if (page_)
        page_->attach(*this, *window_);
    return true;
}

void MainWindow::show_popup(const std::vector<agent::Message>& messages) {
    if (!dialog_shown()) {
        dialog_.reset();
        auto popup = std::make_unique<pages::MessagePopup>(handle(), window_.get(), client_.get());
        popup->initialize();
        dialog_ = std::move(popup);
        // The popup brought the page engine back; it goes again once the popup is closed.
        if (parked_ && !window_->visible())
            set_timer(TIMER_RELEASE, static_cast<unsigned>(release_period_.count()));
    }
    // A dialog of another kind takes no batch: the list has the messages.
    if (auto* popup = dialog_->kind() == MESSAGE_POPUP ? static_cast<pages::MessagePopup*>(dialog_.get()) : nullptr)
        popup->add_messages(messages);
}

std::optional<Json::Value> MainWindow::dialog_request(const Json::Value& request) {
    // A dialog stands over the main window, which comes back if it was let go.
    restore_page();
    if (page_)
        page_->set_hide_allowed(false);
    if (!window_->visible() && page_)
        window_->present();
    if (!dialog_shown()) {
        dialog_.reset();
        dialog_ = std::make_unique<pages::MessageDialog>(request, handle(), window_.get(), client_.get());
        dialog_->initialize();
    }
    // Only one dialog window lives at a time: a request that finds the popup is not shown.
    if (!dialog_shown() || dialog_->kind() == MESSAGE_POPUP)
        return std::nullopt;
    const Json::Value result = dialog_->run_modal();
    if (page_)
        page_->set_hide_allowed(true);
    return result;
}

void MainWindow::on_message_read(const std::wstring& message_id) {
    notices_->withdraw(message_id);
    client_->archive()->mark_read(message_id);
    // An opened message no longer waits; one the tray did not count changes nothing.
    if (message_id.empty() ? unread_without_id_ > 0 : unread_ids_.count(message_id) != 0) {
        if (message_id.empty())
            --unread_without_id_;
        else
            unread_ids_.erase(message_id);
        set_unread_shown();
    }
    if (page_)
        page_->on_message_read(message_id);
}

void MainWindow::count_arrived(const std::vector<agent::Message>& messages) {
    for (const agent::Message& message : messages) {
        if (message.id.empty())
            ++unread_without_id_;
        else
            unread_ids_.insert(message.id);
    }
    set_unread_shown();
}

void MainWindow::set_unread_shown() {
    tray_.set_unread(static_cast<int>(unread_ids_.size() + unread_without_id_));
}

void MainWindow::clear_unread() {
    unread_ids_.clear();
    unread_without_id_ = 0;
    set_unread_shown();
}

void MainWindow::start_session() {
    tray_.add();
    tray_.set_silent_check(configuration_->silent_mode);
    client_->update_service().start_checking_update();
    if (stream_gate_)
        return;
    stream_gate_ = std::make_shared<HandOverGate>();
    const auto gate = stream_gate_;
    // Stream thread: the batch goes to the GUI thread once, moved, and the stream reads on.
    // Posted under the session's gate: a batch still queued when the session ends is dropped.
    client_->message_service().start_message_stream([this, gate](std::vector<agent::Message>&& messages) {
        HandOverScope scope(gate);
        post_on_gui_thread([this, batch = std::move(messages)]() mutable { on_new_messages(std::move(batch)); },
                           L"varnelagent::MainWindow::on_new_messages");
    });
    network_watch_ = std::make_unique<NetworkWatch>([this] { client_->message_service().reconnect_message_stream(); });
}

void MainWindow::stop_session() {
    if (!stream_gate_)
        return;
    // The stream's callback may be waiting for this thread: release it, then stop.
    network_watch_.reset();
    stream_gate_->close();
    client_->message_service().stop_message_stream();
    client_->update_service().stop_checking_update();
    stream_gate_.reset();
}

void MainWindow::on_signout() {
    try {
        window_->hide();
        // What the popup holds belongs to the user who is leaving.
        if (dialog_shown() && dialog_->kind() == MESSAGE_POPUP)
            dialog_->close();
        tray_.remove();
        clear_unread();
        notices_->withdraw_all();
        // The marks of the leaving user go with their session.
        notice_reads_->close();
        notice_reads_ = std::make_unique<pages::InstantReadMarks>(client_->message_service(), handle());
        // The provider's services must not stay signed in for whoever comes next.
        browser_->sign_out();
        if (client_->has_session()) {
            stop_session();
            client_->signout();
        }
    } catch (...) {
        error::log_exception(std::current_exception(), L"varnelagent::MainWindow::on_signout");
    }
    post_show_page(handle(), AUTH_PAGE);
}

void MainWindow::on_new_messages(std::vector<agent::Message> messages) {
    if (messages.empty() || destroyed_ || !session_running())
        return;
    // Kept for the list, also while no list is open.
    client_->archive()->add(messages);
    const decisions::ShellState now = state();
    if (decisions::counts_unread(now))
        count_arrived(messages);
    switch (decisions::announce(now)) {
    case decisions::Announcement::DesktopNotices:
        notices_->show(messages, client_->session_id());
        break;
    case decisions::Announcement::Popup:
        show_popup(messages);
        break;
    case decisions::Announcement::None:
        if (!now.window_visible && !now.silent_mode) {
            AGENT_INFO(L"varnelagent::MainWindow::announce") << "The desktop asks for quiet: no popup";
        }
        break;
    }
    if (!page_ || page_->closing())
        return;
    page_->on_new_messages(messages);
    // The header's logo blinks on whatever page is current when this arrives.
    page_->call_script_async("start_alert_new_message");
}

void MainWindow::on_notices_refused(std::vector<agent::Message> messages) {
    // Shown meanwhile, the list has them; silent or quiet, only the tray counts them.
    if (destroyed_ || !decisions::refused_notices_to_popup(state()))
        return;
    show_popup(messages);
}

void MainWindow::open_from_notice(const agent::Message& message) {
    if (destroyed_ || !session_running())
        return;
    // As a click in the popup: the mark goes at once, the link opens signed in.
    notice_reads_->read(message.id);
    if (!message.link.empty())
        pages::open_web_link(*client_, wide_to_utf8(message.link), true, handle());
}

void MainWindow::terminate() {
    if (destroyed_)
        return;
    AGENT_INFO(L"varnelagent::MainWindow::terminate") << "The session of the desktop ends";
    if (dialog_shown())
        dialog_->close();
    if (page_)
        page_->end_work();
    page_.reset();
    destroy();
}

void MainWindow::destroy() {
    if (destroyed_)
        return;
    notices_->withdraw_all();
    notices_->flush();
    stop_session();
    window_->hide();
    destroyed_ = true;
    if (destroy_handler_) {
        const auto handler = destroy_handler_;
        handler();
    }
}

}  // namespace varnelagent
