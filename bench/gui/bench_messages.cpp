// How fast messages reach the person, in the real program against the stand-in provider on
// loopback: a push on the provider until the popup's popups.add_messages has finished in
// its document (the record shown, the window placed at the corner), with the popup
// already open and with it closed before each push (the batch then opens a new popup);
// and a batch of 30 older messages from the list asking for it until its rows are in the
// list. Reports p50 and p99 in microseconds. Run under a display and a session bus:
// dbus-run-session -- xvfb-run -a build/bench/gui/bench-messages
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

#include <webkit2/webkit2.h>

#include <json/value.h>
#include <json/writer.h>

#include "details/configuration.h"
#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "gui/pages/message_popup.h"
#include "gui/shell/main_window.h"
#include "model/agent_client.h"
#include "sandbox_server.h"

namespace {

using namespace varnelagent;
using Clock = std::chrono::steady_clock;

constexpr int PUSHES = 200;
constexpr int BATCHES_PER_PAGE = 10;

double micros(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

void report_percentiles(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = samples.back();
}

// A property of the document, read from outside it (the page policy allows no eval inside).
std::string document_value(engine::HostWindow& window, const std::string& expression) {
    struct Slot {
        bool done = false;
        std::string text;
    };
    auto slot = std::make_shared<Slot>();
    webkit_web_view_evaluate_javascript(
        window.web_view(), ("String(" + expression + ")").c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<Slot>> holder(static_cast<std::shared_ptr<Slot>*>(data));
            if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr)) {
                char* text = jsc_value_to_string(value);
                (*holder)->text = text;
                g_free(text);
                g_object_unref(value);
            }
            (*holder)->done = true;
        },
        new std::shared_ptr<Slot>(slot));
    engine::run_nested_until([&] { return slot->done; }, std::chrono::seconds(10));
    return slot->text;
}

bool settle_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return engine::run_nested_until(predicate, timeout);
}

// The demo user with enough old messages for many full batches of 30.
std::filesystem::path write_seed(const std::filesystem::path& folder) {
    Json::Value seed(Json::objectValue);
    Json::Value user(Json::objectValue);
    user["login"] = sandbox::Server::DEMO_LOGIN;
    user["password"] = sandbox::Server::DEMO_PASSWORD;
    user["name"] = "Анна";
    user["middlename"] = "Сергеевна";
    user["lastname"] = "Петрова";
    seed["users"].append(user);
    seed["channels"] = Json::Value(Json::arrayValue);
    seed["links"] = Json::Value(Json::arrayValue);
    const int count = 30 * (BATCHES_PER_PAGE + 1) + 5;
    for (int i = 0; i < count; ++i) {
        Json::Value message(Json::objectValue);
        message["user"] = sandbox::Server::DEMO_LOGIN;
        message["channel"] = "fns.requirements";
        message["organization"] = "ИФНС России № 46 по г. Москве";
        message["subject"] = "Требование о представлении пояснений № " + std::to_string(i);
        message["body"] = "Поступило требование о представлении пояснений к декларации по НДС за 3 квартал. "
                          "[Открыть требование]({base}/account?doc=" + std::to_string(i) + ")";
        message["link"] = "{base}/account?message=" + std::to_string(i);
        message["icon"] = "";
        // Two a day, going back from the end of 2026.
        const int day = 28 - (i / 2) % 28;
        const int month = 12 - (i / 56) % 12;
        char created[32];
        std::snprintf(created, sizeof created, "2026-%02d-%02dT%02d:00:00Z", month, day, 8 + i % 2 * 6);
        message["created"] = created;
        message["read"] = i % 3 != 0;
        message["priority"] = 0;
        seed["messages"].append(message);
    }
    const std::filesystem::path file = folder / "seed.json";
    std::ofstream(file) << Json::StyledWriter().write(seed);
    return file;
}

struct Program {
    std::filesystem::path home;
    std::unique_ptr<sandbox::Server> server;
    std::unique_ptr<WindowImpl> shell;

    Program() {
        char pattern[] = "/tmp/varnel-bench-messages-XXXXXX";
        home = ::mkdtemp(pattern);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
        std::filesystem::create_directories(home / "run");
        sandbox::Options options;
        options.seed_file = write_seed(home);
        server = std::make_unique<sandbox::Server>(options);
        server->start();
        const std::filesystem::path data = home / ".config" / "varnel-agent";
        std::filesystem::create_directories(data);
        std::ofstream(data / "config") << "client = 0a1b2c3d-0000-4000-8000-00000000abcd\nuri = " << server->api_url()
                                       << "\nauth_uri = " << server->auth_url() << "\nproxy_mode = 0\n";
        const std::wstring directory = agent::details::utf8_to_wide(data.string() + "/");
        agent::AgentClient::create(agent::ConfigurationKeyValue::load(directory))
            ->authenticate(agent::details::utf8_to_wide(sandbox::Server::DEMO_LOGIN),
                           agent::details::utf8_to_wide(sandbox::Server::DEMO_PASSWORD), true);
        shell = std::make_unique<WindowImpl>(directory);
        shell->on_create();
        settle_until([this] { return server->open_streams() == 1 && list_ready(); });
    }

    ~Program() {
        shell.reset();
        server.reset();
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }

