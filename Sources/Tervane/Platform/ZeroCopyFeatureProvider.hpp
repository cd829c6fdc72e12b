#pragma once

#include <Tervane/Platform/MLFeatureProvider.hpp>

#include <map>
#include <memory>
#include <string>

namespace Tervane {

/// A model input over a fixed name-to-value map; the arrays are shared, not copied.
class ZeroCopyFeatureProvider final : public MLDictionaryFeatureProvider {
public:
    explicit ZeroCopyFeatureProvider(std::map<std::string, MLFeatureValue> features)
        : MLDictionaryFeatureProvider(std::move(features)) {}

    [[nodiscard]] const std::map<std::string, MLFeatureValue>& features() const noexcept { return dictionary(); }

    /// A provider whose only feature is `from`'s output `outputName`, renamed `to`, so that
    /// one model's output feeds the next without a copy; null when `from` has no such output.
    [[nodiscard]] static std::shared_ptr<ZeroCopyFeatureProvider> chain(const MLFeatureProvider& from,
                                                                        const std::string& outputName,
                                                                        const std::string& to);
};

}  // namespace Tervane
