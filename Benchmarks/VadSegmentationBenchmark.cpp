// Time to cut one hour of per-block speech probabilities into segments (no model runs): speech
// runs of 1 to 30 s, the long ones forcing splits, with brief dips inside them and pauses of
// 0.25 to 3 s between them. The counters report the blocks and segments of one pass.

#include <Tervane/VAD/VadManager.hpp>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using namespace Tervane;

constexpr std::int64_t hourSamples = 3600 * VadManager::sampleRate;

std::vector<VadResult> hourOfResults() {
    const std::int64_t blocks = (hourSamples + VadManager::chunkSize - 1) / VadManager::chunkSize;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> speechBlocks(4, 117);   // 1 to 30 s
    std::uniform_int_distribution<int> pauseBlocks(1, 12);     // 0.25 to 3 s
    std::uniform_real_distribution<float> level(0.0F, 1.0F);
    std::vector<VadResult> results;
    results.reserve(static_cast<std::size_t>(blocks));
    while (static_cast<std::int64_t>(results.size()) < blocks) {
        for (int i = speechBlocks(random); i > 0; --i) {
            const float draw = level(random);
            // One block in ten dips below the negative threshold, some of them deeply.
            const float probability = draw < 0.05F ? 0.1F : draw < 0.1F ? 0.5F : 0.86F + 0.14F * draw;
            results.push_back({probability, probability >= 0.85F, 0, VadState{}});
        }
        for (int i = pauseBlocks(random); i > 0; --i) results.push_back({0.3F * level(random), false, 0, VadState{}});
    }
    results.resize(static_cast<std::size_t>(blocks));
    return results;
}

void BM_SegmentSpeechOneHour(benchmark::State& state) {
    const VadManager manager(VadConfig::defaultConfig(), nullptr);
    const std::vector<VadResult> results = hourOfResults();
    const VadSegmentationConfig config = VadSegmentationConfig::defaultConfig();
    std::size_t segments = 0;
    for (auto _ : state) {
        const auto found = manager.segmentSpeech(results, hourSamples, config);
        segments = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    state.counters["blocks"] = static_cast<double>(results.size());
    state.counters["segments"] = static_cast<double>(segments);
}
BENCHMARK(BM_SegmentSpeechOneHour)->Unit(benchmark::kMillisecond);

}  // namespace
