#pragma once

#include <cstdint>
#include <vector>

namespace Tervane {

/// One segmentation window: per-frame log-probabilities over the model's powerset classes and
/// the activity of the window's three local speakers. Local speaker indices mean nothing
/// across chunks until clustering links them.
struct SegmentationChunk {
    std::int64_t chunkIndex = 0;
    double chunkOffsetSeconds = 0;  // window start sample ÷ sample rate
    double frameDuration = 0;       // window duration ÷ frames per window
    std::vector<std::vector<float>> logProbs;        // frames × classes
    std::vector<std::vector<float>> speakerWeights;  // frames × 3, each in [0, 1]
};

/// Every chunk of one recording. Frame f of chunk c starts at
/// `chunkOffsets[c]` + f × `frameDuration` seconds.
struct SegmentationOutput {
    std::vector<std::vector<std::vector<float>>> logProbs;
    std::vector<std::vector<std::vector<float>>> speakerWeights;
    std::int64_t numChunks = 0;
    std::int64_t numFrames = 0;
    std::int64_t numSpeakers = 3;
    std::vector<double> chunkOffsets;
    double frameDuration = 0;
};

/// A chunk handler's answer.
enum class SegmentationChunkContinuation { proceed, stop };

}  // namespace Tervane
