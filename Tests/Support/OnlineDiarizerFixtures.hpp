#pragma once

// Scripted stand-ins for the online diarizer's two bundles, so that a test states exactly
// which frames each local speaker holds and which voice an embedding belongs to.
//
// - Both models cut their 160000-sample input into 589 frames of 271 samples (the last 381
//   samples are not looked at) and read one sample per frame, its middle one (frame × 271 +
//   135).
// - The audio of a frame carries a code x = c + v ÷ 100 in every sample: c is the powerset
//   class (0 to 6) and v a voice (1 to 99; 0 for none). Silence is class 0.
// - "pyannote_segmentation" scores 1 for class floor(x) of each frame and 0 for the other six:
//   [1, 589, 7].
// - "wespeaker_v2" adds mask[0][f] to bin v of a 256-bin histogram for every frame f whose
//   mask value is positive and whose voice v is not 0, and answers [3, 256] with the
//   histogram in row 0 and zeros below. Two voices thus give orthogonal embeddings, and a
//   voice points the same way in every chunk.

#include "Support/ModelFixtures.hpp"

#include <Tervane/Diarizer/Online/DiarizerModels.hpp>
#include <Tervane/Platform/MLModel.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Tervane::Testing {

inline constexpr std::int64_t onlineFixtureWindowSamples = 160000;
inline constexpr std::int64_t onlineFixtureFrames = 589;
inline constexpr std::int64_t onlineFixtureFrameSamples = 271;

/// The sample value of a frame of `voice` (0 to 99) in powerset class `powersetClass` (0 to 6).
[[nodiscard]] float onlineFixtureCode(int powersetClass, int voice);

/// The direction the embedding fixture gives `voice`: 1 at index `voice`, 0 elsewhere.
[[nodiscard]] std::vector<float> onlineFixtureVoiceEmbedding(int voice);

[[nodiscard]] FixtureModel onlineSegmentationFixture();
[[nodiscard]] FixtureModel onlineEmbeddingFixture();

/// Writes "pyannote_segmentation.mlmodelc" and "wespeaker_v2.mlmodelc" into `directory`
/// (created if needed).
void writeOnlineDiarizerFixtureModels(const std::filesystem::path& directory);

/// `writeOnlineDiarizerFixtureModels`, then both bundles loaded from their paths.
[[nodiscard]] DiarizerModels loadOnlineDiarizerFixtureModels(const std::filesystem::path& directory);

/// `frameCount` frames from `firstFrame` on, all of one class and voice.
struct ScriptedFrames {
    std::int64_t firstFrame = 0;
    std::int64_t frameCount = 0;
    int powersetClass = 0;
    int voice = 0;
};

/// One 160000-sample (10 s) chunk: the runs' codes over their frames, silence elsewhere.
/// Later runs overwrite earlier ones.
[[nodiscard]] std::vector<float> scriptedOnlineChunk(const std::vector<ScriptedFrames>& runs);

/// The chunks one after another.
[[nodiscard]] std::vector<float> scriptedOnlineRecording(const std::vector<std::vector<ScriptedFrames>>& chunks);

/// A model that passes every prediction to another one and keeps a copy of each call's inputs
/// (by logical index), in call order.
class CapturingModel final : public MLModel {
public:
    struct Input {
        MLShape shape;
        std::vector<float> values;
    };
    using Inputs = std::map<std::string, Input>;

    explicit CapturingModel(std::shared_ptr<MLModel> inner) : inner_(std::move(inner)) {}

    [[nodiscard]] const MLModelDescription& modelDescription() const override { return inner_->modelDescription(); }
    [[nodiscard]] const MLModelConfiguration& configuration() const override { return inner_->configuration(); }
    [[nodiscard]] std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                                const MLPredictionOptions& options) const override;

    [[nodiscard]] std::vector<Inputs> calls() const;

private:
    std::shared_ptr<MLModel> inner_;
    mutable std::mutex mutex_;
    mutable std::vector<Inputs> calls_;
};

}  // namespace Tervane::Testing
