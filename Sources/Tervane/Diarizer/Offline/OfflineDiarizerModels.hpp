#pragma once

#include <Tervane/Platform/MLModel.hpp>

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace Tervane {

/// The four loaded model bundles of the offline diarization pipeline and the PLDA prior psi.
/// A copied record: copies share the models.
class OfflineDiarizerModels {
public:
    OfflineDiarizerModels(std::shared_ptr<MLModel> segmentationModel, std::shared_ptr<MLModel> fbankModel,
                          std::shared_ptr<MLModel> embeddingModel, std::shared_ptr<MLModel> pldaRhoModel,
                          std::vector<double> pldaPsi, double compilationDuration);

    [[nodiscard]] const std::shared_ptr<MLModel>& segmentationModel() const noexcept { return segmentationModel_; }
    [[nodiscard]] const std::shared_ptr<MLModel>& fbankModel() const noexcept { return fbankModel_; }
    [[nodiscard]] const std::shared_ptr<MLModel>& embeddingModel() const noexcept { return embeddingModel_; }
    [[nodiscard]] const std::shared_ptr<MLModel>& pldaRhoModel() const noexcept { return pldaRhoModel_; }
    /// PLDA between-class variances, one per rho dimension (128 expected; VBx checks).
    [[nodiscard]] const std::vector<double>& pldaPsi() const noexcept { return pldaPsi_; }
    /// Seconds the loader spent.
    [[nodiscard]] double compilationDuration() const noexcept { return compilationDuration_; }

    /// The user's application-support directory / "Tervane" / "Models".
    [[nodiscard]] static std::filesystem::path defaultModelsDirectory();

    /// Obtains the bundles through the model download service (fetching missing ones into
    /// `directory`, else `defaultModelsDirectory()`) and reads the PLDA parameters found there.
    /// The compute units are fixed per model, so `configuration` is not used. Throws
    /// `OfflineDiarizationError::modelNotLoaded` for a bundle the service did not return, the
    /// service's own failures, and those of the PLDA parameters.
    [[nodiscard]] static OfflineDiarizerModels load(
        const std::optional<std::filesystem::path>& directory = std::nullopt,
        const std::optional<MLModelConfiguration>& configuration = std::nullopt);

    /// psi from a PLDA parameter file: `tensors.psi.data_base64`, Base64 of packed little-endian
    /// 32-bit floats, widened to double (1 to 3 trailing bytes ignored). A read failure
    /// (`FileError`) and a JSON parse failure (`nlohmann::json::exception`) pass through;
    /// a document of the wrong structure or undecodable text throws
    /// `OfflineDiarizationError::processingFailed("Failed to decode PLDA psi parameters")`, and
    /// fewer than 4 bytes `processingFailed("PLDA psi tensor is empty")`.
    [[nodiscard]] static std::vector<double> readPLDAPsi(const std::filesystem::path& file);
    /// The same for a parsed document.
    [[nodiscard]] static std::vector<double> decodePLDAPsi(const nlohmann::json& document);

private:
    friend struct OfflineDiarizerModelsTestAccess;

    /// psi from the first of directory/"plda-parameters.json",
    /// directory/"speaker-diarization-coreml/plda-parameters.json" and
    /// directory/"speaker-diarization-offline/plda-parameters.json" that exists.
    [[nodiscard]] static std::vector<double> loadPLDAPsi(const std::filesystem::path& directory);

    std::shared_ptr<MLModel> segmentationModel_;
    std::shared_ptr<MLModel> fbankModel_;
    std::shared_ptr<MLModel> embeddingModel_;
    std::shared_ptr<MLModel> pldaRhoModel_;
    std::vector<double> pldaPsi_;
    double compilationDuration_;
};

}  // namespace Tervane
