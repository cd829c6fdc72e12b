#pragma once

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/ASR/AsrModels.hpp>
#include <Tervane/ASR/TdtDecoderState.hpp>
#include <Tervane/ASR/TdtHypothesis.hpp>
#include <Tervane/ASR/TranscriptAssembly.hpp>
#include <Tervane/Platform/MLFeatureProvider.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/AppLogger.hpp>
#include <Tervane/Shared/PerformanceMonitor.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace Tervane {

class AVAudioPCMBuffer;
class AudioConverter;

/// The batch speech-recognition engine: 16 kHz mono samples in, text and token timings out.
/// Up to 15 s is one zero-padded window; longer audio goes through `ChunkProcessor`. Holds one
/// decoder state per `AudioSource`.
///
/// No lock: callers must not overlap its operations, since each transcription writes a
/// decoder state in place.
class AsrManager {
public:
    /// Samples of the one window the models see.
    static constexpr std::int64_t windowSamples = 240000;
    /// The shortest audio accepted: one second.
    static constexpr std::int64_t minimumSamples = 16000;

    struct InferenceResult {
        TdtHypothesis hypothesis;
        int encoderSequenceLength = 0;
    };

    struct StreamingChunkResult {
        std::vector<int> tokens;
        std::vector<int> timestamps;  // window-relative frames
        std::vector<float> confidences;
        int encoderSequenceLength = 0;
    };

    struct DeduplicatedTokens {
        std::vector<int> deduped;
        int removedCount = 0;
    };

    struct TranscriptionWithMetrics {
        ASRResult result;
        std::optional<ASRPerformanceMetrics> metrics;
    };

    /// Starts a background pre-warm of the shared array cache; does not wait for it.
    explicit AsrManager(ASRConfig config = ASRConfig::defaultConfig());
    AsrManager(const AsrManager&) = delete;
    AsrManager& operator=(const AsrManager&) = delete;

    /// Stores the model set; loads nothing and cannot fail.
    void initialize(const AsrModels& models);
    [[nodiscard]] bool isAvailable() const noexcept;

    /// Fails with `ASRError` (`notInitialized`, `invalidAudioData`, `processingFailed`) or a
    /// model failure. On success both decoder states are re-initialised.
    [[nodiscard]] ASRResult transcribe(std::span<const float> samples, AudioSource source = AudioSource::microphone);
    /// Converts the buffer to 16 kHz mono first (a buffer already in that format is copied).
    [[nodiscard]] ASRResult transcribe(const std::shared_ptr<AVAudioPCMBuffer>& buffer,
                                       AudioSource source = AudioSource::microphone);
    /// Reads and resamples the file first.
    [[nodiscard]] ASRResult transcribe(const std::filesystem::path& file, AudioSource source = AudioSource::microphone);

    /// `transcribe` with source `microphone`, timed by `monitor` when one is given.
    [[nodiscard]] TranscriptionWithMetrics transcribeWithMetrics(std::span<const float> samples,
                                                                 PerformanceMonitor* monitor);

    /// Re-initialises the microphone state, then the system state.
    void resetDecoderState();
    void resetDecoderState(AudioSource source);
    /// Fresh states, without running a model.
    void resetState();
    /// Drops the four models and replaces both states; the model set stays stored.
    void cleanup();

    // Operations the chunked and streaming paths build on.

    [[nodiscard]] ASRResult transcribeWithState(std::span<const float> samples, TdtDecoderState& decoderState);
    /// Decodes one streaming window with the source's carried state and strips the run of
    /// tokens already at the end of `previousTokens`.
    [[nodiscard]] StreamingChunkResult transcribeStreamingChunk(std::span<const float> samples, AudioSource source,
                                                                const std::vector<int>& previousTokens);
    [[nodiscard]] DeduplicatedTokens removeDuplicateTokenSequence(const std::vector<int>& previous,
                                                                  const std::vector<int>& current,
                                                                  int maxOverlap = 12) const;
    [[nodiscard]] InferenceResult executeMLInferenceWithTimings(std::span<const float> window,
                                                                std::optional<int> originalLength,
                                                                std::optional<int> actualAudioFrames,
                                                                TdtDecoderState& decoderState,
                                                                int contextFrameAdjustment, bool isLastChunk,
                                                                int globalFrameOffset);
    void initializeDecoderState(TdtDecoderState& decoderState);
    [[nodiscard]] std::shared_ptr<MLFeatureProvider> preparePreprocessorInput(std::span<const float> window,
                                                                              std::optional<int> actualLength) const;
    [[nodiscard]] std::shared_ptr<MLFeatureProvider> prepareEncoderInput(
        const MLModel& encoder, const std::shared_ptr<MLFeatureProvider>& preprocessorOutput,
        const MLFeatureProvider& originalInput) const;
    [[nodiscard]] std::shared_ptr<MLFeatureProvider> prepareDecoderInput(
        const std::shared_ptr<MLMultiArray>& hiddenState, const std::shared_ptr<MLMultiArray>& cellState) const;
    [[nodiscard]] static std::shared_ptr<MLFeatureProvider> createFeatureProvider(
        const std::map<std::string, std::shared_ptr<MLMultiArray>>& features);

    [[nodiscard]] TranscriptAssembly::TextAndTimings convertTokensWithExistingTimings(
        const std::vector<int>& tokenIds, const std::vector<TokenTiming>& timings) const {
        return TranscriptAssembly::convertTokensWithExistingTimings(tokenIds, timings, vocabulary_);
    }
    [[nodiscard]] std::vector<TokenTiming> createTokenTimings(const std::vector<int>& tokenIds,
                                                              const std::vector<int>& timestamps,
                                                              const std::vector<float>& confidences,
                                                              const std::vector<int>& tokenDurations) const {
        return TranscriptAssembly::createTokenTimings(tokenIds, timestamps, confidences, tokenDurations, vocabulary_);
    }

    [[nodiscard]] const ASRConfig& config() const noexcept { return config_; }
    [[nodiscard]] const AsrVocabulary& vocabulary() const noexcept { return vocabulary_; }
    [[nodiscard]] const std::optional<AsrModels>& asrModels() const noexcept { return asrModels_; }
    [[nodiscard]] TdtDecoderState& decoderState(AudioSource source) noexcept {
        return source == AudioSource::system ? systemDecoderState_ : microphoneDecoderState_;
    }

private:
    /// The converter to 16 kHz mono float32 that the buffer and file forms use.
    static std::shared_ptr<AudioConverter> makeRecognitionAudioConverter();

    AppLogger logger_;
    ASRConfig config_;
    std::shared_ptr<AudioConverter> audioConverter_;
    std::shared_ptr<MLModel> preprocessorModel_;
    std::shared_ptr<MLModel> encoderModel_;
    std::shared_ptr<MLModel> decoderModel_;
    std::shared_ptr<MLModel> jointModel_;
    std::optional<AsrModels> asrModels_;
    AsrVocabulary vocabulary_;
    TdtDecoderState microphoneDecoderState_;
    TdtDecoderState systemDecoderState_;
    MLPredictionOptions predictionOptions_;
    /// Joined when the manager goes away, so no pre-warm outlives it (or the process's logging).
    std::jthread prewarmTask_;
};

}  // namespace Tervane
