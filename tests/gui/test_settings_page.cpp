// The settings page in the real shell with the stand-in provider, driven with the pointer
// and the keyboard: the channels grouped by sender and switched on the server, silent mode
// with the tray, autolaunch's desktop entry, the question about unsaved proxy changes on
// every way out, and a saved proxy that carries the live stream and the next sign-in.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <json/reader.h>
#include <json/writer.h>

#include <filesystem>
#include <fstream>

#include "details/registry.h"
#include "page_probe.h"
#include "shell_fixture.h"
#include "tray_host.h"
#include "winhttp/simple_client.h"
#include "winhttp/test_servers.h"
#include "x11_input.h"

namespace agent::testing {
namespace {

using namespace varnelagent;
using engine::HostWindow;

constexpr char SEED[] = R"({
  "users": [{"login": "demo@varnel.example", "password": "demo", "name": "Анна", "middlename": "", "lastname": "Иванова"}],
  "channels": [
    {"id": "b.daily", "sender": "b", "sender-name": "Банк «Б»", "name": "Каждый день", "group": "b-statements", "icon": "bank", "enabled": true},
    {"id": "b.weekly", "sender": "b", "sender-name": "Банк «Б»", "name": "Раз в неделю", "group": "b-statements", "icon": "bank", "enabled": false},
    {"id": "a.news", "sender": "a", "sender-name": "Альфа", "name": "Новости", "group": "", "icon": "", "enabled": true},
    {"id": "a.tips", "sender": "a", "sender-name": "Альфа", "name": "Советы", "group": "", "icon": "", "enabled": false}
  ],
  "links": [], "messages": []
})";

class SettingsPageTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        // A critical from GLib or GTK is a programming error in the shell (a dialog's loop
        // used after its dialog was replaced shows up as one): it fails the test.
        static const bool watched = [] {
            for (const char* domain : {"GLib", "Gtk"})
                g_log_set_handler(
                    domain, static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_FLAG_FATAL),
                    [](const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
                        ADD_FAILURE() << domain << ": " << message;
                    },
                    nullptr);
            return true;
        }();
        (void)watched;
        tray_host = std::make_unique<TrayHost>();
        tray_host->start();
        const auto seed = home().path() / "seed.json";
        write_text(seed, SEED);
        server().load_seed(seed);
        write_config();
        remember_session();
        start();
        // A script failure in the page shows the engine's message box: it fails the test.
        g_signal_connect(shell_->window().web_view(), "script-dialog",
                         G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog* dialog, gpointer) -> gboolean {
                             ADD_FAILURE() << "The page's script failed: " << webkit_script_dialog_get_message(dialog);
                             return TRUE;
                         }),
                         nullptr);
        ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
        ASSERT_TRUE(pump_until([&] { return server().open_streams() == 1; }));
        open_settings();
    }

    void TearDown() override {
        shell_.reset();
        tray_host.reset();
        ShellTest::TearDown();
    }

    // Shows a new settings page (the current one, if any, is left) and waits for its channel
    // list to end in the state given ("loaded" or "offline").
    void open_settings(const std::string& channels = "loaded") {
        if (page_kind() == SETTINGS_PAGE)
            mark_page();
        post_show_page(shell_->handle(), SETTINGS_PAGE);
        wait_new_settings(channels);
    }
    // The document shown now is to be told from the next one.
    void mark_page() { eval("window.replaced = false"); }
    void wait_new_settings(const std::string& channels = "loaded") {
        ASSERT_TRUE(wait_page(SETTINGS_PAGE));
        ASSERT_TRUE(pump_until([&] {
            return eval("window.replaced === undefined && document.body.dataset.channels || null", true) == channels;
        }));
        ASSERT_TRUE(pump_until([&] { return shell_->window().active(); }));
    }

    HostWindow& page() { return shell_->window(); }

    // A picture of the window once its images have come and it has had a moment to draw.
    void snapshot(HostWindow& window, const std::string& name) {
        EXPECT_TRUE(pump_until([&] { return eval(window, "[...document.images].every((i) => i.complete)") == true; }));
        pump_for(std::chrono::milliseconds(250));
        window.snapshot_png(artifact(name));
    }
    void snapshot(const std::string& name) { snapshot(page(), name); }

    // A script expression's value in the window's document, read through JSON.
    Json::Value eval(const std::string& expression, bool polling = false) { return eval(page(), expression, polling); }
    static Json::Value eval(HostWindow& window, const std::string& expression, bool polling = false) {
        return evaluate(window.web_view(), expression, polling);
    }

    // A real pointer click on the middle of the element (scrolled into sight first, as the
    // user would). Without settling, for clicks after which the GUI thread runs a loop of
    // its own (a page switch that asks, a dialog's last button).
    static void press(HostWindow& window, const std::string& selector) {
        const Json::Value centre =
            eval(window,
                 "(() => { const e = document.querySelector(" + quoted(selector) +
                     "); const w = document.getElementById('MainContentWrapper');"
                     " if (w && w.contains(e)) { const eb = e.getBoundingClientRect();"
                     " const wb = w.getBoundingClientRect(); if (eb.top < wb.top || eb.bottom > wb.bottom)"
                     " w.scrollTo({top: w.scrollTop + eb.top - wb.top - (wb.height - eb.height) / 2,"
                     " behavior: 'instant'}); }"
                     " const b = e.getBoundingClientRect(); return [b.left + b.width / 2, b.top + b.height / 2]; })()");
        int x = 0;
        int y = 0;
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(window.gtk_window())), &x, &y);
        pointer_move_to(x + centre[0].asInt(), y + centre[1].asInt());
        pump_for(std::chrono::milliseconds(50));
        pointer_button(true);
        pointer_button(false);
    }
    static void click(HostWindow& window, const std::string& selector) {
        press(window, selector);
        settle(window);
    }
    void click(const std::string& selector) { click(page(), selector); }

    // Lets the web process take in what was sent: a round trip through the page.
    static void settle(HostWindow& window) {
        eval(window, "0");
        pump_for(std::chrono::milliseconds(50));
        eval(window, "0");
    }

    // Keys as the keyboard sends them to the focused field.
    void key(guint keyval, const std::string& text = {}) {
        GdkDisplay* display = gdk_display_get_default();
        GdkDevice* keyboard = gdk_seat_get_keyboard(gdk_display_get_default_seat(display));
        guint16 keycode = 0;
        GdkKeymapKey* keys = nullptr;
        gint count = 0;
        if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &count) && count > 0)
            keycode = static_cast<guint16>(keys[0].keycode);
        g_free(keys);
        for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
            GdkEvent* event = gdk_event_new(type);
            event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(page().gtk_window()))));
            event->key.send_event = TRUE;
            event->key.time = GDK_CURRENT_TIME;
            event->key.keyval = keyval;
            event->key.hardware_keycode = keycode;
            event->key.string = g_strdup(text.c_str());
            event->key.length = static_cast<gint>(text.size());
            gdk_event_set_device(event, keyboard);
            gtk_main_do_event(event);
            gdk_event_free(event);
        }
    }
    // Clicks into the field, empties it and types the text, a round trip through the page
    // after each key as a person types. The engine hands keys to the page later than script
    // calls, so the field is read until it shows them all.
    void fill(const std::string& selector, const std::string& text) {
        click(selector);
        const std::string field = "document.querySelector(" + quoted(selector) + ")";
        ASSERT_EQ(eval("document.activeElement === " + field), true);
        const auto type = [&](guint keyval, const std::string& characters) {
            key(keyval, characters);
            eval("0");
        };
        type(GDK_KEY_End, {});
        for (int left = eval(field + ".value.length").asInt(); left > 0; --left)
            type(GDK_KEY_BackSpace, {});
        ASSERT_TRUE(pump_until([&] { return eval(field + ".value") == ""; }));
        for (wchar_t character : details::utf8_to_wide(text))
            type(gdk_unicode_to_keyval(static_cast<guint32>(character)),
                 details::wide_to_utf8(std::wstring(1, character)));
        ASSERT_TRUE(pump_until([&] { return eval(field + ".value") == text; }))
            << eval(field + ".value") << " instead of " << text;
    }

    void choose_named_proxy(const std::string& server, const std::string& port, const std::string& user = {},
                            const std::string& password = {}) {
        click("#ProxyModeNamed");
        ASSERT_EQ(eval("document.getElementById('ProxyForm').classList.contains('hidden')"), false);
        fill("#ProxyUrl", server);
        fill("#ProxyPort", port);
        fill("#ProxyUsername", user);
        fill("#ProxyPassword", password);
    }

    std::string config_text() const {
        return read_text(std::filesystem::path(details::wide_to_utf8(home().data_directory())) / "config");
    }

    // Does what the user does (a click that leaves the page, a tray command), then answers
    // each dialog that comes, in order, with a real click on a button; returns their texts.
    std::vector<std::string> through_dialogs(std::function<void()> act,
                                             std::vector<std::pair<PageKind, std::string>> buttons,
                                             const std::string& picture = {}) {
        std::vector<std::string> texts;
        std::vector<std::function<bool()>> steps{[act] {
            act();
            return true;
        }};
        for (const auto& [kind, button] : buttons)
            steps.push_back(on_dialog(kind, [&, button = button](pages::ModalDialog& dialog) {
                texts.push_back(eval(*dialog.host_window(), "document.body.textContent").asString());
                if (!picture.empty() && texts.size() == 1)
                    snapshot(*dialog.host_window(), picture);
                press(*dialog.host_window(), button);
            }));
        EXPECT_TRUE(run_steps(std::move(steps)));
        return texts;
    }
    std::function<void()> pressing(const std::string& selector) {
        return [this, selector] { press(page(), selector); };
    }
    std::function<void()> posting(std::uintptr_t command) {
        return [this, command] { post_command(command); };
    }
    bool leave_and_answer(const std::string& leave, const std::string& button, const std::string& picture = {}) {
        return through_dialogs(pressing(leave), {{SAVE_DIALOG, button}}, picture).size() == 1;
    }
    static std::string first(const std::vector<std::string>& texts) { return texts.empty() ? "" : texts.front(); }

    bool channel_checked(const std::string& id) {
        return eval("document.querySelector('[data-channel=\"" + id + "\"]').checked") == true;
    }

    std::size_t switches() {
        std::size_t count = 0;
        for (const auto& request : server().requests())
            count += request.path.starts_with("/api/v1/channels/");
        return count;
    }

    std::unique_ptr<TrayHost> tray_host;
};

