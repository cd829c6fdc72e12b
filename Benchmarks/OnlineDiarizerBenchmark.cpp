// The online diarizer's own cost, outside the models:
// - per hour of audio: chunking, binarisation, masks, waveform and mask repetition, the
//   speaker database and segment assembly, run with the scripted fixture bundles over one
//   scripted hour (five voices, two per chunk, with some overlap). Time inside predictions is
//   measured around each one and taken out.
// - one `assignSpeaker` against a database of 10, 100 and 1000 speakers.

#include <Tervane/Diarizer/Online/DiarizerManager.hpp>
#include <Tervane/Diarizer/Online/SpeakerManager.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/OnlineDiarizerFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace Tervane;
using Clock = std::chrono::steady_clock;

constexpr int hourChunks = 360;

std::vector<float> scriptedHour() {
    std::vector<std::vector<Testing::ScriptedFrames>> chunks;
    for (int chunk = 0; chunk < hourChunks; ++chunk) {
        const int first = 1 + chunk % 5;
        const int second = 1 + (chunk + 2) % 5;
        chunks.push_back({{0, 220, 1, first}, {240, 200, 2, second}, {440, 40, 4, second}, {480, 100, 1, first}});
    }
    return Testing::scriptedOnlineRecording(chunks);
}

void BM_OnlineDiarizerNonModelTimePerHour(benchmark::State& state) {
    const Testing::TemporaryDirectory directory("tervane-online-benchmark");
    const DiarizerModels loaded = Testing::loadOnlineDiarizerFixtureModels(directory.path());
    const auto segmentation = std::make_shared<Testing::ObservedModel>(loaded.segmentationModel());
    const auto embedding = std::make_shared<Testing::ObservedModel>(loaded.embeddingModel());
    const std::vector<float> audio = scriptedHour();

    double nonModelSeconds = 0;
    std::size_t segments = 0;
    int speakers = 0;
    for (auto _ : state) {
        DiarizerManager manager;
        manager.initialize(DiarizerModels(segmentation, embedding, 0));
        const std::int64_t modelBefore = segmentation->predictionNanoseconds() + embedding->predictionNanoseconds();
        const Clock::time_point start = Clock::now();
        const DiarizationResult result = manager.performCompleteDiarization(audio);
        const double total = std::chrono::duration<double>(Clock::now() - start).count();
        const std::int64_t model =
            segmentation->predictionNanoseconds() + embedding->predictionNanoseconds() - modelBefore;
        nonModelSeconds = total - static_cast<double>(model) * 1e-9;
        segments = result.segments.size();
        speakers = manager.speakerManager()->speakerCount();
    }
    state.counters["nonModelSecondsPerHour"] = nonModelSeconds;
    state.counters["predictions"] =
        static_cast<double>(segmentation->predictionCount() + embedding->predictionCount());
    state.counters["segments"] = static_cast<double>(segments);
    state.counters["speakers"] = speakers;
    const char* policy = std::getenv("OMP_WAIT_POLICY");
    state.SetLabel(std::string("OMP_WAIT_POLICY=") + (policy != nullptr ? policy : "unset"));
}
BENCHMARK(BM_OnlineDiarizerNonModelTimePerHour)->Unit(benchmark::kSecond)->Iterations(1);

void BM_AssignSpeaker(benchmark::State& state) {
    const auto speakerCount = static_cast<std::size_t>(state.range(0));
    std::mt19937 random(3);
    std::normal_distribution<float> normal;
    const auto randomEmbedding = [&] {
        std::vector<float> embedding(SpeakerManager::embeddingSize);
        for (float& value : embedding) {
            value = normal(random);
        }
        return embedding;
    };
    // Random directions in 256 dimensions are about 1 apart: every speaker stays its own.
    SpeakerManager manager(0.5F, 0.4F, 1.0F, 2.0F);
    std::vector<std::vector<float>> voices;
    for (std::size_t i = 0; i < speakerCount; ++i) {
        voices.push_back(randomEmbedding());
        manager.upsertSpeaker(std::to_string(i + 1), voices.back(), 10.0F);
    }
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(manager.assignSpeaker(voices[next], 2.0F));
        next = (next + 1) % voices.size();
    }
    state.counters["speakers"] = manager.speakerCount();
}
BENCHMARK(BM_AssignSpeaker)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
