#pragma once

#include <Tervane/Platform/MLFeatureProvider.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Tervane {

/// The diarization models' input over a fixed name-to-value map; the arrays are shared, not
/// copied.
class ZeroCopyDiarizerFeatureProvider final : public MLDictionaryFeatureProvider {
public:
    explicit ZeroCopyDiarizerFeatureProvider(std::map<std::string, MLFeatureValue> features)
        : MLDictionaryFeatureProvider(std::move(features)) {}

    [[nodiscard]] const std::map<std::string, MLFeatureValue>& features() const noexcept { return dictionary(); }

    /// `additionalFeatures` plus `from`'s output `outputName` under the name `to` (replacing
    /// any additional feature of that name); null when `from` has no such output.
    [[nodiscard]] static std::shared_ptr<ZeroCopyDiarizerFeatureProvider> chain(
        const MLFeatureProvider& from, const std::string& outputName, const std::string& to,
        std::map<std::string, MLFeatureValue> additionalFeatures = {});

    /// One provider with "waveform" and "mask" per position, for as many positions as the
    /// shorter list has.
    [[nodiscard]] static MLArrayBatchProvider batchProvider(
        const std::vector<std::shared_ptr<MLMultiArray>>& waveforms,
        const std::vector<std::shared_ptr<MLMultiArray>>& masks);
};

}  // namespace Tervane
