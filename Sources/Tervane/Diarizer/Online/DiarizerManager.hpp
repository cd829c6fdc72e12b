#pragma once

#include <Tervane/Diarizer/Offline/DiarizationResult.hpp>
#include <Tervane/Diarizer/Online/AudioValidation.hpp>
#include <Tervane/Diarizer/Online/DiarizerConfig.hpp>
#include <Tervane/Diarizer/Online/DiarizerModels.hpp>
#include <Tervane/Diarizer/Online/EmbeddingExtractor.hpp>
#include <Tervane/Diarizer/Online/SegmentationProcessor.hpp>
#include <Tervane/Diarizer/Online/SlidingWindow.hpp>
#include <Tervane/Diarizer/Online/SpeakerManager.hpp>
#include <Tervane/Platform/ANEMemoryOptimizer.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Tervane {

/// The chunk-by-chunk diarizer: each chunk is segmented into three local speakers, each
/// active local speaker is embedded, and the speaker database names it, creating speakers as
/// new voices appear. The database outlives every call, so a voice keeps its id from call to
/// call and known speakers can be seeded beforehand.
///
/// Calls run on the caller's thread and must not overlap; the database guards itself.
class DiarizerManager {
public:
    /// Seconds one chunk spent in each stage.
    struct ChunkTimings {
        double segmentationTime = 0;
        double embeddingTime = 0;
        double clusteringTime = 0;
    };

    /// The database joins embeddings within 1.2 × and updates speakers within 0.8 × the
    /// configuration's clustering threshold.
    explicit DiarizerManager(DiarizerConfig config = DiarizerConfig::defaultConfig());

    DiarizerManager(const DiarizerManager&) = delete;
    DiarizerManager& operator=(const DiarizerManager&) = delete;

    [[nodiscard]] bool isAvailable() const noexcept { return models_.has_value(); }
    /// Takes the models and makes the embedding extractor.
    void initialize(DiarizerModels models);
    /// Drops the models and the embedding extractor that holds one of them.
    void cleanup();

    [[nodiscard]] AudioValidationResult validateAudio(std::span<const float> samples) const {
        return audioValidation_.validateAudio(samples);
    }
    [[nodiscard]] bool validateEmbedding(std::span<const float> embedding) const {
        return audioValidation_.validateEmbedding(embedding);
    }

    /// Adds the speakers to the database; ids already there keep their stored speaker.
    void initializeKnownSpeakers(const std::vector<std::shared_ptr<Speaker>>& speakers);

    /// Diarizes `samples` (recorded at `sampleRate`, the first at `atTime` seconds) chunk by
    /// chunk: chunks of `chunkDuration` rounded to whole seconds start every chunk minus
    /// `chunkOverlap` (rounded likewise). Segments come in chunk order, each chunk's by start.
    /// With `debugMode`, the result also holds every database speaker's embedding and the
    /// stage timings. Throws `DiarizerError::notInitialized` without models,
    /// `DiarizerError::processingFailed` for a sample rate that is not positive, durations
    /// that are not finite, chunks of no samples or of more than 160000, or an overlap that
    /// leaves no step, and the first failure of a chunk.
    [[nodiscard]] DiarizationResult performCompleteDiarization(std::span<const float> samples,
                                                               int sampleRate = 16000, double atTime = 0);

    [[nodiscard]] const DiarizerConfig& config() const noexcept { return config_; }
    [[nodiscard]] const std::optional<DiarizerModels>& models() const noexcept { return models_; }
    /// The models' segmentation model; null without models.
    [[nodiscard]] std::shared_ptr<MLModel> segmentationModel() const;
    [[nodiscard]] const SegmentationProcessor& segmentationProcessor() const noexcept { return segmentationProcessor_; }
    [[nodiscard]] const std::shared_ptr<SpeakerManager>& speakerManager() const noexcept { return speakerManager_; }
    [[nodiscard]] const std::shared_ptr<EmbeddingExtractor>& embeddingExtractor() const noexcept {
        return embeddingExtractor_;
    }
    void setEmbeddingExtractor(std::shared_ptr<EmbeddingExtractor> extractor) {
        embeddingExtractor_ = std::move(extractor);
    }
    [[nodiscard]] const std::shared_ptr<ANEMemoryOptimizer>& memoryOptimizer() const noexcept {
        return memoryOptimizer_;
    }

private:
    struct ChunkResult {
        std::vector<TimedSpeakerSegment> segments;
        ChunkTimings timings;
    };

    /// Segments, embeds and names the speakers of one chunk, which starts `chunkOffset` seconds in.
    [[nodiscard]] ChunkResult processChunkWithSpeakerTracking(std::span<const float> chunk, double chunkOffset,
                                                              std::vector<float>& chunkBuffer);

    /// Each speech run of each named local speaker as a segment on the chunk's time grid.
    [[nodiscard]] std::vector<TimedSpeakerSegment> createTimedSegments(
        const std::vector<std::vector<float>>& binarizedSegments, const SlidingWindow& slidingWindow,
        const std::vector<std::vector<float>>& embeddings, const std::vector<std::string>& speakerIds,
        const std::vector<float>& speakerActivities) const;

    AppLogger logger_{"Diarizer"};
    DiarizerConfig config_;
    std::optional<DiarizerModels> models_;
    SegmentationProcessor segmentationProcessor_;
    std::shared_ptr<EmbeddingExtractor> embeddingExtractor_;
    AudioValidation audioValidation_;
    std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_;
    std::shared_ptr<SpeakerManager> speakerManager_;
};

}  // namespace Tervane
