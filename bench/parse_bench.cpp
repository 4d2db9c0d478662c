// The per-reply work of the link: filtering the received bytes, cutting the
// fields and converting the numbers.
#include <benchmark/benchmark.h>

#include <string>

#include "link/protocol.h"
#include "link/status_reply.h"

namespace {

const std::string kReply = "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r";

void BM_BuildStatusText(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(gw::link::BuildStatusText(kReply));
}
BENCHMARK(BM_BuildStatusText);

void BM_SplitAndConvert(benchmark::State& state) {
    const std::string text = gw::link::BuildStatusText(kReply);
    for (auto _ : state) {
        const auto fields = gw::link::SplitStatusText(text);
        for (std::size_t i = 0; i + 1 < fields.size(); ++i) {
            benchmark::DoNotOptimize(gw::link::ParseNumber(fields[i]));
        }
    }
}
BENCHMARK(BM_SplitAndConvert);

void BM_ParseNumber(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(gw::link::ParseNumber(" 228,6\r"));
}
BENCHMARK(BM_ParseNumber);

}  // namespace
