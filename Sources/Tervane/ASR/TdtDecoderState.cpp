#include <Tervane/ASR/TdtDecoderState.hpp>

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/Platform/ANEOptimizer.hpp>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace Tervane {

namespace {

const MLShape stateShape{2, 1, ASRConstants::decoderHiddenSize};

std::shared_ptr<MLMultiArray> zeroedStateArray() {
    std::shared_ptr<MLMultiArray> array = ANEOptimizer::createANEAlignedArray(stateShape, MLMultiArrayDataType::float32);
    array->fill(0);
    return array;
}

}  // namespace

TdtDecoderState::TdtDecoderState() : hiddenState(zeroedStateArray()), cellState(zeroedStateArray()) {}

TdtDecoderState TdtDecoderState::make() {
    try {
        return TdtDecoderState();
    } catch (const std::exception& failure) {
        const std::string line = std::string("Failed to allocate decoder state: ") + failure.what() + "\n";
        (void)!::write(STDERR_FILENO, line.data(), line.size());
        std::abort();
    }
}

void TdtDecoderState::reset() {
    hiddenState->fill(0);
    cellState->fill(0);
    lastToken.reset();
    predictorOutput.reset();
    timeJump.reset();
}

void TdtDecoderState::update(const MLFeatureProvider& result) {
    if (const std::optional<MLFeatureValue> hidden = result.featureValue("h_out"); hidden && hidden->multiArrayValue()) {
        hiddenState = hidden->multiArrayValue();
    }
    if (const std::optional<MLFeatureValue> cell = result.featureValue("c_out"); cell && cell->multiArrayValue()) {
        cellState = cell->multiArrayValue();
    }
}

}  // namespace Tervane