TEST_F(SettingsPageTest, ChannelsComeBySenderAndSwitchOnlyWhenTheServerAgrees) {
    // Senders "b" and "a" come out "a" first; a sender without an icon gets the default one.
    EXPECT_EQ(eval("[...document.querySelectorAll('.channel-group__name')].map((e) => e.textContent)"),
              eval("['Альфа', 'Банк «Б»']"));
    EXPECT_EQ(eval("[...document.querySelectorAll('.channel__input')].map((e) => e.dataset.channel + ':' + e.type "
                   "+ ':' + e.checked)"),
              eval("['a.news:checkbox:true', 'a.tips:checkbox:false', 'b.daily:radio:true', 'b.weekly:radio:false']"));
    EXPECT_EQ(eval("document.querySelectorAll('.channel-group__icon')[0].getAttribute('src')"), "icon-default.png");
    EXPECT_EQ(eval("document.querySelectorAll('.channel-group__icon')[1].getAttribute('src')"),
              "remote:" + server().base_url() + "/static/icons/bank.png");
    snapshot("settings-channels.png");

    // A check box and a radio button change the server's state, and the page follows.
    click(".channel__input[data-channel='a.tips']");
    ASSERT_TRUE(pump_until([&] { return server().channel_states()["a.tips"] && channel_checked("a.tips"); }));
    click(".channel__input[data-channel='b.weekly'] + .channel__name");
    ASSERT_TRUE(pump_until([&] { return server().channel_states()["b.weekly"] && channel_checked("b.weekly"); }));
    EXPECT_FALSE(server().channel_states()["b.daily"]);
    EXPECT_FALSE(channel_checked("b.daily"));

    // The chosen radio button asks for nothing: the next request is the check box's.
    const std::size_t before = switches();
    click(".channel__input[data-channel='b.weekly']");
    click(".channel__input[data-channel='a.news']");
    ASSERT_TRUE(pump_until([&] { return switches() == before + 1; }));
    EXPECT_EQ(server().requests().back().path, "/api/v1/channels/a.news/disable");
    ASSERT_TRUE(pump_until([&] { return !channel_checked("a.news"); }));

    // From the keyboard: arrows only move along the group, Space chooses.
    click(".channel__input[data-channel='b.weekly']");
    key(GDK_KEY_Up);
    settle(page());
    EXPECT_EQ(eval("document.activeElement.dataset.channel"), "b.daily");
    EXPECT_TRUE(channel_checked("b.weekly"));
    key(GDK_KEY_space, " ");
    ASSERT_TRUE(pump_until([&] { return server().channel_states()["b.daily"] && channel_checked("b.daily"); }));
    EXPECT_EQ(switches(), before + 2);

    // Refused (500): the error's text, and the switch as it was.
    sandbox::Fault refusal;
    refusal.path = "/api/v1/channels/b.weekly/enable";
    refusal.status = 500;
    refusal.body = R"({"status": 500, "id": "Internal", "message": "Сбой", "track-id": "t-1"})";
    server().add_fault(refusal);
    std::string shown = first(
        through_dialogs(pressing(".channel__input[data-channel='b.weekly']"), {{MESSAGE_DIALOG, "#DialogConfirm"}}));
    EXPECT_NE(shown.find("500 Internal t-1 Сбой"), std::string::npos) << shown;
    ASSERT_TRUE(pump_until([&] { return eval("document.querySelector('.channel--pending') === null") == true; }));
    EXPECT_FALSE(channel_checked("b.weekly"));
    EXPECT_TRUE(channel_checked("b.daily"));
    EXPECT_TRUE(server().channel_states()["b.daily"]);

    // No network: the connection dialog (code 4); the list then shows its no-connection picture.
    server().stop();
    shown = first(
        through_dialogs(pressing(".channel__input[data-channel='a.news']"), {{MESSAGE_DIALOG, "#DialogConfirm"}}));
    EXPECT_NE(shown.find("Настроить прокси"), std::string::npos) << shown;
    ASSERT_TRUE(pump_until([&] { return eval("document.querySelector('.channel--pending') === null") == true; }));
    EXPECT_FALSE(channel_checked("a.news"));
    open_settings("offline");
    EXPECT_EQ(eval("document.getElementById('ChannelsOffline').classList.contains('hidden')"), false);
    snapshot("settings-no-connection.png");

    // The picture tries again through a proxy typed meanwhile, which is applied, not saved.
    server().restart();
    Tinyproxy proxy(home().path() / "proxy");
    choose_named_proxy("127.0.0.1", std::to_string(proxy.port()));
    const std::string saved = config_text();
    click("#ChannelsRetry");
    ASSERT_TRUE(pump_until([&] { return eval("document.body.dataset.channels || null", true) == "loaded"; }));
    EXPECT_NE(server().requests("/api/v1/channels").back().header("Via").find("tinyproxy"), std::string::npos);
    EXPECT_EQ(config_text(), saved);

    // The session ended on the server (401): "повторите вход", then the sign-in page.
    server().end_session(details::wide_to_utf8(shell_->client().session_id()));
    // Leaving then asks about the proxy typed above: "Нет".
    shown = first(through_dialogs(pressing(".channel__input[data-channel='a.tips']"),
                                  {{MESSAGE_DIALOG, "#DialogConfirm"}, {SAVE_DIALOG, "#DialogNo"}}));
    EXPECT_NE(shown.find("Варнел.Агент - повторите вход "), std::string::npos) << shown;
    EXPECT_NE(shown.find("Ваша сессия устарела, войдите, пожалуйста, снова"), std::string::npos) << shown;
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    EXPECT_FALSE(shell_->client().has_session());
}

