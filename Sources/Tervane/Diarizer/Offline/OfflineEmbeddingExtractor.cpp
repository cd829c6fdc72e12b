#include <Tervane/Diarizer/Offline/OfflineEmbeddingExtractor.hpp>

#include <Tervane/Diarizer/Offline/OfflineArrayAccess.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiagnostics.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/WeightInterpolation.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>
#include <Tervane/Platform/ZeroCopyDiarizerFeatureProvider.hpp>
#include <Tervane/Shared/ElapsedTime.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>

namespace Tervane {

namespace {

using Clock = std::chrono::steady_clock;

/// A frame weight above this counts as activity.
constexpr float activityFloor = 0.001F;

double ratio(double total, std::int64_t count) { return count > 0 ? total / static_cast<double>(count) : 0; }

float sum(const std::vector<float>& values) { return std::accumulate(values.begin(), values.end(), 0.0F); }

/// [1, …, 1, last] of `rank` dimensions.
MLShape onesEndingWith(std::int64_t last, std::int64_t rank) {
    MLShape shape(static_cast<std::size_t>(std::max<std::int64_t>(rank, 1)), 1);
    shape.back() = last;
    return shape;
}

const MLFeatureDescription* find(const std::map<std::string, MLFeatureDescription>& features, const std::string& name) {
    const auto found = features.find(name);
    return found == features.end() ? nullptr : &found->second;
}

}  // namespace

/// Everything one `extractEmbeddings` call keeps.
struct OfflineEmbeddingExtractor::Run {
    const StreamingAudioSampleSource& source;
    std::stop_token stopToken;
    std::size_t fbankBatchSize = 1;
    std::size_t pldaBatchSize = 1;

    std::vector<std::shared_ptr<MLMultiArray>> fbankInputs;
    std::vector<OfflineChunkBatchInfo> batchInfos;
    std::vector<OfflineEmbeddingPending> pending;
    std::vector<std::vector<float>> pendingEmbeddings;
    std::vector<TimedEmbedding> result;
    std::map<std::int64_t, WeightInterpolation::InterpolationCoefficients> resamplers;  // by frame count

    std::int64_t windows = 0;
    std::int64_t masksEvaluated = 0;
    std::int64_t fallbackMasks = 0;
    std::int64_t emptyMasks = 0;
    double maskMass = 0;
    std::int64_t fbankBatches = 0;
    std::int64_t pldaBatches = 0;
    double fbankMilliseconds = 0;
    double maskMilliseconds = 0;
    double resampleMilliseconds = 0;
    double embeddingMilliseconds = 0;
    double pldaMilliseconds = 0;
};

// MARK: - Interface discovery

std::int64_t OfflineEmbeddingExtractor::resolveElementCount(const MLMultiArrayConstraint& constraint,
                                                            std::int64_t fallback) {
    const MLShape& shape = constraint.shape;
    if (shape.empty()) {
        return fallback;
    }
    if (shape.back() > 0) {
        return shape.back();
    }
    if (shape.size() >= 2 && shape[shape.size() - 2] >= 1) {
        return shape[shape.size() - 2];
    }
    return fallback;
}

std::int64_t OfflineEmbeddingExtractor::dimensionHint(const MLMultiArrayConstraint& constraint) {
    const auto& enumerated = constraint.shapeConstraint.enumeratedShapes;
    if (!enumerated.empty() && !enumerated.front().empty()) {
        return static_cast<std::int64_t>(enumerated.front().size());
    }
    if (!constraint.shape.empty()) {
        return static_cast<std::int64_t>(constraint.shape.size());
    }
    return static_cast<std::int64_t>(constraint.shapeConstraint.sizeRangeForDimension.size());
}

MLShape OfflineEmbeddingExtractor::sanitizedShape(const MLMultiArrayConstraint& constraint, const MLShape& fallback) {
    const auto fallbackAt = [&fallback](std::size_t i) -> std::int64_t {
        if (fallback.empty()) {
            return 1;
        }
        return i < fallback.size() ? fallback[i] : fallback.back();
    };
    const auto sanitize = [&](const MLShape& shape) {
        MLShape result(shape.size());
        for (std::size_t i = 0; i < shape.size(); ++i) {
            result[i] = std::max<std::int64_t>(shape[i] > 0 ? shape[i] : fallbackAt(i), 1);
        }
        return result;
    };

    const auto& enumerated = constraint.shapeConstraint.enumeratedShapes;
    if (!enumerated.empty() && !enumerated.front().empty()) {
        return sanitize(enumerated.front());
    }
    if (!constraint.shape.empty()) {
        return sanitize(constraint.shape);
    }
    const auto& ranges = constraint.shapeConstraint.sizeRangeForDimension;
    if (!ranges.empty()) {
        MLShape result(ranges.size());
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            result[i] = std::max<std::int64_t>(ranges[i].lowerBound >= 1 ? ranges[i].lowerBound : fallbackAt(i), 1);
        }
        return result;
    }
    MLShape result = fallback;
    for (std::int64_t& size : result) {
        size = std::max<std::int64_t>(size, 1);
    }
    return result;
}

