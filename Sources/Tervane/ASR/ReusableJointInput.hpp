#pragma once

#include <Tervane/Platform/MLFeatureProvider.hpp>

#include <memory>

namespace Tervane {

/// The joint network's input, built once per decoding call: it holds the two step arrays
/// themselves, so refilling them changes what the next prediction sees.
class ReusableJointInput final : public MLFeatureProvider {
public:
    ReusableJointInput(std::shared_ptr<MLMultiArray> encoderStep, std::shared_ptr<MLMultiArray> decoderStep)
        : encoderStep_(std::move(encoderStep)), decoderStep_(std::move(decoderStep)) {}

    [[nodiscard]] std::set<std::string> featureNames() const override { return {"encoder_step", "decoder_step"}; }
    [[nodiscard]] std::optional<MLFeatureValue> featureValue(const std::string& name) const override {
        if (name == "encoder_step") {
            return MLFeatureValue(encoderStep_);
        }
        if (name == "decoder_step") {
            return MLFeatureValue(decoderStep_);
        }
        return std::nullopt;
    }

    [[nodiscard]] const std::shared_ptr<MLMultiArray>& encoderStep() const noexcept { return encoderStep_; }
    [[nodiscard]] const std::shared_ptr<MLMultiArray>& decoderStep() const noexcept { return decoderStep_; }

private:
    std::shared_ptr<MLMultiArray> encoderStep_;
    std::shared_ptr<MLMultiArray> decoderStep_;
};

}  // namespace Tervane
