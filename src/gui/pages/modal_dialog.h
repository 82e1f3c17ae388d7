#pragma once

#include <memory>

#include <json/value.h>

#include "gui/pages/base_page.h"

typedef struct _GMainLoop GMainLoop;

namespace varnelagent::pages {

// A window of its own over the main window, hosting one page: the message dialogs and the
// new-message popup. Only one dialog window is alive at a time; the owner keeps the
// dialog object after its window has closed, until the next dialog replaces it.
class ModalDialog : public BasePage, public ShellWindow {
public:
    ModalDialog(agent::AgentClient* client, WindowHandle owner, engine::HostWindow* owner_window,
                engine::WindowRole role);
    ~ModalDialog() override;

    // Creates the dialog window and loads the document. A window that cannot be made is
    // logged; the dialog then stays without a window (not alive).
    void initialize();
    // Shows the dialog and runs a loop until its window is gone; the owner cannot be used
    // meanwhile. Answers the dialog's result. The popup is only shown and raised: it has no
    // loop of its own.
    Json::Value run_modal();
    // Enables the owner again, destroys the window. The object stays.
    void close();

    // Whether the dialog's window exists.
    bool alive() const noexcept { return window_ != nullptr; }
    WindowHandle owner() const noexcept { return owner_; }
    engine::HostWindow* owner_window() const noexcept { return owner_window_; }
    const Json::Value& result() const noexcept { return result_; }

    // The dialog whose window is alive now, if any.
    static ModalDialog* current() noexcept;

    // Closing (the close button, the page, the desktop) ends the dialog.
    void on_close_request() override;
    // The pointer rested on the dialog: it takes the focus. A dialog never hides by losing it.
    void on_timer(unsigned id) override;

protected:
    // The window's size before its document sizes it.
    virtual std::pair<int, int> initial_size() const { return {360, 200}; }

    Json::Value result_ = Json::Value(false);

private:
    WindowHandle owner_;
    engine::HostWindow* owner_window_;
    engine::WindowRole role_;
    std::unique_ptr<engine::HostWindow> window_;
    GMainLoop* loop_ = nullptr;

protected:
    // Work posted for later checks it before touching the dialog.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// A dialog showing one document from the resources: "res:error.html" unless the request
// names another ("res:save.html", "res:credentials.html", "res:proxy.html"), with the
// request as its properties; it ends with the value the document reports.
class MessageDialog : public ModalDialog {
public:
    MessageDialog(const Json::Value& request, WindowHandle owner, engine::HostWindow* owner_window,
                  agent::AgentClient* client);
    ~MessageDialog() override;

    PageKind kind() const override { return kind_; }
    std::string start_url() const override { return url_; }

    // A page link in the dialog: the dialog ends, then the main window shows the page.
    void on_show_page(PageKind kind, bool session_start) override;

private:
    void add_functions();
    void show_document(const std::string& url);

    Json::Value properties_;
    std::string url_;
    PageKind kind_;
};

}  // namespace varnelagent::pages