OfflineEmbeddingExtractor::OfflineEmbeddingExtractor(std::shared_ptr<MLModel> fbankModel,
                                                     std::shared_ptr<MLModel> embeddingModel,
                                                     PLDATransform pldaTransform, OfflineDiarizerConfig config)
    : fbankModel_(std::move(fbankModel)),
      embeddingModel_(std::move(embeddingModel)),
      pldaTransform_(std::move(pldaTransform)),
      config_(std::move(config)),
      memoryOptimizer_(std::make_shared<ANEMemoryOptimizer>()) {
    const auto refuse = [this](const std::string& reason) {
        logger_.error(reason);
        return OfflineDiarizationError::modelNotLoaded(reason);
    };
    if (!fbankModel_ || !embeddingModel_) {
        throw refuse("Offline embedding extraction needs both the FBANK and the embedding model");
    }

    const std::int64_t windowSamples = config_.samplesPerWindow();
    const MLModelDescription& fbank = fbankModel_->modelDescription();
    const MLFeatureDescription* audio = find(fbank.inputDescriptionsByName, fbankInputName);
    if (audio == nullptr || audio->type != MLFeatureType::multiArray || !audio->multiArrayConstraint) {
        throw refuse("FBANK model is missing `audio` multiarray input; required for offline pipeline");
    }
    const MLMultiArrayConstraint& audioConstraint = *audio->multiArrayConstraint;
    audioSampleCount_ =
        std::max<std::int64_t>(1, std::min(windowSamples, resolveElementCount(audioConstraint, windowSamples)));
    fbankInputShape_ = sanitizedShape(
        audioConstraint, onesEndingWith(audioSampleCount_, std::max<std::int64_t>(3, dimensionHint(audioConstraint))));

    const MLFeatureDescription* features = find(fbank.outputDescriptionsByName, fbankOutputName);
    if (features == nullptr || features->type != MLFeatureType::multiArray) {
        throw refuse("FBANK model missing `fbank_features` multiarray output");
    }

    const MLModelDescription& embedding = embeddingModel_->modelDescription();
    const MLFeatureDescription* featureInput = find(embedding.inputDescriptionsByName, fbankFeatureName);
    if (featureInput == nullptr || featureInput->type != MLFeatureType::multiArray) {
        throw refuse("Embedding model missing `fbank_features` multiarray input");
    }
    const MLFeatureDescription* weights = find(embedding.inputDescriptionsByName, weightInputName);
    if (weights == nullptr || weights->type != MLFeatureType::multiArray || !weights->multiArrayConstraint) {
        throw refuse("Embedding model missing `weights` multiarray input");
    }
    const MLMultiArrayConstraint& weightConstraint = *weights->multiArrayConstraint;
    weightFrameCount_ = std::max<std::int64_t>(1, resolveElementCount(weightConstraint, defaultWeightFrames));
    weightInputShape_ = sanitizedShape(
        weightConstraint, onesEndingWith(weightFrameCount_, std::max<std::int64_t>(2, dimensionHint(weightConstraint))));

    modelBatchLimit_ = std::clamp<std::int64_t>(config_.embedding.batchSize, 1, maxModelBatch);

    if (find(embedding.outputDescriptionsByName, embeddingOutputName) == nullptr) {
        throw refuse("Embedding model missing `embedding` multiarray output");
    }

    logger_.debug("Offline embedding configured with FBANK input " + fbankInputName + " " +
                  shapeDescription(fbankInputShape_) + " -> " + fbankOutputName + ", embedding inputs " +
                  fbankFeatureName + " + " + weightInputName + " " + shapeDescription(weightInputShape_) + " -> " +
                  embeddingOutputName + ", weightFrameCount=" + std::to_string(weightFrameCount_) +
                  ", modelBatchLimit=" + std::to_string(modelBatchLimit_));
}

