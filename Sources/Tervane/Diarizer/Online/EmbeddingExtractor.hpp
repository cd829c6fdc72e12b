#pragma once

#include <Tervane/Platform/ANEMemoryOptimizer.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace Tervane {

/// Computes one speaker embedding per local speaker of a chunk with a model that takes the
/// chunk's waveform and the speaker's frame mask.
class EmbeddingExtractor {
public:
    static constexpr std::int64_t embeddingSize = 256;
    /// Samples of the model's waveform input (10 s at 16 kHz).
    static constexpr std::int64_t waveformSamples = 160000;
    /// Rows of the model's inputs; only row 0 carries data.
    static constexpr std::int64_t batchRows = 3;

    explicit EmbeddingExtractor(std::shared_ptr<MLModel> embeddingModel);

    /// One 256-value embedding per mask, in mask order. A mask summing to less than
    /// `minActivityThreshold` gives 256 zeros without running the model; so does an answer
    /// without "embedding". The waveform is `audio` repeated end to end over the model's
    /// 160000 samples, and the mask's share that covers `audio` is repeated the same way.
    /// Allocation and prediction failures are passed on.
    [[nodiscard]] std::vector<std::vector<float>> getEmbeddings(std::span<const float> audio,
                                                                const std::vector<std::vector<float>>& masks,
                                                                float minActivityThreshold) const;

    [[nodiscard]] const std::shared_ptr<MLModel>& embeddingModel() const noexcept { return embeddingModel_; }
    [[nodiscard]] const std::shared_ptr<ANEMemoryOptimizer>& memoryOptimizer() const noexcept {
        return memoryOptimizer_;
    }

private:
    [[nodiscard]] std::vector<float> embed(std::span<const float> waveform, std::span<const float> mask) const;

    AppLogger logger_{"EmbeddingExtractor"};
    std::shared_ptr<MLModel> embeddingModel_;
    std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_;
};

}  // namespace Tervane
