#include <Tervane/Diarizer/Offline/VDSPOperations.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace {

using Tervane::VDSPOperations;

TEST(VDSPOperationsTests, L2NormalizeScalesToUnitLength) {
    EXPECT_EQ(VDSPOperations::l2Normalize({3, -4}), (std::vector<float>{0.6F, -0.8F}));
    EXPECT_EQ(VDSPOperations::l2Normalize({}), std::vector<float>{});
    // The 1e-12 floor keeps a zero vector zero instead of NaN.
    EXPECT_EQ(VDSPOperations::l2Normalize({0, 0}), (std::vector<float>{0, 0}));
}

TEST(VDSPOperationsTests, LogSumExpIsStableForLargeAndInfiniteValues) {
    const float infinity = std::numeric_limits<float>::infinity();
    EXPECT_NEAR(VDSPOperations::logSumExp({1, 2, 3}), 3.0F + std::log(1.0F + std::exp(-1.0F) + std::exp(-2.0F)),
                1e-6F);
    EXPECT_FLOAT_EQ(VDSPOperations::logSumExp({1000, 1000}), 1000.0F + std::log(2.0F));
    EXPECT_EQ(VDSPOperations::logSumExp({}), -infinity);
    EXPECT_EQ(VDSPOperations::logSumExp({-infinity, -infinity}), -infinity);
    EXPECT_EQ(VDSPOperations::logSumExp({-infinity, 0}), 0.0F);
    EXPECT_EQ(VDSPOperations::logSumExp({1, infinity}), infinity);
}

TEST(VDSPOperationsTests, MatrixVectorMultiplyGivesOneDotProductPerRow) {
    EXPECT_EQ(VDSPOperations::matrixVectorMultiply({{1, 2}, {3, 4}, {5, 7}}, {1, -1}),
              (std::vector<float>{-1, -1, -2}));
    EXPECT_EQ(VDSPOperations::matrixVectorMultiply({}, {1, 2}), std::vector<float>{});
    EXPECT_EQ(VDSPOperations::matrixVectorMultiply({{}, {}}, {}), (std::vector<float>{0, 0}));
    // A short row would be read past its end.
    EXPECT_THROW((void)VDSPOperations::matrixVectorMultiply({{1, 2}, {3}}, {1, 1}), std::invalid_argument);
}

}  // namespace