// MARK: - Model runs

std::vector<std::shared_ptr<MLMultiArray>> OfflineEmbeddingExtractor::runFbankBatch(
    const std::vector<std::shared_ptr<MLMultiArray>>& audioArrays) const {
    if (audioArrays.empty()) {
        return {};
    }
    std::vector<std::shared_ptr<const MLFeatureProvider>> providers;
    providers.reserve(audioArrays.size());
    for (const std::shared_ptr<MLMultiArray>& array : audioArrays) {
        providers.push_back(std::make_shared<ZeroCopyDiarizerFeatureProvider>(
            std::map<std::string, MLFeatureValue>{{fbankInputName, MLFeatureValue(array)}}));
    }
    const std::vector<std::shared_ptr<MLFeatureProvider>> results =
        fbankModel_->predictions(MLArrayBatchProvider(std::move(providers)), MLPredictionOptions{});
    if (results.size() != audioArrays.size()) {
        throw OfflineDiarizationError::processingFailed("FBANK batch produced " + std::to_string(results.size()) +
                                                        " outputs for " + std::to_string(audioArrays.size()) +
                                                        " inputs");
    }
    std::vector<std::shared_ptr<MLMultiArray>> outputs;
    outputs.reserve(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        const std::optional<MLFeatureValue> value = results[i] ? results[i]->featureValue(fbankOutputName) : std::nullopt;
        if (!value || !value->multiArrayValue()) {
            throw OfflineDiarizationError::processingFailed("FBANK model missing " + fbankOutputName +
                                                            " output at batch index " + std::to_string(i));
        }
        outputs.push_back(value->multiArrayValue());
    }
    return outputs;
}

std::vector<float> OfflineEmbeddingExtractor::runEmbeddingModel(const std::shared_ptr<MLMultiArray>& fbankFeatures,
                                                                 const std::shared_ptr<MLMultiArray>& weightsArray) const {
    const ZeroCopyDiarizerFeatureProvider input(
        {{fbankFeatureName, MLFeatureValue(fbankFeatures)}, {weightInputName, MLFeatureValue(weightsArray)}});
    const std::shared_ptr<MLFeatureProvider> result = embeddingModel_->compatPrediction(input, MLPredictionOptions{});
    const std::optional<MLFeatureValue> value = result ? result->featureValue(embeddingOutputName) : std::nullopt;
    if (!value || !value->multiArrayValue()) {
        throw OfflineDiarizationError::processingFailed("Embedding model missing " + embeddingOutputName + " output");
    }
    const MLMultiArray& embedding = *value->multiArrayValue();
    std::vector<float> values(static_cast<std::size_t>(embedding.count()));
    OfflineArrayAccess::readFloats(embedding, values);
    return values;
}

