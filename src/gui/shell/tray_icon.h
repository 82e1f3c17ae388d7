#pragma once

#include <memory>
#include <string>

#include "gui/shell_messages.h"

typedef struct _AppIndicator AppIndicator;
typedef struct _GtkWidget GtkWidget;

namespace varnelagent {

// The icon in the desktop's tray (a StatusNotifierItem) with its menu. Each menu item
// posts its command id to the main window (on_command, the program's WM_COMMAND). The
// tray host's middle click (and a left click where the host supports it) posts the default
// item's command. When the tray
// host goes away and comes back, the item registers again by itself; without any tray
// host the program goes on without an icon. GUI thread only.
class TrayIcon {
public:
    // The icons are looked up by name in the icon theme, and in `icon_directory` first
    // when it is given (a program run from its build tree has no installed icons).
    TrayIcon(WindowHandle window, std::string tip, std::string icon_directory = {});
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    void set_default_item(unsigned command) noexcept { default_item_ = command; }

    // Shows the icon with its menu (a new menu each time); nothing when it is shown.
    void add();
    // Takes the icon and its menu away; nothing when it is not shown.
    void remove();
    bool shown() const noexcept { return indicator_ != nullptr; }

    // The check mark of "Без уведомлений".
    void set_silent_check(bool checked);
    bool silent_check() const noexcept { return silent_checked_; }

    // Messages waiting to be opened: the icon gets its unread mark and the title says how
    // many; 0 takes the mark away.
    void set_unread(int count);
    int unread() const noexcept { return unread_; }

    // The title the tray shows: the tip, then " — " and the count when messages wait.
    std::string title() const;

    // Icon names in the theme.
    static constexpr char ICON[] = "varnel-agent-tray";
    static constexpr char UNREAD_ICON[] = "varnel-agent-tray-unread";

private:
    void build_menu();
    void apply_state();
    // The tray host (the StatusNotifierWatcher) came back after it had gone.
    void on_host_back();

    WindowHandle window_;
    std::string tip_;
    std::string icon_directory_;
    unsigned default_item_ = 0;
    AppIndicator* indicator_ = nullptr;
    GtkWidget* menu_ = nullptr;
    GtkWidget* silent_item_ = nullptr;
    bool silent_checked_ = true;  // checked until the session sets it
    bool updating_ = false;
    int unread_ = 0;
    unsigned host_watch_ = 0;
    bool host_seen_ = false;
};

// "1 новое уведомление", "2 новых уведомления", "5 новых уведомлений" (11 to 14 as 5).
std::string unread_text(int count);

}  // namespace varnelagent
