#include <Tervane/Platform/ANELayout.hpp>

#include <stdexcept>

namespace Tervane {

namespace {

/// The padded strides, or none when one does not fit in 64 bits.
std::optional<MLShape> paddedStrides(const MLShape& shape) {
    for (const std::int64_t size : shape) {
        if (size < 0) {
            throw std::invalid_argument("multi-array shape " + shapeDescription(shape) +
                                        " has a negative size");
        }
    }
    MLShape strides(shape.size());
    if (shape.empty()) {
        return strides;
    }
    std::int64_t paddedRow = 0;
    if (__builtin_add_overflow(shape.back(), ANELayout::aneTileSize - 1, &paddedRow)) {
        return std::nullopt;
    }
    paddedRow -= paddedRow % ANELayout::aneTileSize;

    strides.back() = 1;
    std::int64_t stride = paddedRow;
    for (std::size_t i = shape.size() - 1; i-- > 0;) {
        strides[i] = stride;
        if (i > 0 && __builtin_mul_overflow(stride, shape[i], &stride)) {
            return std::nullopt;
        }
    }
    return strides;
}

}  // namespace

MLShape ANELayout::calculateOptimalStrides(const MLShape& shape) {
    std::optional<MLShape> strides = paddedStrides(shape);
    if (!strides) {
        throw std::overflow_error("the strides of multi-array shape " + shapeDescription(shape) +
                                  " do not fit in 64 bits");
    }
    return std::move(*strides);
}

std::optional<std::size_t> ANELayout::alignedByteCount(const MLShape& shape,
                                                       MLMultiArrayDataType dataType) {
    const std::optional<MLShape> strides = paddedStrides(shape);
    if (!strides) {
        return std::nullopt;
    }
    std::size_t elements = 0;
    if (!shape.empty() &&
        __builtin_mul_overflow(static_cast<std::uint64_t>(strides->front()),
                               static_cast<std::uint64_t>(shape.front()), &elements)) {
        return std::nullopt;
    }
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(elements, elementSize(dataType), &bytes) ||
        __builtin_add_overflow(bytes, aneAlignment - 1, &bytes)) {
        return std::nullopt;
    }
    bytes -= bytes % aneAlignment;
    return bytes < aneAlignment ? aneAlignment : bytes;
}

}  // namespace Tervane