std::shared_ptr<MLMultiArray> OfflineEmbeddingExtractor::prepareFbankInput(std::span<const float> window) const {
    std::shared_ptr<MLMultiArray> array =
        ANEMemoryOptimizer::createAlignedArray(fbankInputShape_, MLMultiArrayDataType::float32);
    const std::size_t count = std::min({static_cast<std::size_t>(array->count()),
                                        static_cast<std::size_t>(audioSampleCount_), window.size()});
    OfflineArrayAccess::writeFloats(*array, window.first(count));
    return array;
}

std::shared_ptr<MLMultiArray> OfflineEmbeddingExtractor::prepareWeightsInput(const std::vector<float>& weights) const {
    std::shared_ptr<MLMultiArray> array =
        ANEMemoryOptimizer::createAlignedArray(weightInputShape_, MLMultiArrayDataType::float32);
    const std::size_t count = std::min({static_cast<std::size_t>(array->count()),
                                        static_cast<std::size_t>(weightFrameCount_), weights.size()});
    OfflineArrayAccess::writeFloats(*array, std::span<const float>(weights).first(count));
    return array;
}

void OfflineEmbeddingExtractor::performEmbeddingWarmup() const {
    try {
        const std::shared_ptr<MLMultiArray> audio =
            ANEMemoryOptimizer::createAlignedArray(fbankInputShape_, MLMultiArrayDataType::float32);
        const std::vector<std::shared_ptr<MLMultiArray>> features = runFbankBatch({audio});
        if (features.empty()) {
            throw OfflineDiarizationError::processingFailed("FBANK model produced no output");
        }
        (void)runEmbeddingModel(features.front(),
                                prepareWeightsInput(std::vector<float>(static_cast<std::size_t>(weightFrameCount_), 0.0F)));
    } catch (const std::exception& failure) {
        logger_.debug(std::string("Embedding warmup skipped due to error: ") + failure.what());
    }
}

// MARK: - The main loop

std::vector<TimedEmbedding> OfflineEmbeddingExtractor::extractEmbeddings(const std::vector<float>& audio,
                                                                         const SegmentationOutput& segmentation,
                                                                         std::stop_token stopToken) const {
    return extractEmbeddings(ArrayAudioSampleSource(audio), segmentation, std::move(stopToken));
}

std::vector<TimedEmbedding> OfflineEmbeddingExtractor::extractEmbeddings(const StreamingAudioSampleSource& audioSource,
                                                                         const SegmentationOutput& segmentation,
                                                                         std::stop_token stopToken) const {
    AsyncChannel<SegmentationChunk> stream;
    for (std::int64_t i = 0; i < segmentation.numChunks; ++i) {
        const auto index = static_cast<std::size_t>(i);
        if (index >= segmentation.speakerWeights.size() || segmentation.speakerWeights[index].empty()) {
            continue;
        }
        SegmentationChunk chunk;
        chunk.chunkIndex = i;
        chunk.chunkOffsetSeconds = index < segmentation.chunkOffsets.size()
                                       ? segmentation.chunkOffsets[index]
                                       : static_cast<double>(i) * config_.segmentation.windowDurationSeconds;
        chunk.frameDuration = segmentation.frameDuration;
        if (index < segmentation.logProbs.size()) {
            chunk.logProbs = segmentation.logProbs[index];
        }
        chunk.speakerWeights = segmentation.speakerWeights[index];
        (void)stream.yield(std::move(chunk));
    }
    stream.finish();
    return extractEmbeddings(audioSource, stream, std::move(stopToken));
}

