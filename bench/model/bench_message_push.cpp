// End to end on loopback: the stand-in provider pushes a message, the stream thread hands
// it to the callback. p50 and p99 over 1000 pushes.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "details/strings.h"
#include "model/message_service.h"
#include "sandbox_server.h"
#include "winhttp/simple_client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PUSHES = 1000;

void BM_PushToCallback(benchmark::State& state) {
    const bool raw = state.range(0) != 0;
    sandbox::Server server;
    server.start();
    winhttp::ProxySettings direct;
    direct.mode = winhttp::NoProxy;
    const auto client = winhttp::SimpleClient::create(L"", direct);
    agent::MessageService service(client, agent::details::utf8_to_wide(server.api_url()));
    service.set_session_id(agent::details::utf8_to_wide(server.create_session()));

    std::mutex mutex;
    std::condition_variable arrived;
    std::wstring last_id;
    Clock::time_point last_time;
    service.start_message_stream([&](std::vector<agent::Message>&& batch) {
        const auto now = Clock::now();
        const std::lock_guard lock(mutex);
        last_id = batch.back().id;
        last_time = now;
        arrived.notify_all();
    });
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (server.open_streams() == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<double> latencies;
    for (auto _ : state) {
        latencies.clear();
        for (int i = 0; i < PUSHES && !state.error_occurred(); ++i) {
            const std::string id = "bench-" + std::to_string(i);
            const std::wstring wide_id = agent::details::utf8_to_wide(id);
            const auto start = Clock::now();
            if (raw) {
                server.push_raw({"event: message\ndata: {\"id\": \"" + id +
                                 "\", \"subject\": \"Счёт\", \"created\": \"2026-12-07T09:05:07Z\"}\n\n"});
            } else {
                sandbox::Message message;
                message.id = id;
                message.subject = "Входящий документ";
                message.body = "Получен [счёт](https://edo.varnel.example/d/" + id + ")";
                server.push_message(message);
            }
            std::unique_lock lock(mutex);
            if (!arrived.wait_for(lock, std::chrono::seconds(5), [&] { return last_id == wide_id; })) {
                state.SkipWithError("a pushed message did not arrive");
                break;
            }
            latencies.push_back(std::chrono::duration<double, std::micro>(last_time - start).count());
        }
    }
    service.stop_message_stream();
    if (latencies.empty())
        return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["p50_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
    state.counters["max_us"] = latencies.back();
    state.SetLabel(raw ? "raw event" : "push_message");
}

BENCHMARK(BM_PushToCallback)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
