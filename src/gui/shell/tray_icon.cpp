#include "gui/shell/tray_icon.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include "details/logger.h"

namespace varnelagent {

namespace {

constexpr char INDICATOR_ID[] = "varnel-agent";

struct MenuEntry {
    unsigned command;
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

// The object path under which the library exports the item.
std::string item_path() {
    std::string id = INDICATOR_ID;
    for (char& c : id)
        if (!g_ascii_isalnum(c))
            c = '_';
    return "/org/ayatana/NotificationItem/" + id;
}

// Registers the item with the tray host unless the host lists it already.
void register_with_host() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr)
        return;
    const std::string unique = g_dbus_connection_get_unique_name(bus);
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    bool known = false;
    if (reply != nullptr) {
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
            const gchar** items = g_variant_get_strv(value, nullptr);
            for (const gchar** item = items; item != nullptr && *item != nullptr && !known; ++item)
                known = std::string(*item).find(unique) != std::string::npos;
            g_free(items);
        }
        g_variant_unref(value);
        g_variant_unref(reply);
    }
    if (!known) {
        AGENT_INFO(L"varnelagent::TrayIcon") << "The tray host started again: registering the icon";
        g_dbus_connection_call(bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                               "org.kde.StatusNotifierWatcher", "RegisterStatusNotifierItem",
                               g_variant_new("(s)", item_path().c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 2000,
                               nullptr, nullptr, nullptr);
    }
    g_object_unref(bus);
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
    : window_(window), tip_(std::move(tip)), icon_directory_(std::move(icon_directory)) {
    // The tray host restarting is this program's "TaskbarCreated": the icon is added again
    // then. (The library registers again by itself too, but not always when the host goes
    // and comes back quickly.)
    host_watch_ = g_bus_watch_name(
        G_BUS_TYPE_SESSION, "org.kde.StatusNotifierWatcher", G_BUS_NAME_WATCHER_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
            auto& tray = *static_cast<TrayIcon*>(data);
            if (tray.host_seen_)
                tray.on_host_back();
            tray.host_seen_ = true;
        },
        nullptr, this, nullptr);
}

TrayIcon::~TrayIcon() {
    if (host_watch_ != 0)
        g_bus_unwatch_name(host_watch_);
    remove();
}

void TrayIcon::on_host_back() {
    if (indicator_ == nullptr)
        return;
    // A moment for the host to settle and for the library's own registration; then the
    // item is registered once more unless the host already knows it.
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, 500,
        +[](gpointer data) -> gboolean {
            auto& tray = *static_cast<TrayIcon*>(data);
            if (tray.indicator_ != nullptr)
                register_with_host();
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
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
        g_object_set_data(G_OBJECT(item), COMMAND_KEY, GUINT_TO_POINTER(entry.command));
        // GUI thread, when the user picks the item (the tray host's "clicked").
        g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem* item, gpointer data) {
                             auto& tray = *static_cast<TrayIcon*>(data);
                             if (tray.updating_)
                                 return;
                             post_command(tray.window_,
                                          GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), COMMAND_KEY)));
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
