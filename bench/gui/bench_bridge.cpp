// The script bridge under load in a real WebKit: a view call's round trip (script ->
// native -> Promise resolved) and a native call of a script function with 30 records.
// Run under a display (xvfb-run -a); reports p50 and p99 in microseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "gui/engine/host_window.h"
#include "gui/shell_messages.h"

extern "C" void bench_pages_register_resource(void);

namespace {

using Clock = std::chrono::steady_clock;
using varnelagent::engine::HostWindow;

HostWindow* window = nullptr;
std::vector<Clock::time_point> arrivals;

double micros(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

void report_percentiles(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

// One iteration is one round trip. The page makes its calls back to back, so the gap
// between two arrivals at the native side is exactly one full round trip.
void ViewCallRoundTrip(benchmark::State& state) {
    constexpr int batch = 200;
    Json::Value argument(Json::objectValue);
    argument["id"] = "message-42";
    argument["read"] = true;
    Json::Value args(Json::arrayValue);
    args.append(batch);
    args.append(argument);
    std::vector<double> gaps;
    for (auto _ : state) {
        if (arrivals.size() < 2) {
            arrivals.clear();
            window->call_script("bench.run", args);
        }
        const double gap = micros(arrivals[arrivals.size() - 1] - arrivals[arrivals.size() - 2]);
        arrivals.pop_back();
        gaps.push_back(gap);
        state.SetIterationTime(gap / 1e6);
    }
    report_percentiles(state, std::move(gaps));
}
BENCHMARK(ViewCallRoundTrip)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The same round trip while a worker hands the GUI thread one small job after another, as
// a page's task or the message stream does when it delivers much at once.
void ViewCallRoundTripUnderHandOverFlood(benchmark::State& state) {
    std::atomic<bool> stop{false};
    std::atomic<long> hand_overs{0};
    std::thread flood([&] {
        while (!stop) {
            varnelagent::execute_on_gui_thread([] {});
            ++hand_overs;
        }
    });
    ViewCallRoundTrip(state);
    stop = true;
    // The last hand-over needs the loop once more.
    varnelagent::engine::run_nested_until([&] { return false; }, std::chrono::milliseconds(50));
    flood.join();
    state.counters["hand_overs"] = static_cast<double>(hand_overs.load());
}
BENCHMARK(ViewCallRoundTripUnderHandOverFlood)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void NativeCallWith30Records(benchmark::State& state) {
    Json::Value list(Json::arrayValue);
    for (int i = 0; i < 30; ++i) {
        Json::Value message;
        message["id"] = "0b6f2c1e-" + std::to_string(1000 + i);
        message["title"] = "Новое требование о представлении пояснений № " + std::to_string(i);
        message["description"] = "<p>Налоговая инспекция направила <b>требование</b>; срок ответа — 5 дней.</p>";
        message["receiver"] = "ООО «Ромашка», ИНН 7701234567";
        message["date"] = "7 декабря";
        message["time"] = "21:40";
        message["href"] = "https://service.varnel.example/messages/" + std::to_string(i);
        message["icon"] = "res:icon-default.png";
        message["new"] = i % 2 == 0;
        list.append(message);
    }
    Json::Value args(Json::arrayValue);
    args.append(list);
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        const Json::Value result = window->call_script("bench.take", args);
        const double took = micros(Clock::now() - start);
        if (result.asInt() != 30)
            state.SkipWithError("the script did not see 30 records");
        samples.push_back(took);
        state.SetIterationTime(took / 1e6);
    }
    report_percentiles(state, std::move(samples));
}
BENCHMARK(NativeCallWith30Records)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    varnelagent::init_gui_thread();
    bench_pages_register_resource();
    auto host = std::make_unique<HostWindow>(400, 300);
    host->set_script_handler([](const std::string& name, const Json::Value& args) -> std::optional<Json::Value> {
        if (name != "echo")
            return std::nullopt;
        arrivals.push_back(Clock::now());
        return args[0];
    });
    host->load("res:bench.html");
    if (!host->wait_loaded()) {
        std::fprintf(stderr, "bench-gui-bridge: the bench page did not load\n");
        return 1;
    }
    window = host.get();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    window = nullptr;
    return 0;
}
