#include "gui/shell/window_impl.h"

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
#include "model/message_service.h"
#include "model/update_service.h"
#include "model/uri_service.h"

namespace varnelagent {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr char WINDOW_TITLE[] = "Varnel.Agent";
constexpr char TRAY_TIP[] = "Варнел.Агент";

// The stream thread's news for the GUI thread, posted so that it never waits for it.
constexpr unsigned WM_UNREAD_MESSAGES = WM_USER + 16;    // what arrived while hidden waits in arrived_
constexpr unsigned WM_NEW_MESSAGES_ALERT = WM_USER + 17;  // the current page's logo blinks
// Sent: lParam is the batch (const std::vector<agent::Message>*), valid while it is handled.
constexpr unsigned WM_ANNOUNCE_MESSAGES = WM_USER + 18;

}  // namespace

std::string WindowImpl::prepare_icon_directory() {
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
            AGENT_ERROR(L"varnelagent::WindowImpl::prepare_icon_directory") << error->message;
            g_error_free(error);
        }
    }
    return directory;
}

WindowImpl::WindowImpl(const std::wstring& data_directory)
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
    window_->set_close_handler([handle = handle()] { post_message(handle, WM_CLOSE, 0, 0); });
    // The page engine's process ended under the page: a new page of the same kind starts
    // afresh (its document and its state, such as where the list had got to).
    window_->set_crash_handler([this] {
        if (page_ && !destroyed_)
            post_message(handle(), WM_SHOW_PAGE, static_cast<std::uintptr_t>(page_->kind()), 0);
    });
    // GUI thread: keeps the stream thread's view of the window up to date.
    auto track = +[](GtkWidget* widget, gpointer data) {
        static_cast<WindowImpl*>(data)->on_visibility(gtk_widget_get_visible(widget));
    };
    g_signal_connect(window_->gtk_window(), "show", G_CALLBACK(track), this);
    g_signal_connect(window_->gtk_window(), "hide", G_CALLBACK(track), this);
    tray_.set_default_item(ID_OPEN);
    silent_ = configuration_->silent_mode;
    make_notices();
}

void WindowImpl::make_notices() {
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
            post_message(handle(), WM_SHOW_PAGE, NOTIFICATIONS_PAGE, 0);
    };
    notices_ = std::make_unique<DesktopNotices>(std::move(handlers), client_->http_client(), configuration_->uri);
    notice_reads_ = std::make_unique<pages::InstantReadMarks>(client_->message_service(), handle());
}

WindowImpl::~WindowImpl() {
    g_signal_handlers_disconnect_by_data(window_->gtk_window(), this);
    // Nobody would answer their actions any more.
    notices_->withdraw_all();
    notices_->flush();
    notices_.reset();
    notice_reads_.reset();
    stop_session();
    dialog_.reset();
    {
        if (page_)
            if (auto* notifications = dynamic_cast<pages::NotificationsPage*>(page_.get()))
                notifications->end_work();
        std::unique_ptr<pages::BasePage> page;
        {
            std::lock_guard lock(page_mutex_);
            page = std::move(page_);
        }
    }
    client_.reset();
    browser_.reset();
    tray_.remove();
}

void WindowImpl::on_create() {
    const std::wstring& path = configuration_->path;
    if (agent::UpdateService::required_update(path) && agent::UpdateService::update(path)) {
        AGENT_INFO(L"varnelagent::WindowImpl::on_create") << "An update was started; the program closes";
        post_message(handle(), WM_CLOSE, 0, 0);
        return;
    }
    if (configuration_->first_run)
        post_message(handle(), WM_SHOW_PAGE, OVERVIEW_PAGE, 0);
    else if (client_->has_session())
        post_message(handle(), WM_SHOW_PAGE, NOTIFICATIONS_PAGE, SESSION_START);
    else
        post_message(handle(), WM_SHOW_PAGE, AUTH_PAGE, 0);
}

std::intptr_t WindowImpl::on_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    if (destroyed_)
        return 0;
    try {
        return handle_message(message, wparam, lparam);
    } catch (...) {
        const std::wstring text = error::log_exception(std::current_exception(), L"window_proc");
        if ((page_ || parked_) && !destroyed_)
            error::show_error(text, handle());
        return 0;
    }
}

std::intptr_t WindowImpl::handle_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    switch (message) {
    case WM_CLOSE:
        on_close();
        return 0;
    case WM_COMMAND:
        return on_command(wparam & 0xFFFF);
    case WM_TIMER:
        return on_timer(wparam);
    case WM_TRAY_CALLBACK:
        // A click on the icon itself, where the tray host reports one: Open.
        return on_command(0);
    case WM_SHOW_PAGE:
        return on_show_page(wparam, lparam);
    case WM_MODAL_DIALOG:
        return on_modal_dialog(wparam, lparam);
    case WM_MESSAGE_READ:
        return on_message_read(reinterpret_cast<const wchar_t*>(wparam));
    case WM_UNREAD_MESSAGES:
        count_arrived();
        return 1;
    case WM_ANNOUNCE_MESSAGES:
        return announce(*reinterpret_cast<const std::vector<agent::Message>*>(lparam));
    case WM_NEW_MESSAGES_ALERT:
        if (page_ && !page_->closing())
            page_->call_script_async("start_alert_new_message");
        return 1;
    default:
        return 0;
    }
}

