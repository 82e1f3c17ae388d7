#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <json/reader.h>
#include <json/writer.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "x11_input.h"

namespace agent::testing {

// Drives the document of one window as a person does: keys through GTK into the focused
// element, clicks with the real pointer through the X server (tests that click take the
// x11-input lock), and script expressions only to read what the window shows.
class PageDriver {
public:
    explicit PageDriver(varnelagent::engine::HostWindow& window) : window_(window) {}

    static std::string quoted(const std::string& text) {
        Json::StreamWriterBuilder builder;
        builder["emitUTF8"] = true;
        return Json::writeString(builder, Json::Value(text));
    }

    // The expression's value (through JSON). While a document is being replaced an
    // evaluation may fail; `polling` takes that as null.
    Json::Value eval(const std::string& expression, bool polling = false) {
        struct Slot {
            bool done = false;
            std::string text;
            std::string error;
        };
        auto slot = std::make_shared<Slot>();
        const std::string script = "JSON.stringify((" + expression + ") ?? null)";
        webkit_web_view_evaluate_javascript(
            window_.web_view(), script.c_str(), -1, nullptr, nullptr, nullptr,
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
        if (!varnelagent::engine::run_nested_until([&] { return slot->done; }, std::chrono::seconds(10)))
            ADD_FAILURE() << "no answer to " << expression;
        if (!slot->error.empty() && !polling)
            ADD_FAILURE() << expression << ": " << slot->error;
        Json::Value value;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        reader->parse(slot->text.data(), slot->text.data() + slot->text.size(), &value, nullptr);
        return value;
    }

    // Until the expression is true (the loops keep running meanwhile).
    bool wait(const std::string& expression, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        return varnelagent::engine::run_nested_until([&] { return eval(expression, true) == true; }, timeout);
    }

    std::string text(const std::string& selector) {
        const Json::Value value = eval("document.querySelector(" + quoted(selector) + ")?.textContent.trim()");
        return value.isString() ? value.asString() : std::string();
    }

    // The window gets the keyboard focus, as when the desktop gives it. Other tests' windows
    // on the same display may take it back at any time; see fill.
    void focus_window() {
        GtkWidget* toplevel = GTK_WIDGET(window_.gtk_window());
        gtk_window_present(window_.gtk_window());
        gtk_widget_grab_focus(GTK_WIDGET(window_.web_view()));
        GdkEvent* focus = gdk_event_new(GDK_FOCUS_CHANGE);
        focus->focus_change.in = TRUE;
        focus->focus_change.send_event = TRUE;
        focus->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(toplevel)));
        gtk_widget_send_focus_change(toplevel, focus);
        gdk_event_free(focus);
        varnelagent::engine::run_nested_until([&] { return gtk_window_is_active(window_.gtk_window()) != FALSE; },
                                              std::chrono::seconds(2));
    }

    // Real clicks with the pointer on the middle of the element. A click that opens a dialog
    // must not wait for the page afterwards (`settle_after` false): the dialog's own loop
    // would run inside the wait, and the test's steps never get to it.
    void click(const std::string& selector, int count = 1, bool settle_after = true) {
        const Json::Value centre = eval("(() => { const box = document.querySelector(" + quoted(selector) +
                                        ").getBoundingClientRect(); return [box.left + box.width / 2, "
                                        "box.top + box.height / 2]; })()");
        // Another test's window may lie over this one on the shared display.
        gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window_.gtk_window())));
        int x = 0;
        int y = 0;
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(window_.gtk_window())), &x, &y);
        pointer_move_to(x + centre[0].asInt(), y + centre[1].asInt());
        settle();
        for (int i = 0; i < count; ++i) {
            pointer_button(true);
            pointer_button(false);
        }
        if (settle_after)
            settle();
    }

    // A key pressed and released on the focused element, as the keyboard sends it (see
    // click for `settle_after`).
    void key(guint keyval, const std::string& text = std::string(), bool settle_after = true, guint state = 0) {
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
            event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window_.gtk_window()))));
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
        if (settle_after)
            settle();
    }

    // Types the text into the focused field, one character after another.
    void type(const std::string& text) {
        for (wchar_t character : details::utf8_to_wide(text))
            key(gdk_unicode_to_keyval(static_cast<guint32>(character)),
                details::wide_to_utf8(std::wstring(1, character)));
    }

    // Focuses the field (as a click would), selects what it holds and types over it. Keys
    // typed while another test's window had the focus are lost: then it types again.
    void fill(const std::string& selector, const std::string& text) {
        const std::string field = "document.querySelector(" + quoted(selector) + ")";
        for (int attempt = 0; attempt < 5; ++attempt) {
            focus_window();
            eval("(() => { const field = " + field + "; field.focus(); field.select(); })()");
            key(GDK_KEY_BackSpace);
            type(text);
            if (eval(field + ".value") == text)
                return;
        }
        ADD_FAILURE() << "could not type into " << selector;
    }

    // Lets the web process take in what was sent: a round trip through the page.
    void settle() {
        eval("0", true);
        varnelagent::engine::run_nested_until([] { return false; }, std::chrono::milliseconds(50));
        eval("0", true);
    }

private:
    varnelagent::engine::HostWindow& window_;
};

}  // namespace agent::testing
