// Clustering, VBx and reconstruction of one hour of speech: the offline diarizer's work after
// embedding extraction, through the manager's own clustering steps. Synthetic input: five
// speakers taking turns, 10 s windows every 2 s (589 frames, three local speakers each), one
// 256-value embedding and 128-value rho vector per active local speaker. Target: under 3 s.
#include <Tervane/Diarizer/Offline/OfflineDiarizerManager.hpp>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>

namespace {

using namespace Tervane;

constexpr double hourSeconds = 3600;
constexpr double windowSeconds = 10;
constexpr double hopSeconds = 2;
constexpr std::int64_t frames = 589;
constexpr int speakerCount = 5;
constexpr double turnSeconds = 4;

struct Recording {
    SegmentationOutput segmentation;
    std::vector<TimedEmbedding> embeddings;
};

/// Speaker of the turn at `time`: turns of 4 s in a shuffled but fixed order.
int speakerAt(double time) {
    const auto turn = static_cast<unsigned>(time / turnSeconds);
    return static_cast<int>((turn * 3 + turn / 5) % speakerCount);
}

Recording syntheticHour() {
    std::mt19937 generator(42);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<std::vector<double>> voices(speakerCount, std::vector<double>(256));
    std::vector<std::vector<double>> rhoVoices(speakerCount, std::vector<double>(128));
    for (int s = 0; s < speakerCount; ++s) {
        for (double& v : voices[static_cast<std::size_t>(s)]) v = noise(generator);
        for (double& v : rhoVoices[static_cast<std::size_t>(s)]) v = 3 * noise(generator);
    }

    Recording recording;
    SegmentationOutput& segmentation = recording.segmentation;
    const double frameDuration = windowSeconds / static_cast<double>(frames);
    segmentation.numFrames = frames;
    segmentation.frameDuration = frameDuration;
    for (double offset = 0; offset < hourSeconds; offset += hopSeconds) {
        const auto chunk = static_cast<std::int64_t>(segmentation.chunkOffsets.size());
        segmentation.chunkOffsets.push_back(offset);
        std::vector<std::vector<float>> weights(frames, std::vector<float>(3, 0.0F));
        std::vector<int> localOf(speakerCount, -1);
        int nextLocal = 0;
        for (std::int64_t f = 0; f < frames; ++f) {
            const int speaker = speakerAt(offset + frameDuration * static_cast<double>(f));
            if (localOf[static_cast<std::size_t>(speaker)] < 0 && nextLocal < 3) {
                localOf[static_cast<std::size_t>(speaker)] = nextLocal++;
            }
            if (localOf[static_cast<std::size_t>(speaker)] >= 0) {
                weights[static_cast<std::size_t>(f)][static_cast<std::size_t>(localOf[static_cast<std::size_t>(speaker)])] = 1.0F;
            }
        }
        for (int speaker = 0; speaker < speakerCount; ++speaker) {
            const int local = localOf[static_cast<std::size_t>(speaker)];
            if (local < 0) {
                continue;
            }
            TimedEmbedding embedding;
            embedding.chunkIndex = chunk;
            embedding.speakerIndex = local;
            embedding.startTime = offset;
            embedding.endTime = offset + windowSeconds;
            for (const double v : voices[static_cast<std::size_t>(speaker)]) {
                embedding.embedding256.push_back(static_cast<float>(v + 0.3 * noise(generator)));
            }
            for (const double v : rhoVoices[static_cast<std::size_t>(speaker)]) {
                embedding.rho128.push_back(v + 0.3 * noise(generator));
            }
            recording.embeddings.push_back(std::move(embedding));
        }
        segmentation.speakerWeights.push_back(std::move(weights));
        segmentation.logProbs.emplace_back();
    }
    segmentation.numChunks = static_cast<std::int64_t>(segmentation.chunkOffsets.size());
    return recording;
}

void BM_ClusterAndReconstructOneHour(benchmark::State& state) {
    const Recording recording = syntheticHour();
    // Clustering reads only the PLDA prior of the model set.
    OfflineDiarizerManager manager;
    manager.initialize(OfflineDiarizerModels(nullptr, nullptr, nullptr, nullptr, std::vector<double>(128, 1.0), 0));
    std::size_t speakers = 0;
    std::size_t segments = 0;
    for (auto _ : state) {
        const OfflineDiarizerManager::ClusteringOutcome outcome =
            manager.clusterAndReconstruct(recording.segmentation, recording.embeddings);
        speakers = outcome.speakerDatabase.size();
        segments = outcome.segments.size();
        benchmark::DoNotOptimize(outcome.segments.data());
    }
    state.counters["embeddings"] = static_cast<double>(recording.embeddings.size());
    state.counters["speakers"] = static_cast<double>(speakers);
    state.counters["segments"] = static_cast<double>(segments);
    const char* policy = std::getenv("OMP_WAIT_POLICY");
    state.SetLabel(std::string("OMP_WAIT_POLICY=") + (policy != nullptr ? policy : "unset"));
}
BENCHMARK(BM_ClusterAndReconstructOneHour)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
