#include <Tervane/Platform/MLMultiArray.hpp>

#include <Tervane/Platform/VectorRoutines.hpp>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace Tervane {

std::size_t elementSize(MLMultiArrayDataType type) noexcept {
    switch (type) {
    case MLMultiArrayDataType::float16: return 2;
    case MLMultiArrayDataType::float64: return 8;
    case MLMultiArrayDataType::float32:
    case MLMultiArrayDataType::int32: return 4;
    }
    return 4;
}

std::string_view toString(MLMultiArrayDataType type) noexcept {
    switch (type) {
    case MLMultiArrayDataType::float32: return "float32";
    case MLMultiArrayDataType::float16: return "float16";
    case MLMultiArrayDataType::float64: return "double";
    case MLMultiArrayDataType::int32: return "int32";
    }
    return "unknown";
}

std::string shapeDescription(const MLShape& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(shape[i]);
    }
    return text + "]";
}

MLShape contiguousStrides(const MLShape& shape) {
    MLShape strides(shape.size());
    std::int64_t stride = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        strides[i] = stride;
        stride *= shape[i];
    }
    return strides;
}

namespace {

std::int64_t elementCount(const MLShape& shape) {
    std::int64_t count = 1;
    for (const std::int64_t size : shape) {
        if (size < 0) {
            throw std::invalid_argument("multi-array shape " + shapeDescription(shape) +
                                        " has a negative size");
        }
        if (__builtin_mul_overflow(count, size, &count)) {
            throw std::invalid_argument("multi-array shape " + shapeDescription(shape) +
                                        " has more elements than can be counted");
        }
    }
    return count;
}

}  // namespace

std::shared_ptr<MLMultiArray> MLMultiArray::make(MLShape shape, MLMultiArrayDataType dataType) {
    const std::int64_t count = elementCount(shape);
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(count), elementSize(dataType), &bytes)) {
        throw std::bad_alloc();
    }
    void* memory = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    MLShape strides = contiguousStrides(shape);
    return make(memory, std::move(shape), dataType, std::move(strides), &std::free);
}

std::shared_ptr<MLMultiArray> MLMultiArray::make(void* dataPointer, MLShape shape,
                                                 MLMultiArrayDataType dataType, MLShape strides,
                                                 Deallocator deallocator) {
    // Whatever fails below, the memory is released exactly once: by the deallocator here, or
    // by the array's destructor once the array exists.
    MLMultiArray* array = nullptr;
    try {
        if (strides.size() != shape.size()) {
            throw std::invalid_argument("multi-array strides " + shapeDescription(strides) +
                                        " do not match shape " + shapeDescription(shape));
        }
        elementCount(shape);  // rejects negative sizes before the deallocator is handed over
        array = new MLMultiArray(dataPointer, std::move(shape), dataType, std::move(strides),
                                 std::move(deallocator));
    } catch (...) {
        if (deallocator) {
            deallocator(dataPointer);
        }
        throw;
    }
    return std::shared_ptr<MLMultiArray>(array);
}

MLMultiArray::MLMultiArray(void* data, MLShape shape, MLMultiArrayDataType dataType,
                           MLShape strides, Deallocator deallocator)
    : data_(data),
      shape_(std::move(shape)),
      strides_(std::move(strides)),
      dataType_(dataType),
      count_(elementCount(shape_)),
      deallocator_(std::move(deallocator)) {}

MLMultiArray::~MLMultiArray() {
    if (deallocator_) {
        deallocator_(data_);
    }
}

bool MLMultiArray::isContiguous() const noexcept {
    std::int64_t expected = 1;
    for (std::size_t i = shape_.size(); i-- > 0;) {
        if (shape_[i] != 1 && strides_[i] != expected) {
            return false;
        }
        expected *= shape_[i];
    }
    return true;
}

