#include "Support/VadFixtures.hpp"

#include <Tervane/Shared/ModelNames.hpp>

namespace Tervane::Testing {

FixtureModel vadFixture(const VadFixtureOptions& options) {
    FixtureModel model;
    // The mean is taken in double: the sum of 4096 equal floats is then exact, so a constant
    // block reads back its level without rounding.
    model.source = R"(
    def forward(self, audio_input, hidden_state, cell_state):
        block = audio_input[:, 64:4160]
        assert bool(block.abs().max() < 100.0), "scripted failure: sample level out of range"
        level = block.double().abs().mean()
        probability = torch.clamp(level * 4.0, 0.0, 1.0).float().reshape([1, 1])
        echoed = torch.cat([audio_input[:, 0:64], audio_input[:, 4096:4160]], 1)
        return {")" + options.probabilityOutput + R"(": probability,
                ")" + options.hiddenStateOutput + R"(": hidden_state + 1.0,
                ")" + options.cellStateOutput + R"(": echoed}
)";
    model.inputs = {{"audio_input", MLMultiArrayDataType::float32, {1, 4160}},
                    {"hidden_state", MLMultiArrayDataType::float32, {1, 128}},
                    {"cell_state", MLMultiArrayDataType::float32, {1, 128}}};
    model.outputs = {{options.probabilityOutput, MLMultiArrayDataType::float32, {1, 1}},
                     {options.hiddenStateOutput, MLMultiArrayDataType::float32, {1, 128}},
                     {options.cellStateOutput, MLMultiArrayDataType::float32, {1, 128}}};
    return model;
}

std::filesystem::path writeVadFixtureModel(const std::filesystem::path& directory, const VadFixtureOptions& options) {
    return writeFixtureBundle(directory, ModelNames::VAD::sileroVadFile, vadFixture(options));
}

std::shared_ptr<MLModel> loadVadFixtureModel(const std::filesystem::path& directory,
                                             const VadFixtureOptions& options) {
    return MLModel::load(writeVadFixtureModel(directory, options));
}

std::vector<float> scriptedVadAudio(const std::vector<float>& probabilities) {
    std::vector<float> samples;
    samples.reserve(probabilities.size() * 4096);
    for (const float probability : probabilities) samples.insert(samples.end(), 4096, fixtureVadLevel(probability));
    return samples;
}

}  // namespace Tervane::Testing
