#include <Tervane/Diarizer/Online/EmbeddingExtractor.hpp>

#include <Tervane/Diarizer/Offline/OfflineArrayAccess.hpp>
#include <Tervane/Diarizer/Online/DiarizerError.hpp>
#include <Tervane/Platform/ZeroCopyDiarizerFeatureProvider.hpp>

#include <algorithm>
#include <numeric>

namespace Tervane {

namespace {

constexpr auto embeddingLength = static_cast<std::size_t>(EmbeddingExtractor::embeddingSize);
constexpr auto waveformLength = static_cast<std::size_t>(EmbeddingExtractor::waveformSamples);

/// `source` repeated end to end until `length` values are filled; zeros for an empty source.
std::vector<float> repeatToFill(std::span<const float> source, std::size_t length) {
    std::vector<float> filled(length, 0.0F);
    if (source.empty()) {
        return filled;
    }
    for (std::size_t start = 0; start < length; start += source.size()) {
        const std::size_t count = std::min(source.size(), length - start);
        std::copy_n(source.begin(), count, filled.begin() + static_cast<std::ptrdiff_t>(start));
    }
    return filled;
}

}  // namespace

EmbeddingExtractor::EmbeddingExtractor(std::shared_ptr<MLModel> embeddingModel)
    : embeddingModel_(std::move(embeddingModel)), memoryOptimizer_(std::make_shared<ANEMemoryOptimizer>()) {
    logger_.info("EmbeddingExtractor ready with ANE memory optimizer");
}

std::vector<std::vector<float>> EmbeddingExtractor::getEmbeddings(std::span<const float> audio,
                                                                  const std::vector<std::vector<float>>& masks,
                                                                  float minActivityThreshold) const {
    // The same waveform serves every speaker of the chunk.
    std::vector<float> waveform;
    std::vector<std::vector<float>> embeddings;
    embeddings.reserve(masks.size());
    for (const std::vector<float>& mask : masks) {
        const float activity = std::accumulate(mask.begin(), mask.end(), 0.0F);
        if (!(activity >= minActivityThreshold)) {
            embeddings.emplace_back(embeddingLength, 0.0F);
            continue;
        }
        if (waveform.empty()) {
            waveform = repeatToFill(audio, waveformLength);
        }
        // The mask frames that cover the audio, repeated as the audio is. Frames are counted
        // with rounding: t = round(M × samples / 160000).
        const std::size_t frames = mask.size();
        const auto covered = static_cast<std::size_t>(
            (static_cast<std::uint64_t>(frames) * audio.size() + waveformLength / 2) / waveformLength);
        const std::vector<float> fitted = covered >= 1 && covered < frames
                                              ? repeatToFill(std::span(mask).first(covered), frames)
                                              : std::vector<float>(mask.begin(), mask.end());
        embeddings.push_back(embed(waveform, fitted));
    }
    return embeddings;
}

std::vector<float> EmbeddingExtractor::embed(std::span<const float> waveform, std::span<const float> mask) const {
    if (!embeddingModel_) {
        throw DiarizerError::notInitialized();
    }
    const std::shared_ptr<MLMultiArray> waveformInput =
        ANEMemoryOptimizer::createAlignedArray({batchRows, waveformSamples}, MLMultiArrayDataType::float32);
    OfflineArrayAccess::writeFloats(*waveformInput, waveform);
    const auto maskFrames = static_cast<std::int64_t>(mask.size());
    const std::shared_ptr<MLMultiArray> maskInput =
        ANEMemoryOptimizer::createAlignedArray({batchRows, maskFrames}, MLMultiArrayDataType::float32);
    OfflineArrayAccess::writeFloats(*maskInput, mask);

    const ZeroCopyDiarizerFeatureProvider input(
        {{"waveform", MLFeatureValue(waveformInput)}, {"mask", MLFeatureValue(maskInput)}});
    const std::shared_ptr<MLFeatureProvider> output = embeddingModel_->prediction(input);
    const std::optional<MLFeatureValue> value = output ? output->featureValue("embedding") : std::nullopt;
    if (!value || !value->multiArrayValue()) {
        logger_.debug("Embedding model returned no embedding output");
        return std::vector<float>(embeddingLength, 0.0F);
    }
    const MLMultiArray& array = *value->multiArrayValue();
    // Row 0 comes first; a short answer stays short so that the caller sees the wrong size.
    std::vector<float> embedding(std::min(embeddingLength, static_cast<std::size_t>(array.count())));
    OfflineArrayAccess::readFloats(array, embedding);
    return embedding;
}

}  // namespace Tervane
