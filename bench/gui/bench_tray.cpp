// The agent in the tray, where it spends most of its life: how quickly a pushed message
// reaches the screen as the popup (with the page engine running, and after it was let go),
// what waiting costs the processor, and whether weeks of messages leave it heavier.
// Run under a display and a session bus: dbus-run-session -- xvfb-run -a <this program>.
//   BENCH_IDLE_SECONDS   how long the idle reading lasts (600)
//   BENCH_SOAK_SECONDS   how long the soak lasts (3600); its 5000 messages are spread over it
//   BENCH_SOAK_TRACE     prints the family's memory, threads and descriptors every 500 messages
#include <benchmark/benchmark.h>

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <webkit2/webkit2.h>

#include "agent_process.h"
#include "gui/engine/host_window.h"
#include "model/agent_client.h"
#include "model/message_archive.h"

namespace {

using namespace varnelagent;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bench::Program* program = nullptr;

long seconds_from(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && std::atol(value) > 0 ? std::atol(value) : fallback;
}

double percentile(std::vector<double> samples, double share) {
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

void report(benchmark::State& state, const std::vector<double>& samples) {
    state.counters["p50_ms"] = percentile(samples, 0.50);
    state.counters["p99_ms"] = percentile(samples, 0.99);
    state.counters["max_ms"] = samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
    state.counters["samples"] = static_cast<double>(samples.size());
}

// Push on the provider to the popup placed on the screen; -1 when it did not come.
double push_to_popup(const std::string& subject) {
    const auto pushed = Clock::now();
    program->push(subject);
    if (!engine::run_nested_until([] { return program->popup() != nullptr; }, 20s))
        return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - pushed).count();
}

// One message to the popup, timed into samples, then the popup closed as the user does.
bool popup_round(benchmark::State& state, std::vector<double>& samples, const std::string& subject) {
    const double took = push_to_popup(subject);
    if (took < 0) {
        state.SkipWithError("no popup");
        return false;
    }
    samples.push_back(took);
    bench::Program::settle(300ms);
    program->close_popup();
    return true;
}

// Whether the page engine has been let go and its processes have ended.
bool released() {
    return program->shell->released() && bench::family().size() == 1;
}

// The page engine running (the window hidden a moment ago), the popup closed between pushes.
void PushToPopupWarm(benchmark::State& state) {
    program->shell->set_release_period(24h);
    std::vector<double> samples;
    for (auto _ : state) {
        program->open();
        program->hide();
        for (int i = 0; i < 40; ++i) {
            if (!popup_round(state, samples, "Тёплый " + std::to_string(i)))
                break;
            bench::Program::settle(200ms);
        }
    }
    report(state, samples);
}
BENCHMARK(PushToPopupWarm)->Iterations(1)->Unit(benchmark::kMillisecond);

// Hidden long enough for the page engine to be let go: each push starts it again.
void PushToPopupReleased(benchmark::State& state) {
    program->shell->set_release_period(500ms);
    std::vector<double> samples;
    for (auto _ : state) {
        program->open();
        program->hide();
        for (int i = 0; i < 20; ++i) {
            if (!engine::run_nested_until(released, 30s)) {
                state.SkipWithError("the page engine was not let go");
                break;
            }
            // Past the second page-out: the code the popup needs has to be read in again.
            bench::Program::settle(std::chrono::milliseconds(TIMER_PAGE_OUT_DELAY_MS) + 1s);
            if (!popup_round(state, samples, "Из трея " + std::to_string(i)))
                break;
        }
    }
    report(state, samples);
}
BENCHMARK(PushToPopupReleased)->Iterations(1)->Unit(benchmark::kMillisecond);

// How many message rows the main window's list shows now (0 while it has no document).
int rows_shown() {
    WebKitWebView* view = program->shell->window().web_view();
    if (view == nullptr)
        return 0;
    struct Slot {
        bool done = false;
        int rows = 0;
    };
    auto slot = std::make_shared<Slot>();
    webkit_web_view_evaluate_javascript(
        view, "document.querySelectorAll('#List .message').length", -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<Slot>> holder(static_cast<std::shared_ptr<Slot>*>(data));
            JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
            if (value != nullptr) {
                (*holder)->rows = jsc_value_to_int32(value);
                g_object_unref(value);
            }
            (*holder)->done = true;
        },
        new std::shared_ptr<Slot>(slot));
    engine::run_nested_until([&] { return slot->done; }, 5s);
    return slot->rows;
}

