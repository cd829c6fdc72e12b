#pragma once

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <filesystem>
#include <string>

namespace Tervane {

/// The one failure of turning an audio file into a disk-backed sample source.
class StreamingAudioError final : public Error {
public:
    enum class Kind { processingFailed };

    static StreamingAudioError processingFailed(std::string message) { return StreamingAudioError(std::move(message)); }

    [[nodiscard]] Kind kind() const noexcept { return Kind::processingFailed; }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    explicit StreamingAudioError(std::string message)
        : Error("Processing failed: " + message), message_(std::move(message)) {}

    std::string message_;
};

/// Converts audio files into memory-mapped temporary files of mono 32-bit float samples, block
/// by block, so that memory use does not grow with the recording's length.
class StreamingAudioSourceFactory {
public:
    /// Frames read from the file per conversion step.
    static constexpr std::uint32_t inputBlockFrames = 16384;
    /// The least room an output block has.
    static constexpr std::uint32_t minimumOutputFrames = 1024;

    struct DiskBackedSource {
        DiskBackedAudioSampleSource source;
        double loadDuration;  // seconds, from the start of the call to the end of the mapping
    };

    StreamingAudioSourceFactory() = default;

    /// Decodes `file`, converts it to `targetSampleRate` Hz mono and writes the samples to a new
    /// temporary file "tervane-streaming-<UUID>.raw", which the returned source maps; the
    /// caller removes it with `cleanup()`. Every failure is a `StreamingAudioError`, and on
    /// failure the temporary file is removed again.
    [[nodiscard]] DiskBackedSource makeDiskBackedSource(const std::filesystem::path& file,
                                                        double targetSampleRate) const;

    /// ⌈targetRate × 16384 ÷ sourceRate⌉, before the 1024-frame floor.
    [[nodiscard]] static double outputBlockFrames(double sourceRate, double targetRate) noexcept;

    [[nodiscard]] const AppLogger& logger() const noexcept { return logger_; }

private:
    AppLogger logger_{"StreamingAudioSourceFactory"};
};

}  // namespace Tervane
