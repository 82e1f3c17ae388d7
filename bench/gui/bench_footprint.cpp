// What the desktop program costs in memory: PSS summed over its own process and the page
// engine's helper processes (web and network), read from /proc/PID/smaps_rollup, with the
// signed-in notifications page shown, hidden in the tray (at once, and once the page engine
// has been let go), then with the popup and a dialog open as well.
// Run under a display and a session bus: dbus-run-session -- xvfb-run -a <this program>.
// SMAPS_DUMP=FILE writes /proc/self/smaps of the released state there, for a breakdown.
#include <benchmark/benchmark.h>

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "agent_process.h"
#include "gui/engine/host_window.h"
#include "gui/error.h"
#include "gui/shell/main_window.h"

namespace {

using namespace varnelagent;
using bench::family;
using bench::family_pss;
using bench::family_uss;
using bench::Program;

Program* program = nullptr;

void PageShown(benchmark::State& state) {
    for (auto _ : state) {
        engine::run_nested_until(
            [] {
                auto* page = program->shell->current_page();
                return page && page->host_window()->loaded() && program->shell->window().visible();
            },
            std::chrono::seconds(20));
        Program::settle(std::chrono::seconds(3));
        state.counters["pss_mb"] = family_pss();
        state.counters["uss_mb"] = family_uss();
        state.counters["processes"] = static_cast<double>(family().size());
    }
}
BENCHMARK(PageShown)->Iterations(1)->Unit(benchmark::kMillisecond);

// Signed in, the stream running, the window closed into the tray: what the program costs
// while it waits for messages, which is most of its life.
void HiddenInTray(benchmark::State& state) {
    for (auto _ : state) {
        post_close(program->shell->handle());
        engine::run_nested_until([] { return !program->shell->window().visible(); }, std::chrono::seconds(10));
        Program::settle(std::chrono::seconds(5));
        state.counters["pss_mb"] = family_pss();
        state.counters["uss_mb"] = family_uss();
        state.counters["processes"] = static_cast<double>(family().size());
        post_command(program->shell->handle(), ID_OPEN);
        engine::run_nested_until([] { return program->shell->window().visible(); }, std::chrono::seconds(10));
        Program::settle(std::chrono::seconds(1));
    }
}
BENCHMARK(HiddenInTray)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same after the window has stayed hidden long enough for the page engine to be let go:
// the page and its helper processes are gone, only the program's own process is left.
void ReleasedInTray(benchmark::State& state) {
    for (auto _ : state) {
        engine::run_nested_until([] { return program->shell->window().visible(); }, std::chrono::seconds(20));
        program->shell->set_release_period(std::chrono::seconds(2));
        post_close(program->shell->handle());
        engine::run_nested_until(
            [] { return program->shell->released() && family().size() == 1; }, std::chrono::seconds(30));
        // Past the moment the code pages the ended helpers shared are handed back.
        Program::settle(std::chrono::milliseconds(TIMER_PAGE_OUT_DELAY_MS + 2000));
        if (const char* dump = std::getenv("SMAPS_DUMP"))
            std::ofstream(dump) << std::ifstream("/proc/self/smaps").rdbuf();
        state.counters["pss_mb"] = family_pss();
        state.counters["uss_mb"] = family_uss();
        state.counters["processes"] = static_cast<double>(family().size());
        post_command(program->shell->handle(), ID_OPEN);
        engine::run_nested_until(
            [] {
                auto* page = program->shell->current_page();
                return page && page->placed() && program->shell->window().visible();
            },
            std::chrono::seconds(10));
        Program::settle(std::chrono::seconds(1));
        program->shell->set_release_period(std::chrono::milliseconds(TIMER_RELEASE_PERIOD_MS));
    }
}
BENCHMARK(ReleasedInTray)->Iterations(1)->Unit(benchmark::kMillisecond);

// Only one dialog window lives at a time (an error asked for while the popup is open is
// not shown), so the popup and a dialog are measured one after the other over the page.
void PagePopupAndDialog(benchmark::State& state) {
    for (auto _ : state) {
        const double page = family_pss();
        const double page_uss = family_uss();
        program->shell->window().hide();
        sandbox::Message message;
        message.subject = "Требование о представлении пояснений";
        message.organization = "ФНС России";
        const auto pushed = std::chrono::steady_clock::now();
        program->server->push_message(message);
        engine::run_nested_until(
            [] {
                auto* popup = program->shell->current_dialog();
                return popup && popup->alive() && popup->host_window()->loaded() && popup->placed();
            },
            std::chrono::seconds(20));
        // From the push on the server to the popup placed on the screen, its first time.
        state.counters["push_to_popup_ms"] =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - pushed).count();
        Program::settle(std::chrono::seconds(3));
        const double with_popup = family_pss();
        const double with_popup_uss = family_uss();
        post_command(program->shell->handle(), ID_OPEN);
        Program::settle(std::chrono::milliseconds(500));

        auto shown = std::async(std::launch::async, [handle = program->shell->handle()] {
            return error::show_error_code(error::ERROR_PROXY, handle);
        });
        // The dialog runs a loop of its own: it is read and answered from a timer inside it.
        struct Reading {
            double pss = 0;
            double uss = 0;
            std::chrono::steady_clock::time_point up;
        } reading;
        const guint timer = g_timeout_add(
            100,
            [](gpointer data) -> gboolean {
                auto& reading = *static_cast<Reading*>(data);
                auto* dialog = program->shell->current_dialog();
                if (!dialog || dialog->kind() != MESSAGE_DIALOG || !dialog->alive() || !dialog->placed())
                    return G_SOURCE_CONTINUE;
                const auto now = std::chrono::steady_clock::now();
                if (reading.up == std::chrono::steady_clock::time_point())
                    reading.up = now;
                if (now - reading.up < std::chrono::seconds(3))
                    return G_SOURCE_CONTINUE;
                reading.pss = family_pss();
                reading.uss = family_uss();
                post_close(dialog->handle());
                return G_SOURCE_REMOVE;
            },
            &reading);
        engine::run_nested_until([&] { return shown.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                                 std::chrono::seconds(30));
        if (reading.pss == 0)
            g_source_remove(timer);
        const double with_dialog = reading.pss;
        state.counters["page_mb"] = page;
        state.counters["popup_added_mb"] = with_popup - page;
        state.counters["dialog_added_mb"] = with_dialog - page;
        state.counters["popup_added_uss_mb"] = with_popup_uss - page_uss;
        state.counters["dialog_added_uss_mb"] = reading.uss - page_uss;
    }
}
BENCHMARK(PagePopupAndDialog)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    init_gui_thread();
    engine::initialize();
    Program running;
    program = &running;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    program = nullptr;
    return 0;
}
