#include <Tervane/Platform/ANEMemoryUtils.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace Tervane {

namespace {

/// Product of the sizes (1 for an empty shape); none for a negative size or on overflow.
std::optional<std::int64_t> checkedCount(const MLShape& shape) {
    std::int64_t count = 1;
    for (const std::int64_t size : shape) {
        if (size < 0 || __builtin_mul_overflow(count, size, &count)) {
            return std::nullopt;
        }
    }
    return count;
}

/// The lowest and highest storage offsets an array with at least one element addresses.
struct StorageExtent {
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
};

std::optional<StorageExtent> storageExtent(const MLShape& shape, const MLShape& strides) {
    StorageExtent extent;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        std::int64_t reach = 0;
        if (__builtin_mul_overflow(shape[i] - 1, strides[i], &reach)) {
            return std::nullopt;
        }
        std::int64_t& end = reach < 0 ? extent.lowest : extent.highest;
        if (__builtin_add_overflow(end, reach, &end)) {
            return std::nullopt;
        }
    }
    return extent;
}

/// Whether every element of the view lies among the elements the source addresses. The
/// element-count check alone lets a view with padded rows run past the end of its source.
bool viewStaysInside(const MLMultiArray& source, std::int64_t offset, const MLShape& shape,
                     const MLShape& strides) {
    const std::optional<StorageExtent> outer = storageExtent(source.shape(), source.strides());
    const std::optional<StorageExtent> inner = storageExtent(shape, strides);
    if (!outer || !inner) {
        return false;
    }
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
    if (__builtin_add_overflow(offset, inner->lowest, &lowest) ||
        __builtin_add_overflow(offset, inner->highest, &highest)) {
        return false;
    }
    return lowest >= outer->lowest && highest <= outer->highest;
}

}  // namespace

std::string ANEMemoryUtils::ANEMemoryError::describe(Kind kind) {
    switch (kind) {
    case Kind::allocationFailed: return "Failed to allocate ANE-aligned memory.";
    case Kind::invalidShape: return "Invalid shape for an ANE-aligned array or view.";
    case Kind::unsupportedDataType: return "Unsupported data type for an ANE-aligned array.";
    }
    return "ANE memory error.";
}

std::shared_ptr<MLMultiArray> ANEMemoryUtils::createAlignedArray(const MLShape& shape,
                                                                 MLMultiArrayDataType dataType,
                                                                 bool zeroClear) {
    if (std::ranges::any_of(shape, [](std::int64_t size) { return size < 0; })) {
        throw ANEMemoryError::invalidShape();
    }
    const std::optional<std::size_t> bytes = alignedByteCount(shape, dataType);
    if (!bytes) {
        throw ANEMemoryError::allocationFailed();
    }
    MLShape strides = calculateOptimalStrides(shape);
    void* block = std::aligned_alloc(aneAlignment, *bytes);
    if (block == nullptr) {
        throw ANEMemoryError::allocationFailed();
    }
    if (zeroClear) {
        std::memset(block, 0, *bytes);
    }
    // From here the deallocator owns the block, even if `make` fails.
    return MLMultiArray::make(block, shape, dataType, std::move(strides), &std::free);
}

std::shared_ptr<MLMultiArray> ANEMemoryUtils::createZeroCopyView(
    const std::shared_ptr<MLMultiArray>& from, std::int64_t offset, const MLShape& shape,
    const std::optional<MLShape>& strides) {
    if (!from) {
        throw std::invalid_argument("cannot make a zero-copy view of a null multi-array");
    }
    const std::optional<std::int64_t> count = checkedCount(shape);
    std::int64_t end = 0;
    if (!count || offset < 0 || __builtin_add_overflow(*count, offset, &end) || end > from->count()) {
        throw ANEMemoryError::invalidShape();
    }

    MLShape viewStrides;
    if (strides) {
        if (strides->size() != shape.size()) {
            throw ANEMemoryError::invalidShape();
        }
        viewStrides = *strides;
    } else {
        try {
            viewStrides = calculateOptimalStrides(shape);
        } catch (const std::overflow_error&) {
            throw ANEMemoryError::invalidShape();
        }
    }
    if (*count > 0 && !viewStaysInside(*from, offset, shape, viewStrides)) {
        throw ANEMemoryError::invalidShape();
    }

    auto* start = static_cast<std::byte*>(from->dataPointer()) +
                  offset * static_cast<std::int64_t>(elementSize(from->dataType()));
    // The view frees nothing; holding the source in its release action keeps the memory valid
    // however long the view is kept.
    return MLMultiArray::make(start, shape, from->dataType(), std::move(viewStrides),
                              [source = from](void*) {});
}

void ANEMemoryUtils::prefetchForANE(const MLMultiArray& array) noexcept {
    [[maybe_unused]] const void* address = array.dataPointer();
    [[maybe_unused]] const MLMultiArrayDataType type = array.dataType();
    [[maybe_unused]] const std::int64_t count = array.count();
}

}  // namespace Tervane
