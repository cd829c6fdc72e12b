#pragma once

// A scripted voice-activity model, so that a test can say where the speech is.
//
// The bundle has the real model's features: "audio_input" [1, 4160] (64 context samples, then
// the 4096-sample block), "hidden_state" and "cell_state" [1, 128] in; "vad_output" [1, 1],
// "new_hidden_state" and "new_cell_state" [1, 128] out.
// - The probability is 4 × the mean absolute level of the block's 4096 samples, at most 1
//   (the context is not looked at). A block held at `fixtureVadLevel(p)` reads exactly p; a
//   tone of amplitude 0.4 or more reads 1, silence 0.
// - The new hidden state is the old one plus 1 in every element: after n blocks carried from
//   zeros it holds n.
// - The new cell state echoes what the model was given: its elements 0 to 63 are the context
//   in front of the block, 64 to 127 the block's last 64 samples.
// - A block holding a sample of magnitude 100 or more fails the prediction.

#include "Support/ModelFixtures.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace Tervane::Testing {

struct VadFixtureOptions {
    /// The names the three outputs are declared under.
    std::string probabilityOutput = "vad_output";
    std::string hiddenStateOutput = "new_hidden_state";
    std::string cellStateOutput = "new_cell_state";
};

/// A sample level that makes the fixture read `probability` (0 to 1) for a block held at it.
[[nodiscard]] constexpr float fixtureVadLevel(float probability) noexcept { return probability / 4.0F; }

/// A sample level the fixture prediction refuses.
inline constexpr float fixtureVadFailingLevel = 1000.0F;

[[nodiscard]] FixtureModel vadFixture(const VadFixtureOptions& options = {});

/// Writes the bundle as "silero-vad-unified-256ms-v6.0.0.mlmodelc" into `directory` and
/// returns its path.
std::filesystem::path writeVadFixtureModel(const std::filesystem::path& directory,
                                           const VadFixtureOptions& options = {});

/// `writeVadFixtureModel`, then `MLModel::load`.
[[nodiscard]] std::shared_ptr<MLModel> loadVadFixtureModel(const std::filesystem::path& directory,
                                                           const VadFixtureOptions& options = {});

/// One 4096-sample block per probability, each held at `fixtureVadLevel` of it.
[[nodiscard]] std::vector<float> scriptedVadAudio(const std::vector<float>& probabilities);

}  // namespace Tervane::Testing
