#include <Tervane/ASR/AsrModels.hpp>

#include <Tervane/Shared/AppLogger.hpp>
#include <Tervane/Shared/DownloadUtils.hpp>
#include <Tervane/Shared/FileLocations.hpp>
#include <Tervane/Shared/TextCase.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

namespace Tervane {

namespace {

const AppLogger& logger() {
    static const AppLogger instance("AsrModels");
    return instance;
}

/// An optional sign and one or more decimal digits that fit 64 bits; anything else is none.
std::optional<std::int64_t> tokenId(std::string_view name) {
    bool negative = false;
    if (!name.empty() && (name.front() == '+' || name.front() == '-')) {
        negative = name.front() == '-';
        name.remove_prefix(1);
    }
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    // Parsed with the sign so that the most negative id still fits.
    std::string text = negative ? "-" : "";
    text += name;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::filesystem::path repositoryFolder(const std::filesystem::path& directory, AsrModelVersion version) {
    return directory.parent_path() / repo(version).folderName();
}

MLModelConfiguration withComputeUnits(MLComputeUnits units) {
    MLModelConfiguration configuration;
    configuration.computeUnits = units;
    configuration.allowLowPrecisionAccumulationOnGPU = true;
    return configuration;
}

using LoadedModels = std::map<std::string, std::shared_ptr<MLModel>>;

/// One pass of the library loader, retried once after purging the repository folder.
LoadedModels loadPass(const std::function<LoadedModels()>& pass, const std::filesystem::path& repositoryPath) {
    try {
        return pass();
    } catch (const std::exception& failure) {
        logger().warning(std::string("First load failed: ") + failure.what());
        logger().info("Deleting cache and re-downloading…");
        std::error_code ignored;
        std::filesystem::remove_all(repositoryPath, ignored);
        return pass();
    }
}

}  // namespace

Repo repo(AsrModelVersion version) noexcept {
    return version == AsrModelVersion::v2 ? Repo::parakeetV2 : Repo::parakeet;
}

AsrModelsError::AsrModelsError(Kind kind, std::string message, std::string description)
    : Error(std::move(description)), kind_(kind), message_(std::move(message)) {}

AsrModelsError AsrModelsError::modelNotFound(std::string name, const std::filesystem::path& location) {
    std::string description = "ASR model '" + name + "' not found at: " + location.string();
    return {Kind::modelNotFound, std::move(name), std::move(description)};
}

AsrModelsError AsrModelsError::downloadFailed(std::string message) {
    std::string description = "Failed to download ASR models: " + message;
    return {Kind::downloadFailed, std::move(message), std::move(description)};
}

AsrModelsError AsrModelsError::loadingFailed(std::string message) {
    std::string description = "Failed to load ASR models: " + message;
    return {Kind::loadingFailed, std::move(message), std::move(description)};
}

AsrModelsError AsrModelsError::modelCompilationFailed(std::string message) {
    std::string description =
        "Failed to compile ASR models: " + message + ". Try deleting the models and re-downloading.";
    return {Kind::modelCompilationFailed, std::move(message), std::move(description)};
}

MLModelConfiguration AsrModels::defaultConfiguration() {
    return withComputeUnits(MLComputeUnits::cpuAndNeuralEngine);
}

MLModelConfiguration AsrModels::optimizedConfiguration(ANEOptimizer::ModelType, bool enableFP16) {
    MLModelConfiguration configuration;
    configuration.allowLowPrecisionAccumulationOnGPU = enableFP16;
    configuration.computeUnits =
        std::getenv("CI") != nullptr ? MLComputeUnits::cpuOnly : MLComputeUnits::cpuAndNeuralEngine;
    return configuration;
}

AsrVocabulary AsrModels::vocabularyFromJSON(std::string_view text) {
    const nlohmann::json document = nlohmann::json::parse(text);
    AsrVocabulary vocabulary;
    if (!document.is_object()) {
        return vocabulary;
    }
    for (const auto& [name, value] : document.items()) {
        if (!value.is_string()) {
            return {};  // a file that is not strings throughout is no vocabulary at all
        }
        if (const std::optional<std::int64_t> id = tokenId(name)) {
            vocabulary[*id] = value.get<std::string>();
        }
    }
    return vocabulary;
}

AsrModels AsrModels::load(const std::filesystem::path& directory,
                          const std::optional<MLModelConfiguration>& configuration, AsrModelVersion version) {
    logger().info("Loading ASR models from: " + directory.string());
    const MLModelConfiguration config = configuration.value_or(defaultConfiguration());
    const std::filesystem::path cacheRoot = directory.parent_path();
    const std::filesystem::path repositoryPath = cacheRoot / repo(version).folderName();

    const auto pass = [&](std::vector<std::string> names, MLComputeUnits units) {
        return loadPass([&] { return DownloadUtils::loadModelsOnce(repo(version), names, cacheRoot, units); },
                        repositoryPath);
    };
    const auto keep = [](const LoadedModels& loaded, const std::string& fileName, MLComputeUnits units) {
        const auto found = loaded.find(fileName);
        if (found == loaded.end()) {
            return std::shared_ptr<MLModel>();
        }
        logger().info("Loaded " + fileName + " with compute units: " + computeUnitsName(units));
        return found->second;
    };

    AsrModels models;
    models.configuration = config;
    models.version = version;
    const ModelSpec preprocessorSpec{ModelNames::ASR::preprocessorFile, MLComputeUnits::cpuOnly};
    const ModelSpec encoderSpec{ModelNames::ASR::encoderFile, config.computeUnits};
    models.preprocessor = keep(pass({preprocessorSpec.fileName}, preprocessorSpec.computeUnits),
                               preprocessorSpec.fileName, preprocessorSpec.computeUnits);
    models.encoder =
        keep(pass({encoderSpec.fileName}, encoderSpec.computeUnits), encoderSpec.fileName, encoderSpec.computeUnits);
    const LoadedModels decoders = pass({ModelNames::ASR::decoderFile, ModelNames::ASR::jointFile}, config.computeUnits);
    if (!models.preprocessor || !models.encoder) {
        throw AsrModelsError::loadingFailed("Failed to load preprocessor or encoder model");
    }
    const auto decoder = decoders.find(ModelNames::ASR::decoderFile);
    const auto joint = decoders.find(ModelNames::ASR::jointFile);
    if (decoder == decoders.end() || joint == decoders.end() || !decoder->second || !joint->second) {
        throw AsrModelsError::loadingFailed("Failed to load decoder or joint model");
    }
    models.decoder = decoder->second;
    models.joint = joint->second;
    models.vocabulary = loadVocabulary(directory, version);
    logger().info("Successfully loaded all ASR models with optimized compute units");
    return models;
}

AsrModels AsrModels::loadFromCache(const std::optional<MLModelConfiguration>& configuration, AsrModelVersion version) {
    return load(defaultCacheDirectory(version), configuration, version);
}

AsrModels AsrModels::loadWithAutoRecovery(const std::optional<std::filesystem::path>& directory,
                                          const std::optional<MLModelConfiguration>& configuration) {
    return load(directory.value_or(defaultCacheDirectory(AsrModelVersion::v3)), configuration, AsrModelVersion::v3);
}

AsrModels AsrModels::loadWithANEOptimization(const std::optional<std::filesystem::path>& directory, bool) {
    const std::filesystem::path target = directory.value_or(defaultCacheDirectory(AsrModelVersion::v3));
    logger().info("Loading ASR models with ANE optimization from: " + target.string());
    return load(target, std::nullopt, AsrModelVersion::v3);
}

AsrModels AsrModels::downloadAndLoad(const std::optional<std::filesystem::path>& directory,
                                     const std::optional<MLModelConfiguration>& configuration,
                                     AsrModelVersion version) {
    return load(download(directory, false, version), configuration, version);
}

std::filesystem::path AsrModels::download(const std::optional<std::filesystem::path>& directory, bool force,
                                          AsrModelVersion version) {
    const std::filesystem::path target = directory.value_or(defaultCacheDirectory(version));
    logger().info("Downloading ASR models to: " + target.string());
    if (force) {
        std::error_code ignored;
        std::filesystem::remove_all(target, ignored);
    } else if (modelsExist(target, version)) {
        logger().info("ASR models already present at: " + target.string());
        return target;
    }
    const std::filesystem::path cacheRoot = target.parent_path();
    const std::filesystem::path repositoryPath = cacheRoot / repo(version).folderName();
    const ModelSpec specs[] = {{ModelNames::ASR::preprocessorFile, MLComputeUnits::cpuOnly},
                               {ModelNames::ASR::encoderFile, MLComputeUnits::cpuAndNeuralEngine},
                               {ModelNames::ASR::decoderFile, MLComputeUnits::cpuAndNeuralEngine},
                               {ModelNames::ASR::jointFile, MLComputeUnits::cpuAndNeuralEngine}};
    for (const ModelSpec& spec : specs) {
        (void)loadPass(
            [&] { return DownloadUtils::loadModelsOnce(repo(version), {spec.fileName}, cacheRoot, spec.computeUnits); },
            repositoryPath);
    }
    logger().info("Successfully downloaded ASR models");
    return target;
}

AsrVocabulary AsrModels::loadVocabulary(const std::filesystem::path& directory, AsrModelVersion version) {
    const std::filesystem::path path = repositoryFolder(directory, version) / ModelNames::ASR::vocabularyFile;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        logger().warning("Vocabulary file not found at " + path.string() +
                         ". Please ensure the vocab file is downloaded with the models.");
        throw AsrModelsError::modelNotFound(ModelNames::ASR::vocabularyFile, path);
    }
    try {
        AsrVocabulary vocabulary = vocabularyFromJSON(readWholeFile(path));
        logger().info("Loaded vocabulary with " + std::to_string(vocabulary.size()) + " tokens from " + path.string());
        return vocabulary;
    } catch (const std::exception& failure) {
        logger().error("Failed to load or parse vocabulary file at " + path.string() + ": " + failure.what());
        throw AsrModelsError::loadingFailed("Vocabulary parsing failed");
    }
}

bool AsrModels::modelsExist(const std::filesystem::path& directory, AsrModelVersion version) {
    const std::filesystem::path folder = repositoryFolder(directory, version);
    std::error_code error;
    for (const std::string& name : requiredModelNames()) {
        if (!std::filesystem::exists(folder / name, error)) {
            return false;
        }
    }
    return std::filesystem::exists(folder / ModelNames::ASR::vocabularyFile, error);
}

bool AsrModels::modelsExist(const std::filesystem::path& directory) {
    return modelsExist(directory, inferredVersion(directory).value_or(AsrModelVersion::v3));
}

std::optional<AsrModelVersion> AsrModels::inferredVersion(const std::filesystem::path& directory) {
    const std::string path = asciiLowercased(directory.string());
    if (path.find(Repo(Repo::parakeetV2).folderName()) != std::string::npos) {
        return AsrModelVersion::v2;
    }
    if (path.find(Repo(Repo::parakeet).folderName()) != std::string::npos) {
        return AsrModelVersion::v3;
    }
    return std::nullopt;
}

bool AsrModels::isModelValid(AsrModelVersion version) {
    const std::filesystem::path directory = defaultCacheDirectory(version);
    if (!modelsExist(directory, version)) {
        logger().info("Model validation failed: model files not found");
        return false;
    }
    const std::filesystem::path folder = repositoryFolder(directory, version);
    const std::pair<const char*, const std::string*> models[] = {{"Preprocessor", &ModelNames::ASR::preprocessorFile},
                                                                 {"Encoder", &ModelNames::ASR::encoderFile},
                                                                 {"Decoder", &ModelNames::ASR::decoderFile},
                                                                 {"Joint", &ModelNames::ASR::jointFile}};
    for (const auto& [name, file] : models) {
        try {
            (void)MLModel::load(folder / *file, withComputeUnits(MLComputeUnits::cpuOnly));
        } catch (const std::exception& failure) {
            logger().error(std::string("Model validation failed: ") + name + " - " + failure.what());
            return false;
        }
    }
    return true;
}

std::filesystem::path AsrModels::defaultCacheDirectory(AsrModelVersion version) {
    return applicationSupportDirectory() / "Tervane" / "Models" / repo(version).folderName();
}

AsrModels loadAsrModels(const std::filesystem::path& directory) {
    const MLModelConfiguration configuration = AsrModels::defaultConfiguration();
    AsrModels models;
    models.configuration = configuration;
    models.version = AsrModelVersion::v3;
    models.vocabulary = AsrModels::vocabularyFromJSON(readWholeFile(directory / ModelNames::ASR::vocabularyFile));
    models.encoder = MLModel::load(directory / ModelNames::ASR::encoderFile, withComputeUnits(configuration.computeUnits));
    models.preprocessor = MLModel::load(directory / ModelNames::ASR::preprocessorFile,
                                        withComputeUnits(MLComputeUnits::cpuOnly));
    models.decoder = MLModel::load(directory / ModelNames::ASR::decoderFile, withComputeUnits(configuration.computeUnits));
    models.joint = MLModel::load(directory / ModelNames::ASR::jointFile, withComputeUnits(configuration.computeUnits));
    return models;
}

}  // namespace Tervane
