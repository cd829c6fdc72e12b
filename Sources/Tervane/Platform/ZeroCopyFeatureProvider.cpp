#include <Tervane/Platform/ZeroCopyFeatureProvider.hpp>

namespace Tervane {

std::shared_ptr<ZeroCopyFeatureProvider> ZeroCopyFeatureProvider::chain(const MLFeatureProvider& from,
                                                                        const std::string& outputName,
                                                                        const std::string& to) {
    std::optional<MLFeatureValue> value = from.featureValue(outputName);
    if (!value) {
        return nullptr;
    }
    return std::make_shared<ZeroCopyFeatureProvider>(
        std::map<std::string, MLFeatureValue>{{to, std::move(*value)}});
}

}  // namespace Tervane
