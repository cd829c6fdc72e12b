#pragma once

#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/MLModel.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Tervane {

struct VadConfig {
    /// A block is voice when its probability is at or above this. The segmenters use it as
    /// their speech threshold when no negative threshold is configured.
    float defaultThreshold = 0.85F;
    /// Carried with the configuration; the manager does not consult it.
    bool debugMode = false;
    /// Used when the model is loaded.
    MLComputeUnits computeUnits = MLComputeUnits::cpuAndNeuralEngine;

    [[nodiscard]] static VadConfig defaultConfig() { return {}; }
};

/// The recurrent state one audio stream carries from block to block.
struct VadState {
    static constexpr std::size_t stateSize = 128;
    static constexpr std::size_t contextLength = 64;

    std::vector<float> hiddenState;
    std::vector<float> cellState;
    /// The last samples of the previous block, put in front of the next one.
    std::vector<float> context;

    /// All zeros.
    [[nodiscard]] static VadState initial();

    bool operator==(const VadState&) const = default;
};

/// The outcome of one block.
struct VadResult {
    float probability = 0;
    bool isVoiceActive = false;
    /// Wall-clock seconds of the whole block call.
    double processingTime = 0;
    /// The state to pass with the next block.
    VadState outputState;
};

class VadError final : public Error {
public:
    enum class Kind { modelProcessingFailed, notInitialized, modelLoadingFailed };

    static VadError modelProcessingFailed(std::string message) {
        return {Kind::modelProcessingFailed, std::move(message)};
    }
    static VadError notInitialized() { return {Kind::notInitialized, {}}; }
    static VadError modelLoadingFailed() { return {Kind::modelLoadingFailed, {}}; }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    /// The message of `modelProcessingFailed`; empty otherwise.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    VadError(Kind kind, std::string message);
    static std::string describe(Kind kind, const std::string& message);

    Kind kind_;
    std::string message_;
};

/// How speech is cut into segments, offline and live. Every value is checked when the
/// configuration is made, so the segmenters never meet one they cannot work with.
class VadSegmentationConfig {
public:
    /// The fields with their defaults; name only those that differ:
    /// `VadSegmentationConfig({.maxSpeechDuration = 5.0})`.
    struct Fields {
        /// Seconds; shorter speech is dropped. Finite, ≥ 0.
        double minSpeechDuration = 0.15;
        /// Seconds of silence that end speech. Finite, ≥ 0.
        double minSilenceDuration = 0.75;
        /// Seconds of speech before a forced split. > 0; infinity means no limit.
        double maxSpeechDuration = 14.0;
        /// Seconds added before and after each segment. Finite, ≥ 0.
        double speechPadding = 0.1;
        /// A silence whose lowest probability is at or below this is preferred for a forced
        /// split. 0 to 1.
        float silenceThresholdForSplit = 0.3F;
        /// Probability below which a block counts as silence; 0 to 1. Absent: derived from the
        /// speech threshold and the offset.
        std::optional<float> negativeThreshold;
        /// Distance between the speech threshold and the negative threshold. Finite, ≥ 0.
        float negativeThresholdOffset = 0.15F;
        /// Seconds a silence must exceed to become a split candidate. Finite, ≥ 0.
        double minSilenceAtMaxSpeech = 0.098;
        /// Among split candidates without a deep silence: the longest (true) or the most
        /// recent (false).
        bool useMaxPossibleSilenceAtMaxSpeech = true;
    };

    VadSegmentationConfig() = default;
    /// Throws `std::invalid_argument` naming the first field outside its valid range.
    explicit VadSegmentationConfig(const Fields& fields);
    VadSegmentationConfig(double minSpeechDuration, double minSilenceDuration, double maxSpeechDuration,
                          double speechPadding, float silenceThresholdForSplit, std::optional<float> negativeThreshold,
                          float negativeThresholdOffset, double minSilenceAtMaxSpeech,
                          bool useMaxPossibleSilenceAtMaxSpeech);

    [[nodiscard]] static VadSegmentationConfig defaultConfig() { return {}; }

    [[nodiscard]] double minSpeechDuration() const noexcept { return fields_.minSpeechDuration; }
    [[nodiscard]] double minSilenceDuration() const noexcept { return fields_.minSilenceDuration; }
    [[nodiscard]] double maxSpeechDuration() const noexcept { return fields_.maxSpeechDuration; }
    [[nodiscard]] double speechPadding() const noexcept { return fields_.speechPadding; }
    [[nodiscard]] float silenceThresholdForSplit() const noexcept { return fields_.silenceThresholdForSplit; }
    [[nodiscard]] const std::optional<float>& negativeThreshold() const noexcept { return fields_.negativeThreshold; }
    [[nodiscard]] float negativeThresholdOffset() const noexcept { return fields_.negativeThresholdOffset; }
    [[nodiscard]] double minSilenceAtMaxSpeech() const noexcept { return fields_.minSilenceAtMaxSpeech; }
    [[nodiscard]] bool useMaxPossibleSilenceAtMaxSpeech() const noexcept {
        return fields_.useMaxPossibleSilenceAtMaxSpeech;
    }
    [[nodiscard]] const Fields& fields() const noexcept { return fields_; }

    /// `negativeThreshold` when set, else max(base − offset, 0.01).
    [[nodiscard]] float effectiveNegativeThreshold(float baseThreshold) const noexcept;

private:
    Fields fields_;
};

/// A stretch of speech, in seconds from the start of the audio.
struct VadSegment {
    double startTime = 0;
    double endTime = 0;

    [[nodiscard]] double duration() const noexcept { return endTime - startTime; }
    /// startTime × rate truncated toward zero; a product within a millionth of a whole sample
    /// counts as that sample, so times made from sample positions give those positions back.
    [[nodiscard]] std::int64_t startSample(double sampleRate = 16000) const noexcept;
    [[nodiscard]] std::int64_t endSample(double sampleRate = 16000) const noexcept;
    [[nodiscard]] std::int64_t sampleCount(double sampleRate = 16000) const noexcept {
        return endSample(sampleRate) - startSample(sampleRate);
    }

    bool operator==(const VadSegment&) const = default;
};

/// What a live stream carries between blocks.
struct VadStreamState {
    VadState modelState = VadState::initial();
    /// Inside speech.
    bool triggered = false;
    /// Where a silence inside speech began to be counted.
    std::optional<std::int64_t> tempEndSample;
    /// Samples consumed so far.
    std::int64_t processedSamples = 0;

    [[nodiscard]] static VadStreamState initial() { return {}; }

    bool operator==(const VadStreamState&) const = default;
};

struct VadStreamEvent {
    enum class Kind { speechStart, speechEnd };

    Kind kind = Kind::speechStart;
    std::int64_t sampleIndex = 0;
    /// Seconds, rounded; only when the caller asked for times.
    std::optional<double> time;

    [[nodiscard]] bool isStart() const noexcept { return kind == Kind::speechStart; }
    [[nodiscard]] bool isEnd() const noexcept { return kind == Kind::speechEnd; }

    bool operator==(const VadStreamEvent&) const = default;
};

struct VadStreamResult {
    VadStreamState state;
    std::optional<VadStreamEvent> event;
    float probability = 0;
};

}  // namespace Tervane
