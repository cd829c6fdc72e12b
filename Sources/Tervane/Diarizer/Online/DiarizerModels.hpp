#pragma once

#include <Tervane/Platform/MLModel.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace Tervane {

/// The online diarizer's two loaded bundles: segmentation ("pyannote_segmentation.mlmodelc")
/// and embedding ("wespeaker_v2.mlmodelc"). A copied record: copies share the models.
class DiarizerModels {
public:
    DiarizerModels(std::shared_ptr<MLModel> segmentationModel, std::shared_ptr<MLModel> embeddingModel,
                   double compilationDuration);

    [[nodiscard]] const std::shared_ptr<MLModel>& segmentationModel() const noexcept { return segmentationModel_; }
    [[nodiscard]] const std::shared_ptr<MLModel>& embeddingModel() const noexcept { return embeddingModel_; }
    /// Seconds the loader spent.
    [[nodiscard]] double compilationDuration() const noexcept { return compilationDuration_; }

    /// The two bundles' file names.
    [[nodiscard]] static const std::set<std::string>& requiredModelNames();

    /// The user's application-support directory / "Tervane" / "Models" /
    /// "speaker-diarization-coreml".
    [[nodiscard]] static std::filesystem::path defaultModelsDirectory();
    /// All compute units (CPU and neural engine when the environment has "CI"), low-precision
    /// accumulation allowed.
    [[nodiscard]] static MLModelConfiguration defaultConfiguration();

    /// Obtains both bundles through the model download service: the repository is cached in
    /// `directory` (default `defaultModelsDirectory()`), so its parent is the cache root, and
    /// the bundles are loaded with the configuration's compute units (default
    /// `defaultConfiguration()`). Throws `DiarizerError::modelDownloadFailed` when the service
    /// returns without a bundle, and the service's own failures.
    [[nodiscard]] static DiarizerModels download(
        const std::optional<std::filesystem::path>& directory = std::nullopt,
        const std::optional<MLModelConfiguration>& configuration = std::nullopt);
    /// The same as `download`.
    [[nodiscard]] static DiarizerModels load(const std::optional<std::filesystem::path>& directory = std::nullopt,
                                             const std::optional<MLModelConfiguration>& configuration = std::nullopt);
    /// The same as `download`.
    [[nodiscard]] static DiarizerModels downloadIfNeeded(
        const std::optional<std::filesystem::path>& directory = std::nullopt,
        const std::optional<MLModelConfiguration>& configuration = std::nullopt);

    /// Loads the two bundles from the given paths, fetching nothing. A load failure is passed on.
    [[nodiscard]] static DiarizerModels load(const std::filesystem::path& localSegmentationModel,
                                             const std::filesystem::path& localEmbeddingModel,
                                             const std::optional<MLModelConfiguration>& configuration = std::nullopt);

private:
    std::shared_ptr<MLModel> segmentationModel_;
    std::shared_ptr<MLModel> embeddingModel_;
    double compilationDuration_;
};

}  // namespace Tervane
