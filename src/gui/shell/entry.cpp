#include "gui/shell/entry.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "details/exception.h"
#include "details/glib_ptr.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "gui/shell/single_instance.h"
#include "gui/shell/main_window.h"

namespace varnelagent {

namespace {

using agent::details::utf8_to_wide;

// The last word on a start-up that failed: the log, then a message box when there is a
// display, else the terminal.
void report_fatal(const std::string& text, bool have_display) {
    AGENT_ERROR(L"wWinMain") << utf8_to_wide(text);
    if (!have_display) {
        std::fprintf(stderr, "varnel-agent: %s\n", text.c_str());
        return;
    }
    GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s",
                                            text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), "ERROR");
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

}  // namespace

int run_agent(int argc, char** argv) {
    init_gui_thread();
    SingleInstance instance;
    if (instance.role() == SingleInstance::Role::Other)
        return 0;

    // The popup sits in a corner of the screen and the windows are moved by their own
    // documents: that needs screen coordinates, which only X11 gives a program. On a
    // Wayland desktop the program runs through XWayland.
    gdk_set_allowed_backends("x11");
    // Started with the desktop's session (autolaunch), the program may come up a moment
    // before the display takes connections: it tries for a few seconds.
    bool have_display = gtk_init_check(&argc, &argv);
    for (int attempt = 0; !have_display && attempt < 20 && g_getenv("DISPLAY") != nullptr; ++attempt) {
        g_usleep(250 * 1000);
        have_display = gtk_init_check(&argc, &argv);
    }
    try {
        if (!have_display)
            throw engine::EngineException(L"There is no display to show the window on (is DISPLAY set?)");
        engine::initialize();
        MainWindow window(agent::details::path::get_data_directory());
        agent::details::GPtr<GMainLoop> loop(g_main_loop_new(nullptr, FALSE));
        window.set_destroy_handler([main = loop.get()] { g_main_loop_quit(main); });
        instance.listen([handle = window.handle()] { post_command(handle, ID_OPEN); });
        // The desktop's session ends (log-out, shut-down, kill): the program ends as with
        // Exit, without asking anything.
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            g_unix_signal_add(
                signal,
                [](gpointer data) -> gboolean {
                    static_cast<MainWindow*>(data)->terminate();
                    return G_SOURCE_REMOVE;
                },
                &window);
        AGENT_INFO(L"wWinMain") << "Started";
        window.on_create();
        g_main_loop_run(loop.get());
        AGENT_INFO(L"wWinMain") << "Ended";
        return 0;
    } catch (const std::exception& e) {
        report_fatal(e.what(), have_display);
    } catch (...) {
        report_fatal("Unknown exception", have_display);
    }
    return 0;
}

}  // namespace varnelagent