std::int64_t MLMultiArray::storageOffset(std::int64_t index) const noexcept {
    std::int64_t offset = 0;
    for (std::size_t i = shape_.size(); i-- > 0;) {
        const std::int64_t size = shape_[i];
        if (size == 0) {
            return 0;
        }
        offset += (index % size) * strides_[i];
        index /= size;
    }
    return offset;
}

namespace {

double readStorage(const void* data, MLMultiArrayDataType type, std::int64_t offset) noexcept {
    switch (type) {
    case MLMultiArrayDataType::float32: return static_cast<const float*>(data)[offset];
    case MLMultiArrayDataType::float16:
        return VectorRoutines::halfToFloat(static_cast<const std::uint16_t*>(data)[offset]);
    case MLMultiArrayDataType::float64: return static_cast<const double*>(data)[offset];
    case MLMultiArrayDataType::int32: return static_cast<const std::int32_t*>(data)[offset];
    }
    return 0;
}

void writeStorage(void* data, MLMultiArrayDataType type, std::int64_t offset, double value) noexcept {
    switch (type) {
    case MLMultiArrayDataType::float32: static_cast<float*>(data)[offset] = static_cast<float>(value); return;
    case MLMultiArrayDataType::float16:
        static_cast<std::uint16_t*>(data)[offset] = VectorRoutines::floatToHalf(static_cast<float>(value));
        return;
    case MLMultiArrayDataType::float64: static_cast<double*>(data)[offset] = value; return;
    case MLMultiArrayDataType::int32:
        static_cast<std::int32_t*>(data)[offset] = static_cast<std::int32_t>(value);
        return;
    }
}

/// Walks an array's elements in linear (row-major) order, keeping the storage offset up to
/// date without a division per element.
class StorageCursor {
public:
    explicit StorageCursor(const MLMultiArray& array)
        : shape_(array.shape()), strides_(array.strides()), index_(shape_.size(), 0) {}

    [[nodiscard]] std::int64_t offset() const noexcept { return offset_; }

    void advance() noexcept {
        for (std::size_t axis = shape_.size(); axis-- > 0;) {
            if (++index_[axis] < shape_[axis]) {
                offset_ += strides_[axis];
                return;
            }
            offset_ -= (shape_[axis] - 1) * strides_[axis];
            index_[axis] = 0;
        }
    }

private:
    const MLShape& shape_;
    const MLShape& strides_;
    MLShape index_;
    std::int64_t offset_ = 0;
};

}  // namespace

double MLMultiArray::value(std::int64_t index) const noexcept {
    return readStorage(data_, dataType_, storageOffset(index));
}

void MLMultiArray::setValue(std::int64_t index, double value) noexcept {
    writeStorage(data_, dataType_, storageOffset(index), value);
}

void MLMultiArray::copyData(const MLMultiArray& source) {
    if (source.count() < count_) {
        throw std::invalid_argument("cannot copy a multi-array of " +
                                    std::to_string(source.count()) + " elements into one of " +
                                    std::to_string(count_));
    }
    if (count_ == 0) {
        return;
    }
    if (source.dataType_ == dataType_ && isContiguous() && source.isContiguous()) {
        std::memmove(data_, source.data_, static_cast<std::size_t>(count_) * elementSize(dataType_));
        return;
    }
    StorageCursor from(source);
    StorageCursor to(*this);
    for (std::int64_t i = 0; i < count_; ++i) {
        writeStorage(data_, dataType_, to.offset(), readStorage(source.data_, source.dataType_, from.offset()));
        from.advance();
        to.advance();
    }
}

void MLMultiArray::fill(double value) noexcept {
    for (std::int64_t i = 0; i < count_; ++i) {
        setValue(i, value);
    }
}

std::string MLMultiArray::shapeString() const {
    std::string text;
    for (std::size_t i = 0; i < shape_.size(); ++i) {
        if (i > 0) {
            text += "x";
        }
        text += std::to_string(shape_[i]);
    }
    return text;
}

}  // namespace Tervane
