// The sign-in page in the real program against the stand-in provider on loopback:
// - from pressing "Войти" (password) to the notifications page loaded and shown;
// - the listing of 20 certificates, from the page asking to the rows in its document.
// Run under a display and a session bus: dbus-run-session -- xvfb-run -a <this program>.
// Reports p50 and p99 in milliseconds.
#include <benchmark/benchmark.h>

#include <webkit2/webkit2.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "certgen/certgen.h"
#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "gui/shell/main_window.h"
#include "sandbox_server.h"

namespace {

using namespace varnelagent;
using Clock = std::chrono::steady_clock;

constexpr int CERTIFICATES = 20;

void report_percentiles(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    state.counters["p50_ms"] = at(0.50);
    state.counters["p99_ms"] = at(0.99);
}

struct Program {
    std::filesystem::path home;
    std::unique_ptr<sandbox::Server> server;
    std::unique_ptr<WindowImpl> shell;

    Program() {
        char pattern[] = "/tmp/varnel-sign-in-XXXXXX";
        home = ::mkdtemp(pattern);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
        std::filesystem::create_directories(home / "run");
        server = std::make_unique<sandbox::Server>();
        server->start();
        const std::filesystem::path data = home / ".config" / "varnel-agent";
        std::filesystem::create_directories(data);
        std::ofstream(data / "config") << "client = 0a1b2c3d-0000-4000-8000-00000000abcd\nuri = " << server->api_url()
                                       << "\nauth_uri = " << server->auth_url()
                                       << "\nproxy_mode = NoProxy\nlast_email = demo@varnel.example\n";
        // Certificates without a PIN: the listing, not the user, is measured.
        const agent::certgen::Authority authority;
        const auto key = agent::certgen::generate_rsa_key();
        for (int i = 0; i < CERTIFICATES; ++i) {
            auto options = agent::certgen::UserOptions::for_kind(
                i % 2 == 0 ? agent::certgen::SubjectKind::Person : agent::certgen::SubjectKind::Organization,
                static_cast<unsigned>(i));
            options.reuse_key = key.get();
            agent::certgen::issue(authority, options)
                .write_pem(home / ".local/share/varnel-agent/certificates" / ("user-" + std::to_string(i) + ".pem"));
        }
        shell = std::make_unique<WindowImpl>(agent::details::utf8_to_wide(data.string() + "/"));
        shell->on_create();
        if (!wait_listed())
            throw std::runtime_error("the sign-in page did not come up");
    }

    ~Program() {
        shell.reset();
        server.reset();
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }

    engine::HostWindow& window() { return shell->window(); }

    // Runs a script in the page and waits for its value (as text: JSON.stringify of it).
    std::string run(const std::string& script) {
        struct Slot {
            bool done = false;
            std::string text;
        } slot;
        const std::string wrapped = "JSON.stringify((() => { " + script + " })() ?? null)";
        webkit_web_view_evaluate_javascript(
            window().web_view(), wrapped.c_str(), -1, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* slot = static_cast<Slot*>(data);
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
                if (value != nullptr) {
                    char* text = jsc_value_to_string(value);
                    slot->text = text;
                    g_free(text);
                    g_object_unref(value);
                }
                slot->done = true;
            },
            &slot);
        engine::run_nested_until([&] { return slot.done; }, std::chrono::seconds(10));
        return slot.text;
    }

    bool page_is(int kind) {
        auto* page = shell->current_page();
        return page && page->kind() == kind && page->host_window()->loaded() && window().visible();
    }

    // The sign-in page is up and has listed its certificates.
    bool wait_listed() {
        if (!engine::run_nested_until([&] { return page_is(AUTH_PAGE); }, std::chrono::seconds(30)))
            return false;
        return engine::run_nested_until(
            [&] {
                return run("return document.body.dataset.ready === 'true' && "
                           "!document.body.classList.contains('disabled');") == "true";
            },
            std::chrono::seconds(30));
    }
};

Program* program = nullptr;

void PasswordSignInToNotifications(benchmark::State& state) {
    std::vector<double> samples;
    for (auto _ : state) {
        program->run("auth.show_tab('login', false); document.getElementById('Password').value = 'demo';");
        const auto start = Clock::now();
        program->shell->current_page()->call_script("auth.sign_in");
        engine::run_nested_until([] { return program->page_is(NOTIFICATIONS_PAGE); }, std::chrono::seconds(30));
        const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        samples.push_back(elapsed);
        state.SetIterationTime(elapsed / 1e3);
        // Signed out again for the next round (not measured).
        state.PauseTiming();
        program->shell->on_command(ID_CHANGE_USER);
        program->wait_listed();
        state.ResumeTiming();
    }
    report_percentiles(state, std::move(samples));
}
BENCHMARK(PasswordSignInToNotifications)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);

// The page asks for the list and the script has the rows in its document: measured by the
// page's own clock, so the benchmark's polling adds nothing.
void ListingTwentyCertificates(benchmark::State& state) {
    program->run(R"(
        window.auth_bench = { started: 0, took: -1 };
        const listed = auth.listed.bind(auth);
        auth.listed = (records) => { listed(records); auth_bench.took = performance.now() - auth_bench.started; };
    )");
    std::vector<double> samples;
    for (auto _ : state) {
        program->run("auth_bench.took = -1; auth_bench.started = performance.now(); auth.load_certificates(null);");
        double took = -1;
        engine::run_nested_until(
            [&] {
                took = std::stod(program->run("return auth_bench.took;"));
                return took >= 0;
            },
            std::chrono::seconds(30));
        samples.push_back(took);
        state.SetIterationTime(took / 1e3);
        state.counters["rows"] = std::stod(program->run("return document.querySelectorAll('.cert').length;"));
    }
    report_percentiles(state, std::move(samples));
}
BENCHMARK(ListingTwentyCertificates)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    init_gui_thread();
    engine::initialize();
    benchmark::Initialize(&argc, argv);
    Program running;
    program = &running;
    benchmark::RunSpecifiedBenchmarks();
    program = nullptr;
    return 0;
}
