#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Tervane {

/// Everything that parameterises one offline diarization run: windowing of the segmentation
/// model, embedding extraction, agglomerative and VBx clustering, post-processing of the
/// segments and an optional export of the raw embeddings. A plain value: each stage gets its
/// own copy and nothing changes it during a run. Durations are in seconds, rates in hertz.
struct OfflineDiarizerConfig {
    struct Segmentation {
        double windowDurationSeconds = 10.0;
        std::int64_t sampleRate = 16000;
        double minDurationOn = 0.0;
        double minDurationOff = 0.0;
        double stepRatio = 0.2;  // hop between window starts, as a fraction of the window
        float speechOnsetThreshold = 0.5F;   // diagnostics only
        float speechOffsetThreshold = 0.5F;  // checked, read by no stage

        [[nodiscard]] static Segmentation community() { return {}; }
    };

    struct Embedding {
        std::int64_t batchSize = 32;
        bool excludeOverlap = true;
        double minSegmentDurationSeconds = 1.0;

        [[nodiscard]] static Embedding community() { return {}; }
    };

    struct Clustering {
        double threshold = 0.6;  // cosine similarity, turned into a distance by the linkage
        double warmStartFa = 0.07;
        double warmStartFb = 0.8;

        [[nodiscard]] static Clustering community() { return {}; }
    };

    struct VBx {
        std::int64_t maxIterations = 20;
        double convergenceTolerance = 0.0001;

        [[nodiscard]] static VBx community() { return {}; }
    };

    struct PostProcessing {
        double minGapDurationSeconds = 0.1;

        [[nodiscard]] static PostProcessing community() { return {}; }
    };

    struct Export {
        std::optional<std::string> embeddingsPath;

        [[nodiscard]] static Export none() { return {}; }
    };

    Segmentation segmentation;
    Embedding embedding;
    Clustering clustering;
    VBx vbx;
    PostProcessing postProcessing;
    Export exportConfig;  // `export` is a keyword

    /// The `community` presets and `Export::none()`.
    OfflineDiarizerConfig() = default;
    OfflineDiarizerConfig(Segmentation segmentation, Embedding embedding, Clustering clustering, VBx vbx,
                          PostProcessing postProcessing, Export exportConfig);
    /// Each argument goes to the field its flat accessor of the same name addresses. Checks nothing.
    OfflineDiarizerConfig(double clusteringThreshold, double Fa, double Fb, double windowDuration,
                          std::int64_t sampleRate, double segmentationStepRatio, std::int64_t embeddingBatchSize,
                          bool embeddingExcludeOverlap, double minSegmentDuration, double minGapDuration,
                          float speechOnsetThreshold, float speechOffsetThreshold, double segmentationMinDurationOn,
                          double segmentationMinDurationOff, std::int64_t maxVBxIterations,
                          double convergenceTolerance, std::optional<std::string> embeddingExportPath);

    /// The `default` preset (`default` is a keyword).
    [[nodiscard]] static OfflineDiarizerConfig defaultConfig() { return {}; }

    /// `windowDurationSeconds` × `sampleRate`, truncated toward zero (160000 with the presets).
    /// Outside the range of a 64-bit integer it saturates (NaN gives 0); `validate()` refuses
    /// such a configuration.
    [[nodiscard]] std::int64_t samplesPerWindow() const noexcept;
    /// max(1, `stepRatio` × `samplesPerWindow`, truncated) (32000 with the presets).
    [[nodiscard]] std::int64_t samplesPerStep() const noexcept;

    /// Throws `OfflineDiarizationError` (`invalidConfiguration` or `invalidBatchSize`) for the
    /// first check that fails; a value that is not a number fails every check it meets.
    void validate() const;

    // Flat accessors, each reading and writing one nested field.
    double& clusteringThreshold() noexcept { return clustering.threshold; }
    [[nodiscard]] double clusteringThreshold() const noexcept { return clustering.threshold; }
    double& Fa() noexcept { return clustering.warmStartFa; }
    [[nodiscard]] double Fa() const noexcept { return clustering.warmStartFa; }
    double& Fb() noexcept { return clustering.warmStartFb; }
    [[nodiscard]] double Fb() const noexcept { return clustering.warmStartFb; }
    double& windowDuration() noexcept { return segmentation.windowDurationSeconds; }
    [[nodiscard]] double windowDuration() const noexcept { return segmentation.windowDurationSeconds; }
    std::int64_t& sampleRate() noexcept { return segmentation.sampleRate; }
    [[nodiscard]] std::int64_t sampleRate() const noexcept { return segmentation.sampleRate; }
    double& segmentationStepRatio() noexcept { return segmentation.stepRatio; }
    [[nodiscard]] double segmentationStepRatio() const noexcept { return segmentation.stepRatio; }
    double& segmentationMinDurationOn() noexcept { return segmentation.minDurationOn; }
    [[nodiscard]] double segmentationMinDurationOn() const noexcept { return segmentation.minDurationOn; }
    double& segmentationMinDurationOff() noexcept { return segmentation.minDurationOff; }
    [[nodiscard]] double segmentationMinDurationOff() const noexcept { return segmentation.minDurationOff; }
    float& speechOnsetThreshold() noexcept { return segmentation.speechOnsetThreshold; }
    [[nodiscard]] float speechOnsetThreshold() const noexcept { return segmentation.speechOnsetThreshold; }
    float& speechOffsetThreshold() noexcept { return segmentation.speechOffsetThreshold; }
    [[nodiscard]] float speechOffsetThreshold() const noexcept { return segmentation.speechOffsetThreshold; }
    std::int64_t& embeddingBatchSize() noexcept { return embedding.batchSize; }
    [[nodiscard]] std::int64_t embeddingBatchSize() const noexcept { return embedding.batchSize; }
    bool& embeddingExcludeOverlap() noexcept { return embedding.excludeOverlap; }
    [[nodiscard]] bool embeddingExcludeOverlap() const noexcept { return embedding.excludeOverlap; }
    bool& shouldExcludeOverlaps() noexcept { return embedding.excludeOverlap; }
    [[nodiscard]] bool shouldExcludeOverlaps() const noexcept { return embedding.excludeOverlap; }
    double& minSegmentDuration() noexcept { return embedding.minSegmentDurationSeconds; }
    [[nodiscard]] double minSegmentDuration() const noexcept { return embedding.minSegmentDurationSeconds; }
    double& minGapDuration() noexcept { return postProcessing.minGapDurationSeconds; }
    [[nodiscard]] double minGapDuration() const noexcept { return postProcessing.minGapDurationSeconds; }
    std::int64_t& maxVBxIterations() noexcept { return vbx.maxIterations; }
    [[nodiscard]] std::int64_t maxVBxIterations() const noexcept { return vbx.maxIterations; }
    double& convergenceTolerance() noexcept { return vbx.convergenceTolerance; }
    [[nodiscard]] double convergenceTolerance() const noexcept { return vbx.convergenceTolerance; }
    std::optional<std::string>& embeddingExportPath() noexcept { return exportConfig.embeddingsPath; }
    [[nodiscard]] const std::optional<std::string>& embeddingExportPath() const noexcept {
        return exportConfig.embeddingsPath;
    }
};

}  // namespace Tervane
