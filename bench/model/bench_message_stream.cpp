// Cutting and reading the message stream against jsoncpp parsing the same objects alone.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <json/json.h>

#include "message_bench_ratio.h"
#include "model/message_service.h"

namespace {

constexpr int EVENTS = 100'000;

struct Corpus {
    std::string stream;
    std::vector<std::string> objects;
    std::vector<std::size_t> reads;  // sizes of the reads the stream arrives in
};

const Corpus& corpus() {
    static const Corpus data = [] {
        Corpus c;
        std::mt19937 random(42);
        for (int i = 0; i < EVENTS; ++i) {
            const std::string id = "5f0c" + std::to_string(1000000 + i);
            std::string object = R"({"id":")" + id +
                                 R"(","channel":"edo","organization":"ООО «Ромашка»","subject":"Входящий документ №)" +
                                 std::to_string(i) +
                                 R"(","body":"Получен [счёт на оплату](https://edo.varnel.example/docs/)" + id +
                                 R"() от контрагента. Подробнее: https://help.varnel.example/edo","link":"https://edo.varnel.example/m/)" +
                                 id + R"(","icon":"https://api.varnel.example/icons/edo.png","read":false,"priority":)" +
                                 std::to_string(i % 3) + R"(,"created":"2026-12-07T09:05:07.)" + std::to_string(100 + i % 900) +
                                 R"(Z"})";
            c.stream += "event: message\ndata: " + object + "\n\n";
            if (i % 50 == 0)
                c.stream += "event: heartbeat\ndata: ping\n\n";
            c.objects.push_back(std::move(object));
        }
        for (std::size_t at = 0; at < c.stream.size();) {
            const std::size_t size = std::min<std::size_t>(1 + random() % 8192, c.stream.size() - at);
            c.reads.push_back(size);
            at += size;
        }
        return c;
    }();
    return data;
}

void BM_StreamCutAndRead(benchmark::State& state) {
    const Corpus& c = corpus();
    agent::details::MessageStreamParser parser;
    std::size_t delivered = 0;
    for (auto _ : state) {
        parser.restart();
        std::size_t at = 0;
        for (const std::size_t size : c.reads) {
            std::vector<agent::Message> batch = parser.feed(std::string_view(c.stream).substr(at, size));
            delivered += batch.size();
            benchmark::DoNotOptimize(batch.data());
            at += size;
        }
    }
    if (delivered != static_cast<std::size_t>(EVENTS) * state.iterations())
        state.SkipWithError("messages were lost");
    state.SetItemsProcessed(static_cast<std::int64_t>(EVENTS) * state.iterations());
}

void BM_JsonParseOnly(benchmark::State& state) {
    const Corpus& c = corpus();
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    for (auto _ : state) {
        for (const std::string& object : c.objects) {
            Json::Value value;
            std::string errors;
            reader->parse(object.data(), object.data() + object.size(), &value, &errors);
            benchmark::DoNotOptimize(value);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(EVENTS) * state.iterations());
}

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double at = fraction * static_cast<double>(values.size() - 1);
    const auto low = static_cast<std::size_t>(at);
    const std::size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

// The two workloads side by side: each iteration passes the corpus through the stream
// parser and through jsoncpp alone, which one goes first alternating, and takes the
// ratio of their CPU times; the figure is the median of those pairs, with its quartiles.
// Neighbours on a shared machine slow both halves of a pair alike.
void BM_StreamVersusJsonPaired(benchmark::State& state) {
    const Corpus& c = corpus();
    agent::details::MessageStreamParser parser;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    const auto stream_pass = [&] {
        const double start = thread_cpu_seconds();
        parser.restart();
        std::size_t at = 0;
        for (const std::size_t size : c.reads) {
            std::vector<agent::Message> batch = parser.feed(std::string_view(c.stream).substr(at, size));
            benchmark::DoNotOptimize(batch.data());
            at += size;
        }
        return thread_cpu_seconds() - start;
    };
    const auto json_pass = [&] {
        const double start = thread_cpu_seconds();
        for (const std::string& object : c.objects) {
            Json::Value value;
            std::string errors;
            reader->parse(object.data(), object.data() + object.size(), &value, &errors);
            benchmark::DoNotOptimize(value);
        }
        return thread_cpu_seconds() - start;
    };
    std::vector<double> ratios;
    bool stream_first = true;
    for (auto _ : state) {
        double stream = 0, json = 0;
        if (stream_first) {
            stream = stream_pass();
            json = json_pass();
        } else {
            json = json_pass();
            stream = stream_pass();
        }
        stream_first = !stream_first;
        ratios.push_back(stream / json);
    }
    state.counters["ratio"] = percentile(ratios, 0.5);
    state.counters["ratio_p25"] = percentile(ratios, 0.25);
    state.counters["ratio_p75"] = percentile(ratios, 0.75);
}

BENCHMARK(BM_StreamCutAndRead)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7);
BENCHMARK(BM_JsonParseOnly)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7);
BENCHMARK(BM_StreamVersusJsonPaired)->Unit(benchmark::kMillisecond)->Iterations(11);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    corpus();
    agent::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratio("stream cutting + reading / jsoncpp alone (target <= 1.3)", "BM_StreamCutAndRead",
                         "BM_JsonParseOnly");
    std::printf("the same in paired runs: the \"ratio\" counter of BM_StreamVersusJsonPaired (median, quartiles beside)\n");
    benchmark::Shutdown();
    return 0;
}
