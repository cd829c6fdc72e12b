#pragma once

#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/MLFeatureProvider.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tervane {

/// Where a model should run. The CPU engine records the choice; it is a hint.
enum class MLComputeUnits { cpuOnly, cpuAndGPU, all, cpuAndNeuralEngine };

/// The case's name ("cpuOnly", ...), or "unknown(<raw value>)" for a value outside the cases.
[[nodiscard]] std::string computeUnitsName(MLComputeUnits units);

struct MLModelConfiguration {
    MLComputeUnits computeUnits = MLComputeUnits::all;
    bool allowLowPrecisionAccumulationOnGPU = false;
};

enum class MLMultiArrayShapeConstraintType { unspecified, enumerated, range };

/// An inclusive range of sizes for one dimension; an `upperBound` of -1 means unbounded.
struct MLSizeRange {
    std::int64_t lowerBound = 0;
    std::int64_t upperBound = -1;
    bool operator==(const MLSizeRange&) const = default;
};

struct MLMultiArrayShapeConstraint {
    MLMultiArrayShapeConstraintType type = MLMultiArrayShapeConstraintType::unspecified;
    std::vector<MLShape> enumeratedShapes;
    std::vector<MLSizeRange> sizeRangeForDimension;
};

struct MLMultiArrayConstraint {
    /// The declared (default) shape; may be empty or hold 0 / -1 for a flexible dimension.
    MLShape shape;
    MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
    MLMultiArrayShapeConstraint shapeConstraint;

    /// True when an array of `candidate` shape satisfies the constraint: one of the enumerated
    /// shapes; or, for ranges, the right rank with every size inside its range; otherwise the
    /// declared shape exactly (any shape when none is declared).
    [[nodiscard]] bool allows(const MLShape& candidate) const;
};

enum class MLFeatureType { invalid, multiArray };

struct MLFeatureDescription {
    std::string name;
    MLFeatureType type = MLFeatureType::invalid;
    std::optional<MLMultiArrayConstraint> multiArrayConstraint;
};

struct MLModelDescription {
    std::map<std::string, MLFeatureDescription> inputDescriptionsByName;
    std::map<std::string, MLFeatureDescription> outputDescriptionsByName;
    /// Free-form text metadata from the bundle manifest.
    std::map<std::string, std::string> metadata;
};

/// A failure of the model runtime: a bundle that cannot be loaded or a prediction whose
/// inputs, outputs or evaluation went wrong. The description names the bundle and, where
/// there is one, the feature.
class ModelRuntimeError final : public Error {
public:
    enum class Kind {
        bundleNotFound,
        manifestMissing,
        manifestInvalid,
        programMissing,
        programLoadFailed,
        programInterfaceMismatch,
        runtimeUnavailable,
        inputMissing,
        inputTypeMismatch,
        inputShapeMismatch,
        outputMissing,
        outputTypeUnsupported,
        outputBackingMismatch,
        predictionFailed,
    };

    /// `bundle` is the bundle's path (or name; empty for a failure of the runtime itself);
    /// `detail` is the specific complaint. The description is
    /// `model bundle "<bundle>": <detail>`, or the detail alone without a bundle.
    ModelRuntimeError(Kind kind, std::string bundle, std::string detail);

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& bundle() const noexcept { return bundle_; }

private:
    Kind kind_;
    std::string bundle_;
};

/// A loaded model. Predictions may be made from several threads at once.
class MLModel {
public:
    virtual ~MLModel() = default;

    /// Loads a compiled model bundle: a directory holding the "coremldata.bin" manifest and
    /// the program it names. Throws `ModelRuntimeError` naming the bundle and the fault.
    static std::shared_ptr<MLModel> load(const std::filesystem::path& bundle,
                                         const MLModelConfiguration& configuration = {});

    [[nodiscard]] virtual const MLModelDescription& modelDescription() const = 0;
    [[nodiscard]] virtual const MLModelConfiguration& configuration() const = 0;

    /// Runs the model once. Every declared input must be present with its declared element
    /// type and an allowed shape; extra features are ignored. The result holds every declared
    /// output in its declared element type. Outputs named in `options.outputBackings` are
    /// written into the given arrays (by logical index, with their strides; a backing may be
    /// one of this call's inputs), which the result returns; other outputs are fresh arrays
    /// or share memory with the inputs they were computed from.
    [[nodiscard]] virtual std::shared_ptr<MLFeatureProvider> prediction(
        const MLFeatureProvider& input, const MLPredictionOptions& options) const = 0;

    [[nodiscard]] std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input) const {
        return prediction(input, MLPredictionOptions{});
    }

    /// One result per input, in input order.
    [[nodiscard]] virtual std::vector<std::shared_ptr<MLFeatureProvider>> predictions(
        const MLBatchProvider& inputs, const MLPredictionOptions& options) const;

    /// The asynchronous-capable entry point. Here it runs the prediction on the calling
    /// thread and returns its result or rethrows its failure.
    [[nodiscard]] std::shared_ptr<MLFeatureProvider> compatPrediction(
        const MLFeatureProvider& input, const MLPredictionOptions& options) const {
        return prediction(input, options);
    }
};

}  // namespace Tervane
