#pragma once

#include <Tervane/Platform/MLMultiArray.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace Tervane {

/// The memory layout the neural-engine placement asks for: blocks aligned to 64 bytes, rows
/// (the innermost dimension) padded to whole 16-element tiles. `ANEMemoryUtils`,
/// `ANEOptimizer` and `ANEMemoryOptimizer` derive from it, so all three name the same
/// constants and the same rule.
struct ANELayout {
    /// Alignment of every block, in bytes.
    static constexpr std::size_t aneAlignment = 64;
    /// Row padding granule, in elements.
    static constexpr std::int64_t aneTileSize = 16;

    /// Strides in elements, outermost first: 1 for the innermost dimension, then its size
    /// rounded up to a multiple of `aneTileSize`, then each stride the previous one times the
    /// size just inside it. [3, 5, 10] gives [80, 16, 1]; an empty shape has no strides.
    /// Throws `std::invalid_argument` for a negative size and `std::overflow_error` when a
    /// stride does not fit in 64 bits.
    [[nodiscard]] static MLShape calculateOptimalStrides(const MLShape& shape);

    /// Bytes of the block that holds `shape` in that layout: outermost stride times outermost
    /// size elements (none for an empty shape), rounded up to a multiple of `aneAlignment` and
    /// at least `aneAlignment`. None when the size (or a stride) does not fit, so a huge shape
    /// fails instead of wrapping round to a small block. Throws `std::invalid_argument` for a
    /// negative size.
    [[nodiscard]] static std::optional<std::size_t> alignedByteCount(const MLShape& shape,
                                                                     MLMultiArrayDataType dataType);
};

}  // namespace Tervane
