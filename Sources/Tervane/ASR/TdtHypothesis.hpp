#pragma once

#include <Tervane/ASR/TdtDecoderState.hpp>

#include <optional>
#include <vector>

namespace Tervane {

/// What one decoding call emitted.
struct TdtHypothesis {
    float score = 0;  // sum of the emitted tokens' confidences
    std::vector<int> ySequence;
    /// The state after the last prediction-network run; callers use their in-out state.
    std::optional<TdtDecoderState> decState;
    std::vector<int> timestamps;      // encoder frame + global frame offset, per token
    std::vector<int> tokenDurations;  // left empty by the greedy decoder
    std::vector<float> tokenConfidences;
    std::optional<int> lastToken;
};

}  // namespace Tervane
