// The dialog documents as a person meets them: each in a real WebKit window whose script
// handler plays the shell (properties in, placement and results out), driven with keys and
// pointer clicks; PNG screenshots of each go to the artifacts folder. Also: every image the
// pages name is built, and the style sheet page shows the controls in their states.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <json/reader.h>

#include <cstring>
#include <filesystem>

#include "details/strings.h"
#include "engine_fixture.h"
#include "gui/engine/resources.h"
#include "gui/error.h"
#include "x11_input.h"

namespace agent::testing {
namespace {

using varnelagent::engine::load_resource;
using varnelagent::engine::run_nested_until;
using varnelagent::error::error_text;

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool operator==(const Rect&) const = default;
};

Json::Value rect_value(const Rect& rect) {
    Json::Value value;
    value["left"] = rect.left;
    value["top"] = rect.top;
    value["right"] = rect.right;
    value["bottom"] = rect.bottom;
    return value;
}

std::string utf8(std::wstring_view text) {
    return details::wide_to_utf8(text);
}

Json::Value error_properties(int code) {
    const auto text = error_text(code);
    Json::Value properties;
    properties["title"] = utf8(text.title);
    properties["message"] = utf8(text.message);
    return properties;
}

Json::Value proxy_record(const std::string& url, const std::string& port, const std::string& username,
                         const std::string& password) {
    Json::Value record;
    record["mode"] = "NamedProxy";
    record["url"] = url;
    record["port"] = port;
    record["username"] = username;
    record["password"] = password;
    return record;
}

std::string quoted(const std::string& text) {
    Json::StreamWriterBuilder builder;
    builder["emitUTF8"] = true;
    return Json::writeString(builder, Json::Value(text));
}

class DocumentTest : public EngineTest {
protected:
    // The parent window the dialogs centre on, and the screen's work area.
    const Rect parent{100, 80, 610, 800};
    Rect work_area{0, 0, 1280, 1024};

    void SetUp() override {
        EngineTest::SetUp();
        new_window();
    }

