// The message archive with 10 000 messages in a real file: the list's first rows, older
// batches, a search as the user types it (one query per key), and what the archive costs on
// disk and in memory.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "details/logger.h"
#include "model/message_archive.h"

namespace {

using agent::Message;
using agent::MessageArchive;
namespace fs = std::filesystem;

constexpr int MESSAGES = 10000;

const wchar_t* const WORDS[] = {L"требование", L"пояснений", L"декларации", L"квитанция", L"протокол",
                                L"выписка",    L"счёт",      L"лицензии",   L"отчёт",     L"сверка"};

Message make(int n) {
    Message message;
    message.id = L"m" + std::to_wstring(n);
    message.subject = std::wstring(WORDS[n % 10]) + L" № " + std::to_wstring(n);
    message.body = L"Поступило " + std::wstring(WORDS[(n / 10) % 10]) + L" к " + WORDS[(n / 100) % 10] +
                   L" по НДС за " + std::to_wstring(n % 4 + 1) + L" квартал. Ответ нужно направить в течение 5 "
                   L"рабочих дней. [Открыть](https://example.com/account?doc=" + std::to_wstring(n) + L")";
    message.organization = n % 3 == 0 ? L"ИФНС России № 46 по г. Москве" : n % 3 == 1 ? L"Банк «Северный»" : L"ОСФР";
    message.read = n % 7 != 0;
    message.created = {agent::DateTime::Local, static_cast<std::uint16_t>(2025 + n / 8000),
                       static_cast<std::uint8_t>(1 + n / 700 % 12), static_cast<std::uint8_t>(1 + n % 28),
                       static_cast<std::uint8_t>(n % 24), static_cast<std::uint8_t>(n % 60), 0, 0};
    return message;
}

struct Archive {
    fs::path folder = fs::temp_directory_path() / ("bench-archive-" + std::to_string(::getpid()));
    std::wstring file;
    std::shared_ptr<MessageArchive> archive;

    Archive() {
        fs::create_directories(folder);
        file = MessageArchive::file_for(folder.wstring(), L"https://agent.example/api");
        MessageArchive::remove_file(file);
        auto writer = MessageArchive::open(file, L"user");
        std::vector<Message> batch;
        for (int n = 0; n < MESSAGES; ++n) {
            batch.push_back(make(n));
            if (batch.size() == 500) {
                writer->add(batch);
                batch.clear();
            }
        }
        writer.reset();
        archive = MessageArchive::open(file, L"user");
    }
    ~Archive() { fs::remove_all(folder); }
};

Archive& shared() {
    static Archive archive;
    return archive;
}

double percentile(std::vector<double> samples, double share) {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[std::min(samples.size() - 1, static_cast<std::size_t>(share * (samples.size() - 1) + 0.5))];
}

template <typename Work>
void timed(benchmark::State& state, Work&& work) {
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        samples.push_back(took);
        state.SetIterationTime(took / 1000);
    }
    state.counters["p50_ms"] = percentile(samples, 0.5);
    state.counters["p99_ms"] = percentile(samples, 0.99);
}

void Newest30(benchmark::State& state) {
    auto& archive = *shared().archive;
    timed(state, [&] { benchmark::DoNotOptimize(archive.newest(30)); });
}
BENCHMARK(Newest30)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The list opened where it was left, 300 rows down.
void Newest300(benchmark::State& state) {
    auto& archive = *shared().archive;
    timed(state, [&] { benchmark::DoNotOptimize(archive.newest(300)); });
}
BENCHMARK(Newest300)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

void Older30(benchmark::State& state) {
    auto& archive = *shared().archive;
    int n = MESSAGES - 1;
    timed(state, [&] {
        benchmark::DoNotOptimize(archive.older_than(L"m" + std::to_wstring(n), 30));
        n = n > 100 ? n - 37 : MESSAGES - 1;
    });
}
BENCHMARK(Older30)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// Each key typed is one search of what the field holds then (up to 200 results shown).
void SearchAsTyped(benchmark::State& state) {
    auto& archive = *shared().archive;
    const std::vector<std::wstring> typed = {L"т", L"тр", L"тре", L"треб", L"требо", L"требование", L"требование п",
                                             L"требование по", L"требование пояс", L"ифнс кв", L"счет",
                                             L"северн выписка", L"2025", L"несуществующее"};
    std::size_t i = 0;
    timed(state, [&] {
        benchmark::DoNotOptimize(archive.search(typed[i], 200));
        i = (i + 1) % typed.size();
    });
}
BENCHMARK(SearchAsTyped)->UseManualTime()->Iterations(1400)->Unit(benchmark::kMicrosecond);

long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// The archive's size on disk, and what an archive opened and used adds to the process.
void Footprint(benchmark::State& state) {
    for (auto _ : state) {
        auto& made = shared();
        made.archive.reset();
        ::malloc_trim(0);
        const long before = resident_kb();
        auto archive = MessageArchive::open(made.file, L"user");
        benchmark::DoNotOptimize(archive->newest(300));
        for (const wchar_t* word : WORDS)
            benchmark::DoNotOptimize(archive->search(word, 200));
        const long after = resident_kb();
        std::uintmax_t bytes = 0;
        for (const char* suffix : {"", "-wal"}) {
            std::error_code ignored;
            const auto size = fs::file_size(fs::path(made.file).string() + suffix, ignored);
            bytes += ignored ? 0 : size;
        }
        state.counters["file_mb"] = static_cast<double>(bytes) / (1024 * 1024);
        state.counters["resident_growth_mb"] = static_cast<double>(after - before) / 1024;
        state.counters["messages"] = static_cast<double>(archive->size());
        made.archive = archive;
    }
}
BENCHMARK(Footprint)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
