#pragma once

#include <Tervane/Platform/MLMultiArray.hpp>

#include <cstdint>
#include <cstring>
#include <span>

// Float reads and writes on model arrays for the offline stages, by logical (row-major) index,
// with a single block copy where the array is contiguous float32. Padded layouts keep their
// padding untouched, so no value lands where the model does not look.
namespace Tervane::OfflineArrayAccess {

/// The first `destination.size()` elements of `array`; it must hold at least that many.
inline void readFloats(const MLMultiArray& array, std::span<float> destination) {
    if (array.dataType() == MLMultiArrayDataType::float32 && array.isContiguous()) {
        std::memcpy(destination.data(), array.dataPointer(), destination.size_bytes());
        return;
    }
    for (std::size_t i = 0; i < destination.size(); ++i) {
        destination[i] = static_cast<float>(array.value(static_cast<std::int64_t>(i)));
    }
}

/// Writes `values` into the first `values.size()` elements of `array`; it must hold that many.
inline void writeFloats(MLMultiArray& array, std::span<const float> values) {
    if (array.dataType() == MLMultiArrayDataType::float32 && array.isContiguous()) {
        std::memcpy(array.dataPointer(), values.data(), values.size_bytes());
        return;
    }
    if (array.dataType() == MLMultiArrayDataType::float32 && array.shape().size() >= 1) {
        // Row by row: one block per innermost row, padding left alone.
        const std::int64_t rowLength = array.shape().back();
        auto* base = array.data<float>();
        for (std::size_t start = 0; start < values.size(); start += static_cast<std::size_t>(rowLength)) {
            const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(rowLength), values.size() - start);
            std::memcpy(base + array.storageOffset(static_cast<std::int64_t>(start)), values.data() + start,
                        length * sizeof(float));
        }
        return;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        array.setValue(static_cast<std::int64_t>(i), values[i]);
    }
}

}  // namespace Tervane::OfflineArrayAccess
