#include "gui/pages/modal_dialog.h"

#include <glib.h>

#include "details/logger.h"
#include "gui/error.h"

namespace varnelagent::pages {

namespace {

ModalDialog* live_dialog = nullptr;

}  // namespace

ModalDialog::ModalDialog(agent::AgentClient* client, WindowHandle owner, engine::HostWindow* owner_window,
                         engine::WindowRole role)
    : BasePage(client), owner_(owner), owner_window_(owner_window), role_(role) {}

ModalDialog::~ModalDialog() {
    closing_ = true;
    close();
}

ModalDialog* ModalDialog::current() noexcept {
    return live_dialog;
}

void ModalDialog::initialize() {
    try {
        engine::WindowOptions options;
        std::tie(options.width, options.height) = initial_size();
        options.role = role_;
        // A popup lives on while the main window is hidden, so it is nobody's transient.
        if (role_ == engine::WindowRole::Dialog && owner_window_ != nullptr)
            options.transient_for = owner_window_->gtk_window();
        window_ = std::make_unique<engine::HostWindow>(options);
        window_->set_close_handler([handle = handle()] { post_close(handle); });
        // What a dialog showed is gone with the engine's process: it closes as if cancelled.
        window_->set_crash_handler([handle = handle()] { post_close(handle); });
        live_dialog = this;
        attach(*this, *window_);
    } catch (...) {
        error::log_exception(std::current_exception(), L"varnelagent::pages::ModalDialog::initialize");
        detach();
        window_.reset();
        if (live_dialog == this)
            live_dialog = nullptr;
    }
}

Json::Value ModalDialog::run_modal() {
    if (!alive())
        return result_;
    if (role_ == engine::WindowRole::Popup) {
        // Nobody waits for the popup's answer, and it stays open while the user goes on with
        // other things: it is shown, raised above the others once per batch, and left
        // there, without a loop of its own (which would nest once per batch and hold up
        // whatever the GUI thread was doing when the batch came).
        if (placed())
            window_->raise_above_others();
        else
            set_placed_handler([this] {
                if (alive())
                    window_->raise_above_others();
            });
        return result_;
    }
    auto show = [this] {
        if (alive())
            window_->present();
    };
    // The window appears once its document has placed it.
    if (placed())
        show();
    else
        set_placed_handler(show);
    if (owner_window_ != nullptr)
        owner_window_->set_sensitive(false);
    loop_ = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop_);
    g_main_loop_unref(loop_);
    loop_ = nullptr;
    set_placed_handler(nullptr);
    if (owner_window_ != nullptr) {
        owner_window_->set_sensitive(true);
        if (owner_window_->visible())
            owner_window_->present();
    }
    return result_;
}

void ModalDialog::close() {
    if (owner_window_ != nullptr && role_ != engine::WindowRole::Popup) {
        owner_window_->set_sensitive(true);
        if (owner_window_->visible())
            owner_window_->present();
    }
    detach();
    window_.reset();
    if (live_dialog == this)
        live_dialog = nullptr;
    if (loop_ != nullptr)
        g_main_loop_quit(loop_);
}

void ModalDialog::on_close_request() {
    close();
}

void ModalDialog::on_timer(unsigned id) {
    if (id != TIMER_ACTIVATE && id != TIMER_HIDE)
        return;
    if (id == TIMER_ACTIVATE && alive() && window_->visible() && !window_->active())
        window_->present();
    kill_timer(id);
}

MessageDialog::MessageDialog(const Json::Value& request, WindowHandle owner, engine::HostWindow* owner_window,
                             agent::AgentClient* client)
    : ModalDialog(client, owner, owner_window, engine::WindowRole::Dialog),
      properties_(request),
      url_(dialog_document(request)),
      kind_(url_ == "res:save.html" ? SAVE_DIALOG : MESSAGE_DIALOG) {
    // The save question closed without an answer (its window closed by the desktop, or its
    // engine gone) means what its close icon means: stay on the page, nothing lost.
    if (kind_ == SAVE_DIALOG)
        result_ = Json::Value(-1);
    add_functions();
}

MessageDialog::~MessageDialog() {
    closing_ = true;
    close();
}

void MessageDialog::add_functions() {
    add_script_function("get_dialog_properties", [this](const Json::Value&) { return properties_; });
    add_script_function("get_parent_window_properties", [this](const Json::Value&) {
        Json::Value value(Json::objectValue);
        const engine::Rect rect = owner_window() != nullptr ? owner_window()->rect() : engine::Rect{};
        value["bottom"] = rect.bottom;
        value["left"] = rect.left;
        value["right"] = rect.right;
        value["top"] = rect.top;
        return value;
    });
    add_script_function("load_document", [this](const Json::Value& args) {
        // Another of the program's dialog documents in the same window, with the same
        // properties (the error dialog's "Настроить прокси-сервер" opens the proxy form).
        const std::string url = string_of(args[0]);
        if (url != "res:proxy.html" && url != "res:error.html" && url != "res:credentials.html")
            throw engine::EngineException(L"A dialog cannot show this document");
        const std::weak_ptr<int> alive = alive_;
        post_on_gui_thread(
            [this, alive, url] {
                if (!alive.expired() && this->alive())
                    show_document(url);
            },
            L"varnelagent::pages::MessageDialog::load_document");
        return Json::Value();
    });
    add_script_function("dialog_result", [this](const Json::Value& args) {
        result_ = args[0];
        // Asked after this call has been answered: the document's own unload answer comes
        // through the engine, which must not be waited for inside its own call.
        const std::weak_ptr<int> alive = alive_;
        post_on_gui_thread(
            [this, alive] {
                if (!alive.expired() && this->alive() && on_unload_page())
                    post_close(handle());
            },
            L"varnelagent::pages::MessageDialog::dialog_result");
        return Json::Value();
    });
}

void MessageDialog::show_document(const std::string& url) {
    url_ = url;
    load_document(url);
}

void MessageDialog::on_show_page(PageKind kind, bool session_start) {
    post_close(handle());
    // Two hops: the switch reaches the owner only once the dialog's loop has ended and
    // whoever asked for the dialog has its answer. Leaving a page may ask a question of its
    // own (unsaved proxy settings), and that dialog must not replace this one while this
    // one's loop is still running.
    const WindowHandle owner_handle = owner();
    post_on_gui_thread([owner_handle, kind, session_start] { post_show_page(owner_handle, kind, session_start); },
                       L"varnelagent::pages::MessageDialog::on_show_page");
}

}  // namespace varnelagent::pages
