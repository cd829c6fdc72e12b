#include <Tervane/ASR/AsrManager.hpp>

#include <Tervane/ASR/ChunkProcessor.hpp>
#include <Tervane/ASR/TdtDecoderV3.hpp>
#include <Tervane/Platform/MLArrayCache.hpp>

#include <algorithm>
#include <cstring>
#include <thread>

namespace Tervane {

namespace {

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) {
            text += ", ";
        }
        text += name;
    }
    return text;
}

std::string bracketed(std::span<const int> tokens) {
    std::string text = "[";
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        if (index > 0) {
            text += ", ";
        }
        text += std::to_string(tokens[index]);
    }
    return text + "]";
}

bool isPunctuation(int token) {
    return token == 7883 || token == 7952 || token == 7948;
}

}  // namespace

AsrManager::AsrManager(ASRConfig config)
    : logger_("ASR"),
      config_(std::move(config)),
      audioConverter_(makeRecognitionAudioConverter()),
      microphoneDecoderState_(TdtDecoderState::make()),
      systemDecoderState_(TdtDecoderState::make()) {
    // The window, its length and the decoder state are the shapes every transcription asks
    // the cache for; filling it off the caller's thread keeps creation cheap.
    prewarmTask_ = std::jthread([cache = sharedMLArrayCache()] {
        cache->prewarm({{{1, windowSamples}, MLMultiArrayDataType::float32},
                        {{1}, MLMultiArrayDataType::int32},
                        {{2, 1, ASRConstants::decoderHiddenSize}, MLMultiArrayDataType::float32}});
    });
}

void AsrManager::initialize(const AsrModels& models) {
    logger_.info("Initializing AsrManager with provided models");
    asrModels_ = models;
    preprocessorModel_ = models.preprocessor;
    encoderModel_ = models.encoder;
    decoderModel_ = models.decoder;
    jointModel_ = models.joint;
    vocabulary_ = models.vocabulary;
    logger_.info("Token duration optimization model loaded successfully");
    logger_.info("AsrManager initialized successfully with provided models");
}

bool AsrManager::isAvailable() const noexcept {
    if (!encoderModel_ || !decoderModel_ || !jointModel_) {
        return false;
    }
    return !asrModels_ || preprocessorModel_ != nullptr;
}

ASRResult AsrManager::transcribe(std::span<const float> samples, AudioSource source) {
    ASRResult result = transcribeWithState(samples, decoderState(source));
    initializeDecoderState(microphoneDecoderState_);
    initializeDecoderState(systemDecoderState_);
    return result;
}

AsrManager::TranscriptionWithMetrics AsrManager::transcribeWithMetrics(std::span<const float> samples,
                                                                       PerformanceMonitor* monitor) {
    if (monitor == nullptr) {
        return {transcribe(samples, AudioSource::microphone), std::nullopt};
    }
    const float seconds = static_cast<float>(samples.size()) / static_cast<float>(config_.sampleRate);
    auto tracked = monitor->trackSession("Transcription", seconds,
                                         [&] { return transcribe(samples, AudioSource::microphone); });
    return {std::move(tracked.result), tracked.metrics};
}

void AsrManager::resetDecoderState() {
    initializeDecoderState(microphoneDecoderState_);
    initializeDecoderState(systemDecoderState_);
}

void AsrManager::resetDecoderState(AudioSource source) {
    initializeDecoderState(decoderState(source));
}

void AsrManager::resetState() {
    microphoneDecoderState_ = TdtDecoderState::make();
    systemDecoderState_ = TdtDecoderState::make();
}

void AsrManager::cleanup() {
    preprocessorModel_.reset();
    encoderModel_.reset();
    decoderModel_.reset();
    jointModel_.reset();
    resetState();
    logger_.info("AsrManager resources cleaned up");
}

ASRResult AsrManager::transcribeWithState(std::span<const float> samples, TdtDecoderState& state) {
    if (!isAvailable()) {
        throw ASRError::notInitialized();
    }
    if (static_cast<std::int64_t>(samples.size()) < minimumSamples) {
        throw ASRError::invalidAudioData();
    }
    const auto start = std::chrono::steady_clock::now();
    if (static_cast<std::int64_t>(samples.size()) > windowSamples) {
        const ChunkProcessor processor{.audioSamples = samples,
                                       .logger = AppLogger("ChunkProcessor"),
                                       .sampleRate = 16000,
                                       .overlapSeconds = 2.0};
        return processor.process(*this, start);
    }
    std::vector<float> window(static_cast<std::size_t>(windowSamples), 0.0F);
    std::copy(samples.begin(), samples.end(), window.begin());
    const InferenceResult inference = executeMLInferenceWithTimings(
        window, static_cast<int>(samples.size()), std::nullopt, state, 0, false, 0);
    const TdtHypothesis& hypothesis = inference.hypothesis;
    return TranscriptAssembly::assembleResult(hypothesis.ySequence, hypothesis.timestamps,
                                              hypothesis.tokenConfidences, hypothesis.tokenDurations,
                                              static_cast<std::int64_t>(samples.size()), config_.sampleRate, start,
                                              vocabulary_, logger_);
}

