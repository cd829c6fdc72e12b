#include <Tervane/Platform/MLModel.hpp>

#include <Tervane/Platform/ModelBundle.hpp>
#include <Tervane/Platform/ModelEngine.hpp>

#include <algorithm>
#include <cstddef>
#include <utility>

namespace Tervane {

namespace {

using Kind = ModelRuntimeError::Kind;

std::string describeFailure(const std::string& bundle, const std::string& detail) {
    return bundle.empty() ? detail : "model bundle \"" + bundle + "\": " + detail;
}

bool sizesMatch(const MLShape& declared, const MLShape& candidate) {
    if (declared.size() != candidate.size()) {
        return false;
    }
    for (std::size_t i = 0; i < declared.size(); ++i) {
        if (declared[i] > 0 && declared[i] != candidate[i]) {
            return false;
        }
    }
    return true;
}

std::string describeAllowedShapes(const MLMultiArrayConstraint& constraint) {
    const MLMultiArrayShapeConstraint& shapes = constraint.shapeConstraint;
    if (shapes.type == MLMultiArrayShapeConstraintType::enumerated && !shapes.enumeratedShapes.empty()) {
        std::string text = "one of ";
        for (std::size_t i = 0; i < shapes.enumeratedShapes.size(); ++i) {
            text += (i > 0 ? ", " : "") + shapeDescription(shapes.enumeratedShapes[i]);
        }
        return text;
    }
    if (shapes.type == MLMultiArrayShapeConstraintType::range) {
        std::string text = "[";
        for (std::size_t i = 0; i < shapes.sizeRangeForDimension.size(); ++i) {
            const MLSizeRange& range = shapes.sizeRangeForDimension[i];
            text += i > 0 ? ", " : "";
            text += std::to_string(range.lowerBound);
            if (range.upperBound != range.lowerBound) {
                text += "..." + (range.upperBound < 0 ? std::string() : std::to_string(range.upperBound));
            }
        }
        return text + "]";
    }
    std::string text = "[";
    for (std::size_t i = 0; i < constraint.shape.size(); ++i) {
        text += i > 0 ? ", " : "";
        text += constraint.shape[i] > 0 ? std::to_string(constraint.shape[i]) : "any";
    }
    return text + "]";
}

/// The bytes an array's elements occupy, as [first, last) addresses.
std::pair<const std::byte*, const std::byte*> extent(const MLMultiArray& array) {
    const auto* base = static_cast<const std::byte*>(array.dataPointer());
    const auto size = static_cast<std::int64_t>(elementSize(array.dataType()));
    if (array.count() == 0) {
        return {base, base};
    }
    std::int64_t low = 0;
    std::int64_t high = 0;
    for (std::size_t i = 0; i < array.shape().size(); ++i) {
        const std::int64_t span = (array.shape()[i] - 1) * array.strides()[i];
        (span < 0 ? low : high) += span;
    }
    return {base + low * size, base + (high + 1) * size};
}

bool overlaps(const MLMultiArray& a, const MLMultiArray& b) {
    const auto [aFirst, aLast] = extent(a);
    const auto [bFirst, bLast] = extent(b);
    return aFirst < bLast && bFirst < aLast;
}

/// A model made of a checked bundle and the program an engine loaded from it.
class BundleModel final : public MLModel {
public:
    BundleModel(ModelBundle bundle, MLModelConfiguration configuration, std::unique_ptr<ModelProgram> program,
                std::vector<std::string> programInputs, std::vector<ModelProgramOutput> outputs)
        : bundle_(bundle.path.string()),
          description_(std::move(bundle.description)),
          configuration_(configuration),
          program_(std::move(program)),
          outputs_(std::move(outputs)) {
        for (std::string& name : programInputs) {
            const MLFeatureDescription& feature = description_.inputDescriptionsByName.at(name);
            inputs_.push_back({std::move(name), &*feature.multiArrayConstraint});
        }
    }

