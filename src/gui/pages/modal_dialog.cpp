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
        window_->set_close_handler([handle = handle()] { post_message(handle, WM_CLOSE, 0, 0); });
        // What a dialog showed is gone with the engine's process: it closes as if cancelled.
        window_->set_crash_handler([handle = handle()] { post_message(handle, WM_CLOSE, 0, 0); });
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

void ModalDialog::run_modal() {
    if (!alive())
        return;
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
        return;
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

std::intptr_t ModalDialog::on_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    if (message == WM_CLOSE) {
        close();
        return 1;
    }
    if (message == WM_TIMER && (wparam == TIMER_ACTIVATE || wparam == TIMER_HIDE)) {
        // The pointer rested on the dialog: it takes the focus. A dialog never hides by
        // losing it.
        if (wparam == TIMER_ACTIVATE && alive() && window_->visible() && !window_->active())
            window_->present();
        kill_timer(static_cast<unsigned>(wparam));
        return 1;
    }
    return on_request(message, wparam, lparam);
}

std::intptr_t ModalDialog::on_request(unsigned, std::uintptr_t, std::intptr_t) {
    return 0;
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
}

MessageDialog::~MessageDialog() {
    closing_ = true;
    close();
}

std::optional<Json::Value> MessageDialog::on_script_function(const std::string& name, const Json::Value& args) {
    if (name == "get_dialog_properties")
        return properties_;
    if (name == "get_parent_window_properties") {
        Json::Value value(Json::objectValue);
        const engine::Rect rect = owner_window() != nullptr ? owner_window()->rect() : engine::Rect{};
        value["bottom"] = rect.bottom;
        value["left"] = rect.left;
        value["right"] = rect.right;
        value["top"] = rect.top;
        return value;
    }
    if (name == "load_document") {
        // Another of the program's dialog documents in the same window, with the same
        // properties (the error dialog's "Настроить прокси-сервер" opens the proxy form).
        const std::string url = string_of(args[0]);
        if (url != "res:proxy.html" && url != "res:error.html" && url != "res:credentials.html")
            throw engine::EngineException(L"A dialog cannot show this document");
        const WindowHandle self = handle();
        post_on_gui_thread(
            [self, url] {
                auto* dialog = dynamic_cast<MessageDialog*>(ModalDialog::current());
                if (dialog != nullptr && dialog->handle() == self)
                    dialog->show_document(url);
            },
            L"varnelagent::pages::MessageDialog::load_document");
        return Json::Value();
    }
    if (name == "dialog_result") {
        result_ = args[0];
        // Asked after this call has been answered: the document's own unload answer comes
        // through the engine, which must not be waited for inside its own call.
        const WindowHandle self = handle();
        post_on_gui_thread(
            [self] {
                auto* dialog = dynamic_cast<MessageDialog*>(ModalDialog::current());
                if (dialog != nullptr && dialog->handle() == self && dialog->on_unload_page())
                    post_message(self, WM_CLOSE, 0, 0);
            },
            L"varnelagent::pages::MessageDialog::dialog_result");
        return Json::Value();
    }
    return std::nullopt;
}

void MessageDialog::show_document(const std::string& url) {
    url_ = url;
    load_document(url);
}

std::intptr_t MessageDialog::on_request(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    if (message == WM_SHOW_PAGE) {
        post_message(handle(), WM_CLOSE, 0, 0);
        // Two hops: the switch reaches the owner only once the dialog's loop has ended and
        // whoever asked for the dialog has its answer. Leaving a page may ask a question of
        // its own (unsaved proxy settings), and that dialog must not replace this one while
        // this one's loop is still running.
        const WindowHandle owner_handle = owner();
        post_on_gui_thread([owner_handle, wparam, lparam] { post_message(owner_handle, WM_SHOW_PAGE, wparam, lparam); },
                           L"varnelagent::pages::MessageDialog::on_request");
        return 1;
    }
    if (message == WM_MODAL_DIALOG && wparam == DIALOG_REQUEST) {
        send_message(owner(), WM_MODAL_DIALOG, DIALOG_RUN_CURRENT, 0);
        if (auto* request = reinterpret_cast<DialogRequest*>(lparam))
            request->result = result_;
        return 1;
    }
    return 0;
}

}  // namespace varnelagent::pages
