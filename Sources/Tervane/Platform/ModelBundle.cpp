#include <Tervane/Platform/ModelBundle.hpp>

#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <system_error>

namespace Tervane {

namespace {

using Json = nlohmann::json;
using Kind = ModelRuntimeError::Kind;

/// Raises the manifest failures of one bundle, each prefixed with where in the manifest it is.
class ManifestReader {
public:
    explicit ManifestReader(const std::filesystem::path& bundle) : bundle_(bundle.string()) {}

    [[noreturn]] void fail(const std::string& where, const std::string& complaint) const {
        throw ModelRuntimeError(Kind::manifestInvalid, bundle_,
                                "manifest " + where + (where.empty() ? "" : ": ") + complaint);
    }

    const Json& member(const Json& object, const char* key, const std::string& where) const {
        const auto found = object.find(key);
        if (found == object.end()) {
            fail(where, std::string("\"") + key + "\" is missing");
        }
        return *found;
    }

    std::string string(const Json& object, const char* key, const std::string& where) const {
        const Json& value = member(object, key, where);
        if (!value.is_string()) {
            fail(where, std::string("\"") + key + "\" must be a string");
        }
        return value.get<std::string>();
    }

    std::int64_t integer(const Json& value, const std::string& where, const std::string& what) const {
        if (!value.is_number_integer()) {
            fail(where, what + " must be an integer, not " + value.dump());
        }
        return value.get<std::int64_t>();
    }

    MLShape shape(const Json& value, const std::string& where, const std::string& what,
                  std::int64_t smallest) const {
        if (!value.is_array()) {
            fail(where, what + " must be an array of sizes");
        }
        MLShape sizes;
        sizes.reserve(value.size());
        for (const Json& size : value) {
            const std::int64_t parsed = integer(size, where, what + " entry");
            if (parsed < smallest) {
                fail(where, what + " entry " + std::to_string(parsed) + " is below " +
                                std::to_string(smallest));
            }
            sizes.push_back(parsed);
        }
        return sizes;
    }

    MLMultiArrayDataType dataType(const Json& feature, const std::string& where) const {
        const std::string text = string(feature, "dataType", where);
        for (const auto type : {MLMultiArrayDataType::float32, MLMultiArrayDataType::float16,
                                MLMultiArrayDataType::float64, MLMultiArrayDataType::int32}) {
            if (text == toString(type)) {
                return type;
            }
        }
        fail(where, "\"dataType\" \"" + text + "\" is not one of float32, float16, double, int32");
    }

    MLMultiArrayShapeConstraint shapeConstraint(const Json& json, const MLShape& declared,
                                                const std::string& where) const {
        const std::string at = where + " \"shapeConstraint\"";
        if (!json.is_object()) {
            fail(at, "must be an object");
        }
        MLMultiArrayShapeConstraint constraint;
        const std::string type = string(json, "type", at);
        if (type == "unspecified") {
            return constraint;
        }
        if (type == "enumerated") {
            constraint.type = MLMultiArrayShapeConstraintType::enumerated;
            const Json& shapes = member(json, "enumeratedShapes", at);
            if (!shapes.is_array() || shapes.empty()) {
                fail(at, "\"enumeratedShapes\" must be a non-empty array of shapes");
            }
            for (const Json& shapeJson : shapes) {
                constraint.enumeratedShapes.push_back(shape(shapeJson, at, "an enumerated shape", 0));
            }
            return constraint;
        }
        if (type == "range") {
            constraint.type = MLMultiArrayShapeConstraintType::range;
            const Json& ranges = member(json, "sizeRangeForDimension", at);
            if (!ranges.is_array()) {
                fail(at, "\"sizeRangeForDimension\" must be an array of [lower, upper] pairs");
            }
            for (const Json& range : ranges) {
                if (!range.is_array() || range.size() != 2) {
                    fail(at, "\"sizeRangeForDimension\" entry " + range.dump() +
                                 " is not a [lower, upper] pair");
                }
                const MLSizeRange parsed{integer(range[0], at, "a lower bound"),
                                         integer(range[1], at, "an upper bound")};
                if (parsed.lowerBound < 0 || (parsed.upperBound != -1 && parsed.upperBound < parsed.lowerBound)) {
                    fail(at, "size range " + range.dump() + " is empty or negative");
                }
                constraint.sizeRangeForDimension.push_back(parsed);
            }
            if (!declared.empty() && declared.size() != constraint.sizeRangeForDimension.size()) {
                fail(at, "gives " + std::to_string(constraint.sizeRangeForDimension.size()) +
                             " size ranges for a shape of rank " + std::to_string(declared.size()));
            }
            return constraint;
        }
        fail(at, "\"type\" \"" + type + "\" is not one of unspecified, enumerated, range");
    }