    const MLModelDescription& modelDescription() const override { return description_; }
    const MLModelConfiguration& configuration() const override { return configuration_; }

    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                  const MLPredictionOptions& options) const override {
        checkBackings(options);
        const std::vector<std::shared_ptr<MLMultiArray>> produced = program_->run(checkedInputs(input));

        std::map<std::string, MLFeatureValue> results;
        for (std::size_t i = 0; i < outputs_.size(); ++i) {
            const ModelProgramOutput& output = outputs_[i];
            if (i >= produced.size() || produced[i] == nullptr) {
                fail(Kind::outputMissing, "the program produced no output \"" + output.name + "\"");
            }
            const auto backing = options.outputBackings.find(output.name);
            std::shared_ptr<MLMultiArray> value = backing == options.outputBackings.end()
                                                      ? inDeclaredType(produced[i], output.dataType)
                                                      : writeIntoBacking(*produced[i], backing->second, output.name);
            results.emplace(output.name, MLFeatureValue(std::move(value)));
        }
        return std::make_shared<MLDictionaryFeatureProvider>(std::move(results));
    }

private:
    struct Input {
        std::string name;
        const MLMultiArrayConstraint* constraint;
    };

    [[noreturn]] void fail(Kind kind, const std::string& detail) const {
        throw ModelRuntimeError(kind, bundle_, detail);
    }

    void checkBackings(const MLPredictionOptions& options) const {
        for (const auto& [name, backing] : options.outputBackings) {
            if (description_.outputDescriptionsByName.find(name) == description_.outputDescriptionsByName.end()) {
                fail(Kind::outputBackingMismatch, "an output backing is given for \"" + name +
                                                      "\", which is not an output of the model");
            }
            if (backing == nullptr) {
                fail(Kind::outputBackingMismatch, "the output backing for \"" + name + "\" is null");
            }
        }
    }

    std::vector<std::shared_ptr<MLMultiArray>> checkedInputs(const MLFeatureProvider& input) const {
        std::vector<std::shared_ptr<MLMultiArray>> arrays;
        arrays.reserve(inputs_.size());
        for (const Input& declared : inputs_) {
            std::optional<MLFeatureValue> value = input.featureValue(declared.name);
            if (!value || value->multiArrayValue() == nullptr) {
                fail(Kind::inputMissing, "the input \"" + declared.name + "\" is missing");
            }
            const std::shared_ptr<MLMultiArray>& array = value->multiArrayValue();
            if (array->dataType() != declared.constraint->dataType) {
                fail(Kind::inputTypeMismatch, "the input \"" + declared.name + "\" must be " +
                                                  std::string(toString(declared.constraint->dataType)) +
                                                  ", not " + std::string(toString(array->dataType())));
            }
            if (!declared.constraint->allows(array->shape())) {
                fail(Kind::inputShapeMismatch, "the input \"" + declared.name + "\" has shape " +
                                                   shapeDescription(array->shape()) + "; the model allows " +
                                                   describeAllowedShapes(*declared.constraint));
            }
            arrays.push_back(array);
        }
        return arrays;
    }

    static std::shared_ptr<MLMultiArray> inDeclaredType(std::shared_ptr<MLMultiArray> array,
                                                        MLMultiArrayDataType declared) {
        if (array->dataType() == declared) {
            return array;
        }
        auto converted = MLMultiArray::make(array->shape(), declared);
        converted->copyData(*array);
        return converted;
    }

    const std::shared_ptr<MLMultiArray>& writeIntoBacking(const MLMultiArray& output,
                                                          const std::shared_ptr<MLMultiArray>& backing,
                                                          const std::string& name) const {
        if (backing->count() != output.count()) {
            fail(Kind::outputBackingMismatch, "the output backing for \"" + name + "\" has shape " +
                                                  shapeDescription(backing->shape()) + " but the output has shape " +
                                                  shapeDescription(output.shape()));
        }
        if (output.dataPointer() == backing->dataPointer() && output.dataType() == backing->dataType() &&
            output.shape() == backing->shape() && output.strides() == backing->strides()) {
            return backing;  // the program wrote this very memory
        }
        if (overlaps(output, *backing)) {
            // The output is a view of the backing's own memory (say, an input that the call
            // also uses as this output's backing): go through a copy so no element is
            // overwritten before it is read.
            auto staged = MLMultiArray::make(output.shape(), output.dataType());
            staged->copyData(output);
            backing->copyData(*staged);
        } else {
            backing->copyData(output);
        }
        return backing;
    }

