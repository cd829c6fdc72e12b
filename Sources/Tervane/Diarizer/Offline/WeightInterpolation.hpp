#pragma once

#include <cstdint>
#include <vector>

namespace Tervane::WeightInterpolation {

/// A precomputed linear resampler from `inputLength` to `outputLength` points with half-pixel
/// centres: the ends repeat the first and last input value. All arithmetic in 32-bit float.
struct InterpolationCoefficients {
    /// Both lengths must be at least 1; otherwise `std::invalid_argument`.
    InterpolationCoefficients(std::int64_t inputLength, std::int64_t outputLength);

    std::vector<std::int64_t> lowerIndices;
    std::vector<std::int64_t> upperIndices;
    std::vector<float> lowerWeights;
    std::vector<float> upperWeights;
    std::int64_t maxUpperIndex = 0;
    std::int64_t outputLength = 0;

    /// `outputLength` values; empty for an empty input. An input of no more than
    /// `maxUpperIndex` values throws `std::invalid_argument`.
    [[nodiscard]] std::vector<float> interpolate(const std::vector<float>& input) const;
};

}  // namespace Tervane::WeightInterpolation
