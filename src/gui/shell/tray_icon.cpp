#include "gui/shell/tray_icon.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include "details/logger.h"

namespace varnelagent {

namespace {

constexpr char INDICATOR_ID[] = "varnel-agent";

struct MenuEntry {
    std::uintptr_t command;
    const char* text;
    bool check;
};

// In this order; "Открыть Варнел.Агент" is the default item.
constexpr MenuEntry MENU[] = {
    {ID_OPEN, "Открыть Варнел.Агент", false},
    {ID_SILENT_MODE, "Без уведомлений", true},
    {ID_CHANGE_USER, "Сменить пользователя", false},
    {ID_INSTRUCTION, "Инструкция", false},
    {ID_EXIT, "Выйти", false},
};

constexpr char COMMAND_KEY[] = "varnel-command";

void add_to_icon_theme(const std::string& directory) {
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    gchar** paths = nullptr;
    gint count = 0;
    gtk_icon_theme_get_search_path(theme, &paths, &count);
    bool present = false;
    for (gint i = 0; i < count && !present; ++i)
        present = directory == paths[i];
    g_strfreev(paths);
    if (!present)
        gtk_icon_theme_append_search_path(theme, directory.c_str());
}

}  // namespace

std::string unread_text(int count) {
    const int tens = count % 100 / 10;
    const int last = count % 10;
    const char* words = "новых уведомлений";
    if (tens != 1 && last == 1)
        words = "новое уведомление";
    else if (tens != 1 && last >= 2 && last <= 4)
        words = "новых уведомления";
    return std::to_string(count) + " " + words;
}

TrayIcon::TrayIcon(WindowHandle window, std::string tip, std::string icon_directory)
    : window_(window), tip_(std::move(tip)), icon_directory_(std::move(icon_directory)) {}

TrayIcon::~TrayIcon() {
    remove();
}

std::string TrayIcon::title() const {
    if (unread_ <= 0)
        return tip_;
    return tip_ + " — " + unread_text(unread_);
}

void TrayIcon::build_menu() {
    menu_ = gtk_menu_new();
    g_object_ref_sink(menu_);
    for (const MenuEntry& entry : MENU) {
        GtkWidget* item =
            entry.check ? gtk_check_menu_item_new_with_label(entry.text) : gtk_menu_item_new_with_label(entry.text);
        g_object_set_data(G_OBJECT(item), COMMAND_KEY, reinterpret_cast<gpointer>(entry.command));
        // GUI thread, when the user picks the item (the tray host's "clicked").
        g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem* item, gpointer data) {
                             auto& tray = *static_cast<TrayIcon*>(data);
                             if (tray.updating_)
                                 return;
                             const auto command =
                                 reinterpret_cast<std::uintptr_t>(g_object_get_data(G_OBJECT(item), COMMAND_KEY));
                             post_message(tray.window_, WM_COMMAND, command, 0);
                         }),
                         this);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
        gtk_widget_show(item);
        if (entry.command == ID_SILENT_MODE)
            silent_item_ = item;
        if (entry.command == default_item_ && default_item_ != 0)
            app_indicator_set_secondary_activate_target(indicator_, item);
    }
}

void TrayIcon::add() {
    if (indicator_ != nullptr)
        return;
    indicator_ = app_indicator_new(INDICATOR_ID, ICON, APP_INDICATOR_CATEGORY_COMMUNICATIONS);
    if (!icon_directory_.empty()) {
        // The library's own fallback icon (used while no tray host is there) walks the icon
        // theme's search path looking for this folder and reads past the end of the list
        // when the folder is not in it; so the folder is put there first.
        add_to_icon_theme(icon_directory_);
        app_indicator_set_icon_theme_path(indicator_, icon_directory_.c_str());
    }
    // GUI thread: the tray host came or went; the item registers again by itself.
    g_signal_connect(indicator_, APP_INDICATOR_SIGNAL_CONNECTION_CHANGED,
                     G_CALLBACK(+[](AppIndicator*, gboolean connected, gpointer) {
                         AGENT_INFO(L"varnelagent::TrayIcon") << (connected ? "The tray host is there"
                                                                           : "The tray host is gone");
                     }),
                     nullptr);
    build_menu();
    app_indicator_set_menu(indicator_, GTK_MENU(menu_));
    apply_state();
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
}

void TrayIcon::remove() {
    if (indicator_ == nullptr)
        return;
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
    g_object_unref(indicator_);
    indicator_ = nullptr;
    if (menu_ != nullptr) {
        gtk_widget_destroy(menu_);
        g_object_unref(menu_);
    }
    menu_ = nullptr;
    silent_item_ = nullptr;
}

void TrayIcon::apply_state() {
    if (indicator_ == nullptr)
        return;
    updating_ = true;
    if (silent_item_ != nullptr)
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(silent_item_), silent_checked_);
    updating_ = false;
    const std::string text = title();
    app_indicator_set_title(indicator_, text.c_str());
    app_indicator_set_icon_full(indicator_, unread_ > 0 ? UNREAD_ICON : ICON, text.c_str());
}

void TrayIcon::set_silent_check(bool checked) {
    silent_checked_ = checked;
    apply_state();
}

void TrayIcon::set_unread(int count) {
    unread_ = count < 0 ? 0 : count;
    apply_state();
}

}  // namespace varnelagent