void WindowImpl::on_visibility(bool visible) {
    visible_ = visible;
    if (visible)
        kill_timer(TIMER_RELEASE);
    else if (session_running() && !destroyed_)
        set_timer(TIMER_RELEASE, static_cast<unsigned>(release_period_.count()));
}

void WindowImpl::on_close() {
    if (!page_ && parked_) {
        window_->hide();
    } else if (page_ && page_->kind() == OVERVIEW_PAGE) {
        post_message(handle(), WM_SHOW_PAGE, AUTH_PAGE, 0);
    } else if (page_ && page_->kind() != AUTH_PAGE) {
        window_->hide();
    } else {
        post_message(handle(), WM_COMMAND, ID_EXIT, 0);
    }
}

std::intptr_t WindowImpl::on_command(std::uintptr_t command) {
    if (dialog_ && dialog_->alive()) {
        const PageKind dialog = dialog_->kind();
        if (command == ID_OPEN || command == 0) {
            if (dialog != MESSAGE_POPUP)
                return 0;
            send_message(dialog_->handle(), WM_CLOSE, 0, 0);
        } else if (command == ID_CHANGE_USER || command == ID_EXIT) {
            if (dialog == SAVE_DIALOG)
                return 0;
            send_message(dialog_->handle(), WM_CLOSE, 0, 0);
            // A message dialog's loop is still on the stack until this returns; leaving the
            // page may ask a question in a dialog of its own, which must not replace the
            // closed one before its loop has ended. The command comes again from the queue.
            if (dialog != MESSAGE_POPUP) {
                post_message(handle(), WM_COMMAND, command, 0);
                return 1;
            }
        }
    }
    switch (command) {
    case 0:
    case ID_OPEN:
        if (!page_ && !restore_page())
            return 0;
        show_window();
        return 1;
    case ID_EXIT:
        if (!switch_page(nullptr))
            return 0;
        destroy();
        return 1;
    case ID_INSTRUCTION:
        return client_->uri_service().open_link(configuration_->instruction, L"", L"") ? 1 : 0;
    case ID_CHANGE_USER:
        if (!switch_page(nullptr))
            return 0;
        on_signout();
        return 1;
    case ID_SILENT_MODE:
        configuration_->silent_mode = !configuration_->silent_mode;
        silent_ = configuration_->silent_mode;
        tray_.set_silent_check(configuration_->silent_mode);
        if (auto* settings = dynamic_cast<pages::SettingsPage*>(page_.get()))
            settings->set_silent_mode(configuration_->silent_mode);
        return 1;
    default:
        return 0;
    }
}

std::intptr_t WindowImpl::on_timer(std::uintptr_t timer) {
    if (timer == TIMER_HIDE) {
        if (!(dialog_ && dialog_->alive()) && page_ && page_->hide_allowed() && page_->hides_when_unfocused() &&
            window_->visible() && !window_->active())
            window_->hide();
        kill_timer(TIMER_HIDE);
        return 0;
    }
    if (timer == TIMER_RELEASE) {
        if (release_page_engine())
            kill_timer(TIMER_RELEASE);
        return 0;
    }
    if (timer == TIMER_PAGE_OUT) {
        kill_timer(TIMER_PAGE_OUT);
        if (released() && !window_->visible() && !(dialog_ && dialog_->alive()))
            give_back_memory();
        return 0;
    }
    if (timer == TIMER_ACTIVATE) {
        if (!window_->active() && window_->visible())
            window_->present();
        kill_timer(TIMER_ACTIVATE);
        kill_timer(TIMER_HIDE);
        return 0;
    }
    return 1;
}

