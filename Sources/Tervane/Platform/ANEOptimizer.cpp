#include <Tervane/Platform/ANEOptimizer.hpp>

#include <Tervane/Platform/ANEMemoryUtils.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>

#include <exception>
#include <span>

namespace Tervane {

std::shared_ptr<MLMultiArray> ANEOptimizer::createANEAlignedArray(const MLShape& shape,
                                                                 MLMultiArrayDataType dataType) {
    try {
        return ANEMemoryUtils::createAlignedArray(shape, dataType, false);
    } catch (const ANEMemoryUtils::ANEMemoryError& error) {
        if (error.kind() == ANEMemoryUtils::ANEMemoryError::Kind::allocationFailed) {
            throw DomainError(errorDomain, allocationErrorCode, "Failed to allocate ANE-aligned memory");
        }
        throw DomainError(errorDomain, allocationErrorCode,
                          "ANE memory allocation error: " + error.description());
    } catch (const std::exception& error) {
        throw DomainError(errorDomain, allocationErrorCode,
                          std::string("ANE memory allocation error: ") + error.what());
    }
}

std::shared_ptr<MLMultiArray> ANEOptimizer::createZeroCopyView(const std::shared_ptr<MLMultiArray>& from,
                                                              const MLShape& shape, std::int64_t offset) {
    try {
        return ANEMemoryUtils::createZeroCopyView(from, offset, shape);
    } catch (const ANEMemoryUtils::ANEMemoryError&) {
        throw DomainError(errorDomain, viewBoundsErrorCode, "View exceeds source array bounds");
    }
}

MLComputeUnits ANEOptimizer::optimalComputeUnits(ModelType) noexcept {
    return MLComputeUnits::cpuAndNeuralEngine;
}

void ANEOptimizer::prefetchToNeuralEngine(const MLMultiArray& array) noexcept {
    if (array.count() == 0) {
        return;
    }
    [[maybe_unused]] volatile double touched = array.value(0);
    touched = array.value(array.count() - 1);
}

std::shared_ptr<MLMultiArray> ANEOptimizer::convertToFloat16(const MLMultiArray& input) {
    if (input.dataType() != MLMultiArrayDataType::float32) {
        throw DomainError(errorDomain, inputTypeErrorCode, "Input must be float32");
    }
    std::shared_ptr<MLMultiArray> output = createANEAlignedArray(input.shape(), MLMultiArrayDataType::float16);
    const std::int64_t count = input.count();
    const float* source = input.data<float>();
    std::uint16_t* destination = output->data<std::uint16_t>();
    if (count == 0) {
        return output;
    }
    if (input.isContiguous() && output->isContiguous()) {
        VectorRoutines::convertFloatToHalf({source, static_cast<std::size_t>(count)}, destination);
        return output;
    }
    // Rows are padded (or the input is strided): convert a row at a time so that no value
    // lands in another row's padding.
    const std::int64_t rowLength = input.shape().back();
    if (input.strides().back() == 1) {
        for (std::int64_t first = 0; first < count; first += rowLength) {
            VectorRoutines::convertFloatToHalf(
                std::span(source + input.storageOffset(first), static_cast<std::size_t>(rowLength)),
                destination + output->storageOffset(first));
        }
        return output;
    }
    for (std::int64_t i = 0; i < count; ++i) {
        destination[output->storageOffset(i)] = VectorRoutines::floatToHalf(source[input.storageOffset(i)]);
    }
    return output;
}

}  // namespace Tervane
