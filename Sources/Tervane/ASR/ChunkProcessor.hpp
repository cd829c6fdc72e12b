#pragma once

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/ASR/ChunkStitching.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <chrono>
#include <span>

namespace Tervane {

class AsrManager;

/// Recognises audio longer than one model window: overlapping chunks of just under 15 s,
/// each decoded from a fresh state, stitched so that the overlaps are neither lost nor
/// doubled. Made for one input and used once; the samples must outlive it.
struct ChunkProcessor {
    /// Samples per chunk: 1499 mel hops, 14.99 s.
    static constexpr std::int64_t chunkSamples = 239840;
    /// Every chunk is zero-padded to the one window shape the models see.
    static constexpr std::int64_t windowSamples = 240000;

    std::span<const float> audioSamples;
    AppLogger logger{"ChunkProcessor"};
    int sampleRate = 16000;
    double overlapSeconds = 2.0;

    /// Step between chunk starts; the overlap is capped at half a chunk.
    [[nodiscard]] std::int64_t strideSamples() const noexcept;

    /// Decodes every chunk through `manager` and assembles the stitched result. A chunk's
    /// failure ends the run.
    [[nodiscard]] ASRResult process(AsrManager& manager, std::chrono::steady_clock::time_point startTime) const;

    [[nodiscard]] ChunkTokens mergeChunks(const ChunkTokens& left, const ChunkTokens& right) const {
        return ChunkStitching::mergeChunks(left, right, overlapSeconds, sampleRate);
    }
};

}  // namespace Tervane
