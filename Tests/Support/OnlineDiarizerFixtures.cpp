#include "Support/OnlineDiarizerFixtures.hpp"

#include <Tervane/Shared/ModelNames.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace Tervane::Testing {

namespace {

// The middle sample of each of the 589 frames.
const std::string middleSamples = "135:" + std::to_string(onlineFixtureFrames * onlineFixtureFrameSamples) + ":" +
                                  std::to_string(onlineFixtureFrameSamples);

}  // namespace

float onlineFixtureCode(int powersetClass, int voice) {
    if (powersetClass < 0 || powersetClass > 6 || voice < 0 || voice > 99) {
        throw std::invalid_argument("online fixture code: class must be 0 to 6 and voice 0 to 99");
    }
    return static_cast<float>(powersetClass) + static_cast<float>(voice) / 100.0F;
}

std::vector<float> onlineFixtureVoiceEmbedding(int voice) {
    std::vector<float> embedding(256, 0.0F);
    embedding.at(static_cast<std::size_t>(voice)) = 1.0F;
    return embedding;
}

FixtureModel onlineSegmentationFixture() {
    FixtureModel model;
    model.source = R"(
    def forward(self, audio):
        x = audio[0, 0, )" + middleSamples + R"(]
        cls = torch.clamp(torch.floor(x), 0.0, 6.0)
        classes = torch.arange(7).float()
        scores = (cls.unsqueeze(1) == classes.unsqueeze(0)).float()
        return {"segments": scores.unsqueeze(0)}
)";
    model.inputs = {{"audio", MLMultiArrayDataType::float32, {1, 1, onlineFixtureWindowSamples}}};
    model.outputs = {{"segments", MLMultiArrayDataType::float32, {1, onlineFixtureFrames, 7}}};
    return model;
}

FixtureModel onlineEmbeddingFixture() {
    FixtureModel model;
    model.source = R"(
    def forward(self, waveform, mask):
        x = waveform[0, )" + middleSamples + R"(]
        voice = torch.clamp(torch.round((x - torch.floor(x)) * 100.0), 0.0, 99.0).long()
        m = mask[0]
        weights = torch.where((m > 0.0) & (voice > 0), m, torch.zeros_like(m))
        histogram = torch.zeros([256]).index_add(0, voice, weights)
        return {"embedding": torch.cat([histogram.unsqueeze(0), torch.zeros([2, 256])], 0)}
)";
    model.inputs = {{"waveform", MLMultiArrayDataType::float32, {3, onlineFixtureWindowSamples}},
                    {"mask", MLMultiArrayDataType::float32, {3, onlineFixtureFrames}}};
    model.outputs = {{"embedding", MLMultiArrayDataType::float32, {3, 256}}};
    return model;
}

void writeOnlineDiarizerFixtureModels(const std::filesystem::path& directory) {
    std::filesystem::create_directories(directory);
    writeFixtureBundle(directory, ModelNames::Diarizer::segmentationFile, onlineSegmentationFixture());
    writeFixtureBundle(directory, ModelNames::Diarizer::embeddingFile, onlineEmbeddingFixture());
}

DiarizerModels loadOnlineDiarizerFixtureModels(const std::filesystem::path& directory) {
    writeOnlineDiarizerFixtureModels(directory);
    return DiarizerModels::load(directory / ModelNames::Diarizer::segmentationFile,
                                directory / ModelNames::Diarizer::embeddingFile);
}

std::vector<float> scriptedOnlineChunk(const std::vector<ScriptedFrames>& runs) {
    std::vector<float> samples(static_cast<std::size_t>(onlineFixtureWindowSamples), 0.0F);
    for (const ScriptedFrames& run : runs) {
        if (run.firstFrame < 0 || run.frameCount < 0 || run.firstFrame + run.frameCount > onlineFixtureFrames) {
            throw std::invalid_argument("scripted frames must lie within the 589 frames of a chunk");
        }
        const float code = onlineFixtureCode(run.powersetClass, run.voice);
        const auto first = samples.begin() + run.firstFrame * onlineFixtureFrameSamples;
        std::fill(first, first + run.frameCount * onlineFixtureFrameSamples, code);
    }
    return samples;
}

std::vector<float> scriptedOnlineRecording(const std::vector<std::vector<ScriptedFrames>>& chunks) {
    std::vector<float> samples;
    for (const auto& runs : chunks) {
        const std::vector<float> chunk = scriptedOnlineChunk(runs);
        samples.insert(samples.end(), chunk.begin(), chunk.end());
    }
    return samples;
}

std::shared_ptr<MLFeatureProvider> CapturingModel::prediction(const MLFeatureProvider& input,
                                                              const MLPredictionOptions& options) const {
    Inputs inputs;
    for (const std::string& name : input.featureNames()) {
        if (const auto value = input.featureValue(name); value && value->multiArrayValue()) {
            const MLMultiArray& array = *value->multiArrayValue();
            Input copy{array.shape(), std::vector<float>(static_cast<std::size_t>(array.count()))};
            for (std::size_t i = 0; i < copy.values.size(); ++i) {
                copy.values[i] = static_cast<float>(array.value(static_cast<std::int64_t>(i)));
            }
            inputs.emplace(name, std::move(copy));
        }
    }
    {
        const std::lock_guard lock(mutex_);
        calls_.push_back(std::move(inputs));
    }
    return inner_->prediction(input, options);
}

std::vector<CapturingModel::Inputs> CapturingModel::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

}  // namespace Tervane::Testing
