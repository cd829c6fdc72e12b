#include <Tervane/Diarizer/Online/DiarizerModels.hpp>

#include <Tervane/Diarizer/Online/DiarizerError.hpp>
#include <Tervane/Shared/AppLogger.hpp>
#include <Tervane/Shared/DownloadUtils.hpp>
#include <Tervane/Shared/ElapsedTime.hpp>
#include <Tervane/Shared/FileLocations.hpp>
#include <Tervane/Shared/ModelNames.hpp>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>

namespace Tervane {

namespace {

using Clock = std::chrono::steady_clock;
namespace Names = ModelNames::Diarizer;

std::shared_ptr<MLModel> requireModel(const std::map<std::string, std::shared_ptr<MLModel>>& models,
                                      const std::string& file) {
    const auto found = models.find(file);
    if (found == models.end() || !found->second) {
        throw DiarizerError::modelDownloadFailed();
    }
    return found->second;
}

}  // namespace

DiarizerModels::DiarizerModels(std::shared_ptr<MLModel> segmentationModel, std::shared_ptr<MLModel> embeddingModel,
                               double compilationDuration)
    : segmentationModel_(std::move(segmentationModel)),
      embeddingModel_(std::move(embeddingModel)),
      compilationDuration_(compilationDuration) {}

const std::set<std::string>& DiarizerModels::requiredModelNames() { return Names::requiredModels(); }

std::filesystem::path DiarizerModels::defaultModelsDirectory() {
    return applicationSupportDirectory() / "Tervane" / "Models" / Repo(Repo::diarizer).folderName();
}

MLModelConfiguration DiarizerModels::defaultConfiguration() {
    MLModelConfiguration configuration;
    configuration.allowLowPrecisionAccumulationOnGPU = true;
    configuration.computeUnits =
        std::getenv("CI") != nullptr ? MLComputeUnits::cpuAndNeuralEngine : MLComputeUnits::all;
    return configuration;
}

DiarizerModels DiarizerModels::download(const std::optional<std::filesystem::path>& directory,
                                        const std::optional<MLModelConfiguration>& configuration) {
    const std::filesystem::path repositoryFolder = directory ? *directory : defaultModelsDirectory();
    const MLModelConfiguration settings = configuration ? *configuration : defaultConfiguration();
    const Clock::time_point start = Clock::now();
    const auto models = DownloadUtils::loadModels(Repo::diarizer, {Names::segmentationFile, Names::embeddingFile},
                                                  repositoryFolder.parent_path(), settings.computeUnits);
    std::shared_ptr<MLModel> segmentation = requireModel(models, Names::segmentationFile);
    std::shared_ptr<MLModel> embedding = requireModel(models, Names::embeddingFile);
    return {std::move(segmentation), std::move(embedding), secondsSince(start)};
}

DiarizerModels DiarizerModels::load(const std::optional<std::filesystem::path>& directory,
                                    const std::optional<MLModelConfiguration>& configuration) {
    return download(directory, configuration);
}

DiarizerModels DiarizerModels::downloadIfNeeded(const std::optional<std::filesystem::path>& directory,
                                                const std::optional<MLModelConfiguration>& configuration) {
    return download(directory, configuration);
}

DiarizerModels DiarizerModels::load(const std::filesystem::path& localSegmentationModel,
                                    const std::filesystem::path& localEmbeddingModel,
                                    const std::optional<MLModelConfiguration>& configuration) {
    const AppLogger logger("DiarizerModels");
    logger.info("Loading predownloaded models");
    const MLModelConfiguration settings = configuration ? *configuration : defaultConfiguration();
    const Clock::time_point start = Clock::now();
    std::shared_ptr<MLModel> segmentation = MLModel::load(localSegmentationModel, settings);
    std::shared_ptr<MLModel> embedding = MLModel::load(localEmbeddingModel, settings);
    return {std::move(segmentation), std::move(embedding), secondsSince(start)};
}

}  // namespace Tervane
