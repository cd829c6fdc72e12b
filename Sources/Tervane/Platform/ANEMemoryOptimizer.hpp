#pragma once

#include <Tervane/Platform/ANELayout.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <concepts>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ranges>
#include <span>
#include <string>
#include <unordered_map>

namespace Tervane {

/// A keyed pool of reusable model-input arrays, plus the aligned allocation, views and copy
/// that the diarization stages use, reporting failures as `DiarizerError`. Held by
/// `std::shared_ptr`; each user owns its own.
///
/// Every caller that asks with the same key gets the same array, so callers that run at the
/// same time must use different keys.
class ANEMemoryOptimizer : public ANELayout {
public:
    ANEMemoryOptimizer() = default;
    ANEMemoryOptimizer(const ANEMemoryOptimizer&) = delete;
    ANEMemoryOptimizer& operator=(const ANEMemoryOptimizer&) = delete;

    /// The pooled array under `key` when it has this shape and type (with whatever the last
    /// user left in it); otherwise a new cleared aligned array, which replaces the pooled one.
    /// A failed allocation throws `DiarizerError::memoryAllocationFailed` and leaves the pool
    /// as it was.
    [[nodiscard]] std::shared_ptr<MLMultiArray> getPooledBuffer(const std::string& key, const MLShape& shape,
                                                                MLMultiArrayDataType dataType);

    /// Forgets every pooled array (arrays still held elsewhere stay valid).
    void clearBufferPool();

    /// A new zero-filled aligned array. Any failure, a too-large or negative size included,
    /// throws `DiarizerError::memoryAllocationFailed`.
    [[nodiscard]] static std::shared_ptr<MLMultiArray> createAlignedArray(const MLShape& shape,
                                                                          MLMultiArrayDataType dataType);

    /// A view of `shape` over `from` starting `offset` elements in, with the padded strides
    /// (`ANEMemoryUtils::createZeroCopyView`); out of bounds it throws
    /// `DiarizerError::invalidArrayBounds`.
    [[nodiscard]] static std::shared_ptr<MLMultiArray> createZeroCopyView(
        const std::shared_ptr<MLMultiArray>& from, const MLShape& shape, std::int64_t offset);

    /// Copies min(count - offset, source size) floats into `to`'s storage from element
    /// `offset` on, in storage order (padding slots included), as one block. Does nothing when
    /// `to` is not float32; an offset outside [0, count] throws
    /// `DiarizerError::invalidArrayBounds`.
    static void optimizedCopy(std::span<const float> from, MLMultiArray& to, std::int64_t offset);

    /// The same for a collection that is not one block, element by element.
    template <std::ranges::input_range Collection>
        requires(!std::ranges::contiguous_range<Collection> &&
                 std::same_as<std::ranges::range_value_t<Collection>, float>)
    static void optimizedCopy(const Collection& from, MLMultiArray& to, std::int64_t offset) {
        const std::span<float> target = copyTarget(to, offset);
        std::size_t written = 0;
        for (auto value = std::ranges::begin(from); value != std::ranges::end(from) && written < target.size();
             ++value) {
            target[written++] = *value;
        }
    }

private:
    /// The storage a copy may write: from element `offset` to the element count; empty when
    /// `to` is not float32.
    static std::span<float> copyTarget(MLMultiArray& to, std::int64_t offset);

    std::mutex bufferLock_;
    std::unordered_map<std::string, std::shared_ptr<MLMultiArray>> bufferPool_;
};

}  // namespace Tervane
