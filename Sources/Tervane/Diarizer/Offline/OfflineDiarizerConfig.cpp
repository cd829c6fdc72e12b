#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>

#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <cmath>
#include <limits>
#include <string>

namespace Tervane {

namespace {

constexpr double squareRootOfTwo = 1.4142135623730951;
constexpr std::int64_t pldaBatchLimit = 32;
// 2^63: the first double that no longer fits a 64-bit signed integer.
constexpr double int64Bound = 9223372036854775808.0;

/// Truncation toward zero that saturates instead of overflowing; NaN gives 0.
std::int64_t truncatedSaturating(double value) noexcept {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= int64Bound) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value < -int64Bound) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(value);
}

[[noreturn]] void invalid(const std::string& message) {
    throw OfflineDiarizationError::invalidConfiguration(message);
}

}  // namespace

OfflineDiarizerConfig::OfflineDiarizerConfig(Segmentation segmentation_, Embedding embedding_,
                                             Clustering clustering_, VBx vbx_, PostProcessing postProcessing_,
                                             Export exportConfig_)
    : segmentation(segmentation_),
      embedding(embedding_),
      clustering(clustering_),
      vbx(vbx_),
      postProcessing(postProcessing_),
      exportConfig(std::move(exportConfig_)) {}

OfflineDiarizerConfig::OfflineDiarizerConfig(double clusteringThreshold_, double Fa_, double Fb_,
                                             double windowDuration_, std::int64_t sampleRate_,
                                             double segmentationStepRatio_, std::int64_t embeddingBatchSize_,
                                             bool embeddingExcludeOverlap_, double minSegmentDuration_,
                                             double minGapDuration_, float speechOnsetThreshold_,
                                             float speechOffsetThreshold_, double segmentationMinDurationOn_,
                                             double segmentationMinDurationOff_, std::int64_t maxVBxIterations_,
                                             double convergenceTolerance_,
                                             std::optional<std::string> embeddingExportPath_) {
    clusteringThreshold() = clusteringThreshold_;
    Fa() = Fa_;
    Fb() = Fb_;
    windowDuration() = windowDuration_;
    sampleRate() = sampleRate_;
    segmentationStepRatio() = segmentationStepRatio_;
    embeddingBatchSize() = embeddingBatchSize_;
    embeddingExcludeOverlap() = embeddingExcludeOverlap_;
    minSegmentDuration() = minSegmentDuration_;
    minGapDuration() = minGapDuration_;
    speechOnsetThreshold() = speechOnsetThreshold_;
    speechOffsetThreshold() = speechOffsetThreshold_;
    segmentationMinDurationOn() = segmentationMinDurationOn_;
    segmentationMinDurationOff() = segmentationMinDurationOff_;
    maxVBxIterations() = maxVBxIterations_;
    convergenceTolerance() = convergenceTolerance_;
    embeddingExportPath() = std::move(embeddingExportPath_);
}

std::int64_t OfflineDiarizerConfig::samplesPerWindow() const noexcept {
    return truncatedSaturating(segmentation.windowDurationSeconds * static_cast<double>(segmentation.sampleRate));
}

std::int64_t OfflineDiarizerConfig::samplesPerStep() const noexcept {
    const std::int64_t step =
        truncatedSaturating(segmentation.stepRatio * static_cast<double>(samplesPerWindow()));
    return step < 1 ? 1 : step;
}

void OfflineDiarizerConfig::validate() const {
    using NumberText::shortest;

    const double threshold = clustering.threshold;
    if (!(threshold > 0 && threshold <= squareRootOfTwo)) {
        invalid("clustering.threshold must be within (0, sqrt(2)], got " + shortest(threshold));
    }
    if (!(clustering.warmStartFa > 0 && clustering.warmStartFb > 0)) {
        invalid("clustering warm-start Fa/Fb must be positive (Fa=" + shortest(clustering.warmStartFa) +
                ", Fb=" + shortest(clustering.warmStartFb) + ")");
    }
    if (!(segmentation.windowDurationSeconds > 0)) {
        invalid("segmentation.windowDurationSeconds must be positive, got " +
                shortest(segmentation.windowDurationSeconds));
    }
    if (!(segmentation.sampleRate >= 1)) {
        invalid("sampleRate must be positive");
    }
    if (!(segmentation.stepRatio > 0 && segmentation.stepRatio <= 1)) {
        invalid("segmentation.stepRatio must be within (0, 1], got " + shortest(segmentation.stepRatio));
    }
    if (!(embedding.batchSize >= 1)) {
        throw OfflineDiarizationError::invalidBatchSize("embeddingBatchSize must be > 0");
    }
    if (!(embedding.batchSize <= pldaBatchLimit)) {
        throw OfflineDiarizationError::invalidBatchSize("embeddingBatchSize must be <= 32 to fit PLDA batch limits");
    }
    if (!(vbx.maxIterations >= 1)) {
        invalid("maxVBxIterations must be > 0, got " + std::to_string(vbx.maxIterations));
    }
    if (!(vbx.convergenceTolerance > 0)) {
        invalid("convergenceTolerance must be positive");
    }
    if (!(embedding.minSegmentDurationSeconds >= 0)) {
        invalid("embedding.minSegmentDuration must be >= 0");
    }
    if (!(postProcessing.minGapDurationSeconds >= 0)) {
        invalid("minGapDuration must be >= 0");
    }
    if (!(segmentation.minDurationOn >= 0)) {
        invalid("segmentation.minDurationOn must be >= 0");
    }
    if (!(segmentation.minDurationOff >= 0)) {
        invalid("segmentation.minDurationOff must be >= 0");
    }
    const float onset = segmentation.speechOnsetThreshold;
    const float offset = segmentation.speechOffsetThreshold;
    if (!(onset >= 0 && onset <= 1)) {
        invalid("speechOnsetThreshold must be within [0, 1], got " + shortest(onset));
    }
    if (!(offset >= 0 && offset <= onset)) {
        invalid("speechOffsetThreshold must be within [0, speechOnsetThreshold], got " + shortest(offset));
    }
    // Every stage sizes its buffers by the window's sample count, so it must be a real count.
    const double windowSamples = segmentation.windowDurationSeconds * static_cast<double>(segmentation.sampleRate);
    if (!(windowSamples >= 1 && windowSamples < int64Bound)) {
        invalid("segmentation window of " + shortest(segmentation.windowDurationSeconds) + " s at " +
                std::to_string(segmentation.sampleRate) + " Hz must hold at least 1 and at most " +
                std::to_string(std::numeric_limits<std::int64_t>::max()) + " samples");
    }
}

}  // namespace Tervane