    std::string bundle_;
    MLModelDescription description_;
    MLModelConfiguration configuration_;
    std::unique_ptr<ModelProgram> program_;
    /// Declared inputs in the order the program takes them.
    std::vector<Input> inputs_;
    /// Declared outputs in manifest order, as handed to the program.
    std::vector<ModelProgramOutput> outputs_;
};

/// The program's input names, checked against the declared inputs: every one declared and
/// every declared one taken.
void checkProgramInputs(const ModelBundle& bundle, const std::vector<std::string>& programInputs) {
    const auto& declared = bundle.description.inputDescriptionsByName;
    for (const std::string& name : programInputs) {
        if (declared.find(name) == declared.end()) {
            throw ModelRuntimeError(Kind::programInterfaceMismatch, bundle.path.string(),
                                    "the program takes an input \"" + name + "\" that the manifest does not declare");
        }
    }
    for (const std::string& name : bundle.inputNames) {
        if (std::find(programInputs.begin(), programInputs.end(), name) == programInputs.end()) {
            throw ModelRuntimeError(Kind::programInterfaceMismatch, bundle.path.string(),
                                    "the manifest declares an input \"" + name + "\" that the program does not take");
        }
    }
}

}  // namespace

ModelRuntimeError::ModelRuntimeError(Kind kind, std::string bundle, std::string detail)
    : Error(describeFailure(bundle, detail)), kind_(kind), bundle_(std::move(bundle)) {}

bool MLMultiArrayConstraint::allows(const MLShape& candidate) const {
    switch (shapeConstraint.type) {
    case MLMultiArrayShapeConstraintType::enumerated:
        if (!shapeConstraint.enumeratedShapes.empty()) {
            return std::find(shapeConstraint.enumeratedShapes.begin(), shapeConstraint.enumeratedShapes.end(),
                             candidate) != shapeConstraint.enumeratedShapes.end();
        }
        break;
    case MLMultiArrayShapeConstraintType::range: {
        const auto& ranges = shapeConstraint.sizeRangeForDimension;
        if (candidate.size() != ranges.size()) {
            return false;
        }
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            if (candidate[i] < ranges[i].lowerBound ||
                (ranges[i].upperBound >= 0 && candidate[i] > ranges[i].upperBound)) {
                return false;
            }
        }
        return true;
    }
    case MLMultiArrayShapeConstraintType::unspecified: break;
    }
    return shape.empty() || sizesMatch(shape, candidate);
}

std::string computeUnitsName(MLComputeUnits units) {
    switch (units) {
        case MLComputeUnits::cpuOnly: return "cpuOnly";
        case MLComputeUnits::cpuAndGPU: return "cpuAndGPU";
        case MLComputeUnits::all: return "all";
        case MLComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
    }
    return "unknown(" + std::to_string(static_cast<int>(units)) + ")";
}

std::shared_ptr<MLModel> MLModel::load(const std::filesystem::path& bundlePath,
                                       const MLModelConfiguration& configuration) {
    ModelBundle bundle = ModelBundle::read(bundlePath);

    ModelEngine* engine = nullptr;
    try {
        engine = &torchScriptEngine();
    } catch (const ModelRuntimeError& error) {
        throw ModelRuntimeError(error.kind(), bundle.path.string(), error.description());
    }

    std::vector<ModelProgramOutput> outputs;
    for (const std::string& name : bundle.outputNames) {
        outputs.push_back({name, bundle.description.outputDescriptionsByName.at(name).multiArrayConstraint->dataType});
    }
    std::unique_ptr<ModelProgram> program =
        engine->loadProgram(bundle.program, bundle.path.string(), configuration, outputs);
    std::vector<std::string> programInputs = program->inputNames();
    checkProgramInputs(bundle, programInputs);
    return std::make_shared<BundleModel>(std::move(bundle), configuration, std::move(program),
                                         std::move(programInputs), std::move(outputs));
}

std::vector<std::shared_ptr<MLFeatureProvider>> MLModel::predictions(const MLBatchProvider& inputs,
                                                                     const MLPredictionOptions& options) const {
    std::vector<std::shared_ptr<MLFeatureProvider>> results;
    const std::int64_t count = inputs.count();
    results.reserve(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    for (std::int64_t i = 0; i < count; ++i) {
        results.push_back(prediction(*inputs.features(i), options));
    }
    return results;
}

}  // namespace Tervane