    // Every dialog gets a window of its own, as in the shell.
    void new_window() {
        window = std::make_unique<varnelagent::engine::HostWindow>(420, 320);
        window->set_script_handler([this](const std::string& name, const Json::Value& args) { return native(name, args); });
        window->set_link_handler([this](const std::string& href, const std::string&) { links.push_back(href); });
        // The engine's message box (alert): its text is kept and it closes at once.
        g_signal_connect(window->web_view(), "script-dialog",
                         G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) -> gboolean {
                             static_cast<DocumentTest*>(data)->message_boxes.push_back(
                                 webkit_script_dialog_get_message(dialog));
                             return TRUE;
                         }),
                         this);
        g_signal_connect(window->web_view(), "web-process-terminated",
                         G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer) {
                             ADD_FAILURE() << "The web process ended (reason " << static_cast<int>(reason) << ")";
                         }),
                         nullptr);
        place({40, 40, 460, 360});
    }

    // Stands in for the shell: the functions a dialog's document calls on `view`.
    std::optional<Json::Value> native(const std::string& name, const Json::Value& args) {
        if (name == "get_dialog_properties")
            return properties;
        if (name == "get_parent_window_properties")
            return rect_value(parent);
        if (name == "get_work_area")
            return rect_value(work_area);
        if (name == "get_window_rect")
            return rect_value(rect);
        if (name == "set_window_rect") {
            const int left = args[0].isNull() ? rect.left : args[0].asInt();
            const int top = args[1].isNull() ? rect.top : args[1].asInt();
            const int width = args[2].isNull() ? rect.right - rect.left : args[2].asInt();
            const int height = args[3].isNull() ? rect.bottom - rect.top : args[3].asInt();
            place({left, top, left + width, top + height});
            return Json::Value();
        }
        if (name == "dialog_result") {
            results.append(args[0]);
            return Json::Value();
        }
        if (name == "load_document") {
            // The shell loads the document into the same window once the call has returned.
            documents.push_back(args[0].asString());
            g_idle_add(
                [](gpointer data) -> gboolean {
                    auto* self = static_cast<DocumentTest*>(data);
                    self->window->load(self->documents.back());
                    return G_SOURCE_REMOVE;
                },
                this);
            return Json::Value();
        }
        if (name == "window_hide" || name == "on_mouse_enter" || name == "on_mouse_leave")
            return Json::Value();
        return std::nullopt;
    }

    void place(const Rect& where) {
        rect = where;
        window->move(where.left, where.top);
        window->resize(where.right - where.left, where.bottom - where.top);
    }

    // Opens a dialog document with its properties, shown and focused, and waits until it has
    // placed itself and its entrance has finished.
    void open(const std::string& document, const Json::Value& dialog_properties) {
        properties = dialog_properties;
        results = Json::Value(Json::arrayValue);
        new_window();
        load(document);
        window->show();
        focus_window();
        wait_ready();
    }

    void wait_ready() {
        ASSERT_TRUE(run_nested_until([&] { return eval("document.body?.dataset.ready === 'true'", true) == true; },
                                     std::chrono::seconds(10)));
        ASSERT_TRUE(run_nested_until(
            [&] {
                return eval("document.getAnimations().every((a) => a.playState !== 'running' || "
                            "a.effect.getComputedTiming().iterations === Infinity)", true) == true;
            },
            std::chrono::seconds(10)));
        // The X server has the window where the document put it.
        ASSERT_TRUE(run_nested_until([&] { return origin() == std::make_pair(rect.left, rect.top); },
                                     std::chrono::seconds(10)));
    }

    std::pair<int, int> origin() const {
        int x = 0;
        int y = 0;
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())), &x, &y);
        return {x, y};
    }

    // The window gets the keyboard focus, as when it is shown by the shell.
    void focus_window() {
        GtkWidget* toplevel = GTK_WIDGET(window->gtk_window());
        gtk_window_present(window->gtk_window());
        gtk_widget_grab_focus(GTK_WIDGET(window->web_view()));
        GdkEvent* focus = gdk_event_new(GDK_FOCUS_CHANGE);
        focus->focus_change.in = TRUE;
        focus->focus_change.send_event = TRUE;
        focus->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(toplevel)));
        gtk_widget_send_focus_change(toplevel, focus);
        gdk_event_free(focus);
    }

    // Evaluates a script expression in the page and answers its value (through JSON). While a
    // document is still being replaced an evaluation may fail; `polling` takes that as null.
    Json::Value eval(const std::string& expression, bool polling = false) {
        struct Slot {
            bool done = false;
            std::string text;
            std::string error;
        };
        auto slot = std::make_shared<Slot>();
        const std::string script = "JSON.stringify((" + expression + ") ?? null)";
        webkit_web_view_evaluate_javascript(
            window->web_view(), script.c_str(), -1, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::shared_ptr<Slot>> holder(static_cast<std::shared_ptr<Slot>*>(data));
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
                if (error != nullptr) {
                    (*holder)->error = error->message;
                    g_error_free(error);
                } else {
                    char* text = jsc_value_to_string(value);
                    (*holder)->text = text;
                    g_free(text);
                    g_object_unref(value);
                }
                (*holder)->done = true;
            },
            new std::shared_ptr<Slot>(slot));
        if (!run_nested_until([&] { return slot->done; }, std::chrono::seconds(10)))
            ADD_FAILURE() << "no answer to " << expression;
        if (!slot->error.empty() && !polling)
            ADD_FAILURE() << expression << ": " << slot->error;
        Json::Value value;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        reader->parse(slot->text.data(), slot->text.data() + slot->text.size(), &value, nullptr);
        return value;
    }

    std::string text_of(const std::string& selector) {
        return eval("document.querySelector(" + quoted(selector) + ").textContent.trim()").asString();
    }

    std::string focused() { return eval("document.activeElement.id").asString(); }

    // A real click with the pointer on the middle of the element.
    void click(const std::string& selector) {
        const Json::Value centre = eval("(() => { const box = document.querySelector(" + quoted(selector) +
                                        ").getBoundingClientRect(); return [box.left + box.width / 2, "
                                        "box.top + box.height / 2]; })()");
        const auto [x, y] = origin();
        pointer_move_to(x + centre[0].asInt(), y + centre[1].asInt());
        settle();
        pointer_button(true);
        pointer_button(false);
        settle();
    }

    // A key pressed and released on the focused element, as the keyboard sends it.
    void key(guint keyval, const std::string& text = std::string(), GdkModifierType state = GdkModifierType(0)) {
        GdkDisplay* display = gdk_display_get_default();
        GdkDevice* keyboard = gdk_seat_get_keyboard(gdk_display_get_default_seat(display));
        guint16 keycode = 0;
        GdkKeymapKey* keys = nullptr;
        gint count = 0;
        if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &count) &&
            count > 0)
            keycode = static_cast<guint16>(keys[0].keycode);
        g_free(keys);
        for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
            GdkEvent* event = gdk_event_new(type);
            event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window->gtk_window()))));
            event->key.send_event = TRUE;
            event->key.time = GDK_CURRENT_TIME;
            event->key.keyval = keyval;
            event->key.state = state;
            event->key.hardware_keycode = keycode;
            event->key.string = g_strdup(text.c_str());
            event->key.length = static_cast<gint>(text.size());
            gdk_event_set_device(event, keyboard);
            gtk_main_do_event(event);
            gdk_event_free(event);
        }
        settle();
    }

    // Types the text into the focused field, one character after another.
    void type(const std::string& text) {
        const std::wstring characters = details::utf8_to_wide(text);
        for (wchar_t character : characters)
            key(gdk_unicode_to_keyval(static_cast<guint32>(character)), utf8(std::wstring(1, character)));
    }

    // Lets the web process take in what was sent: a round trip through the page.
    void settle() {
        eval("0");
        run_nested_until([] { return false; }, std::chrono::milliseconds(50));
        eval("0");
    }

    bool wait_results(Json::ArrayIndex count) {
        return run_nested_until([&] { return results.size() >= count; }, std::chrono::seconds(10));
    }

    void snapshot(const std::string& name) {
        const char* artifacts = std::getenv("AGENT_ARTIFACT_DIR");
        const std::filesystem::path directory = artifacts != nullptr ? artifacts : home().path().string();
        std::filesystem::create_directories(directory);
        const std::filesystem::path file = directory / name;
        if (std::getenv("AGENT_DESKTOP_PREVIEW") != nullptr)
            eval("document.documentElement.style.background = '#8FA3B8'");
        window->snapshot_png(file.string());
        std::printf("Snapshot: %s\n", file.c_str());
    }

    Json::Value properties;
    Json::Value results{Json::arrayValue};
    std::vector<std::string> links;
    std::vector<std::string> documents;
    std::vector<std::string> message_boxes;
    Rect rect;
};

