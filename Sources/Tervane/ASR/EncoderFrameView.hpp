#pragma once

#include <Tervane/Platform/MLMultiArray.hpp>

#include <cstdint>
#include <memory>

namespace Tervane {

/// A strided window over one encoder output of shape [1, 1024, T] or [1, T, 1024], so that
/// frames are read in place whatever the layout. Keeps the array alive.
struct EncoderFrameView {
    std::int64_t hiddenSize = 1024;
    std::int64_t count = 0;  // usable frames: min(time dimension, valid length)
    std::shared_ptr<MLMultiArray> array;
    int timeAxis = 2;
    int hiddenAxis = 1;
    std::int64_t timeStride = 0;
    std::int64_t hiddenStride = 0;
    std::int64_t timeBaseOffset = 0;  // element offset of frame 0
    const float* basePointer = nullptr;

    /// Throws `ASRError::processingFailed` for a shape, layout or element type it cannot read.
    EncoderFrameView(std::shared_ptr<MLMultiArray> encoderOutput, std::int64_t validLength);

    /// Copies the 1024 values of frame `index` to `destination`, `destinationStride` floats apart.
    void copyFrame(std::int64_t index, float* destination, std::int64_t destinationStride) const;
};

}  // namespace Tervane
