#include "Support/ModelFixtures.hpp"

#include <torch/script.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Tervane::Testing {

namespace {

constexpr const char* programFileName = "model.pt";

nlohmann::json featureJson(const FixtureFeature& feature) {
    nlohmann::json json = {{"name", feature.name},
                           {"type", "multiArray"},
                           {"dataType", std::string(toString(feature.dataType))},
                           {"shape", feature.shape}};
    if (feature.shapeConstraint) {
        const MLMultiArrayShapeConstraint& constraint = *feature.shapeConstraint;
        nlohmann::json shapes;
        switch (constraint.type) {
        case MLMultiArrayShapeConstraintType::unspecified: shapes["type"] = "unspecified"; break;
        case MLMultiArrayShapeConstraintType::enumerated:
            shapes["type"] = "enumerated";
            shapes["enumeratedShapes"] = constraint.enumeratedShapes;
            break;
        case MLMultiArrayShapeConstraintType::range: {
            shapes["type"] = "range";
            nlohmann::json ranges = nlohmann::json::array();
            for (const MLSizeRange& range : constraint.sizeRangeForDimension) {
                ranges.push_back({range.lowerBound, range.upperBound});
            }
            shapes["sizeRangeForDimension"] = ranges;
            break;
        }
        }
        json["shapeConstraint"] = shapes;
    }
    return json;
}

/// Removes the indentation common to every non-blank line, so sources may be indented to
/// match the test that holds them.
std::string dedent(const std::string& source) {
    std::vector<std::string> lines;
    std::istringstream stream(source);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    std::size_t common = std::string::npos;
    for (const std::string& line : lines) {
        const std::size_t indent = line.find_first_not_of(" \t");
        if (indent != std::string::npos) {
            common = std::min(common, indent);
        }
    }
    std::string result;
    for (const std::string& line : lines) {
        result += line.size() > common ? line.substr(common) : std::string();
        result += '\n';
    }
    return result;
}

/// "JointDecision.mlmodelc" -> "JointDecision": a valid TorchScript class name.
std::string moduleName(const std::string& bundleName) {
    std::string name;
    for (const char c : bundleName.substr(0, bundleName.find('.'))) {
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name.front()))) {
        name.insert(0, "Fixture");
    }
    return name;
}

c10::ScalarType scalarType(MLMultiArrayDataType type) {
    switch (type) {
    case MLMultiArrayDataType::float32: return c10::kFloat;
    case MLMultiArrayDataType::float16: return c10::kHalf;
    case MLMultiArrayDataType::float64: return c10::kDouble;
    case MLMultiArrayDataType::int32: return c10::kInt;
    }
    return c10::kFloat;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    if (!file) {
        throw std::runtime_error("could not write " + path.string());
    }
}

std::filesystem::path freshBundle(const std::filesystem::path& directory, const std::string& bundleName) {
    const std::filesystem::path bundle = directory / bundleName;
    std::filesystem::remove_all(bundle);
    std::filesystem::create_directories(bundle);
    return bundle;
}

}  // namespace

nlohmann::json fixtureManifest(const FixtureModel& model) {
    nlohmann::json inputs = nlohmann::json::array();
    for (const FixtureFeature& feature : model.inputs) {
        inputs.push_back(featureJson(feature));
    }
    nlohmann::json outputs = nlohmann::json::array();
    for (const FixtureFeature& feature : model.outputs) {
        outputs.push_back(featureJson(feature));
    }
    return {{"format", "tervane-model-bundle"},
            {"formatVersion", 1},
            {"engine", "torchscript"},
            {"program", programFileName},
            {"inputs", inputs},
            {"outputs", outputs},
            {"metadata", model.metadata}};
}

std::filesystem::path writeFixtureBundle(const std::filesystem::path& directory, const std::string& bundleName,
                                         const FixtureModel& model) {
    torch::jit::Module module(moduleName(bundleName));
    for (const auto& [name, array] : model.buffers) {
        const at::Tensor view = torch::from_blob(array->dataPointer(), array->shape(), array->strides(),
                                                 torch::TensorOptions().dtype(scalarType(array->dataType())));
        module.register_buffer(name, view.clone());
    }
    try {
        module.define(dedent(model.source));
    } catch (const std::exception& error) {
        throw std::runtime_error("fixture model " + bundleName + " does not compile:\n" + error.what());
    }

    const std::filesystem::path bundle = freshBundle(directory, bundleName);
    module.save((bundle / programFileName).string());
    writeFile(bundle / "coremldata.bin", fixtureManifest(model).dump(2));
    return bundle;
}

std::shared_ptr<MLModel> loadFixtureModel(const std::filesystem::path& directory, const std::string& bundleName,
                                          const FixtureModel& model, const MLModelConfiguration& configuration) {
    return MLModel::load(writeFixtureBundle(directory, bundleName, model), configuration);
}

std::filesystem::path writeManifestOnlyBundle(const std::filesystem::path& directory, const std::string& bundleName,
                                              const std::string& manifestText,
                                              const std::optional<std::string>& programBytes) {
    const std::filesystem::path bundle = freshBundle(directory, bundleName);
    writeFile(bundle / "coremldata.bin", manifestText);
    if (programBytes) {
        writeFile(bundle / programFileName, *programBytes);
    }
    return bundle;
}

std::shared_ptr<MLMultiArray> fixtureArray(const MLShape& shape, const std::vector<double>& values,
                                           MLMultiArrayDataType dataType) {
    auto array = MLMultiArray::make(shape, dataType);
    if (!values.empty() && static_cast<std::int64_t>(values.size()) != array->count()) {
        throw std::invalid_argument("fixtureArray: " + std::to_string(values.size()) + " values for shape " +
                                    shapeDescription(shape));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        array->setValue(static_cast<std::int64_t>(i), values[i]);
    }
    return array;
}

std::vector<double> fixtureValues(const MLMultiArray& array) {
    std::vector<double> values(static_cast<std::size_t>(array.count()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = array.value(static_cast<std::int64_t>(i));
    }
    return values;
}

std::shared_ptr<MLDictionaryFeatureProvider> fixtureInputs(
    std::initializer_list<std::pair<std::string, std::shared_ptr<MLMultiArray>>> features) {
    std::map<std::string, MLFeatureValue> dictionary;
    for (const auto& [name, array] : features) {
        dictionary.insert_or_assign(name, MLFeatureValue(array));
    }
    return std::make_shared<MLDictionaryFeatureProvider>(std::move(dictionary));
}

std::shared_ptr<MLMultiArray> fixtureOutput(const MLFeatureProvider& result, const std::string& name) {
    const std::optional<MLFeatureValue> value = result.featureValue(name);
    if (!value || value->multiArrayValue() == nullptr) {
        throw std::runtime_error("the prediction result has no output \"" + name + "\"");
    }
    return value->multiArrayValue();
}

}  // namespace Tervane::Testing
