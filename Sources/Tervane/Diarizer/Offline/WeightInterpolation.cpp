#include <Tervane/Diarizer/Offline/WeightInterpolation.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace Tervane::WeightInterpolation {

InterpolationCoefficients::InterpolationCoefficients(std::int64_t inputLength, std::int64_t outputLength_)
    : outputLength(outputLength_) {
    if (inputLength < 1 || outputLength_ < 1) {
        throw std::invalid_argument("weight interpolation needs lengths of at least 1, got " +
                                    std::to_string(inputLength) + " and " + std::to_string(outputLength_));
    }
    const auto count = static_cast<std::size_t>(outputLength_);
    lowerIndices.resize(count);
    upperIndices.resize(count);
    lowerWeights.resize(count);
    upperWeights.resize(count);

    const float last = static_cast<float>(inputLength - 1);
    const float scale = static_cast<float>(outputLength_) / static_cast<float>(inputLength);
    for (std::size_t i = 0; i < count; ++i) {
        float x = (static_cast<float>(i) + 0.5F) / scale - 0.5F;
        if (x > last) {
            x = last;
        }
        if (x <= 0) {
            x = 0;
        }
        const auto lower = static_cast<std::int64_t>(std::floor(x));
        const std::int64_t upper = std::min(inputLength - 1, lower + 1);
        const float upperWeight = x - static_cast<float>(lower);
        lowerIndices[i] = lower;
        upperIndices[i] = upper;
        upperWeights[i] = upperWeight;
        lowerWeights[i] = 1.0F - upperWeight;
        maxUpperIndex = std::max(maxUpperIndex, upper);
    }
}

std::vector<float> InterpolationCoefficients::interpolate(const std::vector<float>& input) const {
    if (input.empty()) {
        return {};
    }
    if (static_cast<std::int64_t>(input.size()) <= maxUpperIndex) {
        throw std::invalid_argument("weight interpolation needs more than " + std::to_string(maxUpperIndex) +
                                    " values, got " + std::to_string(input.size()));
    }
    std::vector<float> output(lowerIndices.size());
    for (std::size_t i = 0; i < output.size(); ++i) {
        output[i] = input[static_cast<std::size_t>(lowerIndices[i])] * lowerWeights[i] +
                    input[static_cast<std::size_t>(upperIndices[i])] * upperWeights[i];
    }
    return output;
}

}  // namespace Tervane::WeightInterpolation
