#include <Tervane/ASR/EncoderFrameView.hpp>

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>

#include <cblas.h>

#include <algorithm>
#include <limits>
#include <string>

namespace Tervane {

namespace {

bool fitsInt32(std::int64_t value) {
    return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

}  // namespace

EncoderFrameView::EncoderFrameView(std::shared_ptr<MLMultiArray> encoderOutput, std::int64_t validLength)
    : array(std::move(encoderOutput)) {
    const MLShape& shape = array->shape();
    if (shape.size() != 3) {
        throw ASRError::processingFailed("Invalid encoder output shape: " + shapeDescription(shape));
    }
    if (shape[0] != 1) {
        throw ASRError::processingFailed("Unsupported batch dimension: " + std::to_string(shape[0]));
    }
    if (shape[1] == ASRConstants::encoderHiddenSize) {
        hiddenAxis = 1;
        timeAxis = 2;
    } else if (shape[2] == ASRConstants::encoderHiddenSize) {
        hiddenAxis = 2;
        timeAxis = 1;
    } else {
        throw ASRError::processingFailed("Encoder hidden size mismatch: " + shapeDescription(shape));
    }
    hiddenSize = ASRConstants::encoderHiddenSize;
    timeStride = array->strides()[static_cast<std::size_t>(timeAxis)];
    hiddenStride = array->strides()[static_cast<std::size_t>(hiddenAxis)];
    const std::int64_t timeDimension = shape[static_cast<std::size_t>(timeAxis)];
    count = std::min(timeDimension, validLength);
    if (count < 1) {
        throw ASRError::processingFailed("Encoder output has no frames");
    }
    if (array->dataType() != MLMultiArrayDataType::float32) {
        throw ASRError::processingFailed("Unsupported encoder output type: " + std::string(toString(array->dataType())));
    }
    timeBaseOffset = timeStride < 0 ? timeStride * (timeDimension - 1) : 0;
    basePointer = array->data<float>();
}

void EncoderFrameView::copyFrame(std::int64_t index, float* destination, std::int64_t destinationStride) const {
    if (index < 0 || index >= count) {
        throw ASRError::processingFailed("Encoder frame index out of range: " + std::to_string(index));
    }
    const float* source = basePointer + index * timeStride + timeBaseOffset;
    if (hiddenStride == 0) {
        throw ASRError::processingFailed("Invalid hidden stride: 0");
    }
    if (!fitsInt32(hiddenSize)) {
        throw ASRError::processingFailed("Hidden size exceeds supported range");
    }
    if (!fitsInt32(hiddenStride)) {
        throw ASRError::processingFailed("Hidden stride exceeds supported range");
    }
    if (!fitsInt32(destinationStride)) {
        throw ASRError::processingFailed("Destination stride exceeds supported range");
    }
    if (hiddenStride == 1 && destinationStride == 1) {
        if (source != destination) {
            VectorRoutines::mmov(source, destination, static_cast<std::size_t>(hiddenSize));
        }
        return;
    }
    // BLAS walks a negative stride from the far end, so hand it the lowest address.
    const float* lowest = hiddenStride < 0 ? source + hiddenStride * (hiddenSize - 1) : source;
    float* lowestDestination = destinationStride < 0 ? destination + destinationStride * (hiddenSize - 1) : destination;
    cblas_scopy(static_cast<int>(hiddenSize), lowest, static_cast<int>(hiddenStride), lowestDestination,
                static_cast<int>(destinationStride));
}

}  // namespace Tervane