    bool list_ready() {
        auto* page = shell->current_page();
        return page && page->kind() == NOTIFICATIONS_PAGE && page->host_window()->loaded() && shell->window().visible();
    }

    pages::MessagePopup* popup() {
        auto* dialog = dynamic_cast<pages::MessagePopup*>(shell->current_dialog());
        return dialog != nullptr && dialog->alive() ? dialog : nullptr;
    }

    // Pushes from a thread of its own, as the provider would, while the GUI thread runs: the
    // message event written to the open stream as it is (the stand-in's push_message would
    // first save its whole state to disk, which is the stand-in's cost, not the agent's).
    void push(int number) {
        Json::Value message(Json::objectValue);
        message["id"] = "bench-" + std::to_string(number) + "-" + std::to_string(++serial);
        message["subject"] = "Требование о представлении пояснений № " + std::to_string(number);
        message["organization"] = "ИФНС России № 46 по г. Москве";
        message["body"] = "Поступило требование о представлении пояснений к декларации по НДС за 3 квартал. "
                          "[Открыть требование](" + server->base_url() + "/account?doc=1)";
        message["link"] = server->base_url() + "/account?message=" + std::to_string(number);
        message["created"] = "2026-12-07T09:05:07Z";
        const std::string event = "event: message\ndata: " + Json::FastWriter().write(message) + "\n";
        auto pushed = std::async(std::launch::async, [this, event] { server->push_raw({event}); });
        pending.push_back(std::move(pushed));
    }

    int serial = 0;

    std::vector<std::future<void>> pending;
};

Program* program = nullptr;

// Push until the popup's document has taken the message in, `closed` choosing whether the
// popup is closed before each push (the batch then makes a new one).
void measure_pushes(benchmark::State& state, bool closed) {
    program->shell->window().hide();
    settle_until([] { return !program->shell->window().visible(); });
    std::vector<double> samples;
    int number = 0;
    for (auto _ : state) {
        pages::MessagePopup* popup = program->popup();
        if (closed && popup != nullptr) {
            post_close(popup->handle());
            settle_until([] { return program->popup() == nullptr; });
            popup = nullptr;
        }
        const std::size_t held = popup != nullptr ? popup->held() : 0;
        const auto start = Clock::now();
        program->push(++number);
        const bool seen = settle_until([&] {
            auto* now = program->popup();
            return now != nullptr && now->held() == held + 1;
        });
        const double took = micros(Clock::now() - start);
        if (!seen) {
            state.SkipWithError("the popup did not show the message");
            break;
        }
        samples.push_back(took);
        state.SetIterationTime(took / 1e6);
    }
    for (auto& pushed : program->pending)
        pushed.get();
    program->pending.clear();
    report_percentiles(state, std::move(samples));
}

void PushToPopupOpen(benchmark::State& state) {
    // The popup is up before the first measured push.
    program->shell->window().hide();
    settle_until([] { return !program->shell->window().visible(); });
    program->push(0);
    settle_until([] { return program->popup() != nullptr && program->popup()->held() > 0; });
    measure_pushes(state, false);
}
BENCHMARK(PushToPopupOpen)->UseManualTime()->Iterations(PUSHES)->Unit(benchmark::kMillisecond);

void PushToPopupClosed(benchmark::State& state) {
    measure_pushes(state, true);
}
BENCHMARK(PushToPopupClosed)->UseManualTime()->Iterations(PUSHES)->Unit(benchmark::kMillisecond);

// "Показать еще": the document's own load (view.get_messages, the task, the request, the
// records, items() and end()), whose Promise settles once the rows are in the list.
void BatchOf30ToRows(benchmark::State& state) {
    std::vector<double> samples;
    int loaded_on_page = BATCHES_PER_PAGE;
    for (auto _ : state) {
        if (loaded_on_page == BATCHES_PER_PAGE) {
            // A fresh list (its first batch already in) so every measured batch is a full 30.
            if (auto* popup = program->popup())
                post_close(popup->handle());
            const pages::BasePage* old = program->shell->current_page();
            post_show_page(program->shell->handle(), NOTIFICATIONS_PAGE);
            settle_until([old] {
                auto* page = program->shell->current_page();
                return page && page != old && page->host_window()->loaded() &&
                       document_value(*page->host_window(), "document.body.dataset.ready") == "true";
            });
            loaded_on_page = 0;
        }
        const auto start = Clock::now();
        const Json::Value result = program->shell->current_page()->call_script("notifications.load");
        const double took = micros(Clock::now() - start);
        ++loaded_on_page;
        if (!result["success"].asBool()) {
            state.SkipWithError("the batch did not load");
            break;
        }
        samples.push_back(took);
        state.SetIterationTime(took / 1e6);
        state.counters["rows"] = result["rows"].asDouble();
    }
    report_percentiles(state, std::move(samples));
}
BENCHMARK(BatchOf30ToRows)->UseManualTime()->Iterations(PUSHES)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    init_gui_thread();
    benchmark::Initialize(&argc, argv);
    program = new Program();
    if (!program->list_ready()) {
        std::fprintf(stderr, "bench-messages: the list did not come up\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete program;
    program = nullptr;
    return 0;
}
