#pragma once

#include <Tervane/Platform/ANELayout.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <cstdint>
#include <memory>
#include <optional>

namespace Tervane {

/// Aligned allocation and zero-copy views in the neural-engine layout (`ANELayout`), reporting
/// failures as `ANEMemoryError`. Static members only; nothing here keeps state.
struct ANEMemoryUtils : ANELayout {
    class ANEMemoryError final : public Error {
    public:
        enum class Kind { allocationFailed, invalidShape, unsupportedDataType };

        static ANEMemoryError allocationFailed() { return ANEMemoryError(Kind::allocationFailed); }
        static ANEMemoryError invalidShape() { return ANEMemoryError(Kind::invalidShape); }
        /// Never raised: every element type has a size.
        static ANEMemoryError unsupportedDataType() { return ANEMemoryError(Kind::unsupportedDataType); }

        [[nodiscard]] Kind kind() const noexcept { return kind_; }

    private:
        explicit ANEMemoryError(Kind kind) : Error(describe(kind)), kind_(kind) {}
        static std::string describe(Kind kind);

        Kind kind_;
    };

    /// A new array of `shape` over a block of `alignedByteCount` bytes aligned to
    /// `aneAlignment`, with the padded strides; the array owns the block. The contents are
    /// zero when `zeroClear` is set and undefined otherwise. Throws `allocationFailed` when the
    /// block cannot be had (including a size too large to compute) and `invalidShape` for a
    /// negative size; a failure to wrap the block is passed up.
    [[nodiscard]] static std::shared_ptr<MLMultiArray> createAlignedArray(
        const MLShape& shape, MLMultiArrayDataType dataType, bool zeroClear);

    /// An array over `source`'s memory from element `offset` on, with `shape`, the source's
    /// element type and `strides` (the padded strides of `shape` when absent). It copies
    /// nothing and keeps `source` alive for as long as it lives. An empty shape counts as one
    /// element. Throws `invalidShape` unless the source's element count covers the view's
    /// element count plus `offset` and every element the view addresses is one the source
    /// addresses; also for a negative size or offset, or strides of another rank.
    /// `std::invalid_argument` for a null source.
    [[nodiscard]] static std::shared_ptr<MLMultiArray> createZeroCopyView(
        const std::shared_ptr<MLMultiArray>& from, std::int64_t offset, const MLShape& shape,
        const std::optional<MLShape>& strides = std::nullopt);

    /// A placement hint. On this engine memory needs no staging, so it only touches the
    /// array's description.
    static void prefetchForANE(const MLMultiArray& array) noexcept;
};

}  // namespace Tervane
