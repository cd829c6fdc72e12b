#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Tervane {

/// Element types a multi-array can hold. `double` is a C++ keyword, so the 8-byte case is
/// spelt `float64`; its text form is still "double".
enum class MLMultiArrayDataType { float32, float16, float64, int32 };

/// Bytes per element: 2 for float16, 8 for float64, 4 otherwise.
[[nodiscard]] std::size_t elementSize(MLMultiArrayDataType type) noexcept;
/// "float32", "float16", "double" or "int32".
[[nodiscard]] std::string_view toString(MLMultiArrayDataType type) noexcept;

/// Sizes and strides count elements, outermost dimension first.
using MLShape = std::vector<std::int64_t>;

/// A typed, strided view of memory that a model reads or writes: the unit every model input
/// and output is made of. Held by `std::shared_ptr`; copies of the pointer share the memory.
///
/// The memory is either owned (allocated here, released with the array) or the caller's, in
/// which case the deallocator runs when the array is destroyed. Element `i` in linear
/// (row-major, logical) order lives at `dataPointer() + storageOffset(i) * elementSize`.
class MLMultiArray {
public:
    using Deallocator = std::function<void(void* bytes)>;

    /// Zero-filled, contiguous (row-major) storage of `shape`.
    /// Throws `std::invalid_argument` for a negative size and `std::bad_alloc` when out of memory.
    static std::shared_ptr<MLMultiArray> make(MLShape shape, MLMultiArrayDataType dataType);

    /// Wraps caller memory. `strides` must have one entry per dimension. `deallocator`, if
    /// set, receives `dataPointer` when the array is destroyed, or before `make` throws (
    /// `std::invalid_argument` when the strides or shape are invalid, `std::bad_alloc`), so
    /// the memory is released exactly once either way.
    static std::shared_ptr<MLMultiArray> make(void* dataPointer, MLShape shape,
                                              MLMultiArrayDataType dataType, MLShape strides,
                                              Deallocator deallocator = {});

    MLMultiArray(const MLMultiArray&) = delete;
    MLMultiArray& operator=(const MLMultiArray&) = delete;
    ~MLMultiArray();

    [[nodiscard]] void* dataPointer() const noexcept { return data_; }
    template <class T>
    [[nodiscard]] T* data() const noexcept {
        return static_cast<T*>(data_);
    }
    [[nodiscard]] const MLShape& shape() const noexcept { return shape_; }
    [[nodiscard]] const MLShape& strides() const noexcept { return strides_; }
    [[nodiscard]] MLMultiArrayDataType dataType() const noexcept { return dataType_; }
    /// Number of elements: the product of the shape (1 for an empty shape).
    [[nodiscard]] std::int64_t count() const noexcept { return count_; }
    /// True when the strides are the row-major strides of the shape.
    [[nodiscard]] bool isContiguous() const noexcept;

    /// Storage offset, in elements from `dataPointer()`, of the element at linear index `index`.
    [[nodiscard]] std::int64_t storageOffset(std::int64_t index) const noexcept;

    /// Element at linear index `index`, converted to double. No bounds check.
    [[nodiscard]] double value(std::int64_t index) const noexcept;
    /// Stores `value` at linear index `index`, converted to the element type. No bounds check.
    void setValue(std::int64_t index, double value) noexcept;

    /// Copies `source` into this array element by element, by linear index, for this array's
    /// element count, converting element types as needed. The source must hold at least
    /// `count()` elements.
    void copyData(const MLMultiArray& source);

    /// Writes `value` into every element.
    void fill(double value) noexcept;

    /// The sizes joined by "x": a [1, 640, 1] array gives "1x640x1".
    [[nodiscard]] std::string shapeString() const;

private:
    MLMultiArray(void* data, MLShape shape, MLMultiArrayDataType dataType, MLShape strides,
                 Deallocator deallocator);

    void* data_;
    MLShape shape_;
    MLShape strides_;
    MLMultiArrayDataType dataType_;
    std::int64_t count_;
    Deallocator deallocator_;
};

/// "[3, 5, 10]": a shape or any list of sizes as a bracketed, comma-separated list.
[[nodiscard]] std::string shapeDescription(const MLShape& shape);

/// Row-major (contiguous) strides of a shape.
[[nodiscard]] MLShape contiguousStrides(const MLShape& shape);

}  // namespace Tervane