std::unique_ptr<pages::BasePage> WindowImpl::make_page(std::uintptr_t kind) {
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

std::intptr_t WindowImpl::on_show_page(std::uintptr_t kind, std::intptr_t lparam) {
    if (lparam == SESSION_START)
        start_session();
    auto page = make_page(kind);
    if (!page)
        return 0;
    if (!switch_page(std::move(page)))
        return 0;
    show_window();
    return 1;
}

void WindowImpl::show_window() {
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

bool WindowImpl::release_page_engine() {
    if (destroyed_ || window_->visible() || !session_running())
        return true;
    // The popup or a dialog is on the screen, or the page holds unsaved work: later.
    if ((dialog_ && dialog_->alive()) || (page_ && !page_->may_release()))
        return false;
    const std::optional<std::uintptr_t> kind =
        page_ ? std::optional<std::uintptr_t>(static_cast<std::uintptr_t>(page_->kind())) : parked_;
    if (!switch_page(nullptr))
        return false;
    parked_ = kind;
    dialog_.reset();
    window_->release();
    engine::release_page_context();
    give_back_memory();
    // The page engine's processes end in a moment; the code they shared goes then.
    set_timer(TIMER_PAGE_OUT, TIMER_PAGE_OUT_DELAY_MS);
    AGENT_INFO(L"varnelagent::WindowImpl::release_page_engine") << "Hidden in the tray: the page engine is let go";
    return true;
}

void WindowImpl::give_back_memory() {
    // What the pages' documents and their replies left on the heap, and the page engine's
    // code, which nothing runs until a window is needed again, go back to the system.
    ::malloc_trim(0);
    agent::details::page_out_file_mappings();
}

bool WindowImpl::restore_page() {
    if (page_)
        return true;
    if (!parked_ || destroyed_)
        return false;
    return switch_page(make_page(*parked_)) && page_;
}

bool WindowImpl::switch_page(std::unique_ptr<pages::BasePage> page) {
    if (page_ && !page_->on_unload_page())
        return false;
    // Asking the page may have run a dialog, during which the window may have been closed.
    if (destroyed_)
        return false;
    parked_.reset();
    if (auto* notifications = dynamic_cast<pages::NotificationsPage*>(page_.get()))
        notifications->end_work();
    std::unique_ptr<pages::BasePage> old;
    {
        std::lock_guard lock(page_mutex_);
        old = std::move(page_);
        page_ = std::move(page);
    }
    old.reset();
    if (page_)
        page_->attach(*this, *window_);
    return true;
}

std::intptr_t WindowImpl::on_modal_dialog(std::uintptr_t request, std::intptr_t value) {
    try {
        if (request == DIALOG_RUN_CURRENT) {
            if (dialog_ && dialog_->alive()) {
                dialog_->run_modal();
                if (page_)
                    page_->set_hide_allowed(true);
            }
            return 1;
        }
        if (request == DIALOG_NEW_MESSAGES) {
            if (!(dialog_ && dialog_->alive())) {
                dialog_.reset();
                dialog_ = std::make_unique<pages::MessagePopup>(handle(), window_.get(), client_.get());
                dialog_->initialize();
                // The popup brought the page engine back; it goes again once the popup is closed.
                if (parked_ && !window_->visible())
                    set_timer(TIMER_RELEASE, static_cast<unsigned>(release_period_.count()));
            }
            return send_message(dialog_->handle(), WM_MODAL_DIALOG, request, value);
        }
        if (request == DIALOG_REQUEST) {
            auto* dialog_request = reinterpret_cast<DialogRequest*>(value);
            if (dialog_request == nullptr)
                return 0;
            // A dialog stands over the main window, which comes back if it was let go.
            restore_page();
            if (page_)
                page_->set_hide_allowed(false);
            if (!window_->visible() && page_)
                window_->present();
            if (!(dialog_ && dialog_->alive())) {
                dialog_.reset();
                dialog_ = std::make_unique<pages::MessageDialog>(dialog_request->value, handle(), window_.get(),
                                                                 client_.get());
                dialog_->initialize();
            }
            return send_message(dialog_->handle(), WM_MODAL_DIALOG, request, value);
        }
        return 0;
    } catch (...) {
        error::log_exception(std::current_exception(), L"varnelagent::WindowImpl::on_modal_dialog");
        return 0;
    }
}

std::intptr_t WindowImpl::on_message_read(const wchar_t* id) {
    if (id == nullptr)
        return 0;
    // Copied first: the sender's text lives only as long as this call.
    const std::wstring message_id(id);
    notices_->withdraw(message_id);
    // An opened message no longer waits; one the tray did not count changes nothing.
    if (message_id.empty() ? unread_without_id_ > 0 : unread_ids_.count(message_id) != 0) {
        if (message_id.empty())
            --unread_without_id_;
        else
            unread_ids_.erase(message_id);
        set_unread_shown();
    }
    auto* notifications = dynamic_cast<pages::NotificationsPage*>(page_.get());
    if (notifications == nullptr)
        return 0;
    notifications->read_message(message_id);
    return 1;
}

void WindowImpl::count_arrived() {
    std::vector<std::wstring> arrived;
    {
        std::lock_guard lock(arrived_mutex_);
        arrived.swap(arrived_);
    }
    // Shown meanwhile: the user sees them come in.
    if (window_->visible() || !session_running())
        return;
    for (std::wstring& id : arrived) {
        if (id.empty())
            ++unread_without_id_;
        else
            unread_ids_.insert(std::move(id));
    }
    set_unread_shown();
}

void WindowImpl::set_unread_shown() {
    tray_.set_unread(static_cast<int>(unread_ids_.size() + unread_without_id_));
}

void WindowImpl::clear_unread() {
    unread_ids_.clear();
    unread_without_id_ = 0;
    set_unread_shown();
}

void WindowImpl::start_session() {
    tray_.add();
    tray_.set_silent_check(configuration_->silent_mode);
    silent_ = configuration_->silent_mode;
    client_->update_service().start_checking_update();
    if (stream_gate_)
        return;
    stream_gate_ = std::make_shared<HandOverGate>();
    const auto gate = stream_gate_;
    client_->message_service().start_message_stream([this, gate](std::vector<agent::Message>&& messages) {
        HandOverScope scope(gate);
        try {
            on_new_messages(std::move(messages));
        } catch (const HandOverCancelled&) {
            // The session is ending: the stream is being stopped.
        } catch (...) {
            error::log_exception(std::current_exception(), L"varnelagent::WindowImpl::on_new_messages");
        }
    });
    network_watch_ = std::make_unique<NetworkWatch>([this] { client_->message_service().reconnect_message_stream(); });
}

void WindowImpl::stop_session() {
    if (!stream_gate_)
        return;
    // The stream's callback may be waiting for this thread: release it, then stop.
    network_watch_.reset();
    stream_gate_->close();
    client_->message_service().stop_message_stream();
    client_->update_service().stop_checking_update();
    stream_gate_.reset();
}

void WindowImpl::on_signout() {
    try {
        window_->hide();
        // What the popup holds belongs to the user who is leaving.
        if (dialog_ && dialog_->alive() && dialog_->kind() == MESSAGE_POPUP)
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
        error::log_exception(std::current_exception(), L"varnelagent::WindowImpl::on_signout");
    }
    post_message(handle(), WM_SHOW_PAGE, AUTH_PAGE, 0);
}

void WindowImpl::on_new_messages(std::vector<agent::Message>&& messages) {
    if (messages.empty())
        return;
    const bool hidden = !visible_;
    if (hidden) {
        {
            std::lock_guard lock(arrived_mutex_);
            for (const agent::Message& message : messages)
                arrived_.push_back(message.id);
        }
        post_message(handle(), WM_UNREAD_MESSAGES, 0, 0);
    }
    if (hidden && !silent_)
        send_message(handle(), WM_ANNOUNCE_MESSAGES, 0, reinterpret_cast<std::intptr_t>(&messages));
    {
        std::lock_guard lock(page_mutex_);
        if (!page_ || page_->closing())
            return;
        // Waits for a batch being loaded; the page ends this call when it closes.
        if (auto* notifications = dynamic_cast<pages::NotificationsPage*>(page_.get()))
            notifications->add_new_messages(messages);
    }
    // The header's logo blinks on whatever page is current when this arrives.
    post_message(handle(), WM_NEW_MESSAGES_ALERT, 0, 0);
}

std::intptr_t WindowImpl::announce(const std::vector<agent::Message>& messages) {
    if (configuration_->desktop_notifications) {
        notices_->show(messages, client_->session_id());
        return 1;
    }
    if (notices_->inhibited()) {
        AGENT_INFO(L"varnelagent::WindowImpl::announce") << "The desktop asks for quiet: no popup";
        return 0;
    }
    return on_modal_dialog(DIALOG_NEW_MESSAGES, reinterpret_cast<std::intptr_t>(&messages));
}

void WindowImpl::on_notices_refused(std::vector<agent::Message> messages) {
    // Shown meanwhile, the list has them; silent or quiet, only the tray counts them.
    if (destroyed_ || !session_running() || visible_ || silent_ || notices_->inhibited())
        return;
    on_modal_dialog(DIALOG_NEW_MESSAGES, reinterpret_cast<std::intptr_t>(&messages));
}

void WindowImpl::open_from_notice(const agent::Message& message) {
    if (destroyed_ || !session_running())
        return;
    // As a click in the popup: the mark goes at once, the link opens signed in.
    notice_reads_->read(message.id);
    if (!message.link.empty())
        pages::open_web_link(*client_, wide_to_utf8(message.link), true, handle());
}

void WindowImpl::terminate() {
    if (destroyed_)
        return;
    AGENT_INFO(L"varnelagent::WindowImpl::terminate") << "The session of the desktop ends";
    if (dialog_ && dialog_->alive())
        dialog_->close();
    if (auto* notifications = dynamic_cast<pages::NotificationsPage*>(page_.get()))
        notifications->end_work();
    std::unique_ptr<pages::BasePage> old;
    {
        std::lock_guard lock(page_mutex_);
        old = std::move(page_);
    }
    old.reset();
    destroy();
}

void WindowImpl::destroy() {
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