    MLFeatureDescription feature(const Json& json, const std::string& role, std::size_t index) const {
        std::string where = role + " " + std::to_string(index);
        if (!json.is_object()) {
            fail(where, "must be an object");
        }
        MLFeatureDescription description;
        description.name = string(json, "name", where);
        if (description.name.empty()) {
            fail(where, "\"name\" is empty");
        }
        where = role + " \"" + description.name + "\"";
        const std::string type = string(json, "type", where);
        if (type != "multiArray") {
            fail(where, "\"type\" \"" + type + "\" is not multiArray");
        }
        description.type = MLFeatureType::multiArray;
        MLMultiArrayConstraint constraint;
        constraint.dataType = dataType(json, where);
        constraint.shape = shape(member(json, "shape", where), where, "\"shape\"", -1);
        if (const auto found = json.find("shapeConstraint"); found != json.end()) {
            constraint.shapeConstraint = shapeConstraint(*found, constraint.shape, where);
        }
        description.multiArrayConstraint = std::move(constraint);
        return description;
    }

    void features(const Json& manifest, const char* key, const std::string& role,
                  std::map<std::string, MLFeatureDescription>& byName,
                  std::vector<std::string>& names) const {
        const Json& list = member(manifest, key, "");
        if (!list.is_array()) {
            fail("", std::string("\"") + key + "\" must be an array of features");
        }
        for (std::size_t i = 0; i < list.size(); ++i) {
            MLFeatureDescription description = feature(list[i], role, i);
            const std::string name = description.name;
            if (!byName.emplace(name, std::move(description)).second) {
                fail(role + " \"" + name + "\"", "is declared twice");
            }
            names.push_back(name);
        }
    }

private:
    std::string bundle_;
};

std::filesystem::path programPath(const std::string& program, const ManifestReader& reader) {
    const std::filesystem::path relative(program);
    if (program.empty() || relative.is_absolute()) {
        reader.fail("", "\"program\" must name a file inside the bundle, not \"" + program + "\"");
    }
    for (const auto& part : relative) {
        if (part == "..") {
            reader.fail("", "\"program\" must name a file inside the bundle, not \"" + program + "\"");
        }
    }
    return relative;
}

}  // namespace

ModelBundle ModelBundle::parse(std::string_view manifest, const std::filesystem::path& path) {
    const ManifestReader reader(path);
    Json json;
    try {
        json = Json::parse(manifest);
    } catch (const Json::exception& error) {
        reader.fail("", std::string("is not valid JSON: ") + error.what());
    }
    if (!json.is_object()) {
        reader.fail("", "must be a JSON object");
    }

    const std::string format = reader.string(json, "format", "");
    if (format != formatName) {
        reader.fail("", "\"format\" is \"" + format + "\", not \"" + std::string(formatName) + "\"");
    }
    const std::int64_t version = reader.integer(reader.member(json, "formatVersion", ""), "", "\"formatVersion\"");
    if (version != formatVersion) {
        reader.fail("", "\"formatVersion\" " + std::to_string(version) + " is not supported (this runtime reads " +
                            std::to_string(formatVersion) + ")");
    }

    ModelBundle bundle;
    bundle.path = path;
    bundle.engine = reader.string(json, "engine", "");
    if (bundle.engine != torchScriptEngineName) {
        reader.fail("", "\"engine\" \"" + bundle.engine + "\" is not supported (only \"" +
                            std::string(torchScriptEngineName) + "\")");
    }
    bundle.program = path / programPath(reader.string(json, "program", ""), reader);
    reader.features(json, "inputs", "input", bundle.description.inputDescriptionsByName, bundle.inputNames);
    reader.features(json, "outputs", "output", bundle.description.outputDescriptionsByName, bundle.outputNames);

    if (const auto metadata = json.find("metadata"); metadata != json.end()) {
        if (!metadata->is_object()) {
            reader.fail("", "\"metadata\" must be an object of strings");
        }
        for (const auto& [key, value] : metadata->items()) {
            if (!value.is_string()) {
                reader.fail("\"metadata\"", "\"" + key + "\" must be a string");
            }
            bundle.description.metadata.emplace(key, value.get<std::string>());
        }
    }
    return bundle;
}

ModelBundle ModelBundle::read(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        throw ModelRuntimeError(Kind::bundleNotFound, path.string(), "no such directory");
    }
    if (!std::filesystem::is_directory(status)) {
        throw ModelRuntimeError(Kind::bundleNotFound, path.string(), "not a directory");
    }

    const std::filesystem::path manifestPath = path / manifestFileName;
    if (!std::filesystem::is_regular_file(manifestPath, error)) {
        throw ModelRuntimeError(Kind::manifestMissing, path.string(),
                                "the manifest \"" + std::string(manifestFileName) + "\" is missing");
    }
    std::ifstream file(manifestPath, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(file), {});
    if (!file.is_open() || file.bad()) {
        throw ModelRuntimeError(Kind::manifestMissing, path.string(),
                                "the manifest \"" + std::string(manifestFileName) + "\" cannot be read");
    }

    ModelBundle bundle = parse(text, path);
    if (!std::filesystem::is_regular_file(bundle.program, error)) {
        throw ModelRuntimeError(Kind::programMissing, path.string(),
                                "the program \"" + bundle.program.lexically_relative(path).string() + "\" is missing");
    }
    return bundle;
}

}  // namespace Tervane
