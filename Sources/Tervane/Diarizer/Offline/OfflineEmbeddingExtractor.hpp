#pragma once

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Diarizer/Offline/PLDATransform.hpp>
#include <Tervane/Diarizer/Offline/SegmentationOutput.hpp>
#include <Tervane/Diarizer/Offline/TimedEmbedding.hpp>
#include <Tervane/Platform/ANEMemoryOptimizer.hpp>
#include <Tervane/Platform/AsyncChannel.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace Tervane {

/// A chunk waiting in an fbank batch.
struct OfflineChunkBatchInfo {
    std::int64_t chunkIndex = 0;
    double chunkOffsetSeconds = 0;  // the start time used for the chunk
    double frameDuration = 0;       // seconds per segmentation frame, as used
    std::vector<std::vector<float>> speakerWeights;  // frames × local speakers
};

/// An embedding waiting for its PLDA batch.
struct OfflineEmbeddingPending {
    std::int64_t chunkIndex = 0;
    std::int64_t speakerIndex = 0;
    std::int64_t startFrame = 0;
    std::int64_t endFrame = 0;
    std::vector<float> frameWeights;
    double startTime = 0;
    double endTime = 0;
    std::vector<float> embedding256;
};

/// Turns segmentation chunks into speaker embeddings: filter-bank features per chunk window,
/// one embedding per local speaker active enough (its frame activity as weights), each
/// projected through PLDA. Copies share the buffer pool, so one extractor runs one call at a
/// time.
class OfflineEmbeddingExtractor {
public:
    static constexpr std::int64_t maxModelBatch = 32;
    static constexpr std::int64_t defaultWeightFrames = 589;

    /// Discovers the models' interface from their descriptions. A model without a feature the
    /// pipeline needs makes construction throw `OfflineDiarizationError::modelNotLoaded` with
    /// the reason (also logged at error level).
    OfflineEmbeddingExtractor(std::shared_ptr<MLModel> fbankModel, std::shared_ptr<MLModel> embeddingModel,
                              PLDATransform pldaTransform, OfflineDiarizerConfig config);

    /// The embeddings of every chunk the stream yields, in production order: chunks in stream
    /// order, local speakers in increasing index. Fails with the stream's failure,
    /// `CancellationError` when `stopToken` is set, `OfflineDiarizationError::processingFailed`
    /// for models that answer out of shape, and the source's, allocation's, models' and PLDA's
    /// own failures; a failure discards everything made so far.
    [[nodiscard]] std::vector<TimedEmbedding> extractEmbeddings(const StreamingAudioSampleSource& audioSource,
                                                                AsyncChannel<SegmentationChunk>& segmentationStream,
                                                                std::stop_token stopToken = {}) const;
    /// The same over a finished segmentation.
    [[nodiscard]] std::vector<TimedEmbedding> extractEmbeddings(const StreamingAudioSampleSource& audioSource,
                                                                const SegmentationOutput& segmentation,
                                                                std::stop_token stopToken = {}) const;
    /// The same over samples in memory.
    [[nodiscard]] std::vector<TimedEmbedding> extractEmbeddings(const std::vector<float>& audio,
                                                                const SegmentationOutput& segmentation,
                                                                std::stop_token stopToken = {}) const;

    [[nodiscard]] const std::shared_ptr<MLModel>& fbankModel() const noexcept { return fbankModel_; }
    [[nodiscard]] const std::shared_ptr<MLModel>& embeddingModel() const noexcept { return embeddingModel_; }
    [[nodiscard]] const PLDATransform& pldaTransform() const noexcept { return pldaTransform_; }
    [[nodiscard]] const OfflineDiarizerConfig& config() const noexcept { return config_; }
    [[nodiscard]] const MLShape& fbankInputShape() const noexcept { return fbankInputShape_; }
    [[nodiscard]] const MLShape& weightInputShape() const noexcept { return weightInputShape_; }
    [[nodiscard]] std::int64_t audioSampleCount() const noexcept { return audioSampleCount_; }
    [[nodiscard]] std::int64_t weightFrameCount() const noexcept { return weightFrameCount_; }
    [[nodiscard]] std::int64_t modelBatchLimit() const noexcept { return modelBatchLimit_; }

    inline static const std::string fbankInputName = "audio";
    inline static const std::string fbankOutputName = "fbank_features";
    inline static const std::string fbankFeatureName = "fbank_features";
    inline static const std::string weightInputName = "weights";
    inline static const std::string embeddingOutputName = "embedding";

    // How a model's declared shape is read.
    /// The declared shape's last dimension when positive, else the one before it when ≥ 1,
    /// else `fallback` (also for an empty shape).
    [[nodiscard]] static std::int64_t resolveElementCount(const MLMultiArrayConstraint& constraint,
                                                          std::int64_t fallback);
    /// The rank of the first enumerated shape, else of the declared shape, else the number of
    /// dimension ranges (0 when none).
    [[nodiscard]] static std::int64_t dimensionHint(const MLMultiArrayConstraint& constraint);
    /// The first enumerated shape, else the declared shape, else the ranges' lower bounds
    /// (each below 1 replaced from `fallback`), else `fallback`; every size that is not positive
    /// is replaced by the fallback's size at that position (its last size past its end, 1 when
    /// it is empty), and every size is at least 1.
    [[nodiscard]] static MLShape sanitizedShape(const MLMultiArrayConstraint& constraint, const MLShape& fallback);

private:
    struct Run;

    void performEmbeddingWarmup() const;
    [[nodiscard]] std::vector<std::shared_ptr<MLMultiArray>> runFbankBatch(
        const std::vector<std::shared_ptr<MLMultiArray>>& audioArrays) const;
    [[nodiscard]] std::vector<float> runEmbeddingModel(const std::shared_ptr<MLMultiArray>& fbankFeatures,
                                                       const std::shared_ptr<MLMultiArray>& weightsArray) const;
    [[nodiscard]] std::shared_ptr<MLMultiArray> prepareFbankInput(std::span<const float> window) const;
    [[nodiscard]] std::shared_ptr<MLMultiArray> prepareWeightsInput(const std::vector<float>& weights) const;
    void runFbankStage(Run& run) const;
    void processChunk(Run& run, const OfflineChunkBatchInfo& info,
                      const std::shared_ptr<MLMultiArray>& fbankFeatures) const;
    void flushPending(Run& run) const;

    std::shared_ptr<MLModel> fbankModel_;
    std::shared_ptr<MLModel> embeddingModel_;
    PLDATransform pldaTransform_;
    OfflineDiarizerConfig config_;
    AppLogger logger_{"OfflineEmbedding"};
    std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_;
    MLShape fbankInputShape_;
    MLShape weightInputShape_;
    std::int64_t audioSampleCount_ = 1;
    std::int64_t weightFrameCount_ = 1;
    std::int64_t modelBatchLimit_ = 1;
};

}  // namespace Tervane
