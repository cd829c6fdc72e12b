#pragma once

#include <Tervane/Shared/UUID.hpp>

#include <nlohmann/json_fwd.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Tervane {

/// One stretch of speech by one speaker.
struct TimedSpeakerSegment {
    /// Draws a new random `id`, so two segments made from the same values stay distinct.
    TimedSpeakerSegment(std::string speakerId, std::vector<float> embedding, float startTimeSeconds,
                        float endTimeSeconds, float qualityScore);

    UUID id;
    std::string speakerId;  // "S1", "S2", ...
    std::vector<float> embedding;
    float startTimeSeconds;
    float endTimeSeconds;
    float qualityScore;  // in [0, 1]

    [[nodiscard]] float durationSeconds() const noexcept { return endTimeSeconds - startTimeSeconds; }
};

/// Seconds spent in each stage of one diarization run.
struct PipelineTimings {
    double modelCompilationSeconds = 0;
    double audioLoadingSeconds = 0;
    double segmentationSeconds = 0;
    double embeddingExtractionSeconds = 0;
    double speakerClusteringSeconds = 0;
    double postProcessingSeconds = 0;
    double totalInferenceSeconds = 0;
    double totalProcessingSeconds = 0;

    PipelineTimings() = default;
    /// Derives the totals: inference = segmentation + embedding extraction + speaker
    /// clustering; processing = all six stages.
    PipelineTimings(double modelCompilationSeconds, double audioLoadingSeconds, double segmentationSeconds,
                    double embeddingExtractionSeconds, double speakerClusteringSeconds,
                    double postProcessingSeconds);

    /// Stage name -> share of `totalProcessingSeconds` in percent for the six stages; empty
    /// when the total is not positive.
    [[nodiscard]] std::map<std::string, double> stagePercentages() const;
    /// The stage with the most seconds; ties go to the stage listed first.
    [[nodiscard]] std::string bottleneckStage() const;

    friend bool operator==(const PipelineTimings&, const PipelineTimings&) = default;
};

/// The eight fields by name. Decoding requires all eight to be numbers; anything else throws
/// `nlohmann::json::exception`.
void to_json(nlohmann::json& json, const PipelineTimings& timings);
void from_json(const nlohmann::json& json, PipelineTimings& timings);

/// What a diarization run hands back.
struct DiarizationResult {
    std::vector<TimedSpeakerSegment> segments;  // in start order
    std::optional<std::map<std::string, std::vector<float>>> speakerDatabase;
    std::optional<PipelineTimings> timings;
};

}  // namespace Tervane
