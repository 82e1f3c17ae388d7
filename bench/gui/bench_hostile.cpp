// What a broken or hostile server costs the program: an icon answer of 50 MB (what the
// process keeps of it), and a message whose body is a megabyte of query strings on its way
// to the desktop's notices (how long the window takes to answer a script call meanwhile).
// Run under a display and a session bus: dbus-run-session -- xvfb-run -a <this program>.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "agent_process.h"
#include "details/configuration.h"
#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "model/agent_client.h"
#include "model/uri_service.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bench::Program* program = nullptr;

// The anonymous memory this process holds, in megabytes.
double anonymous_mb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("RssAnon:", 0) == 0)
            return std::stod(line.substr(8)) / 1024.0;
    return 0;
}

void HugeIconAnswer(benchmark::State& state) {
    std::vector<double> growth;
    std::size_t kept = 0;
    int round = 0;
    for (auto _ : state) {
        const std::string path = "/static/icons/huge-" + std::to_string(round++) + ".png";
        sandbox::Fault huge;
        huge.path = path;
        huge.status = 200;
        huge.body = "\x89PNG\r\n\x1A\n";
        huge.content_type = "image/png";
        huge.body_bytes = std::uint64_t{50} << 20;
        huge.chunked = true;
        program->server->add_fault(huge);
        ::malloc_trim(0);
        const double before = anonymous_mb();
        const std::vector<std::uint8_t> bytes = program->shell->client().uri_service().get_icon(
            agent::details::utf8_to_wide(program->base_url + path));
        kept += bytes.size();
        ::malloc_trim(0);
        growth.push_back(anonymous_mb() - before);
    }
    state.counters["growth_max_mb"] = growth.empty() ? 0 : *std::max_element(growth.begin(), growth.end());
    state.counters["bytes_kept"] = static_cast<double>(kept);
}

void MegabyteBodyToTheDesktopNotices(benchmark::State& state) {
    program->shell->client().configuration()->desktop_notifications = true;
    std::string body = "https://example.org/?";
    const char* size = std::getenv("BENCH_BODY_BYTES");
    const std::size_t bytes = size != nullptr ? std::stoul(size) : (1u << 20);
    while (body.size() < bytes)
        body += "a&b";
    std::vector<double> answers;
    for (auto _ : state) {
        if (!program->open() || !program->hide())
            state.SkipWithError("the window did not open and hide");
        sandbox::Message message;
        message.subject = "Огромное сообщение";
        message.organization = "ФНС России";
        message.body = body;
        program->server->push_message(message);
        // The window is asked something every 20 ms while the batch is handled.
        const auto until = Clock::now() + 3s;
        while (Clock::now() < until) {
            const auto asked = Clock::now();
            program->shell->window().call_script("String", Json::Value("ping"), 10s);
            answers.push_back(std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
            bench::Program::settle(20ms);
        }
        program->close_popup();
    }
    std::sort(answers.begin(), answers.end());
    state.counters["answer_p50_ms"] = answers.empty() ? 0 : answers[answers.size() / 2];
    state.counters["answer_max_ms"] = answers.empty() ? 0 : answers.back();
}

BENCHMARK(HugeIconAnswer)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(MegabyteBodyToTheDesktopNotices)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    varnelagent::init_gui_thread();
    varnelagent::engine::initialize();
    benchmark::Initialize(&argc, argv);
    bench::Program agent;
    program = &agent;
    if (!agent.page_shown())
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