TEST_F(SettingsPageTest, SilentModeFollowsTheTrayAutolaunchWritesTheDesktopEntryTheNoticeBoxIsSaved) {
    ASSERT_TRUE(pump_until([&] { return !tray_host->registrations().empty(); }));
    const TrayHost::Item item = tray_host->registrations().back();
    const auto silent_item = [&] {
        auto future = tray_host->async([&] { return tray_host->menu(item); });
        EXPECT_TRUE(pump_until([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        for (const auto& entry : future.get())
            if (entry.label == "Без уведомлений")
                return entry;
        ADD_FAILURE() << "no silent mode item";
        return TrayHost::MenuItem{};
    };
    const auto box = [&](const char* id) { return eval(std::string("document.getElementById('") + id + "').checked"); };
    EXPECT_EQ(box("SilentMode"), false);
    EXPECT_EQ(silent_item().toggle_state, 0);

    // The tray's item, clicked as a panel does, while the page is shown: the box follows.
    const int id = silent_item().id;
    auto clicked = tray_host->async([&] { tray_host->click(item, id); });
    ASSERT_TRUE(pump_until([&] { return box("SilentMode") == true; }));
    clicked.get();
    EXPECT_TRUE(shell_->client().configuration()->silent_mode);
    // The page's box, twice: the flag and the tray's mark follow each time.
    click("#SilentMode");
    ASSERT_TRUE(pump_until([&] { return !shell_->client().configuration()->silent_mode; }));
    EXPECT_EQ(silent_item().toggle_state, 0);
    EXPECT_EQ(box("SilentMode"), false);
    click("#SilentMode");
    ASSERT_TRUE(pump_until([&] { return shell_->client().configuration()->silent_mode; }));
    EXPECT_EQ(silent_item().toggle_state, 1);
    EXPECT_EQ(box("SilentMode"), true);

    // Autolaunch writes the desktop entry, making the autostart folder that was missing.
    const std::filesystem::path entry =
        details::wide_to_utf8(registry::autostart_file(registry::RUN_KEY, L"VarnelAgent"));
    std::filesystem::remove_all(entry.parent_path());
    EXPECT_EQ(box("Autolaunch"), false);
    click("#Autolaunch");
    ASSERT_TRUE(pump_until([&] { return std::filesystem::exists(entry) && box("Autolaunch") == true; }));
    const std::string text = read_text(entry);
    EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nExec=\"" + std::filesystem::read_symlink("/proc/self/exe").string() + "\"\n"),
              std::string::npos)
        << text;
    open_settings();
    EXPECT_EQ(box("Autolaunch"), true);
    click("#Autolaunch");
    ASSERT_TRUE(pump_until([&] { return !std::filesystem::exists(entry) && box("Autolaunch") == false; }));

    // A file where the folder should be: the user is told, and the box stays off.
    std::filesystem::remove_all(entry.parent_path());
    write_text(entry.parent_path(), "");
    const std::string shown = first(through_dialogs(pressing("#Autolaunch"), {{MESSAGE_DIALOG, "#DialogConfirm"}}));
    EXPECT_NE(shown.find("Не удалось включить запуск Агента при включении компьютера: не записан файл «" +
                         entry.string() + "»."),
              std::string::npos)
        << shown;
    EXPECT_EQ(box("Autolaunch"), false);
    EXPECT_FALSE(shell_->client().configuration()->is_autolaunch());

    // The desktop's notification centre: in the file at once, and only while on.
    const auto saved = [&] { return config_text().find("\r\ndesktop_notifications = 1\r\n") != std::string::npos; };
    EXPECT_EQ(box("DesktopNotifications"), false);
    EXPECT_FALSE(saved());
    click("#DesktopNotifications");
    ASSERT_TRUE(pump_until([&] { return saved() && box("DesktopNotifications") == true; }));
    EXPECT_TRUE(shell_->client().configuration()->desktop_notifications);
    snapshot("settings-desktop-notifications.png");
    click("#DesktopNotifications");
    ASSERT_TRUE(pump_until([&] { return !saved() && box("DesktopNotifications") == false; }));
    EXPECT_EQ(config_text().find("desktop_notifications"), std::string::npos);
    // A file that cannot be written: the user is told, and the box stays off.
    const std::filesystem::path directory = details::wide_to_utf8(home().data_directory());
    std::filesystem::create_directory(directory / "config.tmp");
    std::filesystem::permissions(directory, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const std::string refused =
        first(through_dialogs(pressing("#DesktopNotifications"), {{MESSAGE_DIALOG, "#DialogConfirm"}}));
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all);
    std::filesystem::remove(directory / "config.tmp");
    EXPECT_NE(refused.find("Не удалось сохранить настройку: не удалось записать файл «" + (directory / "config").string() +
                           "»"),
              std::string::npos)
        << refused;
    EXPECT_EQ(box("DesktopNotifications"), false);
    EXPECT_FALSE(shell_->client().configuration()->desktop_notifications);
}

TEST_F(SettingsPageTest, LeavingWithChangedProxySettingsAsksOnEveryWayOut) {
    const std::string saved = config_text();
    const winhttp::ProxySettings before = shell_->client().http_client()->proxy_settings();
    const auto error_text = [&] { return eval("document.getElementById('ProxyServerError').textContent"); };

    // Nothing changed: nothing is asked.
    press(page(), "#HeaderLogo");
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    open_settings();

    // "Да" with values that cannot work keeps the page and says what is wrong.
    const std::tuple<const char*, const char*, const char*> invalid[] = {
        {"proxy.example", "12a", "Порт должен состоять только из цифр"},
        {"proxy.example", "123456", "Порт должен состоять только из цифр"},
        {"", "3128", "Адрес прокси-сервера должен быть указан"},
        {"", "", "Адрес прокси-сервера должен быть указан"},
        {"http://", "3128", "Адрес прокси-сервера указан в неверном формате"},
        {"proxy example", "", "Адрес прокси-сервера указан в неверном формате"},
    };
    bool first = true;
    for (const auto& [server_text, port, message] : invalid) {
        choose_named_proxy(server_text, port);
        ASSERT_TRUE(leave_and_answer(first ? "#HeaderLogo" : ".header__link--help", "#DialogYes",
                                     first ? "settings-save-question.png" : ""));
        ASSERT_TRUE(pump_until([&, message = message] { return error_text() == message; })) << server_text << port;
        EXPECT_EQ(page_kind(), SETTINGS_PAGE);
        if (first)
            snapshot("settings-proxy-error.png");
        first = false;
    }
    EXPECT_EQ(shell_->client().http_client()->proxy_settings(), before);

    // The close icon stays; "Нет" leaves without applying anything.
    ASSERT_TRUE(leave_and_answer(".header__link--help", "#DialogClose"));
    pump_for(std::chrono::milliseconds(300));
    EXPECT_EQ(page_kind(), SETTINGS_PAGE);
    ASSERT_TRUE(leave_and_answer(".header__link--help", "#DialogNo"));
    ASSERT_TRUE(wait_page(HELP_PAGE));
    EXPECT_EQ(shell_->client().http_client()->proxy_settings(), before);
    EXPECT_EQ(config_text(), saved);

    // A page link in a dialog: the dialog closes, then the question; "Да" applies and saves.
    open_settings();
    click("#ProxyModeDefault");
    mark_page();
    auto linked = std::async(
        std::launch::async, [handle = shell_->handle()] { return error::show_error_code(error::ERROR_PROXY, handle); });
    ASSERT_TRUE(run_steps(
        {on_dialog(MESSAGE_DIALOG,
                   [&](pages::ModalDialog& dialog) { press(*dialog.host_window(), "#DialogMessage a"); }),
         on_dialog(SAVE_DIALOG, [&](pages::ModalDialog& dialog) { press(*dialog.host_window(), "#DialogYes"); })}));
    ASSERT_TRUE(ready(linked));
    wait_new_settings();
    EXPECT_EQ(shell_->client().http_client()->proxy_settings().mode, winhttp::DefaultProxy);
    EXPECT_NE(config_text().find("proxy_mode = DefaultProxy\r\n"), std::string::npos);

    // A data directory that cannot be written: the error, the page and its values stay.
    const std::filesystem::path directory = details::wide_to_utf8(home().data_directory());
    std::filesystem::create_directory(directory / "config.tmp");  // even root cannot open it as a file
    std::filesystem::permissions(directory, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const int closed = free_port();
    choose_named_proxy("http://127.0.0.1", std::to_string(closed), "Иван", "p@ss:word");
    const auto texts =
        through_dialogs(posting(ID_CHANGE_USER), {{SAVE_DIALOG, "#DialogYes"}, {MESSAGE_DIALOG, "#DialogConfirm"}});
    const std::string shown = texts.size() == 2 ? texts[1] : "";
    EXPECT_NE(shown.find("Настройки прокси применены, но не сохранены: не удалось записать файл «" +
                         (directory / "config").string() + "»"),
              std::string::npos)
        << shown;
    pump_for(std::chrono::milliseconds(300));
    EXPECT_EQ(page_kind(), SETTINGS_PAGE);
    EXPECT_TRUE(shell_->client().has_session());
    EXPECT_EQ(eval("document.getElementById('ProxyUsername').value"), "Иван");

    // Writable again: "Сменить пользователя", "Да": saved as typed, then signed out.
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all);
    std::filesystem::remove(directory / "config.tmp");
    through_dialogs(posting(ID_CHANGE_USER), {{SAVE_DIALOG, "#DialogYes"}});
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    const std::string text = config_text();
    EXPECT_NE(text.find("proxy_mode = NamedProxy\r\nproxy_uri = http://127.0.0.1:" + std::to_string(closed) +
                        "\r\nproxy_user = Иван\r\nproxy_password = p@ss:word\r\n"),
              std::string::npos)
        << text;
}

// Hidden in the tray, the page goes with the page engine and comes back as it was shown;
// not while it holds a proxy change the user has not saved.
TEST_F(SettingsPageTest, HiddenItIsLetGoOnlyWithNothingUnsaved) {
    shell_->set_release_period(std::chrono::milliseconds(200));
    const auto hide = [&] {
        post_close(shell_->handle());
        return pump_until([&] { return !shell_->window().visible(); });
    };
    choose_named_proxy("proxy.example", "3128");
    ASSERT_TRUE(hide());
    pump_for(std::chrono::seconds(1));
    EXPECT_FALSE(shell_->released());
    post_command(ID_OPEN);
    ASSERT_TRUE(pump_until([&] { return shell_->window().visible(); }));
    EXPECT_EQ(eval("document.getElementById('ProxyUrl').value"), "proxy.example");

    ASSERT_TRUE(leave_and_answer(".header__link--help", "#DialogNo"));
    ASSERT_TRUE(wait_page(HELP_PAGE));
    open_settings();
    ASSERT_TRUE(hide());
    ASSERT_TRUE(pump_until([&] { return shell_->released(); }));
    EXPECT_EQ(shell_->current_page(), nullptr);
    post_command(ID_OPEN);
    wait_new_settings();
}

TEST_F(SettingsPageTest, ASavedProxyCarriesTheStreamAndTheNextSignIn) {
    Tinyproxy proxy(home().path() / "proxy", "agent", "s3cret");
    choose_named_proxy("127.0.0.1", std::to_string(proxy.port()), "agent", "s3cret");
    snapshot("settings-proxy-named.png");
    click("#ProxyModeNone");
    snapshot("settings-proxy-direct.png");
    click("#ProxyModeDefault");
    snapshot("settings-proxy-default.png");
    click("#ProxyModeNamed");
    EXPECT_EQ(eval("document.getElementById('ProxyPassword').value"), "s3cret");
    ASSERT_TRUE(leave_and_answer("#HeaderLogo", "#DialogYes"));
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));

    const auto via_proxy = [&](const std::string& path) {
        std::size_t count = 0;
        for (const auto& request : server().requests(path))
            count += request.header("Via").find("tinyproxy") != std::string::npos;
        return count;
    };
    const auto logged = [&](const std::string& part) {
        std::size_t count = 0;
        for (const std::string& line : proxy.requests())
            count += line.find(part) != std::string::npos;
        return count;
    };
    // The stream was open before: it comes back through the proxy at once.
    ASSERT_TRUE(pump_until([&] { return via_proxy("/api/v1/messages/stream") == 1; }));
    EXPECT_EQ(logged("/api/v1/messages/stream"), 1u);
    const std::string text = config_text();
    EXPECT_NE(text.find("proxy_mode = NamedProxy\r\nproxy_uri = 127.0.0.1:" + std::to_string(proxy.port()) +
                        "\r\nproxy_user = agent\r\nproxy_password = s3cret\r\n"),
              std::string::npos)
        << text;

    // Signed out and in again, as the sign-in page does: both through the proxy.
    post_command(ID_CHANGE_USER);
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    shell_->client().authenticate(details::utf8_to_wide(sandbox::Server::DEMO_LOGIN),
                                  details::utf8_to_wide(sandbox::Server::DEMO_PASSWORD), true);
    post_show_page(shell_->handle(), NOTIFICATIONS_PAGE, true);
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    EXPECT_EQ(via_proxy("/auth/authenticate-by-pass"), 1u);
    EXPECT_EQ(logged("/auth/authenticate-by-pass"), 1u);
    ASSERT_TRUE(pump_until([&] { return via_proxy("/api/v1/messages/stream") == 2; }));

    // "Выйти" chosen under an error dialog: the dialog closes, then the question, which the
    // tray cannot close.
    open_settings();
    click("#ProxyModeDefault");
    auto error_later = dialog_from_worker(Json::Value("res:error.html"));
    ASSERT_TRUE(
        run_steps({on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog&) { post_command(ID_EXIT); }),
                   on_dialog(SAVE_DIALOG,
                             [&](pages::ModalDialog&) {
                                 post_command(ID_EXIT);
                                 post_command(ID_CHANGE_USER);
                             }),
                   pause(std::chrono::milliseconds(300)), on_dialog(SAVE_DIALOG, [&](pages::ModalDialog& dialog) {
                       EXPECT_FALSE(ended_);
                       press(*dialog.host_window(), "#DialogNo");
                   })}));
    ASSERT_TRUE(ready(error_later));
    EXPECT_EQ(error_later.get(), Json::Value(false));
    ASSERT_TRUE(pump_until([&] { return ended_; }));
    EXPECT_NE(config_text().find("proxy_mode = NamedProxy\r\n"), std::string::npos);
}

}  // namespace
}  // namespace agent::testing