std::vector<TimedEmbedding> OfflineEmbeddingExtractor::extractEmbeddings(const StreamingAudioSampleSource& audioSource,
                                                                         AsyncChannel<SegmentationChunk>& segmentationStream,
                                                                         std::stop_token stopToken) const {
    Run run{audioSource, stopToken};
    run.fbankBatchSize = static_cast<std::size_t>(std::min(modelBatchLimit_, maxModelBatch));
    run.pldaBatchSize =
        static_cast<std::size_t>(std::max<std::int64_t>(1, std::min(modelBatchLimit_, config_.embedding.batchSize)));

    const std::int64_t windowSamples = config_.samplesPerWindow();
    const double windowDuration = config_.segmentation.windowDurationSeconds;
    const auto sampleRate = static_cast<double>(config_.segmentation.sampleRate);
    std::vector<float> window(static_cast<std::size_t>(std::max<std::int64_t>(windowSamples, 0)));
    const std::int64_t totalSamples = audioSource.sampleCount();
    performEmbeddingWarmup();

    while (std::optional<SegmentationChunk> chunk = segmentationStream.next(stopToken)) {
        if (stopToken.stop_requested()) {
            throw CancellationError();
        }
        if (chunk->speakerWeights.empty()) {
            continue;
        }
        const double offset = std::isfinite(chunk->chunkOffsetSeconds)
                                  ? chunk->chunkOffsetSeconds
                                  : windowDuration * static_cast<double>(chunk->chunkIndex);
        // Rounded half away from zero, then kept inside the recording.
        const double position = std::clamp(std::round(offset * sampleRate), 0.0, static_cast<double>(totalSamples));
        const auto start = static_cast<std::int64_t>(position);
        const std::int64_t end = std::min(totalSamples, start + windowSamples);
        if (end <= start) {
            continue;
        }

        const Clock::time_point copyStart = Clock::now();
        std::fill(window.begin(), window.end(), 0.0F);
        audioSource.copySamples(window, start, windowSamples);
        run.fbankInputs.push_back(prepareFbankInput(std::span<const float>(window).first(static_cast<std::size_t>(end - start))));
        run.fbankMilliseconds += millisecondsSince(copyStart);
        ++run.windows;

        const double frameDuration = chunk->frameDuration > 0
                                         ? chunk->frameDuration
                                         : windowDuration / static_cast<double>(chunk->speakerWeights.size());
        run.batchInfos.push_back({chunk->chunkIndex, offset, frameDuration, std::move(chunk->speakerWeights)});
        if (run.fbankInputs.size() >= run.fbankBatchSize) {
            runFbankStage(run);
        }
    }
    if (!run.fbankInputs.empty()) {
        runFbankStage(run);
    }
    if (!run.pending.empty()) {
        flushPending(run);
    }

    const auto produced = static_cast<std::int64_t>(run.result.size());
    if (produced == 0) {
        logger_.debug("Embedding extractor produced no valid speaker masks");
    } else {
        logger_.debug("Embedding masks generated: " + std::to_string(produced) + " (meanActiveFrames=" +
                      NumberText::fixed(run.maskMass / static_cast<double>(produced), 2) +
                      ", fallbackMasks=" + std::to_string(run.fallbackMasks) +
                      ", emptyMasks=" + std::to_string(run.emptyMasks) + ")");
    }
    if (run.windows > 0 || run.masksEvaluated > 0 || produced > 0) {
        using NumberText::fixed;
        const std::string timings =
            "Embedding timings: fbankTotal=" + fixed(run.fbankMilliseconds, 2) +
            "ms (perWindow=" + fixed(ratio(run.fbankMilliseconds, run.windows), 3) +
            "ms), maskPrepTotal=" + fixed(run.maskMilliseconds, 2) +
            "ms (perEval=" + fixed(ratio(run.maskMilliseconds, run.masksEvaluated), 3) +
            "ms), resampleTotal=" + fixed(run.resampleMilliseconds, 2) +
            "ms (perValid=" + fixed(ratio(run.resampleMilliseconds, produced), 3) +
            "ms), embeddingTotal=" + fixed(run.embeddingMilliseconds, 2) +
            "ms (perValid=" + fixed(ratio(run.embeddingMilliseconds, produced), 3) +
            "ms), pldaTotal=" + fixed(run.pldaMilliseconds, 2) +
            "ms (perValid=" + fixed(ratio(run.pldaMilliseconds, produced), 3) +
            "ms), batches(fbank=" + std::to_string(run.fbankBatches) + ", plda=" + std::to_string(run.pldaBatches) + ")";
        logger_.debug(timings);
        OfflineDiagnostics::writeProfilingLine(timings);
    }
    return std::move(run.result);
}

