#pragma once

#include <Tervane/Platform/Error.hpp>
#include <Tervane/Shared/PerformanceMonitor.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Tervane {

/// How the TDT decoder runs.
struct TdtConfig {
    bool includeTokenDuration = true;  // carried for callers; the decoder does not read it
    int maxSymbolsPerStep = 10;
    std::vector<int> durationBins{0, 1, 2, 3, 4};
    int blankId = 8192;
    int boundarySearchFrames = 20;
    int maxTokensPerChunk = 150;
    int consecutiveBlankLimit = 5;

    [[nodiscard]] static TdtConfig defaultConfig() { return {}; }
};

struct ASRConfig {
    int sampleRate = 16000;
    TdtConfig tdtConfig;

    [[nodiscard]] static ASRConfig defaultConfig() { return {}; }
};

/// One recognised token with its place in the audio.
struct TokenTiming {
    std::string token;  // the vocabulary piece, its word-boundary mark turned into a space
    int tokenId = 0;
    double startTime = 0;
    double endTime = 0;
    float confidence = 0;
};

struct ASRResult {
    std::string text;
    float confidence = 0;
    double duration = 0;        // seconds of audio
    double processingTime = 0;  // seconds until decoding finished
    std::optional<std::vector<TokenTiming>> tokenTimings;
    std::optional<ASRPerformanceMetrics> performanceMetrics;

    [[nodiscard]] float rtfx() const noexcept {
        return static_cast<float>(duration) / static_cast<float>(processingTime);
    }
};

/// Which of the engine's decoder states a call uses, so two streams can be recognised side by
/// side without mixing their prediction-network state.
enum class AudioSource { microphone, system };

class ASRError final : public Error {
public:
    enum class Kind {
        processingFailed,
        unsupportedPlatform,
        notInitialized,
        invalidAudioData,
        modelLoadFailed,
        modelCompilationFailed
    };

    static ASRError processingFailed(std::string message) { return {Kind::processingFailed, std::move(message)}; }
    static ASRError unsupportedPlatform(std::string message) {
        return {Kind::unsupportedPlatform, std::move(message)};
    }
    static ASRError notInitialized() { return {Kind::notInitialized, {}}; }
    static ASRError invalidAudioData() { return {Kind::invalidAudioData, {}}; }
    static ASRError modelLoadFailed() { return {Kind::modelLoadFailed, {}}; }
    static ASRError modelCompilationFailed() { return {Kind::modelCompilationFailed, {}}; }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    /// The case's message; empty for the cases that carry none.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    ASRError(Kind kind, std::string message);
    static std::string describe(Kind kind, const std::string& message);

    Kind kind_;
    std::string message_;
};

/// Fixed numbers of the recognition model family.
namespace ASRConstants {
inline constexpr int melHopSize = 160;
inline constexpr int encoderSubsampling = 8;
inline constexpr int samplesPerEncoderFrame = melHopSize * encoderSubsampling;  // 80 ms at 16 kHz
inline constexpr int encoderHiddenSize = 1024;
inline constexpr int decoderHiddenSize = 640;
inline constexpr double highWERThreshold = 0.15;  // for evaluation reports only

/// Encoder frames that cover `samples`: the count rounded up to whole frames.
[[nodiscard]] int calculateEncoderFrames(std::int64_t samples) noexcept;
}  // namespace ASRConstants

}  // namespace Tervane
