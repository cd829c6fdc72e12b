#pragma once

#include <cstdint>
#include <vector>

namespace Tervane {

/// One local speaker of one chunk, embedded: the unit of clustering.
struct TimedEmbedding {
    std::int64_t chunkIndex = 0;
    std::int64_t speakerIndex = 0;  // local speaker of that chunk
    std::int64_t startFrame = 0;    // first frame whose weight exceeds 0.001 (0 if none)
    std::int64_t endFrame = 0;      // last such frame, inclusive (startFrame if none)
    std::vector<float> frameWeights;  // at the segmentation frame rate, before resampling
    double startTime = 0;             // chunk offset + frame duration × startFrame
    double endTime = 0;               // chunk offset + frame duration × (endFrame + 1)
    std::vector<float> embedding256;  // as many values as the embedding model returns
    std::vector<double> rho128;       // the PLDA projection
};

}  // namespace Tervane
