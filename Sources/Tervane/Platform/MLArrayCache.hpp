#pragma once

#include <Tervane/Platform/MLMultiArray.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Tervane {

/// Spare model-input arrays per shape and element type, filled ahead of time so that the
/// first predictions need not allocate. Its operations run one at a time.
///
/// Arrays handed out are never given back, so each key serves at most the arrays that
/// pre-warming put there; after that `getArray` allocates.
class MLArrayCache {
public:
    struct CacheKey {
        MLShape shape;
        MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;

        bool operator==(const CacheKey&) const = default;

        struct Hash {
            [[nodiscard]] std::size_t operator()(const CacheKey& key) const noexcept;
        };
    };

    /// `maxCacheSize` is the number of arrays a pre-warm of several shapes shares out.
    explicit MLArrayCache(std::int64_t maxCacheSize = 100);
    MLArrayCache(const MLArrayCache&) = delete;
    MLArrayCache& operator=(const MLArrayCache&) = delete;

    /// The most recently cached array for this shape and type, removed from the cache, or
    /// else a new one from `ANEOptimizer::createANEAlignedArray` (whose failure is passed
    /// up). The contents are undefined either way.
    [[nodiscard]] std::shared_ptr<MLMultiArray> getArray(const MLShape& shape, MLMultiArrayDataType dataType);

    /// Stores new uncleared arrays for each (shape, type): 5 for a single pair, otherwise
    /// `maxCacheSize` / number of pairs and at most 5 (none past `maxCacheSize` pairs). Each
    /// pair's list replaces the one before it. A pair whose allocation fails is logged and
    /// keeps its earlier list; this never fails.
    void prewarm(const std::vector<std::pair<MLShape, MLMultiArrayDataType>>& shapes);

    /// The arrays cached for this shape and type, oldest first.
    [[nodiscard]] std::vector<std::shared_ptr<MLMultiArray>> cachedArrays(const MLShape& shape,
                                                                          MLMultiArrayDataType dataType) const;

    [[nodiscard]] std::int64_t maxCacheSize() const noexcept { return maxCacheSize_; }

private:
    [[nodiscard]] std::int64_t arraysPerShape(std::size_t pairCount) const noexcept;

    mutable std::mutex mutex_;
    std::unordered_map<CacheKey, std::vector<std::shared_ptr<MLMultiArray>>, CacheKey::Hash> cache_;
    const std::int64_t maxCacheSize_;
    const AppLogger logger_;
};

/// The process-wide cache: made on first use, from any thread, with room for 100 arrays.
/// Holders of the pointer keep it alive, so a background pre-warm may outlast `main`.
[[nodiscard]] std::shared_ptr<MLArrayCache> sharedMLArrayCache();

}  // namespace Tervane