// A dialog document 360 px wide in its 10 px margin, centred on the parent window.
void expect_centred(const Rect& rect, const Rect& parent, int dy = 0) {
    EXPECT_EQ(rect.right - rect.left, 380);
    EXPECT_NEAR((rect.left + rect.right) / 2, (parent.left + parent.right) / 2, 1);
    EXPECT_NEAR((rect.top + rect.bottom) / 2, (parent.top + parent.bottom) / 2 + dy, 1);
}

TEST_F(DocumentTest, EveryImageThePagesNameIsBuiltAtItsSize) {
    const std::pair<const char*, int> images[] = {
        {"button-bg.png", 120}, {"button-bg--active.png", 120}, {"button-bg--hover.png", 120},
        {"button-bg-blue.png", 120}, {"checkbox.png", 16}, {"radiobutton.png", 16}, {"icon-cert.png", 24},
        {"icon-cert--hovered.png", 24}, {"icon-close.png", 24}, {"icon-close-small.png", 16},
        {"icon-default.png", 40}, {"icon-error.png", 32}, {"icon-header-logo.png", 32},
        {"icon-header-logo--hover.png", 32}, {"icon-header-question.png", 24}, {"icon-header-settings.png", 24},
        {"icon-info.png", 24}, {"icon-lock.png", 24}, {"icon-pin.png", 32}, {"no-certificate.png", 96},
        {"icon-minimize.png", 24}, {"loading.png", 32}, {"logo-agent.png", 190},
        {"logo-varnel.png", 106}, {"no-connection.png", 96}, {"overview-arrow-forward.png", 24},
        {"overview-image-1.png", 460}, {"overview-image-2.png", 460}, {"overview-image-3.png", 460},
        {"overview-image-4.png", 460}, {"icon-question.png", 32}, {"varnel-agent.png", 256},
        {"varnel-agent-tray.png", 24}, {"varnel-agent-tray-unread.png", 24}};
    for (const auto& [name, width] : images) {
        const auto image = load_resource(std::string("RES:") + name);
        ASSERT_TRUE(image) << name;
        EXPECT_EQ(image->mime_type, "image/png") << name;
        ASSERT_GT(image->data.size(), 24u) << name;
        EXPECT_EQ(image->data.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0) << name;
        const auto* ihdr = reinterpret_cast<const unsigned char*>(image->data.data()) + 16;
        EXPECT_EQ((ihdr[0] << 24) | (ihdr[1] << 16) | (ihdr[2] << 8) | ihdr[3], width) << name;
    }
    const auto gif = load_resource("res:loading.gif");
    ASSERT_TRUE(gif);
    EXPECT_EQ(gif->data.compare(0, 6, "GIF89a"), 0);
    // Sources stay sources: no SVG is served under its own name.
    EXPECT_FALSE(load_resource("res:icon-close.svg"));
    EXPECT_FALSE(load_resource("res:images/icon-close.png"));
}

