#include <Tervane/Platform/ZeroCopyDiarizerFeatureProvider.hpp>

#include <algorithm>

namespace Tervane {

std::shared_ptr<ZeroCopyDiarizerFeatureProvider> ZeroCopyDiarizerFeatureProvider::chain(
    const MLFeatureProvider& from, const std::string& outputName, const std::string& to,
    std::map<std::string, MLFeatureValue> additionalFeatures) {
    std::optional<MLFeatureValue> value = from.featureValue(outputName);
    if (!value) {
        return nullptr;
    }
    additionalFeatures.insert_or_assign(to, std::move(*value));
    return std::make_shared<ZeroCopyDiarizerFeatureProvider>(std::move(additionalFeatures));
}

MLArrayBatchProvider ZeroCopyDiarizerFeatureProvider::batchProvider(
    const std::vector<std::shared_ptr<MLMultiArray>>& waveforms,
    const std::vector<std::shared_ptr<MLMultiArray>>& masks) {
    const std::size_t count = std::min(waveforms.size(), masks.size());
    std::vector<std::shared_ptr<const MLFeatureProvider>> providers;
    providers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        providers.push_back(std::make_shared<ZeroCopyDiarizerFeatureProvider>(std::map<std::string, MLFeatureValue>{
            {"waveform", MLFeatureValue(waveforms[i])}, {"mask", MLFeatureValue(masks[i])}}));
    }
    return MLArrayBatchProvider(std::move(providers));
}

}  // namespace Tervane
