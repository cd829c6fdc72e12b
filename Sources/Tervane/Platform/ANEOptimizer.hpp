#pragma once

#include <Tervane/Platform/ANELayout.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <cstdint>
#include <memory>

namespace Tervane {

/// Neural-engine helpers for the recognition models. Failures are `DomainError`s in the
/// domain `errorDomain` with the codes below. Static members only.
struct ANEOptimizer : ANELayout {
    /// A label for the recognition models.
    enum class ModelType { encoder, decoder, joint };

    static constexpr const char* errorDomain = "ANEOptimizer";
    static constexpr std::int64_t allocationErrorCode = -1;
    static constexpr std::int64_t viewBoundsErrorCode = -2;
    static constexpr std::int64_t inputTypeErrorCode = -3;

    /// An uncleared aligned array (`ANEMemoryUtils::createAlignedArray`). A failed allocation
    /// is described "Failed to allocate ANE-aligned memory"; any other failure "ANE memory
    /// allocation error: " + its description.
    [[nodiscard]] static std::shared_ptr<MLMultiArray> createANEAlignedArray(
        const MLShape& shape, MLMultiArrayDataType dataType);

    /// A view of `shape` over `from` starting `offset` elements in, with the padded strides
    /// (`ANEMemoryUtils::createZeroCopyView`); out of bounds it fails with "View exceeds
    /// source array bounds".
    [[nodiscard]] static std::shared_ptr<MLMultiArray> createZeroCopyView(
        const std::shared_ptr<MLMultiArray>& from, const MLShape& shape, std::int64_t offset);

    /// `cpuAndNeuralEngine` for every model.
    [[nodiscard]] static MLComputeUnits optimalComputeUnits(ModelType modelType) noexcept;

    /// Touches the first and the last element so that they are resident before a prediction.
    static void prefetchToNeuralEngine(const MLMultiArray& array) noexcept;

    /// A new uncleared aligned float16 array of the input's shape holding its values. Each
    /// element is converted to the same logical index, so padded rows stay padding. Fails with
    /// "Input must be float32" for any other input type.
    [[nodiscard]] static std::shared_ptr<MLMultiArray> convertToFloat16(const MLMultiArray& input);
};

}  // namespace Tervane
