#pragma once

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Diarizer/Offline/DiarizationResult.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerModels.hpp>
#include <Tervane/Diarizer/Offline/SegmentationOutput.hpp>
#include <Tervane/Diarizer/Offline/TimedEmbedding.hpp>
#include <Tervane/Diarizer/Offline/VBxClustering.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Platform/Signposter.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Tervane {

/// Finds out who spoke when in one whole recording: segmentation and embedding extraction run
/// concurrently, joined by a stream of chunks; then agglomerative clustering warm-starts VBx,
/// every embedding goes to its nearest centroid, and the cluster table becomes timed segments.
/// Holds no lock: a caller must not overlap its operations.
class OfflineDiarizerManager {
public:
    /// Centroids and, for each cluster label they came from, the centroid's position.
    struct Centroids {
        std::vector<std::vector<double>> centroids;
        std::map<int, std::size_t> clusterToCentroid;
    };

    /// What the steps after embedding extraction make of one recording.
    struct ClusteringOutcome {
        std::vector<int> assignments;  // one centroid index per embedding
        std::vector<std::vector<double>> centroids;
        std::vector<TimedSpeakerSegment> segments;
        std::map<std::string, std::vector<float>> speakerDatabase;
        double clusteringSeconds = 0;
    };

    explicit OfflineDiarizerManager(OfflineDiarizerConfig config = {});

    [[nodiscard]] const OfflineDiarizerConfig& config() const noexcept { return config_; }
    [[nodiscard]] const std::optional<OfflineDiarizerModels>& models() const noexcept { return models_; }

    /// Replaces the model set. No warm-up.
    void initialize(OfflineDiarizerModels models);

    /// Loads the models (from `directory`, else the default models directory) unless some are
    /// set and `forceRedownload` is false; a failed load purges the cached repository and
    /// tries once more. `configuration` is not used. Throws the load failure.
    void prepareModels(const std::optional<std::filesystem::path>& directory = std::nullopt,
                       const std::optional<MLModelConfiguration>& configuration = std::nullopt,
                       bool forceRedownload = false);

    /// Samples at the configured sample rate, in memory.
    [[nodiscard]] DiarizationResult process(const std::vector<float>& audio);
    /// An audio file, converted to a temporary disk-backed source that is removed afterwards
    /// whatever the outcome.
    [[nodiscard]] DiarizationResult process(const std::filesystem::path& file);
    /// The whole pipeline over `audioSource`; `audioLoadingSeconds` is reported in the timings.
    /// Throws the configuration's `validate()` failure, the model load failure,
    /// `OfflineDiarizationError::modelNotLoaded("offline-diarizer")`, the first failure of
    /// segmentation or embedding extraction (both are then stopped),
    /// `OfflineDiarizationError::noSpeechDetected` when no embedding comes out, and the export's
    /// failures. The manager is left as it was.
    [[nodiscard]] DiarizationResult process(const StreamingAudioSampleSource& audioSource,
                                            double audioLoadingSeconds);

    /// Everything `process` does once the embeddings are there, up to the speaker map: training
    /// set, agglomerative labels, VBx, centroids, assignment and reconstruction. Needs models
    /// (for the PLDA prior); throws `modelNotLoaded("offline-diarizer")` without.
    [[nodiscard]] ClusteringOutcome clusterAndReconstruct(const SegmentationOutput& segmentation,
                                                          const std::vector<TimedEmbedding>& embeddings) const;

    /// Writes one record per embedding as a compact JSON array to `path`, replacing any file.
    /// A non-finite value throws `OfflineDiarizationError::exportFailed` before anything is
    /// written; a write failure throws `FileError`.
    void exportEmbeddings(const std::vector<TimedEmbedding>& embeddings, const std::vector<int>& assignments,
                          const std::filesystem::path& path) const;

    // The clustering steps, each a pure function of its arguments.

    /// Indices of the embeddings whose values are all finite; every index when there is none.
    [[nodiscard]] static std::vector<std::size_t> selectTrainingEmbeddings(
        const std::vector<TimedEmbedding>& timedEmbeddings);
    /// From VBx responsibilities of the clusters whose prior exceeds 1e-7, else from `initialClusters`.
    [[nodiscard]] static Centroids computeCentroids(const std::vector<std::vector<double>>& trainingEmbeddings,
                                                    const VBxOutput& vbxOutput,
                                                    const std::vector<int>& initialClusters);
    /// The mean of each label's embeddings, labels ascending; none when the counts differ.
    [[nodiscard]] static Centroids computeCentroidsFromClusters(const std::vector<std::vector<double>>& embeddings,
                                                                const std::vector<int>& clusters);
    /// One centroid: the mean of all embeddings (none without embeddings).
    [[nodiscard]] static std::vector<std::vector<double>> computeFallbackCentroids(
        const std::vector<std::vector<double>>& embeddings);
    /// Unit length; unchanged when empty or of zero norm.
    [[nodiscard]] static std::vector<double> normalize(const std::vector<double>& vector);
    /// The most cosine-similar centroid per embedding, ties to the lower index; 0 without
    /// centroids or when every similarity is NaN.
    [[nodiscard]] static std::vector<int> assignEmbeddings(const std::vector<std::vector<double>>& embeddingFeatures,
                                                           const std::vector<std::vector<double>>& centroids);
    /// Chunks × local speakers of cluster indices, −2 where none.
    [[nodiscard]] static std::vector<std::vector<int>> buildChunkAssignments(
        const SegmentationOutput& segmentation, const std::vector<TimedEmbedding>& timedEmbeddings,
        const std::vector<int>& assignments, std::size_t clusterCount);

private:
    [[nodiscard]] const OfflineDiarizerModels& requireModels() const;
    void prewarmModelsIfNeeded() const;
    void prewarmSegmentationModel(const OfflineDiarizerModels& models) const;
    void prewarmEmbeddingStack(const OfflineDiarizerModels& models) const;
    /// Removes the cached diarizer repository folder; a failure is logged with `warningPrefix`.
    void purgeCachedRepository(const std::filesystem::path& directory, const std::string& warningPrefix) const;

    OfflineDiarizerConfig config_;
    std::optional<OfflineDiarizerModels> models_;
    AppLogger logger_{"OfflineDiarizer"};
    Signposter signposter_;
};

}  // namespace Tervane
