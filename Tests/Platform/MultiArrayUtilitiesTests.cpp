#include <Tervane/Diarizer/Online/DiarizerError.hpp>
#include <Tervane/Platform/ANEMemoryOptimizer.hpp>
#include <Tervane/Platform/ANEMemoryUtils.hpp>
#include <Tervane/Platform/ANEOptimizer.hpp>
#include <Tervane/Platform/MLArrayCache.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>
#include <Tervane/Platform/ZeroCopyDiarizerFeatureProvider.hpp>
#include <Tervane/Platform/ZeroCopyFeatureProvider.hpp>

#include "Support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <latch>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace Tervane {
namespace {

constexpr auto float32 = MLMultiArrayDataType::float32;
constexpr auto float16 = MLMultiArrayDataType::float16;
constexpr auto float64 = MLMultiArrayDataType::float64;
constexpr auto int32 = MLMultiArrayDataType::int32;

// The constants are visible through each helper.
static_assert(ANEOptimizer::aneAlignment == 64 && ANEMemoryOptimizer::aneAlignment == 64 &&
              ANEMemoryUtils::aneAlignment == 64);
static_assert(ANEOptimizer::aneTileSize == 16 && ANEMemoryOptimizer::aneTileSize == 16 &&
              ANEMemoryUtils::aneTileSize == 16);

using ArrayPointer = std::shared_ptr<MLMultiArray>;
using Allocation = std::function<ArrayPointer(const MLShape&, MLMultiArrayDataType)>;

/// What an action threw, as "Type: description", so that tables can compare failures.
std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const DomainError& error) {
        return "DomainError(" + error.domain() + ", " + std::to_string(error.code()) + "): " + error.description();
    } catch (const ANEMemoryUtils::ANEMemoryError& error) {
        return "ANEMemoryError: " + error.description();
    } catch (const DiarizerError& error) {
        return "DiarizerError: " + error.description();
    } catch (const std::exception& error) {
        return std::string("other: ") + error.what();
    }
    return "no failure";
}

bool isAligned(const MLMultiArray& array) {
    return reinterpret_cast<std::uintptr_t>(array.dataPointer()) % ANEMemoryUtils::aneAlignment == 0;
}

std::size_t blockBytes(const MLMultiArray& array) {
    return *ANEMemoryUtils::alignedByteCount(array.shape(), array.dataType());
}

struct EntryPoint {
    std::string name;
    Allocation create;
    bool cleared;
};

const std::vector<EntryPoint>& entryPoints() {
    static const std::vector<EntryPoint> points = {
        {"ANEMemoryUtils cleared", [](const MLShape& s, MLMultiArrayDataType t) { return ANEMemoryUtils::createAlignedArray(s, t, true); }, true},
        {"ANEMemoryUtils uncleared", [](const MLShape& s, MLMultiArrayDataType t) { return ANEMemoryUtils::createAlignedArray(s, t, false); }, false},
        {"ANEOptimizer", [](const MLShape& s, MLMultiArrayDataType t) { return ANEOptimizer::createANEAlignedArray(s, t); }, false},
        {"ANEMemoryOptimizer", [](const MLShape& s, MLMultiArrayDataType t) { return ANEMemoryOptimizer::createAlignedArray(s, t); }, true},
        {"new pooled buffer",
         [](const MLShape& s, MLMultiArrayDataType t) { return std::make_shared<ANEMemoryOptimizer>()->getPooledBuffer("key", s, t); },
         true},
    };
    return points;
}