TEST_F(DocumentTest, ErrorDialogShowsTheTextsAndEndsWithTrueOrFalse) {
    open("res:error.html", error_properties(varnelagent::error::ERROR_PROXY));
    EXPECT_EQ(text_of("#DialogTitle"), "Варнел.Агент не удается выполнить подключение");
    EXPECT_EQ(text_of("#DialogMessage"), "Повторите попытку или обратитесь к системному администратору.Настроить прокси");
    EXPECT_EQ(eval("document.querySelector('#DialogMessage a').getAttribute('href')"), "settings.htm");
    EXPECT_EQ(text_of("#DialogConfirm"), "OK");
    EXPECT_EQ(eval("document.getElementById('DialogClose').getAttribute('aria-label')"), "Закрыть");
    EXPECT_EQ(focused(), "DialogConfirm");
    EXPECT_EQ(eval("getComputedStyle(document.body).fontFamily"), "\"Noto Sans\", \"DejaVu Sans\", sans-serif");
    expect_centred(rect, parent);
    snapshot("error-code-4.png");

    // Enter ends it with true, once however often it is pressed.
    key(GDK_KEY_Return);
    key(GDK_KEY_Return);
    ASSERT_TRUE(wait_results(1));
    settle();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], true);

    // The page link goes to the shell, which closes the dialog and switches the page; Enter
    // on the focused link follows it again rather than confirming.
    open("res:error.html", error_properties(varnelagent::error::ERROR_PROXY));
    click("#DialogMessage a");
    ASSERT_TRUE(run_nested_until([&] { return links.size() == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(links[0], "settings.htm");
    key(GDK_KEY_Return);
    ASSERT_TRUE(run_nested_until([&] { return links.size() == 2; }, std::chrono::seconds(10)));
    EXPECT_EQ(results.size(), 0u);

    open("res:error.html", error_properties(99));
    EXPECT_EQ(text_of("#DialogTitle"), "Произошла ошибка");
    EXPECT_EQ(text_of("#DialogMessage"), "Непредвиденная ошибка");
    key(GDK_KEY_Escape);
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], false);

    open("res:error.html", error_properties(varnelagent::error::ERROR_CONNECTION));
    click("#DialogClose");
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], false);
    open("res:error.html", error_properties(varnelagent::error::ERROR_CONNECTION));
    click("#DialogConfirm");
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], true);
}

