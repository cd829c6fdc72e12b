#include <Tervane/Platform/MLFeatureProvider.hpp>

#include <stdexcept>

namespace Tervane {

std::set<std::string> MLDictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& [name, value] : dictionary_) {
        names.insert(name);
    }
    return names;
}

std::optional<MLFeatureValue> MLDictionaryFeatureProvider::featureValue(const std::string& name) const {
    const auto found = dictionary_.find(name);
    if (found == dictionary_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::shared_ptr<const MLFeatureProvider> MLArrayBatchProvider::features(std::int64_t index) const {
    if (index < 0 || index >= count()) {
        throw std::out_of_range("batch index " + std::to_string(index) + " is outside a batch of " +
                                std::to_string(count()));
    }
    return array_[static_cast<std::size_t>(index)];
}

}  // namespace Tervane
