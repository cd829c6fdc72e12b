#pragma once

#include <Tervane/Platform/MLMultiArray.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Tervane {

/// One named model input or output. Every feature this system exchanges is a multi-array.
class MLFeatureValue {
public:
    explicit MLFeatureValue(std::shared_ptr<MLMultiArray> multiArray)
        : multiArrayValue_(std::move(multiArray)) {}

    [[nodiscard]] const std::shared_ptr<MLMultiArray>& multiArrayValue() const noexcept {
        return multiArrayValue_;
    }

private:
    std::shared_ptr<MLMultiArray> multiArrayValue_;
};

/// Anything that answers a model's questions for its inputs by name, and the shape of every
/// prediction result.
class MLFeatureProvider {
public:
    virtual ~MLFeatureProvider() = default;

    [[nodiscard]] virtual std::set<std::string> featureNames() const = 0;
    [[nodiscard]] virtual std::optional<MLFeatureValue> featureValue(const std::string& name) const = 0;
};

/// A feature provider over a name-to-value map, fixed at creation.
class MLDictionaryFeatureProvider : public MLFeatureProvider {
public:
    explicit MLDictionaryFeatureProvider(std::map<std::string, MLFeatureValue> dictionary)
        : dictionary_(std::move(dictionary)) {}

    [[nodiscard]] std::set<std::string> featureNames() const override;
    [[nodiscard]] std::optional<MLFeatureValue> featureValue(const std::string& name) const override;
    [[nodiscard]] const std::map<std::string, MLFeatureValue>& dictionary() const noexcept {
        return dictionary_;
    }

private:
    std::map<std::string, MLFeatureValue> dictionary_;
};

/// An ordered collection of providers for batch prediction.
class MLBatchProvider {
public:
    virtual ~MLBatchProvider() = default;

    [[nodiscard]] virtual std::int64_t count() const = 0;
    [[nodiscard]] virtual std::shared_ptr<const MLFeatureProvider> features(std::int64_t index) const = 0;
};

class MLArrayBatchProvider final : public MLBatchProvider {
public:
    explicit MLArrayBatchProvider(std::vector<std::shared_ptr<const MLFeatureProvider>> array)
        : array_(std::move(array)) {}

    [[nodiscard]] std::int64_t count() const override {
        return static_cast<std::int64_t>(array_.size());
    }
    /// Throws `std::out_of_range` for an index outside [0, count).
    [[nodiscard]] std::shared_ptr<const MLFeatureProvider> features(std::int64_t index) const override;
    [[nodiscard]] const std::vector<std::shared_ptr<const MLFeatureProvider>>& array() const noexcept {
        return array_;
    }

private:
    std::vector<std::shared_ptr<const MLFeatureProvider>> array_;
};

/// Per-prediction options. `outputBackings` maps output names to preallocated arrays that
/// the prediction writes into (strides respected); the result then hands back those arrays.
struct MLPredictionOptions {
    std::map<std::string, std::shared_ptr<MLMultiArray>> outputBackings;
};

}  // namespace Tervane
