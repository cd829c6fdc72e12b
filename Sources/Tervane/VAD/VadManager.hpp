#pragma once

#include <Tervane/Audio/AudioConverter.hpp>
#include <Tervane/Platform/ANEMemoryOptimizer.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Platform/MLFeatureProvider.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/AppLogger.hpp>
#include <Tervane/VAD/VadTypes.hpp>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Tervane {

/// Tells speech from non-speech in 16 kHz mono audio with a small recurrent model run over
/// blocks of 4096 samples, and cuts the per-block probabilities into speech segments or live
/// speech events. The manager keeps no per-stream state: every stream's state travels with
/// its caller, so one manager serves any number of streams. Operations run one at a time.
class VadManager {
public:
    static constexpr std::int64_t chunkSize = 4096;
    static constexpr std::int64_t sampleRate = 16000;

    /// Loads the model from the default root (application support / "Tervane"), fetching it
    /// into root / "Models" when missing. Throws the loader's failure.
    explicit VadManager(VadConfig config = VadConfig::defaultConfig());
    /// The same with `modelDirectory` as the root.
    VadManager(VadConfig config, const std::filesystem::path& modelDirectory);
    /// Takes an already loaded model (null leaves the manager unavailable); loads nothing.
    VadManager(VadConfig config, std::shared_ptr<MLModel> vadModel);

    VadManager(const VadManager&) = delete;
    VadManager& operator=(const VadManager&) = delete;

    [[nodiscard]] bool isAvailable() const noexcept { return vadModel_ != nullptr; }
    [[nodiscard]] const VadConfig& currentConfig() const noexcept { return config_; }

    /// One block: fitted to 4096 samples (cut, or extended with its last sample) and run with
    /// `inputState`, or zeros without one. Throws `VadError` or the pool's allocation failure;
    /// the caller's state is never touched.
    [[nodiscard]] VadResult processChunk(std::span<const float> chunk,
                                         const std::optional<VadState>& inputState = std::nullopt);

    /// One result per 4096-sample block from sample 0 (the last block holds the rest), the
    /// state passed from block to block. The first failure ends the call.
    [[nodiscard]] std::vector<VadResult> processAudioSamples(std::span<const float> samples);

    [[nodiscard]] std::vector<VadResult> process(std::span<const float> samples);
    /// The file read and converted to 16 kHz mono; conversion failures are passed on.
    [[nodiscard]] std::vector<VadResult> process(const std::filesystem::path& file);
    /// The buffer as is when already 16 kHz mono float, else converted.
    [[nodiscard]] std::vector<VadResult> process(const std::shared_ptr<AVAudioPCMBuffer>& buffer);

    /// Speech segments of 16 kHz samples; processing failures are passed on.
    [[nodiscard]] std::vector<VadSegment> segmentSpeech(
        std::span<const float> samples, const VadSegmentationConfig& config = VadSegmentationConfig::defaultConfig());
    /// Speech segments of per-block results over `totalSamples` samples of audio, in time order.
    [[nodiscard]] std::vector<VadSegment> segmentSpeech(
        const std::vector<VadResult>& results, std::int64_t totalSamples,
        const VadSegmentationConfig& config = VadSegmentationConfig::defaultConfig()) const;
    /// The samples of each segment `segmentSpeech` finds.
    [[nodiscard]] std::vector<std::vector<float>> segmentSpeechAudio(
        std::span<const float> samples, const VadSegmentationConfig& config = VadSegmentationConfig::defaultConfig());

    [[nodiscard]] static VadStreamState makeStreamState() { return VadStreamState::initial(); }
    /// One live block: its probability, the new state and a speech start or end when one is
    /// decided. Event times (seconds rounded to `timeResolution` decimals) only with
    /// `returnSeconds`. A failing block throws and leaves `state` to be used again.
    [[nodiscard]] VadStreamResult processStreamingChunk(
        std::span<const float> chunk, const VadStreamState& state,
        const VadSegmentationConfig& config = VadSegmentationConfig::defaultConfig(), bool returnSeconds = false,
        int timeResolution = 1);

    /// The output of a prediction that holds a multi-array: one named exactly as a wanted name,
    /// else the first (by name) whose lower-cased name contains a wanted name lower-cased.
    [[nodiscard]] static std::optional<MLFeatureValue> featureValue(const MLFeatureProvider& outputs,
                                                                    std::initializer_list<std::string> matchingSubstrings);

private:
    void loadUnifiedModel(const std::optional<std::filesystem::path>& directory);
    [[nodiscard]] VadResult processChunkLocked(std::span<const float> chunk, const std::optional<VadState>& inputState);
    [[nodiscard]] std::vector<VadResult> processAudioSamplesLocked(std::span<const float> samples);

    AppLogger logger_{"VadManager"};
    const VadConfig config_;
    AudioConverter audioConverter_;
    std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_ = std::make_shared<ANEMemoryOptimizer>();
    std::shared_ptr<MLModel> vadModel_;
    std::mutex operationLock_;
};

}  // namespace Tervane
