#include <Tervane/Diarizer/Online/SegmentationProcessor.hpp>

#include <Tervane/Diarizer/Offline/OfflineArrayAccess.hpp>
#include <Tervane/Diarizer/Online/DiarizerError.hpp>
#include <Tervane/Platform/ZeroCopyDiarizerFeatureProvider.hpp>

#include <algorithm>
#include <array>
#include <string>

namespace Tervane {

namespace {

constexpr std::size_t classCount = static_cast<std::size_t>(SegmentationProcessor::powersetClassCount);
constexpr std::size_t speakerCount = static_cast<std::size_t>(SegmentationProcessor::localSpeakerCount);

/// Local speakers active in each powerset class.
constexpr std::array<std::array<bool, speakerCount>, classCount> classSpeakers = {{
    {false, false, false},
    {true, false, false},
    {false, true, false},
    {false, false, true},
    {true, true, false},
    {true, false, true},
    {false, true, true},
}};

}  // namespace

SegmentationProcessor::SegmentationProcessor() : memoryOptimizer_(std::make_shared<ANEMemoryOptimizer>()) {}

std::vector<std::vector<float>> SegmentationProcessor::getSegments(std::span<const float> audioChunk,
                                                                   const MLModel& segmentationModel,
                                                                   std::int64_t chunkSize) const {
    const std::shared_ptr<MLMultiArray> audio =
        ANEMemoryOptimizer::createAlignedArray({1, 1, chunkSize}, MLMultiArrayDataType::float32);
    // The array starts zeroed, which pads a short chunk.
    const auto copied = std::min(audioChunk.size(), static_cast<std::size_t>(audio->count()));
    OfflineArrayAccess::writeFloats(*audio, audioChunk.first(copied));

    const ZeroCopyDiarizerFeatureProvider input({{"audio", MLFeatureValue(audio)}});
    const std::shared_ptr<MLFeatureProvider> output = segmentationModel.prediction(input);
    const std::optional<MLFeatureValue> segments = output ? output->featureValue("segments") : std::nullopt;
    if (!segments || !segments->multiArrayValue()) {
        throw DiarizerError::processingFailed("Missing segments output from segmentation model");
    }
    const MLMultiArray& scores = *segments->multiArrayValue();
    const MLShape& shape = scores.shape();
    if (shape.size() != 3 || shape[0] < 1 || shape[2] != powersetClassCount) {
        throw DiarizerError::processingFailed("Segmentation output must be shaped [batch, frames, 7], got " +
                                              shapeDescription(shape));
    }

    const auto frames = static_cast<std::size_t>(shape[1]);
    std::vector<float> values(frames * classCount);
    OfflineArrayAccess::readFloats(scores, values);  // batch 0 comes first

    std::vector<std::vector<float>> activity(frames, std::vector<float>(speakerCount, 0.0F));
    for (std::size_t f = 0; f < frames; ++f) {
        const auto row = values.begin() + static_cast<std::ptrdiff_t>(f * classCount);
        const auto best = static_cast<std::size_t>(std::max_element(row, row + classCount) - row);
        for (std::size_t s = 0; s < speakerCount; ++s) {
            if (classSpeakers[best][s]) {
                activity[f][s] = 1.0F;
            }
        }
    }
    logger_.debug("Segmented chunk of " + std::to_string(audioChunk.size()) + " samples into " +
                  std::to_string(frames) + " frames");
    return activity;
}

}  // namespace Tervane
