// Live recognition of ten minutes of audio pushed in 20 ms buffers, as a capture callback
// would deliver them. For every window: the latency from pushing the buffer that holds the
// window's last sample to the listener receiving its update, and the part of that latency
// spent outside model predictions (conversion, windowing, result assembly, the hand-offs
// between threads). The producer waits for each window's update before pushing on, so the
// figures hold no queueing behind earlier windows. The models are the scripted fixture set,
// whose own cost says nothing about real ones.
//
// Reported in milliseconds per window, with the window count and the OpenMP wait policy.

#include <Tervane/ASR/Streaming/StreamingAsrManager.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/AudioFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <numeric>

namespace {

using namespace Tervane;
using Clock = std::chrono::steady_clock;

constexpr std::size_t bufferSamples = 320;  // 20 ms

std::int64_t modelNanoseconds(const std::vector<std::shared_ptr<Testing::ObservedModel>>& observed) {
    std::int64_t total = 0;
    for (const auto& model : observed) {
        total += model->predictionNanoseconds();
    }
    return total;
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

void BM_StreamingWindowLatency(benchmark::State& state) {
    const auto audioSeconds = static_cast<std::size_t>(state.range(0));
    const Testing::TemporaryDirectory directory("tervane-benchmark-streaming");
    Testing::writeAsrFixtureModels(directory.path());
    std::vector<std::shared_ptr<Testing::ObservedModel>> observed;
    const AsrModels models = Testing::observedAsrModels(loadAsrModels(directory.path()), &observed);

    // About four tokens a second, each with its own id.
    const std::size_t sampleCount = audioSeconds * 16000;
    std::vector<Testing::ScriptedToken> script;
    for (std::int64_t frame = 1; (frame + 3) * 1280 < static_cast<std::int64_t>(sampleCount); frame += 3) {
        script.push_back({frame, static_cast<int>(10 + frame % 990)});
    }
    const std::vector<float> audio = Testing::scriptedAudio(sampleCount, script);
    std::vector<std::shared_ptr<AVAudioPCMBuffer>> buffers;
    for (std::size_t at = 0; at < sampleCount; at += bufferSamples) {
        const std::size_t end = std::min(sampleCount, at + bufferSamples);
        buffers.push_back(Testing::makePCMBuffer({std::vector<float>(audio.begin() + static_cast<std::ptrdiff_t>(at),
                                                                     audio.begin() + static_cast<std::ptrdiff_t>(end))},
                                                 16000));
    }

    const StreamingAsrConfig config = StreamingAsrConfig::streaming();
    const std::int64_t chunk = config.chunkSamples();
    const std::int64_t right = config.rightContextSamples();
    std::vector<double> latencies;
    std::vector<double> nonModel;
    for (auto _ : state) {
        StreamingAsrManager manager(config);
        manager.start(models);
        auto updates = manager.transcriptionUpdates();
        std::int64_t nextWindowEnd = chunk + right;
        std::int64_t pushed = 0;
        for (const auto& buffer : buffers) {
            const auto start = Clock::now();
            const std::int64_t modelBefore = modelNanoseconds(observed);
            manager.streamAudio(buffer);
            pushed += buffer->frameLength();
            if (pushed < nextWindowEnd) {
                continue;
            }
            nextWindowEnd += chunk;
            if (!updates.next()) {
                state.SkipWithError("the update sequence ended early");
                return;
            }
            const double latency = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            latencies.push_back(latency);
            nonModel.push_back(latency - static_cast<double>(modelNanoseconds(observed) - modelBefore) * 1e-6);
        }
        benchmark::DoNotOptimize(manager.finish());
    }
    if (latencies.empty()) {
        state.SkipWithError("no window was recognised");
        return;
    }
    const auto mean = [](const std::vector<double>& values) {
        return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
    };
    state.counters["windows"] = static_cast<double>(latencies.size()) / static_cast<double>(state.iterations());
    state.counters["latencyMeanMs"] = mean(latencies);
    state.counters["latencyP50Ms"] = percentile(latencies, 0.5);
    state.counters["latencyP95Ms"] = percentile(latencies, 0.95);
    state.counters["latencyMaxMs"] = percentile(latencies, 1.0);
    state.counters["nonModelMeanMsPerWindow"] = mean(nonModel);
    state.counters["nonModelMaxMsPerWindow"] = percentile(nonModel, 1.0);
    const char* policy = std::getenv("OMP_WAIT_POLICY");
    state.SetLabel(std::string("OMP_WAIT_POLICY=") + (policy != nullptr ? policy : "unset"));
}
BENCHMARK(BM_StreamingWindowLatency)->Arg(600)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