void OfflineEmbeddingExtractor::runFbankStage(Run& run) const {
    const Clock::time_point start = Clock::now();
    const std::vector<std::shared_ptr<MLMultiArray>> features = runFbankBatch(run.fbankInputs);
    run.fbankMilliseconds += millisecondsSince(start);
    ++run.fbankBatches;
    if (features.size() != run.batchInfos.size()) {
        throw OfflineDiarizationError::processingFailed("FBANK batch produced mismatched output count (" +
                                                        std::to_string(features.size()) + " vs " +
                                                        std::to_string(run.batchInfos.size()) + ")");
    }
    for (std::size_t i = 0; i < features.size(); ++i) {
        processChunk(run, run.batchInfos[i], features[i]);
    }
    run.fbankInputs.clear();
    run.batchInfos.clear();
}

void OfflineEmbeddingExtractor::processChunk(Run& run, const OfflineChunkBatchInfo& info,
                                             const std::shared_ptr<MLMultiArray>& fbankFeatures) const {
    const auto frames = static_cast<std::int64_t>(info.speakerWeights.size());
    const auto speakers = frames > 0 ? static_cast<std::int64_t>(info.speakerWeights.front().size()) : 0;
    if (frames == 0 || speakers == 0) {
        return;
    }
    const Clock::time_point maskStart = Clock::now();
    const float minFrames = info.frameDuration > 0
                                ? std::max(1.0F, static_cast<float>(std::ceil(
                                                     config_.embedding.minSegmentDurationSeconds / info.frameDuration)))
                                : 1.0F;
    const bool excludeOverlap = config_.embedding.excludeOverlap;

    // Row-major activity and its transpose, so that row j is local speaker j over the frames.
    const std::shared_ptr<MLMultiArray> rowMajor = memoryOptimizer_->getPooledBuffer(
        "offline_embedding_row_major_" + std::to_string(frames) + "_" + std::to_string(speakers), {frames, speakers},
        MLMultiArrayDataType::float32);
    const std::shared_ptr<MLMultiArray> transposed = memoryOptimizer_->getPooledBuffer(
        "offline_embedding_transposed_" + std::to_string(speakers) + "_" + std::to_string(frames), {speakers, frames},
        MLMultiArrayDataType::float32);
    float* rows = rowMajor->data<float>();
    float* columns = transposed->data<float>();
    const std::int64_t rowStride = rowMajor->strides()[0];
    const std::int64_t columnStride = transposed->strides()[0];
    std::vector<bool> overlapped(static_cast<std::size_t>(frames), false);
    for (std::int64_t f = 0; f < frames; ++f) {
        const std::vector<float>& weights = info.speakerWeights[static_cast<std::size_t>(f)];
        int active = 0;
        for (std::int64_t s = 0; s < speakers; ++s) {
            // A short row (malformed chunk) reads as silence rather than past its end.
            const float weight = s < static_cast<std::int64_t>(weights.size()) ? weights[static_cast<std::size_t>(s)] : 0.0F;
            rows[f * rowStride + s] = weight;
            columns[s * columnStride + f] = weight;
            active += weight > activityFloor ? 1 : 0;
        }
        overlapped[static_cast<std::size_t>(f)] = excludeOverlap && active >= 2;
    }
    run.maskMilliseconds += millisecondsSince(maskStart);

    for (std::int64_t j = 0; j < speakers; ++j) {
        const Clock::time_point evaluationStart = Clock::now();
        ++run.masksEvaluated;
        std::vector<float> full(columns + j * columnStride, columns + j * columnStride + frames);
        if (!(sum(full) > 0)) {
            ++run.emptyMasks;
            run.maskMilliseconds += millisecondsSince(evaluationStart);
            continue;
        }
        std::vector<float> clean = full;
        if (excludeOverlap) {
            for (std::size_t f = 0; f < clean.size(); ++f) {
                if (overlapped[f]) {
                    clean[f] = 0;
                }
            }
        }
        // A frame count against a sum of soft weights: too little clean speech falls back to
        // the speaker's full activity.
        const float cleanMass = sum(clean);
        std::vector<float> mask;
        float mass = 0;
        if (minFrames <= cleanMass) {
            mask = std::move(clean);
            mass = cleanMass;
        } else {
            ++run.fallbackMasks;
            mass = sum(full);
            mask = std::move(full);
        }
        run.maskMilliseconds += millisecondsSince(evaluationStart);
        if (!(mass > 0)) {
            ++run.emptyMasks;
            continue;
        }

        const Clock::time_point resampleStart = Clock::now();
        std::vector<float> weights;
        if (frames == weightFrameCount_) {
            weights = mask;
        } else {
            auto resampler = run.resamplers.find(frames);
            if (resampler == run.resamplers.end()) {
                resampler = run.resamplers.emplace(frames, WeightInterpolation::InterpolationCoefficients(frames, weightFrameCount_)).first;
            }
            weights = resampler->second.interpolate(mask);
        }
        run.resampleMilliseconds += millisecondsSince(resampleStart);
        if (weights.empty() || !(sum(weights) > 0)) {
            ++run.emptyMasks;
            continue;
        }

        const Clock::time_point embeddingStart = Clock::now();
        std::vector<float> embedding = runEmbeddingModel(fbankFeatures, prepareWeightsInput(weights));
        run.embeddingMilliseconds += millisecondsSince(embeddingStart);

        std::int64_t startFrame = 0;
        std::int64_t endFrame = 0;
        const auto firstActive = std::find_if(mask.begin(), mask.end(), [](float w) { return w > activityFloor; });
        if (firstActive != mask.end()) {
            startFrame = firstActive - mask.begin();
            const auto lastActive = std::find_if(mask.rbegin(), mask.rend(), [](float w) { return w > activityFloor; });
            endFrame = static_cast<std::int64_t>(mask.rend() - lastActive) - 1;
        }
        run.maskMass += mass;
        OfflineEmbeddingPending record;
        record.chunkIndex = info.chunkIndex;
        record.speakerIndex = j;
        record.startFrame = startFrame;
        record.endFrame = endFrame;
        record.startTime = info.chunkOffsetSeconds + info.frameDuration * static_cast<double>(startFrame);
        record.endTime = info.chunkOffsetSeconds + info.frameDuration * static_cast<double>(endFrame + 1);
        record.frameWeights = std::move(mask);
        record.embedding256 = embedding;
        run.pending.push_back(std::move(record));
        run.pendingEmbeddings.push_back(std::move(embedding));
        if (run.pending.size() >= run.pldaBatchSize) {
            flushPending(run);
        }
    }
}

void OfflineEmbeddingExtractor::flushPending(Run& run) const {
    const Clock::time_point start = Clock::now();
    std::vector<std::vector<double>> rho = pldaTransform_.transform(run.pendingEmbeddings, run.stopToken);
    run.pldaMilliseconds += millisecondsSince(start);
    ++run.pldaBatches;
    if (rho.size() != run.pending.size()) {
        throw OfflineDiarizationError::processingFailed("PldaRho batch size mismatch (expected " +
                                                        std::to_string(run.pending.size()) + ", got " +
                                                        std::to_string(rho.size()) + ")");
    }
    for (std::size_t k = 0; k < rho.size(); ++k) {
        OfflineEmbeddingPending& record = run.pending[k];
        run.result.push_back(TimedEmbedding{record.chunkIndex, record.speakerIndex, record.startFrame, record.endFrame,
                                            std::move(record.frameWeights), record.startTime, record.endTime,
                                            std::move(record.embedding256), std::move(rho[k])});
    }
    run.pending.clear();
    run.pendingEmbeddings.clear();
}

}  // namespace Tervane
