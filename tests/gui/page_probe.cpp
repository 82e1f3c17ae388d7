#include "page_probe.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <json/reader.h>
#include <json/writer.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "gui/engine/host_window.h"
#include "x11_input.h"

namespace agent::testing {

using varnelagent::engine::run_nested_until;

Json::Value evaluate(WebKitWebView* view, const std::string& expression, bool polling) {
    struct Slot {
        bool done = false;
        std::string text;
        std::string error;
    };
    auto slot = std::make_shared<Slot>();
    const std::string script = "JSON.stringify((" + expression + ") ?? null)";
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, nullptr, nullptr, nullptr,
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

bool wait_true(WebKitWebView* view, const std::string& expression, int seconds) {
    return run_nested_until([&] { return evaluate(view, expression, true) == Json::Value(true); },
                            std::chrono::seconds(seconds));
}

std::string quoted(const std::string& text) {
    Json::StreamWriterBuilder builder;
    builder["emitUTF8"] = true;
    return Json::writeString(builder, Json::Value(text));
}

bool click_element(GtkWindow* window, WebKitWebView* view, const std::string& selector) {
    const std::string element = "document.querySelector(" + quoted(selector) + ")";
    if (evaluate(view, element + " !== null") != Json::Value(true))
        return false;
    // A desktop's window manager gives the window the focus when it is clicked; the test's
    // display has none, so the window takes it itself first (the X server's default focus
    // follows the pointer, which would take the focus away as the pointer moves).
    gdk_window_focus(gtk_widget_get_window(GTK_WIDGET(window)), GDK_CURRENT_TIME);
    run_nested_until([window] { return gtk_window_is_active(window) != FALSE; }, std::chrono::seconds(2));
    // The button goes down only once the page has seen the pointer over the element: a
    // window still being placed, or a page still settling, moves things under the pointer.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const Json::Value centre = evaluate(view, "(() => { const box = " + element +
                                                      ".getBoundingClientRect(); return [box.left + box.width / 2, "
                                                      "box.top + box.height / 2]; })()");
        if (!centre.isArray())
            return false;
        // The view's place on the screen.
        int x = 0;
        int y = 0;
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(view)), &x, &y);
        if (!gtk_widget_get_has_window(GTK_WIDGET(view))) {
            GtkAllocation allocation;
            gtk_widget_get_allocation(GTK_WIDGET(view), &allocation);
            x += allocation.x;
            y += allocation.y;
        }
        pointer_move_to(x + centre[0].asInt(), y + centre[1].asInt());
        if (run_nested_until([&] { return evaluate(view, element + ".matches(':hover')", true) == Json::Value(true); },
                             std::chrono::seconds(2))) {
            pointer_button(true);
            pointer_button(false);
            // No wait after the click: what it does may open a dialog, whose own loop must
            // find the caller's steps already waiting (ShellTest::run_steps).
            return true;
        }
        // Somewhere else first, so that coming back is a movement the page sees.
        pointer_move_to(0, 0);
    }
    ADD_FAILURE() << "The pointer never got over " << selector;
    return false;
}

void snapshot_window(GtkWindow* window, const std::string& path) {
    GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window));
    ASSERT_NE(surface, nullptr);
    gtk_window_present(window);
    run_nested_until([] { return false; }, std::chrono::milliseconds(300));
    GdkPixbuf* picture =
        gdk_pixbuf_get_from_window(surface, 0, 0, gdk_window_get_width(surface), gdk_window_get_height(surface));
    ASSERT_NE(picture, nullptr);
    GError* error = nullptr;
    EXPECT_TRUE(gdk_pixbuf_save(picture, path.c_str(), "png", &error, nullptr)) << (error ? error->message : "");
    if (error != nullptr)
        g_error_free(error);
    g_object_unref(picture);
}

}  // namespace agent::testing
