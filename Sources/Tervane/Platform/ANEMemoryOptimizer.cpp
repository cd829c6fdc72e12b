#include <Tervane/Platform/ANEMemoryOptimizer.hpp>

#include <Tervane/Diarizer/Online/DiarizerError.hpp>
#include <Tervane/Platform/ANEMemoryUtils.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>

#include <algorithm>
#include <exception>

namespace Tervane {

std::shared_ptr<MLMultiArray> ANEMemoryOptimizer::getPooledBuffer(const std::string& key, const MLShape& shape,
                                                                  MLMultiArrayDataType dataType) {
    // Held through the allocation, so that concurrent first requests for a key share one array.
    const std::lock_guard lock(bufferLock_);
    const auto pooled = bufferPool_.find(key);
    if (pooled != bufferPool_.end() && pooled->second->shape() == shape &&
        pooled->second->dataType() == dataType) {
        return pooled->second;
    }
    std::shared_ptr<MLMultiArray> array = createAlignedArray(shape, dataType);
    bufferPool_.insert_or_assign(key, array);
    return array;
}

void ANEMemoryOptimizer::clearBufferPool() {
    const std::lock_guard lock(bufferLock_);
    bufferPool_.clear();
}

std::shared_ptr<MLMultiArray> ANEMemoryOptimizer::createAlignedArray(const MLShape& shape,
                                                                    MLMultiArrayDataType dataType) {
    try {
        return ANEMemoryUtils::createAlignedArray(shape, dataType, true);
    } catch (const std::exception&) {
        throw DiarizerError::memoryAllocationFailed();
    }
}

std::shared_ptr<MLMultiArray> ANEMemoryOptimizer::createZeroCopyView(const std::shared_ptr<MLMultiArray>& from,
                                                                    const MLShape& shape, std::int64_t offset) {
    try {
        return ANEMemoryUtils::createZeroCopyView(from, offset, shape);
    } catch (const ANEMemoryUtils::ANEMemoryError&) {
        throw DiarizerError::invalidArrayBounds();
    }
}

void ANEMemoryOptimizer::optimizedCopy(std::span<const float> from, MLMultiArray& to, std::int64_t offset) {
    const std::span<float> target = copyTarget(to, offset);
    VectorRoutines::mmov(from.data(), target.data(), std::min(target.size(), from.size()));
}

std::span<float> ANEMemoryOptimizer::copyTarget(MLMultiArray& to, std::int64_t offset) {
    if (to.dataType() != MLMultiArrayDataType::float32) {
        return {};
    }
    if (offset < 0 || offset > to.count()) {
        throw DiarizerError::invalidArrayBounds();
    }
    return {to.data<float>() + offset, static_cast<std::size_t>(to.count() - offset)};
}

}  // namespace Tervane
