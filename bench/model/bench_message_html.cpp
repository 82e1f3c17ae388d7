// Body-to-HTML of a typical message, against the same conversion over std::regex.

#include <benchmark/benchmark.h>

#include <regex>
#include <string>

#include "message_bench_ratio.h"
#include "model/message.h"

namespace {

// About 300 characters with two links, the shape of the provider's notices.
agent::Message typical() {
    agent::Message message;
    message.body =
        L"Уважаемый клиент! В ваш адрес поступил [счёт на оплату № 1842 от 07.12.2026](https://edo.varnel.example/"
        L"docs/5f0c1842?from=notice&lang=ru). Документ подписан квалифицированной электронной подписью "
        L"отправителя и ожидает вашего решения. Инструкция по работе с входящими документами: "
        L"[справочный центр](https://help.varnel.example/edo/incoming). С уважением, служба поддержки.";
    return message;
}

void BM_ToHtml(benchmark::State& state) {
    const agent::Message message = typical();
    const bool truncate = state.range(0) != 0;
    for (auto _ : state) {
        std::wstring html = message.to_html(truncate);
        benchmark::DoNotOptimize(html.data());
    }
    state.SetLabel(truncate ? "truncated" : "whole");
}

// The pattern run by std::regex, compiled once per call as the conversion was first
// described, or once for all calls.
std::wstring regex_html(const std::wstring& body, const std::wregex& pattern) {
    std::wstring out;
    out.reserve(body.size());
    auto position = body.cbegin();
    for (std::wsregex_iterator it(body.begin(), body.end(), pattern), end; it != end; ++it) {
        const std::wsmatch& m = *it;
        out.append(position, m[0].first);
        out += L"<a href=\"" + m[3].str() + L"\">" + (m[1].matched ? m[2].str() : m[3].str()) + L"</a>";
        position = m[0].second;
    }
    out.append(position, body.cend());
    return out;
}

void BM_RegexCompiledPerCall(benchmark::State& state) {
    const agent::Message message = typical();
    for (auto _ : state) {
        const std::wregex pattern(std::wstring(agent::details::MESSAGE_LINK_PATTERN),
                                  std::regex::ECMAScript | std::regex::icase);
        std::wstring html = regex_html(message.body, pattern);
        benchmark::DoNotOptimize(html.data());
    }
}

void BM_RegexCompiledOnce(benchmark::State& state) {
    const agent::Message message = typical();
    const std::wregex pattern(std::wstring(agent::details::MESSAGE_LINK_PATTERN),
                              std::regex::ECMAScript | std::regex::icase);
    for (auto _ : state) {
        std::wstring html = regex_html(message.body, pattern);
        benchmark::DoNotOptimize(html.data());
    }
}

BENCHMARK(BM_ToHtml)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Repetitions(3);
BENCHMARK(BM_RegexCompiledOnce)->Unit(benchmark::kMicrosecond)->Repetitions(3);
BENCHMARK(BM_RegexCompiledPerCall)->Unit(benchmark::kMicrosecond)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    agent::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratio("to_html whole / std::regex compiled once", "BM_ToHtml/0", "BM_RegexCompiledOnce");
    reporter.print_ratio("std::regex compiled per call / compiled once", "BM_RegexCompiledPerCall",
                         "BM_RegexCompiledOnce");
    benchmark::Shutdown();
    return 0;
}