// A server's error message is the server's words, not markup of our dialog: styles, links
// that would open signed in, and remote images all stay text.
TEST_F(DocumentTest, ErrorDialogShowsAServersMessageAsText) {
    const std::string hostile = "Сбой <style>body{display:none}</style><a auth=\"true\" "
                                "href=\"https://evil.example/\">Войти снова</a><img src=\"https://evil.example/t.png\">\n"
                                "Код: 500";
    Json::Value properties;
    properties["title"] = "Произошла ошибка";
    properties["text"] = hostile;
    open("res:error.html", properties);
    EXPECT_EQ(eval("String(document.getElementById('DialogMessage').children.length)"), "0");
    EXPECT_EQ(eval("document.getElementById('DialogMessage').textContent"), hostile);
    EXPECT_NE(eval("getComputedStyle(document.body).display"), "none");
    snapshot("error-server-text.png");
    key(GDK_KEY_Return);
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], true);
}

TEST_F(DocumentTest, ErrorDialogLeadsToTheProxyFormInTheSameWindow) {
    Json::Value dialog = error_properties(varnelagent::error::ERROR_CONNECTION);
    dialog["proxy"] = proxy_record("http://10.0.0.1", "3128", "Иван", "p@ss:word");
    open("res:error.html", dialog);
    EXPECT_EQ(text_of("#DialogConfirm"), "Настроить прокси-сервер");
    snapshot("error-proxy.png");
    const Rect error_rect = rect;

    click("#DialogConfirm");
    ASSERT_EQ(documents, std::vector<std::string>{"res:proxy.html"});
    ASSERT_TRUE(window->wait_loaded());
    wait_ready();
    EXPECT_EQ(results.size(), 0u);
    EXPECT_EQ(text_of("#DialogTitle"), "Настройки прокси");
    EXPECT_EQ(eval("[...document.querySelectorAll('label')].map((l) => l.textContent)"),
              eval("['Сервер', 'Порт', 'Пользователь', 'Пароль']"));
    EXPECT_EQ(eval("['ProxyUrl', 'ProxyPort', 'ProxyUsername', 'ProxyPassword']"
                   ".map((id) => document.getElementById(id).value)"),
              eval("['http://10.0.0.1', '3128', 'Иван', 'p@ss:word']"));
    EXPECT_EQ(focused(), "ProxyUrl");
    // Taller than the error dialog, 30 px above the parent's centre.
    EXPECT_GT(rect.bottom - rect.top, error_rect.bottom - error_rect.top);
    expect_centred(rect, parent, -30);
    const Rect form_rect = rect;

    // A port with a letter: the text under the server and port, the port marked, no result.
    click("#ProxyPort");
    key(GDK_KEY_End);
    key(GDK_KEY_BackSpace);
    type("x");
    key(GDK_KEY_Return);
    EXPECT_EQ(text_of("#ProxyServerError"), "Порт должен состоять только из цифр");
    EXPECT_EQ(eval("document.getElementById('ProxyPort').getAttribute('aria-invalid')"), "true");
    EXPECT_EQ(focused(), "ProxyPort");
    EXPECT_EQ(results.size(), 0u);
    // The window grows downwards; its place stays.
    EXPECT_EQ(rect.left, form_rect.left);
    EXPECT_EQ(rect.top, form_rect.top);
    EXPECT_GT(rect.bottom, form_rect.bottom);
    snapshot("proxy-validation.png");

    // Mended: the error goes as soon as the field changes, and Enter ends with the record.
    key(GDK_KEY_BackSpace);
    EXPECT_EQ(text_of("#ProxyServerError"), "");
    type("9");
    key(GDK_KEY_Return);
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], proxy_record("http://10.0.0.1", "3129", "Иван", "p@ss:word"));
}