TEST(AlignedArrayTest, StridesAndBlockFollowThePaddedLayout) {
    struct Case {
        MLShape shape;
        MLMultiArrayDataType type;
        MLShape strides;
        std::size_t bytes;
    };
    const std::vector<Case> cases = {
        {{3, 5, 10}, float32, {80, 16, 1}, 960},
        {{2, 1, 640}, float32, {640, 640, 1}, 5120},
        {{1, 240000}, float32, {240000, 1}, 960000},
        {{7}, float16, {1}, 64},
        {{}, float32, {}, 64},
        {{4, 17}, float64, {32, 1}, 1024},
        {{3, 0}, int32, {0, 1}, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(shapeDescription(c.shape) + " " + std::string(toString(c.type)));
        EXPECT_EQ(ANEMemoryUtils::calculateOptimalStrides(c.shape), c.strides);
        EXPECT_EQ(ANEMemoryUtils::alignedByteCount(c.shape, c.type), c.bytes);

        const ArrayPointer array = ANEMemoryUtils::createAlignedArray(c.shape, c.type, true);
        EXPECT_EQ(array->shape(), c.shape);
        EXPECT_EQ(array->strides(), c.strides);
        EXPECT_EQ(array->dataType(), c.type);
        EXPECT_TRUE(isAligned(*array));
        EXPECT_GE(malloc_usable_size(array->dataPointer()), c.bytes);
    }
}

TEST(AlignedArrayTest, EveryEntryPointGivesTheSameLayout) {
    for (const EntryPoint& entry : entryPoints()) {
        SCOPED_TRACE(entry.name);
        const ArrayPointer array = entry.create({3, 5, 10}, float32);
        EXPECT_EQ(array->shape(), (MLShape{3, 5, 10}));
        EXPECT_EQ(array->strides(), (MLShape{80, 16, 1}));
        EXPECT_EQ(array->dataType(), float32);
        EXPECT_TRUE(isAligned(*array));
        EXPECT_GE(malloc_usable_size(array->dataPointer()), 960u);
    }
}

TEST(AlignedArrayTest, ClearedEntryPointsZeroTheWholeBlockEvenOverReusedMemory) {
    for (const EntryPoint& entry : entryPoints()) {
        if (!entry.cleared) {
            continue;
        }
        SCOPED_TRACE(entry.name);
        for (int attempt = 0; attempt < 3; ++attempt) {
            {  // Leave a dirty block of the same size behind for the allocator to hand out again.
                const ArrayPointer dirty = ANEMemoryUtils::createAlignedArray({3, 5, 10}, float32, false);
                std::memset(dirty->dataPointer(), 0xAB, 960);
            }
            const ArrayPointer array = entry.create({3, 5, 10}, float32);
            const auto* bytes = static_cast<const unsigned char*>(array->dataPointer());
            EXPECT_TRUE(std::all_of(bytes, bytes + 960, [](unsigned char b) { return b == 0; }));
        }
    }
}

TEST(AlignedArrayTest, EachEntryPointReportsFailuresItsOwnWay) {
    std::vector<MLShape> impossible = {
        {std::int64_t{1} << 62},                            // bytes overflow
        {std::numeric_limits<std::int64_t>::max()},         // padding the row overflows
        {2, std::int64_t{1} << 40, std::int64_t{1} << 40},  // a stride overflows
    };
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer aborts on such a request instead of failing it
    impossible.push_back({std::int64_t{1} << 50});  // representable, but no machine has it
#endif
    const MLShape negative = {-1, 4};
    struct Expected {
        std::string entry;
        std::string allocationFailure;
        std::string shapeFailure;
    };
    const std::vector<Expected> expected = {
        {"ANEMemoryUtils cleared", "ANEMemoryError: Failed to allocate ANE-aligned memory.",
         "ANEMemoryError: Invalid shape for an ANE-aligned array or view."},
        {"ANEOptimizer", "DomainError(ANEOptimizer, -1): Failed to allocate ANE-aligned memory",
         "DomainError(ANEOptimizer, -1): ANE memory allocation error: Invalid shape for an ANE-aligned array or view."},
        {"ANEMemoryOptimizer", "DiarizerError: Failed to allocate ANE-aligned memory.",
         "DiarizerError: Failed to allocate ANE-aligned memory."},
        {"new pooled buffer", "DiarizerError: Failed to allocate ANE-aligned memory.",
         "DiarizerError: Failed to allocate ANE-aligned memory."},
    };
    for (const Expected& e : expected) {
        const auto entry = std::ranges::find(entryPoints(), e.entry, &EntryPoint::name);
        ASSERT_NE(entry, entryPoints().end());
        for (const MLShape& shape : impossible) {
            SCOPED_TRACE(e.entry + " " + shapeDescription(shape));
            EXPECT_EQ(failureOf([&] { (void)entry->create(shape, float32); }), e.allocationFailure);
        }
        EXPECT_EQ(failureOf([&] { (void)entry->create(negative, float32); }), e.shapeFailure) << e.entry;
    }
    EXPECT_EQ(ANEMemoryUtils::alignedByteCount({std::int64_t{1} << 62}, float32), std::nullopt);
}

// --- Zero-copy views -------------------------------------------------------------------

struct ViewOperation {
    std::string name;
    std::function<ArrayPointer(const ArrayPointer&, const MLShape&, std::int64_t)> view;
    std::string boundsFailure;
};

const std::vector<ViewOperation>& viewOperations() {
    static const std::vector<ViewOperation> operations = {
        {"ANEOptimizer", [](const ArrayPointer& a, const MLShape& s, std::int64_t o) { return ANEOptimizer::createZeroCopyView(a, s, o); },
         "DomainError(ANEOptimizer, -2): View exceeds source array bounds"},
        {"ANEMemoryOptimizer",
         [](const ArrayPointer& a, const MLShape& s, std::int64_t o) { return ANEMemoryOptimizer::createZeroCopyView(a, s, o); },
         "DiarizerError: Array bounds exceeded for zero-copy view."},
        {"ANEMemoryUtils", [](const ArrayPointer& a, const MLShape& s, std::int64_t o) { return ANEMemoryUtils::createZeroCopyView(a, o, s); },
         "ANEMemoryError: Invalid shape for an ANE-aligned array or view."},
    };
    return operations;
}

class ZeroCopyViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (std::int64_t i = 0; i < source->count(); ++i) {
            source->setValue(i, static_cast<double>(i));
        }
    }

    ArrayPointer source = ANEMemoryUtils::createAlignedArray({100}, float32, true);
};

