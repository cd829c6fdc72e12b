#pragma once

// A scripted recognition model set, so that a test can say which tokens a piece of audio
// yields and at which frames.
//
// The script rides on the samples: every 80 ms encoder frame (1280 samples) holds one
// constant level, `scriptedFrameValue(token, durationIndex, probabilityLevel)`, an odd
// multiple of 2^-20 that no 16-bit recording produces. The preprocessor keeps the first
// sample and the mean square of every 160-sample hop ("mel", [1, 2, hops]); the encoder reads
// the code of each frame's first hop and writes the frame as channel 0 = token, 1 = duration
// index, 2 = probability ("encoder", [1, 1024, frames]); the joint network decides exactly
// that. Frames without a code are blank, except that the first loud frame (mean square over
// 1e-3, no code in any of its hops) after a quiet one yields `fixtureSpeechToken`, so real
// speech gives one token per burst. The joint network ignores the prediction output,
// so the pass over the last frames of a stream's final window repeats a token scripted
// there: keep the last two frames of such audio blank unless that is what a test is about. The prediction network counts the tokens it was fed and echoes the last one.
//
// Chunks start at multiples of 160 samples, so a chunk's frame k reads the first sample of
// one hop inside global frame (chunk start / 1280) + k: a constant level per global frame is
// read with the same global frame index by every chunk that covers it.

#include "Support/ModelFixtures.hpp"

#include <Tervane/ASR/AsrModels.hpp>

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <functional>
#include <filesystem>
#include <memory>
#include <vector>

namespace Tervane::Testing {

/// The token the fixture encoder emits at the start of a loud, unscripted burst.
inline constexpr int fixtureSpeechToken = 1000;

struct AsrFixtureOptions {
    /// The blank the encoder writes for unscripted frames (1024 for an older model set).
    int blankId = 8192;
    /// The encoder output as [1, T, 1024] instead of [1, 1024, T].
    bool encoderTimeMajor = false;
    /// The prediction output as [1, 1, 640] instead of [1, 640, 1].
    bool decoderHiddenLast = false;
    /// The encoder also declares the preprocessor's input "audio_length".
    bool encoderDeclaresAudioLength = false;
};

[[nodiscard]] FixtureModel asrPreprocessorFixture();
[[nodiscard]] FixtureModel asrEncoderFixture(const AsrFixtureOptions& options = {});
[[nodiscard]] FixtureModel asrDecoderFixture(const AsrFixtureOptions& options = {});
[[nodiscard]] FixtureModel asrJointFixture();

/// Ids 1 to 9 are "▁hel", "lo", "▁world", "▁the", "▁quick", "▁brown", "▁fox", "▁jumps",
/// "▁over"; 10 to 999 are "▁w" + id; 1000 is "▁[speech]"; 7883 ".", 7948 ",", 7952 "?";
/// 8191 is the empty piece.
[[nodiscard]] nlohmann::json asrFixtureVocabulary();

/// Writes "Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc",
/// "JointDecision.mlmodelc" and "parakeet_vocab.json" into `directory` (created).
void writeAsrFixtureModels(const std::filesystem::path& directory, const AsrFixtureOptions& options = {});

/// The sample level that scripts one frame: token 0 to 8192, duration index 0 to 7 and
/// probability 1 − 0.25 × level for level 0 to 3.
[[nodiscard]] float scriptedFrameValue(int token, int durationIndex = 1, int probabilityLevel = 0);

struct ScriptedToken {
    std::int64_t frame = 0;  // global encoder frame: samples frame × 1280 up to the next frame
    int token = 0;
    int durationIndex = 1;
    int probabilityLevel = 0;
};

/// `sampleCount` samples, zero except the scripted frames (each filled with its level).
[[nodiscard]] std::vector<float> scriptedAudio(std::size_t sampleCount, const std::vector<ScriptedToken>& tokens);

/// One encoder frame as the joint network reads it.
struct EncoderFrame {
    std::int64_t frame = 0;
    double token = 0;
    double durationIndex = 1;
    double probability = 1;
};

/// An encoder output of `frames` frames, blank (with duration index 1) except `scripted`.
[[nodiscard]] std::shared_ptr<MLMultiArray> scriptedEncoderOutput(std::int64_t frames,
                                                                  const std::vector<EncoderFrame>& scripted,
                                                                  bool timeMajor = false, int blankId = 8192);

/// A model that hands every prediction to another one, telling an observer about each input
/// and adding up the time spent inside the wrapped model.
class ObservedModel final : public MLModel {
public:
    using Observer = std::function<void(const MLFeatureProvider& input)>;

    ObservedModel(std::shared_ptr<MLModel> model, Observer observer = {});

    [[nodiscard]] const MLModelDescription& modelDescription() const override { return model_->modelDescription(); }
    [[nodiscard]] const MLModelConfiguration& configuration() const override { return model_->configuration(); }
    [[nodiscard]] std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                                const MLPredictionOptions& options) const override;
    using MLModel::prediction;

    [[nodiscard]] std::int64_t predictionNanoseconds() const noexcept { return predictionNanoseconds_; }
    [[nodiscard]] std::int64_t predictionCount() const noexcept { return predictionCount_; }

private:
    std::shared_ptr<MLModel> model_;
    Observer observer_;
    mutable std::atomic<std::int64_t> predictionNanoseconds_{0};
    mutable std::atomic<std::int64_t> predictionCount_{0};
};

/// `models` with each of the four models wrapped in an `ObservedModel` (preprocessor,
/// encoder, decoder, joint, appended to `observed` when given).
[[nodiscard]] AsrModels observedAsrModels(const AsrModels& models,
                                          std::vector<std::shared_ptr<ObservedModel>>* observed = nullptr,
                                          const ObservedModel::Observer& preprocessorObserver = {});

}  // namespace Tervane::Testing