TEST_F(DocumentTest, ProxyFormValidatesAsTheSettingsPageWill) {
    open("res:proxy.html", Json::Value(Json::objectValue));
    struct Case {
        const char* url;
        const char* port;
        bool required;
        const char* error;  // nullptr: valid
    };
    const char* port_digits = "Порт должен состоять только из цифр";
    const char* required = "Адрес прокси-сервера должен быть указан";
    const char* format = "Адрес прокси-сервера указан в неверном формате";
    const Case cases[] = {
        {"", "", false, nullptr},
        {"", "", true, required},
        {"proxy.corp.example", "123456", false, port_digits},
        {"proxy.corp.example", "12a", false, port_digits},
        {"", "3128", false, required},
        {"  10.0.0.1 ", " 3128 ", true, nullptr},
        {"http://proxy-1.corp.example", "8080", false, nullptr},
        {"socks5://10.1.2.3", "", true, nullptr},
        {"http://", "", false, format},
        {"proxy host", "", false, format},
        {"прокси.рф", "", false, format},
        {"proxy.corp.example", "", false, nullptr},
    };
    for (const Case& c : cases) {
        const Json::Value outcome = eval(std::string("(() => { const form = proxy_dialog.form; ") +
                                         "form.fields.url.value = " + quoted(c.url) + "; " +
                                         "form.fields.port.value = " + quoted(c.port) + "; " +
                                         "const valid = form.validate(" + (c.required ? "true" : "false") + "); " +
                                         "return [valid, form.error, document.getElementById('ProxyServerError')"
                                         ".textContent]; })()");
        const std::string label = std::string("\"") + c.url + "\" : \"" + c.port + "\"";
        EXPECT_EQ(outcome[0], c.error == nullptr) << label;
        EXPECT_EQ(outcome[1], c.error == nullptr ? Json::Value() : Json::Value(c.error)) << label;
        EXPECT_EQ(outcome[2], c.error == nullptr ? "" : c.error) << label;
    }

    // Only a named proxy fills the fields; either way the form is unchanged afterwards,
    // until the user types.
    const Json::Value filled = eval(
        "(() => { const form = proxy_dialog.form; form.fields.url.value = 'kept'; form.changed = true;"
        " form.fill_proxy({mode: 'DefaultProxy', url: 'ignored'});"
        " return [form.fields.url.value, form.changed]; })()");
    EXPECT_EQ(filled, eval("['kept', false]"));
    click("#ProxyUsername");
    type("Ё");
    EXPECT_EQ(eval("proxy_dialog.form.changed"), true);
    EXPECT_EQ(eval("proxy_dialog.form.record().username"), "Ё");
}

TEST_F(DocumentTest, SaveQuestionAnswersYesNoOrStay) {
    open("res:save.html", Json::Value("res:save.html"));
    EXPECT_EQ(text_of("#DialogTitle"), "Вы изменили настройки прокси-сервера. Сохранить изменения?");
    EXPECT_EQ(text_of("#DialogYes"), "Да");
    EXPECT_EQ(text_of("#DialogNo"), "Нет");
    EXPECT_EQ(focused(), "DialogYes");
    expect_centred(rect, parent);
    snapshot("save.png");
    key(GDK_KEY_Return);
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], true);

    // Shift+Tab goes back to the button before, which Enter then presses.
    open("res:save.html", Json::Value("res:save.html"));
    key(GDK_KEY_ISO_Left_Tab, std::string(), GDK_SHIFT_MASK);
    EXPECT_EQ(focused(), "DialogNo");
    key(GDK_KEY_Return);
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], false);

    open("res:save.html", Json::Value("res:save.html"));
    key(GDK_KEY_Escape);
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], -1);
    open("res:save.html", Json::Value("res:save.html"));
    click("#DialogNo");
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], false);
}

TEST_F(DocumentTest, CredentialsAreReturnedAsTyped) {
    open("res:credentials.html", Json::Value("res:credentials.html"));
    EXPECT_EQ(text_of("#DialogTitle"), "Необходима авторизация");
    EXPECT_EQ(eval("document.getElementById('Username').labels[0].textContent"), "Пользователь");
    EXPECT_EQ(eval("document.getElementById('Password').labels[0].textContent"), "Пароль");
    EXPECT_EQ(focused(), "Username");
    type("Иван Петров");
    key(GDK_KEY_Tab);
    EXPECT_EQ(focused(), "Password");
    type("p@ss: wörd");
    snapshot("credentials.png");
    key(GDK_KEY_Return);
    ASSERT_TRUE(wait_results(1));
    Json::Value record;
    record["username"] = "Иван Петров";
    record["password"] = "p@ss: wörd";
    EXPECT_EQ(results[0], record);

    open("res:credentials.html", Json::Value("res:credentials.html"));
    type("someone");
    key(GDK_KEY_Escape);
    ASSERT_TRUE(wait_results(1));
    EXPECT_EQ(results[0], false);
}

