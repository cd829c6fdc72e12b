// Time spent outside model predictions while recognising long audio: the decoding loop,
// chunk stitching, token timings and text, and the engine's own input preparation. Each
// model is wrapped so that the time inside its predictions is measured and subtracted; the
// models themselves are the scripted fixture set, whose cost says nothing about real ones.
//
// Reported per hour of audio ("nonModelSecondsPerHour"), with the prediction count and the
// OpenMP wait policy the run used.

#include <Tervane/ASR/AsrManager.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

namespace {

using namespace Tervane;

void BM_NonModelTimePerHourOfAudio(benchmark::State& state) {
    const double audioSeconds = static_cast<double>(state.range(0));
    const Testing::TemporaryDirectory directory("tervane-benchmark");
    Testing::writeAsrFixtureModels(directory.path());
    std::vector<std::shared_ptr<Testing::ObservedModel>> observed;
    const AsrModels models = Testing::observedAsrModels(loadAsrModels(directory.path()), &observed);

    // About four tokens a second, each with its own id, as in ordinary speech.
    const auto sampleCount = static_cast<std::size_t>(audioSeconds * 16000);
    std::vector<Testing::ScriptedToken> script;
    for (std::int64_t frame = 1; frame * 1280 + 1280 < static_cast<std::int64_t>(sampleCount) - 2560; frame += 3) {
        script.push_back({frame, static_cast<int>(10 + frame % 990)});
    }
    const std::vector<float> audio = Testing::scriptedAudio(sampleCount, script);

    AsrManager manager;
    manager.initialize(models);
    double nonModelSeconds = 0;
    std::int64_t predictions = 0;
    for (auto _ : state) {
        std::int64_t modelNanosecondsBefore = 0;
        std::int64_t predictionsBefore = 0;
        for (const auto& model : observed) {
            modelNanosecondsBefore += model->predictionNanoseconds();
            predictionsBefore += model->predictionCount();
        }
        const auto start = std::chrono::steady_clock::now();
        const ASRResult result = manager.transcribe(audio, AudioSource::system);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(result.text.data());

        std::int64_t modelNanoseconds = -modelNanosecondsBefore;
        std::int64_t callPredictions = -predictionsBefore;
        for (const auto& model : observed) {
            modelNanoseconds += model->predictionNanoseconds();
            callPredictions += model->predictionCount();
        }
        nonModelSeconds += elapsed - static_cast<double>(modelNanoseconds) * 1e-9;
        predictions += callPredictions;
        if (result.tokenTimings->size() != script.size()) {
            state.SkipWithError("the scripted tokens did not come back one for one");
            break;
        }
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["nonModelSecondsPerHour"] = nonModelSeconds / iterations * (3600.0 / audioSeconds);
    state.counters["predictionsPerCall"] = static_cast<double>(predictions) / iterations;
    const char* policy = std::getenv("OMP_WAIT_POLICY");
    state.SetLabel(std::string("OMP_WAIT_POLICY=") + (policy != nullptr ? policy : "unset"));
}
BENCHMARK(BM_NonModelTimePerHourOfAudio)->Arg(600)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