AsrManager::InferenceResult AsrManager::executeMLInferenceWithTimings(
    std::span<const float> window, std::optional<int> originalLength, std::optional<int> actualAudioFrames,
    TdtDecoderState& decoderState, int contextFrameAdjustment, bool isLastChunk, int globalFrameOffset) {
    const std::shared_ptr<MLFeatureProvider> preprocessorInput = preparePreprocessorInput(window, originalLength);
    if (!preprocessorModel_ || !encoderModel_) {
        throw ASRError::notInitialized();
    }
    const std::shared_ptr<MLFeatureProvider> preprocessorOutput =
        preprocessorModel_->compatPrediction(*preprocessorInput, predictionOptions_);
    const std::shared_ptr<MLFeatureProvider> encoderInput =
        prepareEncoderInput(*encoderModel_, preprocessorOutput, *preprocessorInput);
    const std::shared_ptr<MLFeatureProvider> encoderOutput =
        encoderModel_->compatPrediction(*encoderInput, predictionOptions_);

    const std::optional<MLFeatureValue> encoded = encoderOutput->featureValue("encoder");
    if (!encoded || !encoded->multiArrayValue()) {
        throw ASRError::processingFailed("Invalid encoder output");
    }
    const std::optional<MLFeatureValue> encodedLength = encoderOutput->featureValue("encoder_length");
    if (!encodedLength || !encodedLength->multiArrayValue() || encodedLength->multiArrayValue()->count() < 1) {
        throw ASRError::processingFailed("Invalid encoder output length");
    }
    const int encoderSequenceLength = static_cast<int>(encodedLength->multiArrayValue()->value(0));
    const int frames = actualAudioFrames.value_or(ASRConstants::calculateEncoderFrames(
        originalLength.value_or(static_cast<int>(window.size()))));

    if (!decoderModel_ || !jointModel_) {
        throw ASRError::notInitialized();
    }
    ASRConfig decoding = config_;
    if (asrModels_ && asrModels_->version != AsrModelVersion::v3) {
        decoding.tdtConfig.blankId = 1024;  // the older vocabulary puts blank right after its 1024 pieces
    }
    TdtDecoderV3 decoder(decoding);
    TdtHypothesis hypothesis =
        decoder.decodeWithTimings(encoded->multiArrayValue(), encoderSequenceLength, frames, *decoderModel_,
                                  *jointModel_, decoderState, contextFrameAdjustment, isLastChunk, globalFrameOffset);
    return {std::move(hypothesis), encoderSequenceLength};
}

void AsrManager::initializeDecoderState(TdtDecoderState& decoderState) {
    if (!decoderModel_) {
        throw ASRError::notInitialized();
    }
    decoderState.reset();
    const std::shared_ptr<MLFeatureProvider> input =
        prepareDecoderInput(decoderState.hiddenState, decoderState.cellState);
    const std::shared_ptr<MLFeatureProvider> result = decoderModel_->compatPrediction(*input, predictionOptions_);
    decoderState.update(*result);
}

std::shared_ptr<MLFeatureProvider> AsrManager::preparePreprocessorInput(std::span<const float> window,
                                                                        std::optional<int> actualLength) const {
    const auto count = static_cast<std::int64_t>(window.size());
    std::shared_ptr<MLMultiArray> signal = sharedMLArrayCache()->getArray({1, count}, MLMultiArrayDataType::float32);
    if (signal->strides().back() == 1) {
        std::memcpy(signal->data<float>(), window.data(), window.size() * sizeof(float));
    } else {
        for (std::int64_t index = 0; index < count; ++index) {
            signal->setValue(index, window[static_cast<std::size_t>(index)]);
        }
    }
    std::shared_ptr<MLMultiArray> length = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    length->setValue(0, actualLength.value_or(static_cast<int>(count)));
    return createFeatureProvider({{"audio_signal", signal}, {"audio_length", length}});
}

std::shared_ptr<MLFeatureProvider> AsrManager::prepareEncoderInput(
    const MLModel& encoder, const std::shared_ptr<MLFeatureProvider>& preprocessorOutput,
    const MLFeatureProvider& originalInput) const {
    const auto& declared = encoder.modelDescription().inputDescriptionsByName;
    const bool complete = std::all_of(declared.begin(), declared.end(), [&](const auto& entry) {
        return preprocessorOutput->featureValue(entry.first).has_value();
    });
    if (complete) {
        return preprocessorOutput;
    }
    std::map<std::string, MLFeatureValue> features;
    for (const auto& [name, description] : declared) {
        if (std::optional<MLFeatureValue> value = preprocessorOutput->featureValue(name)) {
            features.emplace(name, *value);
        } else if (std::optional<MLFeatureValue> fallback = originalInput.featureValue(name)) {
            features.emplace(name, *fallback);
        } else {
            throw ASRError::processingFailed("Missing required encoder input: " + name + ". Available inputs: " +
                                             joined(preprocessorOutput->featureNames()) + ", " +
                                             "fallback inputs: " + joined(originalInput.featureNames()));
        }
    }
    return std::make_shared<MLDictionaryFeatureProvider>(std::move(features));
}