TEST_F(ZeroCopyViewTest, ViewsShareTheSourceMemoryWithinItsBounds) {
    struct Case {
        MLShape shape;
        std::int64_t offset;
        bool fits;
    };
    const std::vector<Case> cases = {
        {{10}, 90, true},
        {{10}, 91, false},
        {{2, 5}, 0, true},
        {{2, 5}, 90, false},  // 10 elements, but the padded second row would reach element 110
        {{}, 99, true},      // an empty shape is one element
        {{}, 100, false},
        {{0}, 100, true},
        {{10, 10}, 0, false},  // 100 elements, but padded rows would run to element 153
        {{6, 10}, 0, true},
        {{-1, 10}, 0, false},
        {{10}, -1, false},
    };
    for (const ViewOperation& operation : viewOperations()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(operation.name + " " + shapeDescription(c.shape) + " at " + std::to_string(c.offset));
            if (!c.fits) {
                EXPECT_EQ(failureOf([&] { (void)operation.view(source, c.shape, c.offset); }), operation.boundsFailure);
                continue;
            }
            const ArrayPointer view = operation.view(source, c.shape, c.offset);
            EXPECT_EQ(view->dataPointer(), source->data<float>() + c.offset);
            EXPECT_EQ(view->shape(), c.shape);
            EXPECT_EQ(view->strides(), ANEMemoryUtils::calculateOptimalStrides(c.shape));
            EXPECT_EQ(view->dataType(), float32);
            if (view->count() > 0) {
                EXPECT_EQ(view->value(0), static_cast<double>(c.offset));
            }
        }
    }
    // Writes through a view land in the source.
    ANEMemoryOptimizer::createZeroCopyView(source, {10}, 90)->setValue(9, -1);
    EXPECT_EQ(source->value(99), -1);
}

TEST_F(ZeroCopyViewTest, ViewKeepsItsSourceAlive) {
    const std::weak_ptr<MLMultiArray> watched = source;
    ArrayPointer view = ANEOptimizer::createZeroCopyView(source, {10}, 90);
    source.reset();
    EXPECT_FALSE(watched.expired());
    EXPECT_EQ(view->value(9), 99);
    view.reset();
    EXPECT_TRUE(watched.expired());
}

TEST_F(ZeroCopyViewTest, CallerStridesAreUsedAndChecked) {
    const ArrayPointer view = ANEMemoryUtils::createZeroCopyView(source, 0, {10, 10}, MLShape{10, 1});
    EXPECT_EQ(view->strides(), (MLShape{10, 1}));
    EXPECT_EQ(view->value(13), 13);
    const std::string invalid = "ANEMemoryError: Invalid shape for an ANE-aligned array or view.";
    EXPECT_EQ(failureOf([&] { (void)ANEMemoryUtils::createZeroCopyView(source, 0, {10, 10}, MLShape{1}); }), invalid);
    EXPECT_EQ(failureOf([&] { (void)ANEMemoryUtils::createZeroCopyView(source, 0, {10, 10}, MLShape{11, 1}); }), invalid);
}

