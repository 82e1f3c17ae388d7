// Cost of a logging statement: one whose level is off must not build its message; one
// INFO line written through to disk is the price of a query line in the log.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "details/logger.h"
#include "details/strings.h"

namespace {

using namespace agent::details;

std::wstring make_url(int n) {
    return L"https://agent.varnel.example/api/v1/messages/top?count=" + std::to_wstring(n);
}

std::filesystem::path temporary_directory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varnel-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void BM_LevelOff(benchmark::State& state) {
    const auto directory = temporary_directory();
    install_logger(create_logger(utf8_to_wide(directory.string()), LEVEL_WARN));
    int n = 0;
    for (auto _ : state) {
        AGENT_INFO(L"agent::MessageService::get_messages") << "Query: " << make_url(++n);
        benchmark::DoNotOptimize(n);
    }
    install_logger(nullptr);
    std::filesystem::remove_all(directory);
}
BENCHMARK(BM_LevelOff);

void BM_NoLogger(benchmark::State& state) {
    install_logger(nullptr);
    int n = 0;
    for (auto _ : state) {
        AGENT_ERROR(L"agent::MessageService::get_messages") << "Query: " << make_url(++n);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_NoLogger);

// The message is built either way; the difference between the two is the cost of logging.
void BM_BuildMessageOnly(benchmark::State& state) {
    int n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(make_url(++n));
}
BENCHMARK(BM_BuildMessageOnly);

void BM_InfoLineWritten(benchmark::State& state) {
    const auto directory = temporary_directory();
    install_logger(create_logger(utf8_to_wide(directory.string()), LEVEL_INFO));
    int n = 0;
    for (auto _ : state)
        AGENT_INFO(L"agent::MessageService::get_messages") << "Query: " << make_url(++n);
    install_logger(nullptr);
    std::filesystem::remove_all(directory);
}
BENCHMARK(BM_InfoLineWritten)->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