std::shared_ptr<MLFeatureProvider> AsrManager::prepareDecoderInput(const std::shared_ptr<MLMultiArray>& hiddenState,
                                                                   const std::shared_ptr<MLMultiArray>& cellState) const {
    std::shared_ptr<MLMultiArray> targets = MLMultiArray::make({1, 1}, MLMultiArrayDataType::int32);
    std::shared_ptr<MLMultiArray> targetLength = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    targets->setValue(0, 0);
    targetLength->setValue(0, 1);
    return createFeatureProvider(
        {{"targets", targets}, {"target_length", targetLength}, {"h_in", hiddenState}, {"c_in", cellState}});
}

std::shared_ptr<MLFeatureProvider> AsrManager::createFeatureProvider(
    const std::map<std::string, std::shared_ptr<MLMultiArray>>& features) {
    std::map<std::string, MLFeatureValue> values;
    for (const auto& [name, array] : features) {
        values.emplace(name, MLFeatureValue(array));
    }
    return std::make_shared<MLDictionaryFeatureProvider>(std::move(values));
}

AsrManager::StreamingChunkResult AsrManager::transcribeStreamingChunk(std::span<const float> samples,
                                                                      AudioSource source,
                                                                      const std::vector<int>& previousTokens) {
    TdtDecoderState state = decoderState(source);
    std::vector<float> window(samples.begin(), samples.end());
    if (static_cast<std::int64_t>(window.size()) < windowSamples) {
        window.resize(static_cast<std::size_t>(windowSamples), 0.0F);
    }
    InferenceResult inference = executeMLInferenceWithTimings(window, static_cast<int>(samples.size()), std::nullopt,
                                                              state, 0, false, 0);
    decoderState(source) = state;

    StreamingChunkResult result;
    result.tokens = std::move(inference.hypothesis.ySequence);
    result.timestamps = std::move(inference.hypothesis.timestamps);
    result.confidences = std::move(inference.hypothesis.tokenConfidences);
    result.encoderSequenceLength = inference.encoderSequenceLength;
    if (!previousTokens.empty() && !result.tokens.empty()) {
        DeduplicatedTokens deduplicated = removeDuplicateTokenSequence(previousTokens, result.tokens, 12);
        result.tokens = std::move(deduplicated.deduped);
        const auto dropFront = [removed = static_cast<std::size_t>(deduplicated.removedCount)](auto& list) {
            list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(std::min(removed, list.size())));
        };
        dropFront(result.timestamps);
        dropFront(result.confidences);
    }
    return result;
}

AsrManager::DeduplicatedTokens AsrManager::removeDuplicateTokenSequence(const std::vector<int>& previous,
                                                                        const std::vector<int>& current,
                                                                        int maxOverlap) const {
    std::span<const int> remaining(current);
    int removed = 0;
    // A punctuation mark that ended the previous window is often decoded again at the start
    // of the next one.
    if (!previous.empty() && !remaining.empty() && previous.back() == remaining.front() &&
        isPunctuation(remaining.front())) {
        remaining = remaining.subspan(1);
        removed = 1;
    }
    const auto result = [&](std::size_t skip, int extra) {
        const std::span<const int> kept = remaining.subspan(skip);
        return DeduplicatedTokens{{kept.begin(), kept.end()}, removed + extra};
    };

    const int previousCount = static_cast<int>(previous.size());
    const int currentCount = static_cast<int>(remaining.size());
    const int searchPrevious = std::min(previousCount, 15);
    const int searchCurrent = std::min(currentCount, maxOverlap);
    if (searchPrevious < 2 || searchCurrent < 2) {
        return result(0, 0);
    }
    const int longest = std::min(searchPrevious, searchCurrent);

    for (int m = longest; m >= 2; --m) {
        if (std::equal(previous.end() - m, previous.end(), remaining.begin())) {
            logger_.debug("Found exact suffix-prefix overlap of length " + std::to_string(m) + ": " +
                          bracketed(remaining.first(static_cast<std::size_t>(m))));
            return result(static_cast<std::size_t>(m), m);
        }
    }

    const int boundary = config_.tdtConfig.boundarySearchFrames;
    for (int m = longest; m >= 2; --m) {
        for (int k = std::max(previousCount - 15, 0); k <= previousCount - m; ++k) {
            for (int l = 0; l < std::min(currentCount - m + 1, boundary); ++l) {
                if (std::equal(previous.begin() + k, previous.begin() + k + m, remaining.begin() + l)) {
                    logger_.debug("Found duplicate sequence length=" + std::to_string(m) +
                                  " at currStart=" + std::to_string(l) + ": " +
                                  bracketed(remaining.subspan(static_cast<std::size_t>(l), static_cast<std::size_t>(m))) +
                                  " (boundarySearch=" + std::to_string(boundary) + ")");
                    return result(static_cast<std::size_t>(l + m), l + m);
                }
            }
        }
    }
    return result(0, 0);
}

}  // namespace Tervane