// --- Buffer pool -----------------------------------------------------------------------

TEST(BufferPoolTest, SameRequestReusesTheArrayWithItsContents) {
    ANEMemoryOptimizer pool;
    const ArrayPointer first = pool.getPooledBuffer("audio", {2, 3}, float32);
    first->setValue(4, 7);
    const ArrayPointer again = pool.getPooledBuffer("audio", {2, 3}, float32);
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->value(4), 7);
}

TEST(BufferPoolTest, AnotherShapeOrTypeReplacesTheArray) {
    struct Case {
        std::string key;
        MLShape shape;
        MLMultiArrayDataType type;
    };
    const std::vector<Case> cases = {{"audio", {3, 2}, float32}, {"audio", {2, 3}, int32}, {"mask", {2, 3}, float32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + " " + shapeDescription(c.shape));
        ANEMemoryOptimizer pool;
        const ArrayPointer original = pool.getPooledBuffer("audio", {2, 3}, float32);
        const ArrayPointer other = pool.getPooledBuffer(c.key, c.shape, c.type);
        EXPECT_NE(other, original);
        EXPECT_EQ(other->shape(), c.shape);
        EXPECT_EQ(other->dataType(), c.type);
        const bool replaced = c.key == "audio";
        EXPECT_EQ(pool.getPooledBuffer("audio", {2, 3}, float32) == original, !replaced);
    }
}

TEST(BufferPoolTest, ClearingAndFailuresLeaveThePoolConsistent) {
    ANEMemoryOptimizer pool;
    const ArrayPointer original = pool.getPooledBuffer("audio", {4}, float32);
    EXPECT_EQ(failureOf([&] { (void)pool.getPooledBuffer("audio", {std::int64_t{1} << 62}, float32); }),
              "DiarizerError: Failed to allocate ANE-aligned memory.");
    EXPECT_EQ(pool.getPooledBuffer("audio", {4}, float32), original);

    pool.clearBufferPool();
    EXPECT_NE(pool.getPooledBuffer("audio", {4}, float32), original);
}

TEST(BufferPoolTest, ConcurrentFirstRequestsShareOneArray) {
    const auto pool = std::make_shared<ANEMemoryOptimizer>();
    constexpr int threadCount = 8;
    std::vector<ArrayPointer> arrays(threadCount);
    std::latch start(threadCount);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < threadCount; ++i) {
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                arrays[static_cast<std::size_t>(i)] = pool->getPooledBuffer("shared", {1, 160000}, float32);
            });
        }
    }
    EXPECT_EQ(std::set<ArrayPointer>(arrays.begin(), arrays.end()).size(), 1u);
}

// --- Shared array cache ----------------------------------------------------------------

TEST(MLArrayCacheTest, HandsOutPrewarmedArraysLastInFirstOutThenNewOnes) {
    Testing::LogCapture log;
    MLArrayCache cache;
    cache.prewarm({{{2, 3}, float32}});

    const std::vector<ArrayPointer> cached = cache.cachedArrays({2, 3}, float32);
    ASSERT_EQ(cached.size(), 5u);
    EXPECT_EQ(std::set<ArrayPointer>(cached.begin(), cached.end()).size(), 5u);
    for (std::size_t i = cached.size(); i-- > 0;) {
        EXPECT_EQ(cache.getArray({2, 3}, float32), cached[i]);
    }
    const ArrayPointer fresh = cache.getArray({2, 3}, float32);
    EXPECT_EQ(std::ranges::find(cached, fresh), cached.end());
    EXPECT_EQ(fresh->strides(), (MLShape{16, 1}));
    EXPECT_TRUE(isAligned(*fresh));
    EXPECT_TRUE(cache.cachedArrays({2, 3}, float32).empty());

    const std::vector<Testing::CapturedLogEntry> entries = log->entries("MLArrayCache");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "Pre-warming cache with 1 shapes");
    EXPECT_EQ(entries[0].level, AppLogger::Level::info);
    EXPECT_EQ(entries[0].type, LogType::info);
    EXPECT_EQ(entries[0].subsystem, AppLogger::defaultSubsystem());
}

