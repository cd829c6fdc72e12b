#include <Tervane/Platform/MLMultiArray.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace Tervane {
namespace {

TEST(MLMultiArrayTests, LinearIndexFollowsTheStrides) {
    // A [2, 3] array stored with rows padded to 4 elements; the padding holds -1.
    std::vector<float> storage = {0, 1, 2, -1, 10, 11, 12, -1};
    const auto array = MLMultiArray::make(storage.data(), {2, 3}, MLMultiArrayDataType::float32, {4, 1});
    EXPECT_EQ(array->count(), 6);
    EXPECT_FALSE(array->isContiguous());
    const std::vector<double> expected = {0, 1, 2, 10, 11, 12};
    for (std::int64_t i = 0; i < array->count(); ++i) {
        EXPECT_EQ(array->value(i), expected[static_cast<std::size_t>(i)]) << i;
    }
    EXPECT_EQ(array->shapeString(), "2x3");
    EXPECT_EQ(shapeDescription(array->shape()), "[2, 3]");

    // Copying into a contiguous int32 array converts by linear index and skips the padding.
    const auto target = MLMultiArray::make({6}, MLMultiArrayDataType::int32);
    target->copyData(*array);
    EXPECT_EQ(std::vector<std::int32_t>(target->data<std::int32_t>(), target->data<std::int32_t>() + 6),
              (std::vector<std::int32_t>{0, 1, 2, 10, 11, 12}));

    array->fill(7);
    EXPECT_EQ(storage, (std::vector<float>{7, 7, 7, -1, 7, 7, 7, -1}));
}

TEST(MLMultiArrayTests, OwnedArraysAreZeroedAndContiguous) {
    for (const MLMultiArrayDataType type : {MLMultiArrayDataType::float32, MLMultiArrayDataType::float16,
                                            MLMultiArrayDataType::float64, MLMultiArrayDataType::int32}) {
        const auto array = MLMultiArray::make({2, 1, 640}, type);
        EXPECT_EQ(array->strides(), (MLShape{640, 640, 1})) << toString(type);
        EXPECT_TRUE(array->isContiguous());
        array->setValue(1279, 0.5);
        EXPECT_EQ(array->value(0), 0);
        EXPECT_EQ(array->value(1279), type == MLMultiArrayDataType::int32 ? 0 : 0.5) << toString(type);
    }
    EXPECT_EQ(MLMultiArray::make({}, MLMultiArrayDataType::float32)->count(), 1);
}

TEST(MLMultiArrayTests, BadShapesFailAndReleaseTheCallersMemoryOnce) {
    EXPECT_THROW((void)MLMultiArray::make({2, -1}, MLMultiArrayDataType::float32), std::invalid_argument);
    EXPECT_THROW((void)MLMultiArray::make({1LL << 40, 1LL << 40}, MLMultiArrayDataType::float32),
                 std::invalid_argument);

    float storage[4] = {};
    int releases = 0;
    const auto release = [&](void* bytes) {
        EXPECT_EQ(bytes, storage);
        ++releases;
    };
    EXPECT_THROW((void)MLMultiArray::make(storage, {2, 2}, MLMultiArrayDataType::float32, {2}, release),
                 std::invalid_argument);
    EXPECT_EQ(releases, 1);
    { (void)MLMultiArray::make(storage, {2, 2}, MLMultiArrayDataType::float32, {2, 1}, release); }
    EXPECT_EQ(releases, 2);
}

TEST(VectorRoutinesTests, HalfConversionRoundsToNearestEven) {
    struct Case {
        float value;
        std::uint16_t bits;
    };
    const Case cases[] = {
        {0.0f, 0x0000},          {-0.0f, 0x8000},          {1.0f, 0x3c00},
        {-2.0f, 0xc000},         {65504.0f, 0x7bff},       {65520.0f, 0x7c00},  // rounds up to infinity
        {1e6f, 0x7c00},          {5.9604645e-8f, 0x0001},  // smallest subnormal
        {2.9802322e-8f, 0x0000},  // exactly half of it: ties to even, zero
        {1.0009765625f, 0x3c01}, {1.00048828125f, 0x3c00},  // halfway between 1 and the next: even
        {6.1035156e-5f, 0x0400},  // smallest normal
        {std::numeric_limits<float>::infinity(), 0x7c00},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VectorRoutines::floatToHalf(c.value), c.bits) << c.value;
    }
    for (const std::uint16_t bits : {0x0001, 0x03ff, 0x0400, 0x3c00, 0x7bff, 0xc000, 0x8000}) {
        EXPECT_EQ(VectorRoutines::floatToHalf(VectorRoutines::halfToFloat(bits)), bits) << bits;
    }
    EXPECT_TRUE(std::isnan(VectorRoutines::halfToFloat(VectorRoutines::floatToHalf(std::nanf("")))));
}

}  // namespace
}  // namespace Tervane
