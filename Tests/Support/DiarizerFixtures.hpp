#pragma once

// Scripted stand-ins for the offline diarizer's four model bundles, its PLDA parameters and
// the recordings they are run on, so that a test can say which windows, chunks, masks and
// embeddings a run yields.
//
// - A "speaker" is a pure tone of its own pitch (`fixtureSpeakerPitches`); a recording is a
//   script of speaker turns, overlapping or not (`scriptedRecording`).
// - Every model cuts its 160000-sample window into 589 frames of 271 samples (the last 381
//   samples are not looked at) and measures Hann-windowed band energies per frame.
// - "Segmentation" reads the energy of the three speaker pitches: local speaker k of every
//   window is the speaker of pitch k. Speaker k is active in a frame with probability
//   a_k = sigmoid(4 × ln(energy_k + 1e-8)) (about 1 for any audible tone), and a_k below 1e-6
//   counts as certain silence (1e-30); each powerset class scores
//   2 × (Σ ln a_k over its speakers + Σ ln(1 − a_k) over the others), with a_k ≤ 1 − 1e-7.
//   A silent speaker thus gets weights of exactly 0, an audible one weights of about 1.
//   Seven classes by default (no triple overlap), like the production model.
// - "FBank" yields the energies of eight bands (`fixtureFbankBands`, the three pitches among
//   them) per frame, shape [1, 589, 8].
// - "Embedding" returns the weighted mean over frames of each frame's band-energy profile
//   (energies divided by their sum), each of the eight values repeated 32 times: 256 values.
//   A speaker named in `EmbeddingFixtureOptions::nanSpeakers` gets a NaN as the first value
//   of every embedding whose profile is mostly that speaker's band.
// - "PldaRho" is the fixed linear map `fixtureRho`.

#include "Support/ModelFixtures.hpp"

#include <Tervane/Platform/MLModel.hpp>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Tervane::Testing {

/// Speaker k's voice: a tone at this many hertz.
inline constexpr std::array<double, 3> fixtureSpeakerPitches = {300.0, 1000.0, 2200.0};
/// The fbank fixture's band centres; bands 1, 4 and 6 are the speaker pitches.
inline constexpr std::array<double, 8> fixtureFbankBands = {200.0, 300.0, 450.0, 700.0, 1000.0, 1500.0, 2200.0, 3200.0};
inline constexpr std::int64_t fixtureWindowSamples = 160000;
inline constexpr std::int64_t fixtureFrames = 589;
inline constexpr std::int64_t fixtureFrameSamples = 271;

struct SegmentationFixtureOptions {
    /// Powerset classes scored: 7 (no triple) or 8; fewer keeps the first classes.
    std::int64_t classes = 7;
    /// Answer [frames, classes] (the first window only) instead of [batch, frames, classes].
    bool rankTwoOutput = false;
    /// Output frames per window; the window is cut into this many frames of
    /// 160000 ÷ frames samples.
    std::int64_t frames = fixtureFrames;
};

struct EmbeddingFixtureOptions {
    /// Speakers (0 to 2) whose embeddings come out damaged, with a NaN as their first value.
    std::vector<int> nanSpeakers;
};

[[nodiscard]] FixtureModel segmentationFixture(const SegmentationFixtureOptions& options = {});
[[nodiscard]] FixtureModel fbankFixture();
[[nodiscard]] FixtureModel embeddingFixture(const EmbeddingFixtureOptions& options = {});
[[nodiscard]] FixtureModel pldaRhoFixture();

/// The PLDA prior the fixture parameter file holds: 128 values 1 + i ÷ 128.
[[nodiscard]] std::vector<float> fixturePldaPsi();
/// A plda-parameters.json document holding `psi` as packed little-endian floats in Base64.
[[nodiscard]] std::string pldaParametersJson(const std::vector<float>& psi);
[[nodiscard]] std::string base64Encode(const std::vector<std::uint8_t>& bytes);

/// The rho fixture's scale. Embedding values are profile fractions (at most 1); VBx needs
/// features of real PLDA magnitude to tell speakers apart, and at gain 1 it merges them all.
inline constexpr double fixtureRhoGain = 8.0;

/// What the rho fixture computes: rho[i] = gain × (e[2i] + 0.5 × e[2i + 1]), for i < 128.
[[nodiscard]] std::vector<double> fixtureRho(const std::vector<float>& embedding);

/// Writes "Segmentation.mlmodelc", "FBank.mlmodelc", "Embedding.mlmodelc", "PldaRho.mlmodelc"
/// and "plda-parameters.json" into `directory` (created if needed).
void writeDiarizerFixtureModels(const std::filesystem::path& directory,
                                const SegmentationFixtureOptions& segmentation = {},
                                const EmbeddingFixtureOptions& embedding = {});

/// One stretch of a scripted recording: `speaker`'s tone from `start` to `end` seconds.
struct SpeakerTurn {
    int speaker = 0;
    double start = 0;
    double end = 0;
};

/// Each turn fades in and out over this long.
inline constexpr double fixtureTurnRampSeconds = 0.025;

/// `seconds` of 16 kHz audio, silent except for the turns (overlaps add up), each turn faded
/// in and out over `fixtureTurnRampSeconds`.
[[nodiscard]] std::vector<float> scriptedRecording(const std::vector<SpeakerTurn>& turns, double seconds,
                                                   float amplitude = 0.3F, double sampleRate = 16000);

/// Two speakers taking turns of `turnSeconds`, speaker 0 first, for `seconds`.
[[nodiscard]] std::vector<float> twoSpeakerRecording(double seconds, double turnSeconds = 5.0);

/// A model that passes every prediction to another one and records each call's input shapes,
/// in call order. `failWhen`, if set, is asked first and makes a call throw
/// `std::runtime_error("scripted failure")` when it answers true.
class RecordingModel final : public MLModel {
public:
    using Inputs = std::map<std::string, MLShape>;

    explicit RecordingModel(std::shared_ptr<MLModel> inner) : inner_(std::move(inner)) {}

    [[nodiscard]] const MLModelDescription& modelDescription() const override { return inner_->modelDescription(); }
    [[nodiscard]] const MLModelConfiguration& configuration() const override { return inner_->configuration(); }
    [[nodiscard]] std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                                const MLPredictionOptions& options) const override;

    /// The input shapes of every call so far.
    [[nodiscard]] std::vector<Inputs> calls() const;
    void setFailWhen(std::function<bool(const Inputs&)> failWhen);

private:
    std::shared_ptr<MLModel> inner_;
    mutable std::mutex mutex_;
    mutable std::vector<Inputs> calls_;
    std::function<bool(const Inputs&)> failWhen_;
};

}  // namespace Tervane::Testing
