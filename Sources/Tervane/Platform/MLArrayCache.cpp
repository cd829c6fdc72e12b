#include <Tervane/Platform/MLArrayCache.hpp>

#include <Tervane/Platform/ANEOptimizer.hpp>

#include <algorithm>
#include <exception>
#include <functional>
#include <string>

namespace Tervane {

namespace {

/// Arrays a single pre-warmed shape gets, whatever the budget.
constexpr std::int64_t arraysPerShapeLimit = 5;

}  // namespace

std::size_t MLArrayCache::CacheKey::Hash::operator()(const CacheKey& key) const noexcept {
    std::size_t hash = std::hash<int>{}(static_cast<int>(key.dataType));
    for (const std::int64_t size : key.shape) {
        hash ^= std::hash<std::int64_t>{}(size) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    }
    return hash;
}

MLArrayCache::MLArrayCache(std::int64_t maxCacheSize)
    : maxCacheSize_(maxCacheSize), logger_("MLArrayCache") {}

std::shared_ptr<MLMultiArray> MLArrayCache::getArray(const MLShape& shape, MLMultiArrayDataType dataType) {
    const std::lock_guard lock(mutex_);
    const auto cached = cache_.find(CacheKey{shape, dataType});
    if (cached != cache_.end() && !cached->second.empty()) {
        std::shared_ptr<MLMultiArray> array = std::move(cached->second.back());
        cached->second.pop_back();
        return array;
    }
    return ANEOptimizer::createANEAlignedArray(shape, dataType);
}

std::int64_t MLArrayCache::arraysPerShape(std::size_t pairCount) const noexcept {
    if (pairCount == 1) {
        return arraysPerShapeLimit;
    }
    const auto share = std::max<std::int64_t>(maxCacheSize_, 0) / static_cast<std::int64_t>(pairCount);
    return std::min(share, arraysPerShapeLimit);
}

void MLArrayCache::prewarm(const std::vector<std::pair<MLShape, MLMultiArrayDataType>>& shapes) {
    const std::lock_guard lock(mutex_);
    logger_.info("Pre-warming cache with " + std::to_string(shapes.size()) + " shapes");
    if (shapes.empty()) {
        return;
    }
    const std::int64_t count = arraysPerShape(shapes.size());
    for (const auto& [shape, dataType] : shapes) {
        try {
            std::vector<std::shared_ptr<MLMultiArray>> arrays;
            arrays.reserve(static_cast<std::size_t>(count));
            for (std::int64_t i = 0; i < count; ++i) {
                arrays.push_back(ANEOptimizer::createANEAlignedArray(shape, dataType));
            }
            cache_.insert_or_assign(CacheKey{shape, dataType}, std::move(arrays));
        } catch (const std::exception& error) {
            logger_.error("Failed to pre-warm shape " + shapeDescription(shape) + ": " + error.what());
        }
    }
}

std::vector<std::shared_ptr<MLMultiArray>> MLArrayCache::cachedArrays(const MLShape& shape,
                                                                      MLMultiArrayDataType dataType) const {
    const std::lock_guard lock(mutex_);
    const auto cached = cache_.find(CacheKey{shape, dataType});
    return cached == cache_.end() ? std::vector<std::shared_ptr<MLMultiArray>>{} : cached->second;
}

std::shared_ptr<MLArrayCache> sharedMLArrayCache() {
    static const std::shared_ptr<MLArrayCache> shared = std::make_shared<MLArrayCache>(100);
    return shared;
}

}  // namespace Tervane
