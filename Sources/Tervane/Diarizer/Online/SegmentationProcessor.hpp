#pragma once

#include <Tervane/Platform/ANEMemoryOptimizer.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace Tervane {

/// Runs the seven-class powerset segmentation model on one chunk and binarises its answer
/// into per-frame activity of three local speakers.
class SegmentationProcessor {
public:
    /// Samples of the model's window (10 s at 16 kHz).
    static constexpr std::int64_t modelWindowSamples = 160000;
    static constexpr std::int64_t localSpeakerCount = 3;
    static constexpr std::int64_t powersetClassCount = 7;

    SegmentationProcessor();

    /// Frames × 3 values, each 0 or 1: the local speakers of each frame's highest-scoring class
    /// (the first on ties) of none, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}. The model sees the
    /// first `chunkSize` samples of `audioChunk` (at most the model window), zero after them.
    /// Throws `DiarizerError::processingFailed` for an answer without "segments" or not shaped
    /// [batch, frames, 7], and the allocation's and model's own failures.
    [[nodiscard]] std::vector<std::vector<float>> getSegments(std::span<const float> audioChunk,
                                                              const MLModel& segmentationModel,
                                                              std::int64_t chunkSize = modelWindowSamples) const;

    [[nodiscard]] const std::shared_ptr<ANEMemoryOptimizer>& memoryOptimizer() const noexcept {
        return memoryOptimizer_;
    }

private:
    AppLogger logger_{"Segmentation"};
    std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_;
};

}  // namespace Tervane