TEST(MLArrayCacheTest, PrewarmSharesOutArraysPerPair) {
    struct Case {
        std::size_t pairs;
        std::size_t perPair;
    };
    for (const Case c : {Case{2, 5}, Case{3, 5}, Case{21, 4}, Case{25, 4}, Case{34, 2}, Case{101, 0}}) {
        SCOPED_TRACE(std::to_string(c.pairs) + " pairs");
        Testing::LogCapture log;
        MLArrayCache cache;
        std::vector<std::pair<MLShape, MLMultiArrayDataType>> shapes;
        for (std::size_t i = 0; i < c.pairs; ++i) {
            shapes.push_back({{1, static_cast<std::int64_t>(i + 1)}, i % 2 == 0 ? float32 : int32});
        }
        cache.prewarm(shapes);
        for (const auto& [shape, type] : shapes) {
            EXPECT_EQ(cache.cachedArrays(shape, type).size(), c.perPair) << shapeDescription(shape);
        }
        EXPECT_EQ(log->messages("MLArrayCache"),
                  std::vector<std::string>{"Pre-warming cache with " + std::to_string(c.pairs) + " shapes"});
    }
}

TEST(MLArrayCacheTest, PrewarmReplacesEarlierListsAndLogsFailedPairs) {
    Testing::LogCapture log;
    MLArrayCache cache;
    cache.prewarm({{{4}, float32}});
    const std::vector<ArrayPointer> earlier = cache.cachedArrays({4}, float32);

    const MLShape impossible = {std::int64_t{1} << 62};
    cache.prewarm({{impossible, float32}, {{4}, float32}});
    const std::vector<ArrayPointer> later = cache.cachedArrays({4}, float32);
    EXPECT_EQ(later.size(), 5u);
    EXPECT_TRUE(std::ranges::none_of(later, [&](const ArrayPointer& a) { return std::ranges::count(earlier, a) > 0; }));
    EXPECT_TRUE(cache.cachedArrays(impossible, float32).empty());

    cache.prewarm({});
    const std::vector<Testing::CapturedLogEntry> entries = log->entries("MLArrayCache");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[2].message,
              "Failed to pre-warm shape [4611686018427387904]: Failed to allocate ANE-aligned memory");
    EXPECT_EQ(entries[2].level, AppLogger::Level::error);
    EXPECT_EQ(entries[3].message, "Pre-warming cache with 0 shapes");

    EXPECT_EQ(failureOf([&] { (void)cache.getArray(impossible, float32); }),
              "DomainError(ANEOptimizer, -1): Failed to allocate ANE-aligned memory");
}

TEST(MLArrayCacheTest, ConcurrentCallersNeverShareAnArray) {
    MLArrayCache cache;
    cache.prewarm({{{1, 640}, float32}});
    const std::vector<ArrayPointer> cached = cache.cachedArrays({1, 640}, float32);

    constexpr int threadCount = 4;
    std::vector<ArrayPointer> handedOut(2 * threadCount);
    std::latch start(threadCount);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < threadCount; ++i) {
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                for (int k = 0; k < 2; ++k) {
                    handedOut[static_cast<std::size_t>(2 * i + k)] = cache.getArray({1, 640}, float32);
                }
            });
        }
    }
    EXPECT_EQ(std::set<ArrayPointer>(handedOut.begin(), handedOut.end()).size(), handedOut.size());
    EXPECT_EQ(std::ranges::count_if(handedOut, [&](const ArrayPointer& a) { return std::ranges::count(cached, a) > 0; }), 5);
}

