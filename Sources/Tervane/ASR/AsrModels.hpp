#pragma once

#include <Tervane/Platform/ANEOptimizer.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/MLFeatureProvider.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/ModelNames.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace Tervane {

/// Token id -> vocabulary piece.
using AsrVocabulary = std::map<std::int64_t, std::string>;

/// The two generations of the recognition model family, oldest first.
enum class AsrModelVersion { v2, v3 };

/// The repository a version's bundles come from.
[[nodiscard]] Repo repo(AsrModelVersion version) noexcept;

class AsrModelsError final : public Error {
public:
    enum class Kind { modelNotFound, downloadFailed, loadingFailed, modelCompilationFailed };

    static AsrModelsError modelNotFound(std::string name, const std::filesystem::path& location);
    static AsrModelsError downloadFailed(std::string message);
    static AsrModelsError loadingFailed(std::string message);
    static AsrModelsError modelCompilationFailed(std::string message);

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    /// The model name for `modelNotFound`, the message otherwise.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    AsrModelsError(Kind kind, std::string message, std::string description);

    Kind kind_;
    std::string message_;
};

/// The four recognition models and their vocabulary, loaded once and handed to the engine.
/// A copied record: the models inside are shared.
struct AsrModels {
    struct ModelSpec {
        std::string fileName;
        MLComputeUnits computeUnits = MLComputeUnits::cpuAndNeuralEngine;
    };

    std::shared_ptr<MLModel> encoder;
    std::shared_ptr<MLModel> preprocessor;
    std::shared_ptr<MLModel> decoder;
    std::shared_ptr<MLModel> joint;
    MLModelConfiguration configuration;
    AsrVocabulary vocabulary;
    AsrModelVersion version = AsrModelVersion::v3;

    static constexpr bool usesSplitFrontend = true;
    [[nodiscard]] static const std::set<std::string>& requiredModelNames() { return ModelNames::ASR::requiredModels(); }

    /// `cpuAndNeuralEngine` with low-precision accumulation allowed.
    [[nodiscard]] static MLModelConfiguration defaultConfiguration();
    /// `cpuAndNeuralEngine`, or `cpuOnly` when the environment has "CI"; the model type does
    /// not change the answer.
    [[nodiscard]] static MLModelConfiguration optimizedConfiguration(ANEOptimizer::ModelType modelType,
                                                                    bool enableFP16 = true);
    [[nodiscard]] static MLPredictionOptions optimizedPredictionOptions() { return {}; }

    /// Builds a vocabulary from the text of a vocabulary file. Throws the JSON parser's error
    /// when the text is not JSON; a document of any other shape than an object of strings
    /// gives an empty vocabulary. Member names that are not decimal integers are skipped.
    [[nodiscard]] static AsrVocabulary vocabularyFromJSON(std::string_view text);

    /// Loads from `directory`'s sibling repository folder for `version` through the download
    /// service, with one purge-and-reload recovery per pass.
    [[nodiscard]] static AsrModels load(const std::filesystem::path& directory,
                                        const std::optional<MLModelConfiguration>& configuration = std::nullopt,
                                        AsrModelVersion version = AsrModelVersion::v3);
    [[nodiscard]] static AsrModels loadFromCache(const std::optional<MLModelConfiguration>& configuration = std::nullopt,
                                                 AsrModelVersion version = AsrModelVersion::v3);
    [[nodiscard]] static AsrModels loadWithAutoRecovery(
        const std::optional<std::filesystem::path>& directory = std::nullopt,
        const std::optional<MLModelConfiguration>& configuration = std::nullopt);
    /// `enableFP16` has no effect on this engine.
    [[nodiscard]] static AsrModels loadWithANEOptimization(
        const std::optional<std::filesystem::path>& directory = std::nullopt, bool enableFP16 = true);
    [[nodiscard]] static AsrModels downloadAndLoad(
        const std::optional<std::filesystem::path>& directory = std::nullopt,
        const std::optional<MLModelConfiguration>& configuration = std::nullopt,
        AsrModelVersion version = AsrModelVersion::v3);
    /// Makes sure the bundles are cached at `directory` (or the default directory) and returns it.
    static std::filesystem::path download(const std::optional<std::filesystem::path>& directory = std::nullopt,
                                          bool force = false, AsrModelVersion version = AsrModelVersion::v3);

    [[nodiscard]] static AsrVocabulary loadVocabulary(const std::filesystem::path& directory,
                                                      AsrModelVersion version = AsrModelVersion::v3);
    [[nodiscard]] static bool modelsExist(const std::filesystem::path& directory, AsrModelVersion version);
    [[nodiscard]] static bool modelsExist(const std::filesystem::path& directory);
    [[nodiscard]] static std::optional<AsrModelVersion> inferredVersion(const std::filesystem::path& directory);
    [[nodiscard]] static bool isModelValid(AsrModelVersion version = AsrModelVersion::v3);
    /// application support / "Tervane" / "Models" / the version's repository folder.
    [[nodiscard]] static std::filesystem::path defaultCacheDirectory(AsrModelVersion version);
    [[nodiscard]] static std::filesystem::path defaultCacheDirectory() {
        return defaultCacheDirectory(AsrModelVersion::v3);
    }
};

/// The command-line tool's loader: the four bundles and the vocabulary straight from
/// `directory`, never downloading. Fails with the platform's error for an unreadable or
/// non-JSON vocabulary (checked before any model is opened) or the first bundle that does not
/// load (encoder, preprocessor, decoder, joint, in that order).
[[nodiscard]] AsrModels loadAsrModels(const std::filesystem::path& directory);

}  // namespace Tervane
