#pragma once

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Diarizer/Offline/SegmentationOutput.hpp>
#include <Tervane/Platform/ANEMemoryOptimizer.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Platform/Signposter.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <array>
#include <functional>
#include <memory>
#include <stop_token>
#include <vector>

namespace Tervane {

/// Called with each chunk as soon as it is complete, on the processor's thread; must not block.
using SegmentationChunkHandler = std::function<SegmentationChunkContinuation(const SegmentationChunk&)>;

/// Slides the segmentation window over a recording, runs the model on up to 32 windows at a
/// time and decodes its powerset scores into log-probabilities and per-speaker activity.
/// Copies share the buffer pool, so one processor runs one `process` at a time.
class OfflineSegmentationProcessor {
public:
    static constexpr std::int64_t localSpeakerCount = 3;
    static constexpr std::int64_t maxWindowsPerBatch = 32;

    OfflineSegmentationProcessor();

    /// The active local speakers of each powerset class: silence, {0}, {1}, {2}, {0, 1},
    /// {0, 2}, {1, 2}, {0, 1, 2}.
    [[nodiscard]] static const std::vector<std::vector<int>>& powerset();

    /// Segments the whole of `audioSource`. Windows of `samplesPerWindow` start every
    /// `samplesPerStep` samples below the end, the last one zero-padded. Throws
    /// `OfflineDiarizationError::noSpeechDetected` for an empty source, `processingFailed` for
    /// an output without a usable multi-array, `CancellationError` when `stopToken` is set, and
    /// the source's, allocation's and model's own failures unchanged. After a handler answers
    /// `stop` no further chunk is handed over, but every window is still in the result.
    [[nodiscard]] SegmentationOutput process(const StreamingAudioSampleSource& audioSource,
                                             const MLModel& segmentationModel, const OfflineDiarizerConfig& config,
                                             const SegmentationChunkHandler& chunkHandler = {},
                                             std::stop_token stopToken = {}) const;

    [[nodiscard]] const std::shared_ptr<ANEMemoryOptimizer>& memoryOptimizer() const noexcept {
        return memoryOptimizer_;
    }

private:
    void performWarmup(const MLModel& model, std::int64_t windowSamples) const;

    AppLogger logger_{"OfflineSegmentation"};
    Signposter signposter_;
    std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_;
};

}  // namespace Tervane
