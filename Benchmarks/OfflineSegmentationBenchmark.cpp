// Time the offline stages spend outside the models per hour of audio: windowing, powerset
// decoding and chunk assembly in segmentation, and mask preparation (with fbank input
// preparation and weight resampling) in embedding extraction, run with the fixture models over
// one scripted hour. Model time is measured around every prediction and taken out; the
// counters report seconds of non-model work per hour of audio.

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Diarizer/Offline/OfflineEmbeddingExtractor.hpp>
#include <Tervane/Diarizer/Offline/OfflineSegmentationProcessor.hpp>

#include "Support/DiarizerFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace {

using namespace Tervane;
using Clock = std::chrono::steady_clock;

/// Passes predictions through and adds up the time spent in them.
class TimedModel final : public MLModel {
public:
    explicit TimedModel(std::shared_ptr<MLModel> inner) : inner_(std::move(inner)) {}
    const MLModelDescription& modelDescription() const override { return inner_->modelDescription(); }
    const MLModelConfiguration& configuration() const override { return inner_->configuration(); }
    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                  const MLPredictionOptions& options) const override {
        const Clock::time_point start = Clock::now();
        auto result = inner_->prediction(input, options);
        nanoseconds_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        return result;
    }
    [[nodiscard]] double seconds() const { return static_cast<double>(nanoseconds_.load()) * 1e-9; }
    void reset() { nanoseconds_ = 0; }

private:
    std::shared_ptr<MLModel> inner_;
    mutable std::atomic<std::int64_t> nanoseconds_{0};
};

constexpr double hourSeconds = 3600;

void BM_OfflineStagesNonModelTimePerHour(benchmark::State& state) {
    const Testing::TemporaryDirectory directory("tervane-segmentation-benchmark");
    Testing::writeDiarizerFixtureModels(directory.path());
    const auto segmentation = std::make_shared<TimedModel>(MLModel::load(directory / "Segmentation.mlmodelc"));
    const auto fbank = std::make_shared<TimedModel>(MLModel::load(directory / "FBank.mlmodelc"));
    const auto embedding = std::make_shared<TimedModel>(MLModel::load(directory / "Embedding.mlmodelc"));
    const auto rho = std::make_shared<TimedModel>(MLModel::load(directory / "PldaRho.mlmodelc"));

    // Three speakers taking 4 s turns with a 1 s overlap at every change.
    std::vector<Testing::SpeakerTurn> turns;
    for (int turn = 0; turn < static_cast<int>(hourSeconds / 4); ++turn) {
        turns.push_back({turn % 3, 4.0 * turn, 4.0 * turn + 5.0});
    }
    const ArrayAudioSampleSource source(Testing::scriptedRecording(turns, hourSeconds));
    const OfflineDiarizerConfig config;
    const OfflineEmbeddingExtractor extractor(fbank, embedding, PLDATransform(rho, std::vector<double>(128, 1.0)), config);

    double segmentationOther = 0;
    double embeddingOther = 0;
    std::size_t embeddings = 0;
    for (auto _ : state) {
        for (TimedModel* model : {segmentation.get(), fbank.get(), embedding.get(), rho.get()}) {
            model->reset();
        }
        const Clock::time_point start = Clock::now();
        const SegmentationOutput output = OfflineSegmentationProcessor().process(source, *segmentation, config);
        const Clock::time_point segmented = Clock::now();
        const auto result = extractor.extractEmbeddings(source, output);
        const Clock::time_point extracted = Clock::now();
        benchmark::DoNotOptimize(result.data());
        embeddings = result.size();
        segmentationOther = std::chrono::duration<double>(segmented - start).count() - segmentation->seconds();
        embeddingOther = std::chrono::duration<double>(extracted - segmented).count() - fbank->seconds() -
                         embedding->seconds() - rho->seconds();
    }
    state.counters["segmentationNonModelSecondsPerHour"] = segmentationOther;
    state.counters["embeddingNonModelSecondsPerHour"] = embeddingOther;
    state.counters["totalNonModelSecondsPerHour"] = segmentationOther + embeddingOther;
    state.counters["segmentationModelSeconds"] = segmentation->seconds();
    state.counters["embeddings"] = static_cast<double>(embeddings);
    const char* policy = std::getenv("OMP_WAIT_POLICY");
    state.SetLabel(std::string("OMP_WAIT_POLICY=") + (policy != nullptr ? policy : "unset"));
}

BENCHMARK(BM_OfflineStagesNonModelTimePerHour)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