TEST(MLArrayCacheTest, SharedCacheIsOneInstanceFromEveryThread) {
    std::vector<std::shared_ptr<MLArrayCache>> seen(4);
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < seen.size(); ++i) {
            threads.emplace_back([&, i] { seen[i] = sharedMLArrayCache(); });
        }
    }
    EXPECT_EQ(std::set(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(seen[0], sharedMLArrayCache());
    EXPECT_EQ(seen[0]->maxCacheSize(), 100);
}

// --- Copy into an array ----------------------------------------------------------------

std::vector<float> storage(const MLMultiArray& array) {
    const float* data = array.data<float>();
    return {data, data + blockBytes(array) / sizeof(float)};
}

TEST(OptimizedCopyTest, CopiesABlockAtTheOffsetClippedToTheDestination) {
    struct Case {
        std::string name;
        MLShape destination;
        std::vector<float> source;
        std::int64_t offset;
        std::vector<std::pair<std::size_t, float>> written;  // storage index, value; the rest stays 0
    };
    const std::vector<Case> cases = {
        {"block at an offset", {2, 16}, {1, 2, 3}, 5, {{5, 1}, {6, 2}, {7, 3}}},
        {"clipped to the element count", {8}, {1, 2, 3, 4, 5}, 6, {{6, 1}, {7, 2}}},
        {"storage order over padded rows", {2, 10}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 0,
         {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}, {8, 9}, {9, 10}, {10, 11}, {11, 12}}},
        {"offset at the end", {4}, {1, 2}, 4, {}},
        {"empty source", {4}, {}, 0, {}},
    };
    const std::vector<std::pair<std::string, std::function<void(const std::vector<float>&, MLMultiArray&, std::int64_t)>>>
        sources = {
            {"contiguous", [](const std::vector<float>& s, MLMultiArray& d, std::int64_t o) { ANEMemoryOptimizer::optimizedCopy(s, d, o); }},
            {"element by element",
             [](const std::vector<float>& s, MLMultiArray& d, std::int64_t o) {
                 ANEMemoryOptimizer::optimizedCopy(std::deque<float>(s.begin(), s.end()), d, o);
             }},
        };
    for (const auto& [sourceKind, copy] : sources) {
        for (const Case& c : cases) {
            SCOPED_TRACE(sourceKind + ": " + c.name);
            const ArrayPointer destination = ANEMemoryOptimizer::createAlignedArray(c.destination, float32);
            std::vector<float> expected = storage(*destination);
            for (const auto& [index, value] : c.written) {
                expected[index] = value;
            }
            copy(c.source, *destination, c.offset);
            EXPECT_EQ(storage(*destination), expected);
        }
    }
}

TEST(OptimizedCopyTest, OtherElementTypesAreLeftAloneAndBadOffsetsFail) {
    for (const MLMultiArrayDataType type : {float16, int32}) {
        const ArrayPointer destination = ANEMemoryUtils::createAlignedArray({4}, type, false);
        std::memset(destination->dataPointer(), 0x5A, 64);
        const std::vector<float> source = {1, 2, 3};
        ANEMemoryOptimizer::optimizedCopy(source, *destination, 0);
        const auto* bytes = static_cast<const unsigned char*>(destination->dataPointer());
        EXPECT_TRUE(std::all_of(bytes, bytes + 64, [](unsigned char b) { return b == 0x5A; })) << toString(type);
    }
    const ArrayPointer destination = ANEMemoryOptimizer::createAlignedArray({4}, float32);
    const std::vector<float> source = {1};
    for (const std::int64_t offset : {std::int64_t{5}, std::int64_t{-1}}) {
        EXPECT_EQ(failureOf([&] { ANEMemoryOptimizer::optimizedCopy(source, *destination, offset); }),
                  "DiarizerError: Array bounds exceeded for zero-copy view.")
            << offset;
    }
}

// --- float16 conversion ----------------------------------------------------------------

TEST(ConvertToFloat16Test, ConvertsValuesIntoANewAlignedArray) {
    const ArrayPointer input = ANEMemoryUtils::createAlignedArray({4}, float32, true);
    const std::vector<float> values = {1.0f, -2.5f, 65504.0f, 0.5f};
    std::ranges::copy(values, input->data<float>());

    const ArrayPointer output = ANEOptimizer::convertToFloat16(*input);
    EXPECT_EQ(output->dataType(), float16);
    EXPECT_EQ(output->shape(), input->shape());
    EXPECT_TRUE(isAligned(*output));
    const std::uint16_t* halves = output->data<std::uint16_t>();
    EXPECT_EQ(std::vector<std::uint16_t>(halves, halves + 4), (std::vector<std::uint16_t>{0x3C00, 0xC100, 0x7BFF, 0x3800}));
}

