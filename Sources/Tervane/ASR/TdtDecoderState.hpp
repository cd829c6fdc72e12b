#pragma once

#include <Tervane/Platform/MLFeatureProvider.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <memory>
#include <optional>

namespace Tervane {

/// What one recognition stream carries from one decoding call to the next. A copied record,
/// but the arrays are shared: a copy refers to the same memory.
struct TdtDecoderState {
    std::shared_ptr<MLMultiArray> hiddenState;  // [2, 1, 640] float32: LSTM layers, batch, width
    std::shared_ptr<MLMultiArray> cellState;    // [2, 1, 640] float32
    std::optional<int> lastToken;
    std::shared_ptr<MLMultiArray> predictorOutput;  // prediction output for `lastToken`, when cached
    /// Frames by which the previous call's cursor ran past its effective length.
    std::optional<int> timeJump;

    /// Zeroed aligned arrays, nothing carried. Throws when an allocation fails.
    TdtDecoderState();

    /// A fresh state; an allocation failure ends the process, as nothing can decode without it.
    [[nodiscard]] static TdtDecoderState make();

    /// Back to fresh, keeping the arrays.
    void reset();

    /// Takes the new LSTM state from a prediction-network result's "h_out" and "c_out"; a
    /// missing output leaves its field as it was.
    void update(const MLFeatureProvider& result);
};

}  // namespace Tervane