TEST_F(DocumentTest, StyleSheetShowsTheControlsInTheirStates) {
    load("res:style_sheet.html");
    window->show();
    ASSERT_TRUE(run_nested_until(
        [&] {
            return eval("document.readyState === 'complete' && document.fonts.status === 'loaded'", true) == true;
        },
        std::chrono::seconds(10)));
    // The fragments arrived (the header with its links) and every picture loaded.
    EXPECT_EQ(eval("[...document.querySelectorAll('.header a[href]')].map((a) => a.getAttribute('href') + ' ' + "
                   "a.getAttribute('aria-label'))"),
              eval("['notifications.htm Уведомления', 'help.htm Помощь', 'settings.htm Настройки']"));
    EXPECT_EQ(eval("[...document.images].filter((image) => !image.complete || image.naturalWidth === 0)"
                   ".map((image) => image.src)"),
              Json::Value(Json::arrayValue));
    EXPECT_EQ(eval("document.querySelector('img[src=\"loading.gif\"]').naturalWidth"), 32);
    const auto [width, height] = window->fit_to_document();
    EXPECT_EQ(width, 510);
    EXPECT_GT(height, 700);
    snapshot("style-sheet.png");
}

TEST_F(DocumentTest, SharedFunctionsPlaceTheWindowAndBlinkTheLogo) {
    load("res:style_sheet.html");
    window->show();
    // A work area 749 px high is short enough for the narrow layout; 750 is not.
    work_area = {0, 0, 1280, 749};
    EXPECT_EQ(window->call_script("add_narrow", Json::Value(Json::arrayValue)), true);
    EXPECT_EQ(eval("document.body.classList.contains('narrow')"), true);
    work_area = {0, 0, 1280, 750};
    EXPECT_EQ(window->call_script("add_narrow", Json::Value(Json::arrayValue)), false);
    EXPECT_EQ(eval("document.body.classList.contains('narrow')"), false);

    // The page goes to the bottom-right corner of the work area, which need not start at 0.
    work_area = {1280, 24, 2560, 1000};
    const Json::Value size = window->call_script("resize_page", Json::Value(Json::arrayValue));
    EXPECT_EQ(size["width"], 510);
    EXPECT_EQ(rect, (Rect{2560 - 510, 1000 - size["height"].asInt(), 2560, 1000}));
    window->call_script("resize", Json::Value(Json::arrayValue));
    EXPECT_EQ(rect.left, 1280 + (1280 - 510) / 2);

    // The logo blinks until stopped, and is left plain.
    window->call_script("start_alert_new_message", Json::Value(Json::arrayValue));
    EXPECT_TRUE(run_nested_until([&] { return eval("HeaderLogo.classList.contains('active')") == true; },
                                 std::chrono::seconds(2)));
    EXPECT_TRUE(run_nested_until([&] { return eval("HeaderLogo.classList.contains('active')") == false; },
                                 std::chrono::seconds(2)));
    window->call_script("stop_alert_new_message", Json::Value(Json::arrayValue));
    run_nested_until([] { return false; }, std::chrono::milliseconds(400));
    EXPECT_EQ(eval("HeaderLogo.classList.contains('active')"), false);

    // Unreachable code says where it was, in the engine's message box.
    Json::Value frames(Json::arrayValue);
    Json::Value frame;
    frame["file"] = "res:settings.js";
    frame["function"] = "settings.on_ready";
    frame["line"] = 42;
    frames.append(frame);
    Json::Value args(Json::arrayValue);
    args.append(frames);
    window->call_script("unreachable", args);
    EXPECT_EQ(window->call_script("unreachable", Json::Value(Json::arrayValue)), "Unreachable code. ");
    ASSERT_EQ(message_boxes.size(), 2u);
    EXPECT_EQ(message_boxes[0], "Unreachable code. res:settings.js: settings.on_ready(42)");
    EXPECT_EQ(message_boxes[1], "Unreachable code. ");
}

}  // namespace
}  // namespace agent::testing
