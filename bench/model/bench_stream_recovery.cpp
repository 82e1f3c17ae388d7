// How long the agent goes without messages when its stream's connection goes dead without a
// word (black-holed: the stand-in provider stops sending and keeps the connection open):
// the time from the freeze until a message pushed right after it reaches the callback,
//  - with the silence limit the program ships with (one run, about a minute and a half),
//  - after a resume signal (reconnect_message_stream), p50/p99 over 30 runs.
// Run the resume case alone with --benchmark_filter=Resume.

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

// The provider's stream, the agent's service on it, and the callback's arrivals.
class Rig {
public:
    Rig() {
        server_.start();  // the provider's heartbeat interval of 15 s
        winhttp::ProxySettings direct;
        direct.mode = winhttp::NoProxy;
        client_ = winhttp::SimpleClient::create(L"", direct);
        service_ = std::make_unique<agent::MessageService>(client_, agent::details::utf8_to_wide(server_.api_url()));
        service_->set_session_id(agent::details::utf8_to_wide(server_.create_session()));
        service_->start_message_stream([this](std::vector<agent::Message>&& batch) {
            const auto now = Clock::now();
            const std::lock_guard lock(mutex_);
            for (const agent::Message& message : batch)
                arrivals_.emplace_back(message.id, now);
            arrived_.notify_all();
        });
        wait_for_stream(1);
    }
    ~Rig() { service_->stop_message_stream(); }

    agent::MessageService& service() { return *service_; }

    // Freezes the open stream, pushes a message, runs `after_freeze`, and returns the time
    // from the freeze to the message's arrival (negative when it did not come in time).
    template <class Then>
    double black_hole(Then after_freeze, std::chrono::seconds patience) {
        const std::size_t opened = server_.streams_opened();
        const auto frozen = Clock::now();
        server_.freeze_streams();
        sandbox::Message message;
        message.subject = "Требование";
        const std::wstring id = agent::details::utf8_to_wide(server_.push_message(message).id);
        after_freeze();
        std::unique_lock lock(mutex_);
        Clock::time_point at;
        const bool came = arrived_.wait_for(lock, patience, [&] {
            for (const auto& [arrived_id, time] : arrivals_)
                if (arrived_id == id) {
                    at = time;
                    return true;
                }
            return false;
        });
        lock.unlock();
        wait_for_stream(opened + 1);
        return came ? std::chrono::duration<double>(at - frozen).count() : -1;
    }

private:
    void wait_for_stream(std::size_t opened) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (server_.streams_opened() < opened && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    sandbox::Server server_;
    std::shared_ptr<winhttp::SimpleClient> client_;
    std::unique_ptr<agent::MessageService> service_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::pair<std::wstring, Clock::time_point>> arrivals_;
};

void BM_BlackHoleFoundByTheShippedLimit(benchmark::State& state) {
    Rig rig;
    for (auto _ : state) {
        const double seconds = rig.black_hole([] {}, std::chrono::seconds(180));
        if (seconds < 0) {
            state.SkipWithError("the message did not arrive within 180 s");
            break;
        }
        state.SetIterationTime(seconds);
        state.counters["dead_to_flowing_s"] = seconds;
    }
    state.counters["limit_s"] =
        std::chrono::duration<double>(agent::MessageService::SILENCE_LIMIT).count();
}

void BM_BlackHoleEndedByAResumeSignal(benchmark::State& state) {
    Rig rig;
    std::vector<double> times;
    for (auto _ : state) {
        const double seconds = rig.black_hole([&] { rig.service().reconnect_message_stream(); },
                                              std::chrono::seconds(30));
        if (seconds < 0) {
            state.SkipWithError("the message did not arrive within 30 s");
            break;
        }
        state.SetIterationTime(seconds);
        times.push_back(seconds * 1e3);
    }
    if (times.empty())
        return;
    std::sort(times.begin(), times.end());
    state.counters["p50_ms"] = times[times.size() / 2];
    state.counters["p99_ms"] = times[times.size() * 99 / 100];
    state.counters["max_ms"] = times.back();
}

BENCHMARK(BM_BlackHoleFoundByTheShippedLimit)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_BlackHoleEndedByAResumeSignal)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