// The archive holds 10 000 messages (a year of a busy company's mail), as the list finds it.
void fill_archive() {
    static bool filled = false;
    if (filled)
        return;
    filled = true;
    std::vector<agent::Message> messages;
    for (int n = 0; n < 10000; ++n) {
        agent::Message message;
        message.id = L"archived-" + std::to_wstring(n);
        message.subject = L"Требование о представлении пояснений № " + std::to_wstring(n);
        message.body = L"Поступило требование о представлении пояснений к декларации по НДС за " +
                       std::to_wstring(n % 4 + 1) + L" квартал. [Открыть](https://example.com/doc/" + std::to_wstring(n) + L")";
        message.organization = L"ИФНС России № 46 по г. Москве";
        message.read = true;
        message.created = {agent::DateTime::Local, 2025, static_cast<std::uint8_t>(1 + n / 1000),
                           static_cast<std::uint8_t>(1 + n % 28), static_cast<std::uint8_t>(n % 24), 0, 0, 0};
        messages.push_back(std::move(message));
    }
    program->shell->client().archive()->add(messages);
}

// Until the list shows 30 rows; milliseconds since `from`, or -1.
double until_rows(Clock::time_point from) {
    if (!engine::run_nested_until([] { return rows_shown() >= 30; }, 30s))
        return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// The list made anew while the page engine runs: from the settings back to the list.
void ListFromArchiveWarm(benchmark::State& state) {
    program->shell->set_release_period(24h);
    fill_archive();
    std::vector<double> samples;
    for (auto _ : state) {
        program->open();
        for (int i = 0; i < 20; ++i) {
            post_show_page(program->shell->handle(), SETTINGS_PAGE);
            engine::run_nested_until([] { return program->shell->current_page() != nullptr &&
                                                 program->shell->current_page()->kind() == SETTINGS_PAGE; }, 10s);
            bench::Program::settle(500ms);
            const auto asked = Clock::now();
            post_show_page(program->shell->handle(), NOTIFICATIONS_PAGE);
            const double took = until_rows(asked);
            if (took < 0) {
                state.SkipWithError("the list did not come");
                break;
            }
            samples.push_back(took);
            bench::Program::settle(500ms);
        }
    }
    report(state, samples);
}
BENCHMARK(ListFromArchiveWarm)->Iterations(1)->Unit(benchmark::kMillisecond);

// The tray's Open after the page engine was let go: a new engine, a new page, the archive.
void ListFromArchiveReleased(benchmark::State& state) {
    program->shell->set_release_period(500ms);
    fill_archive();
    std::vector<double> samples;
    for (auto _ : state) {
        for (int i = 0; i < 20; ++i) {
            program->hide();
            if (!engine::run_nested_until(released, 30s)) {
                state.SkipWithError("the page engine was not let go");
                break;
            }
            bench::Program::settle(std::chrono::milliseconds(TIMER_PAGE_OUT_DELAY_MS) + 1s);
            const auto asked = Clock::now();
            program->shell->on_command(ID_OPEN);
            const double took = until_rows(asked);
            if (took < 0) {
                state.SkipWithError("the list did not come");
                break;
            }
            samples.push_back(took);
            bench::Program::settle(1s);
        }
    }
    report(state, samples);
}
BENCHMARK(ListFromArchiveReleased)->Iterations(1)->Unit(benchmark::kMillisecond);

// Runs the GUI thread's main loop for that long, as the program's own loop does: nothing
// wakes it but its own sources (a nested wait would poll).
void idle_for(std::chrono::seconds time) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add_seconds(
        static_cast<guint>(time.count()),
        [](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
}

// What the process holds that should not grow: its descriptors and threads, named.
std::vector<std::string> holdings() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        names.push_back("fd " + std::filesystem::read_symlink(entry.path(), ignored).string());
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names.push_back("thread " + name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Signed in, hidden, the engine let go, only the stream's heartbeats arriving.
void IdleInTray(benchmark::State& state) {
    program->shell->set_release_period(500ms);
    const auto span = std::chrono::seconds(seconds_from("BENCH_IDLE_SECONDS", 600));
    for (auto _ : state) {
        program->open();
        program->hide();
        engine::run_nested_until(released, 30s);
        bench::Program::settle(5s);
        const double before = bench::family_cpu_seconds();
        const auto start = Clock::now();
        idle_for(span);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["cpu_percent_of_core"] = 100 * (bench::family_cpu_seconds() - before) / wall;
        state.counters["seconds"] = wall;
        state.counters["pss_mb"] = bench::family_pss();
    }
}
BENCHMARK(IdleInTray)->Iterations(1)->Unit(benchmark::kMillisecond);

// The window opened from the tray and closed again, the engine let go each time: nothing
// may stay behind from one round to the next.
void ReleaseRounds(benchmark::State& state) {
    program->shell->set_release_period(500ms);
    for (auto _ : state) {
        std::vector<int> threads;
        std::vector<int> descriptors;
        for (int round = 0; round < 12; ++round) {
            program->open();
            bench::Program::settle(500ms);
            program->hide();
            if (!engine::run_nested_until(released, 30s)) {
                state.SkipWithError("the page engine was not let go");
                break;
            }
            bench::Program::settle(2s);
            threads.push_back(bench::thread_count());
            descriptors.push_back(bench::descriptor_count());
            if (std::getenv("BENCH_SOAK_HOLDINGS") != nullptr)
                std::fprintf(stderr, "round %d: %d threads, %d descriptors\n", round, threads.back(),
                             descriptors.back());
        }
        if (threads.size() == 12) {
            // From the second round on: the first one makes what the engine keeps for good.
            state.counters["thread_growth"] = threads.back() - threads[1];
            state.counters["descriptor_growth"] = descriptors.back() - descriptors[1];
        }
    }
}
BENCHMARK(ReleaseRounds)->Iterations(1)->Unit(benchmark::kMillisecond);

// Weeks in an hour: 5000 messages while the window stays hidden; the user closes the
// popup now and then and opens the list now and then. Memory, threads and descriptors at
// the end against the start (both read with the engine let go), and the window still opens
// quickly.
void Soak(benchmark::State& state) {
    constexpr int MESSAGES = 5000;
    const auto span = std::chrono::seconds(seconds_from("BENCH_SOAK_SECONDS", 3600));
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(span) / MESSAGES;
    program->shell->set_release_period(2s);
    for (auto _ : state) {
        // The engine keeps a few things for good from its first restart on (descriptors of
        // its own, see ReleaseRounds): a round with the list and one with the popup first.
        program->open();
        program->hide();
        engine::run_nested_until(released, 30s);
        push_to_popup("Перед началом");
        program->close_popup();
        const bool released_at_start = engine::run_nested_until(released, 30s);
        bench::Program::settle(std::chrono::milliseconds(TIMER_PAGE_OUT_DELAY_MS) + 2s);
        const double pss_start = bench::family_pss();
        const double anon_start = bench::family_pss_anon();
        state.counters["released_at_start"] = released_at_start ? 1 : 0;
        const int threads_start = bench::thread_count();
        const int descriptors_start = bench::descriptor_count();
        const auto held = holdings();
        const bool trace = std::getenv("BENCH_SOAK_TRACE") != nullptr;
        std::vector<double> opening;
        const auto start = Clock::now();
        for (int i = 0; i < MESSAGES; ++i) {
            program->push("Сообщение " + std::to_string(i));
            if (i % 97 == 96)
                program->close_popup();
            if (i % 1000 == 999) {
                // A look at the list, then back to the tray.
                const auto asked = Clock::now();
                if (program->open())
                    opening.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
                bench::Program::settle(1s);
                program->hide();
            }
            if (trace && i % 500 == 499)
                std::fprintf(stderr, "%d messages: %zu processes, PSS %.1f MB (anon %.1f, file %.1f), %d threads, %d descriptors\n",
                             i + 1, bench::family().size(), bench::family_pss(), bench::family_pss_anon(),
                             bench::family_pss_file(), bench::thread_count(), bench::descriptor_count());
            const auto next = start + gap * (i + 1);
            engine::run_nested_until([&] { return Clock::now() >= next; }, gap * 4);
        }
        // The last messages may still be on their way to a popup: it is closed once they are in.
        bench::Program::settle(3s);
        program->close_popup();
        const bool released_at_end = engine::run_nested_until(released, 60s);
        bench::Program::settle(std::chrono::milliseconds(TIMER_PAGE_OUT_DELAY_MS) + 2s);
        const double pss_end = bench::family_pss();
        const double anon_end = bench::family_pss_anon();
        const int thread_growth = bench::thread_count() - threads_start;
        const int descriptor_growth = bench::descriptor_count() - descriptors_start;
        if (std::getenv("BENCH_SOAK_HOLDINGS") != nullptr) {
            const auto now = holdings();
            std::vector<std::string> added;
            std::set_difference(now.begin(), now.end(), held.begin(), held.end(), std::back_inserter(added));
            for (const auto& name : added)
                std::fprintf(stderr, "added: %s\n", name.c_str());
        }
        state.counters["released_at_end"] = released_at_end ? 1 : 0;
        const auto asked = Clock::now();
        const bool opened = program->open();
        const double open_ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
        state.counters["pss_start_mb"] = pss_start;
        state.counters["pss_end_mb"] = pss_end;
        state.counters["pss_growth_mb"] = pss_end - pss_start;
        state.counters["anon_growth_mb"] = anon_end - anon_start;
        state.counters["thread_growth"] = thread_growth;
        state.counters["descriptor_growth"] = descriptor_growth;
        state.counters["open_after_ms"] = opened ? open_ms : -1;
        state.counters["open_during_max_ms"] = opening.empty() ? -1 : *std::max_element(opening.begin(), opening.end());
        state.counters["messages"] = MESSAGES;
    }
}
BENCHMARK(Soak)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    init_gui_thread();
    engine::initialize();
    bench::Program running(bench::Program::Provider::OwnProcess);
    program = &running;
    if (!running.page_shown()) {
        std::fprintf(stderr, "The notifications page did not come up\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    program = nullptr;
    return 0;
}
