#include <Tervane/Diarizer/Offline/OfflineDiarizerModels.hpp>

#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Shared/FileLocations.hpp>
#include <Tervane/Shared/AppLogger.hpp>
#include <Tervane/Shared/Base64.hpp>
#include <Tervane/Shared/DownloadUtils.hpp>
#include <Tervane/Shared/ModelNames.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <nlohmann/json.hpp>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace Tervane {

namespace {

using Clock = std::chrono::steady_clock;
namespace Names = ModelNames::OfflineDiarizer;

const std::string pldaParametersFile = "plda-parameters.json";

const std::shared_ptr<MLModel>& requireModel(const std::map<std::string, std::shared_ptr<MLModel>>& models,
                                             const std::string& file, const std::string& name) {
    const auto found = models.find(file);
    if (found == models.end() || !found->second) {
        throw OfflineDiarizationError::modelNotLoaded(name);
    }
    return found->second;
}

}  // namespace

OfflineDiarizerModels::OfflineDiarizerModels(std::shared_ptr<MLModel> segmentationModel,
                                             std::shared_ptr<MLModel> fbankModel,
                                             std::shared_ptr<MLModel> embeddingModel,
                                             std::shared_ptr<MLModel> pldaRhoModel, std::vector<double> pldaPsi,
                                             double compilationDuration)
    : segmentationModel_(std::move(segmentationModel)),
      fbankModel_(std::move(fbankModel)),
      embeddingModel_(std::move(embeddingModel)),
      pldaRhoModel_(std::move(pldaRhoModel)),
      pldaPsi_(std::move(pldaPsi)),
      compilationDuration_(compilationDuration) {}

std::filesystem::path OfflineDiarizerModels::defaultModelsDirectory() {
    return applicationSupportDirectory() / "Tervane" / "Models";
}

OfflineDiarizerModels OfflineDiarizerModels::load(const std::optional<std::filesystem::path>& directory,
                                                  const std::optional<MLModelConfiguration>& /*configuration*/) {
    const AppLogger logger("OfflineDiarizerModels");
    const std::filesystem::path root = directory ? *directory : defaultModelsDirectory();
    logger.info("Loading offline diarization models from " + root.string());
    const Clock::time_point start = Clock::now();

    const auto neuralModels =
        DownloadUtils::loadModels(Repo::diarizer, {Names::segmentationFile, Names::embeddingFile, Names::pldaRhoFile},
                                  root, MLComputeUnits::all, std::string("offline"));
    std::shared_ptr<MLModel> segmentation = requireModel(neuralModels, Names::segmentationFile, Names::segmentation);
    std::shared_ptr<MLModel> embedding = requireModel(neuralModels, Names::embeddingFile, Names::embedding);
    std::shared_ptr<MLModel> pldaRho = requireModel(neuralModels, Names::pldaRhoFile, Names::pldaRho);

    // The filter bank is cheap and exact arithmetic matters more than speed there.
    const auto fbankModels =
        DownloadUtils::loadModels(Repo::diarizer, {Names::fbankFile}, root, MLComputeUnits::cpuOnly, std::string("offline"));
    std::shared_ptr<MLModel> fbank = requireModel(fbankModels, Names::fbankFile, Names::fbank);

    std::vector<double> psi = loadPLDAPsi(root);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    logger.info("Offline diarization models ready (compile: " + NumberText::fixed(seconds, 3) +
                "s, segmentation=" + computeUnitsName(MLComputeUnits::all) +
                ", fbank=" + computeUnitsName(MLComputeUnits::cpuOnly) +
                ", embedding=" + computeUnitsName(MLComputeUnits::all) +
                ", pldaRho=" + computeUnitsName(MLComputeUnits::all) + ")");
    return {std::move(segmentation), std::move(fbank), std::move(embedding), std::move(pldaRho), std::move(psi),
            seconds};
}

std::vector<double> OfflineDiarizerModels::loadPLDAPsi(const std::filesystem::path& directory) {
    const std::filesystem::path candidates[] = {
        directory / pldaParametersFile,
        directory / "speaker-diarization-coreml" / pldaParametersFile,
        directory / "speaker-diarization-offline" / pldaParametersFile,
    };
    for (const std::filesystem::path& candidate : candidates) {
        std::error_code ignored;
        if (std::filesystem::exists(candidate, ignored)) {
            return readPLDAPsi(candidate);
        }
    }
    throw OfflineDiarizationError::processingFailed("PLDA parameters file not found in " + directory.string());
}

std::vector<double> OfflineDiarizerModels::readPLDAPsi(const std::filesystem::path& file) {
    return decodePLDAPsi(nlohmann::json::parse(readWholeFile(file)));
}

std::vector<double> OfflineDiarizerModels::decodePLDAPsi(const nlohmann::json& document) {
    const auto undecodable = [] { return OfflineDiarizationError::processingFailed("Failed to decode PLDA psi parameters"); };
    if (!document.is_object()) {
        throw undecodable();
    }
    const auto tensors = document.find("tensors");
    if (tensors == document.end() || !tensors->is_object()) {
        throw undecodable();
    }
    const auto psi = tensors->find("psi");
    if (psi == tensors->end() || !psi->is_object()) {
        throw undecodable();
    }
    const auto text = psi->find("data_base64");
    if (text == psi->end() || !text->is_string()) {
        throw undecodable();
    }
    const std::optional<std::vector<std::uint8_t>> bytes =
        Base64::decodeIgnoringUnknownCharacters(text->get_ref<const std::string&>());
    if (!bytes) {
        throw undecodable();
    }
    if (bytes->size() < sizeof(float)) {
        throw OfflineDiarizationError::processingFailed("PLDA psi tensor is empty");
    }

    std::vector<double> values(bytes->size() / sizeof(float));
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint32_t bits = 0;
        for (std::size_t b = 0; b < sizeof(float); ++b) {
            bits |= static_cast<std::uint32_t>((*bytes)[i * sizeof(float) + b]) << (8 * b);
        }
        values[i] = static_cast<double>(std::bit_cast<float>(bits));
    }
    return values;
}

}  // namespace Tervane