TEST(ConvertToFloat16Test, PaddedRowsKeepEveryValueAtItsIndex) {
    const ArrayPointer input = ANEMemoryUtils::createAlignedArray({3, 10}, float32, true);
    for (std::int64_t i = 0; i < input->count(); ++i) {
        input->setValue(i, static_cast<double>(i + 1));
    }
    const ArrayPointer output = ANEOptimizer::convertToFloat16(*input);
    for (std::int64_t i = 0; i < output->count(); ++i) {
        EXPECT_EQ(output->value(i), static_cast<double>(i + 1)) << i;
    }
}

TEST(ConvertToFloat16Test, OnlyFloat32InputIsAccepted) {
    for (const MLMultiArrayDataType type : {int32, float16, float64}) {
        const ArrayPointer input = ANEMemoryUtils::createAlignedArray({4}, type, true);
        EXPECT_EQ(failureOf([&] { (void)ANEOptimizer::convertToFloat16(*input); }),
                  "DomainError(ANEOptimizer, -3): Input must be float32")
            << toString(type);
    }
}

// --- Feature providers -----------------------------------------------------------------

class FeatureProviderTest : public ::testing::Test {
protected:
    static ArrayPointer array() { return MLMultiArray::make({1}, float32); }

    ArrayPointer encoded = array();
    ArrayPointer lengths = array();
    ZeroCopyFeatureProvider outputs{{{"encoded", MLFeatureValue(encoded)}, {"lengths", MLFeatureValue(lengths)}}};
};

TEST_F(FeatureProviderTest, ProviderAnswersFromItsMap) {
    EXPECT_EQ(outputs.featureNames(), (std::set<std::string>{"encoded", "lengths"}));
    ASSERT_TRUE(outputs.featureValue("encoded"));
    EXPECT_EQ(outputs.featureValue("encoded")->multiArrayValue(), encoded);
    EXPECT_FALSE(outputs.featureValue("missing"));
}

TEST_F(FeatureProviderTest, ChainRenamesOneOutputWithoutCopying) {
    const auto chained = ZeroCopyFeatureProvider::chain(outputs, "encoded", "encoder_output");
    ASSERT_TRUE(chained);
    EXPECT_EQ(chained->featureNames(), (std::set<std::string>{"encoder_output"}));
    EXPECT_EQ(chained->featureValue("encoder_output")->multiArrayValue(), encoded);
    EXPECT_FALSE(ZeroCopyFeatureProvider::chain(outputs, "missing", "encoder_output"));
}

TEST_F(FeatureProviderTest, DiarizerChainAddsTheOutputToFurtherFeatures) {
    const ArrayPointer mask = array();
    const ArrayPointer stale = array();
    const auto chained = ZeroCopyDiarizerFeatureProvider::chain(
        outputs, "encoded", "waveform", {{"mask", MLFeatureValue(mask)}, {"waveform", MLFeatureValue(stale)}});
    ASSERT_TRUE(chained);
    EXPECT_EQ(chained->featureNames(), (std::set<std::string>{"mask", "waveform"}));
    EXPECT_EQ(chained->featureValue("waveform")->multiArrayValue(), encoded);
    EXPECT_EQ(chained->featureValue("mask")->multiArrayValue(), mask);
    EXPECT_FALSE(ZeroCopyDiarizerFeatureProvider::chain(outputs, "missing", "waveform"));
}

TEST_F(FeatureProviderTest, BatchProviderPairsWaveformsWithMasksUpToTheShorterList) {
    const std::vector<ArrayPointer> waveforms = {array(), array(), array()};
    const std::vector<ArrayPointer> masks = {array(), array()};
    const MLArrayBatchProvider batch = ZeroCopyDiarizerFeatureProvider::batchProvider(waveforms, masks);
    ASSERT_EQ(batch.count(), 2);
    for (std::int64_t i = 0; i < batch.count(); ++i) {
        const auto provider = batch.features(i);
        EXPECT_EQ(provider->featureNames(), (std::set<std::string>{"mask", "waveform"}));
        EXPECT_EQ(provider->featureValue("waveform")->multiArrayValue(), waveforms[static_cast<std::size_t>(i)]);
        EXPECT_EQ(provider->featureValue("mask")->multiArrayValue(), masks[static_cast<std::size_t>(i)]);
    }
}

}  // namespace
}  // namespace Tervane
