#pragma once

#include <Tervane/Platform/AVAudioFormat.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Platform/CMSampleBuffer.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace Tervane {

/// Why a conversion to recognition samples failed.
class AudioConverterError final : public Error {
public:
    enum class Kind {
        conversionFailed,
        sampleBufferCopyFailed,
        failedToCreateConverter,
        failedToCreateBuffer,
        sampleBufferFormatMissing,
        failedToCreateSourceFormat,
    };

    /// `error` is what the platform converter handed back; it may be absent.
    static AudioConverterError conversionFailed(std::shared_ptr<const Error> error) {
        return {Kind::conversionFailed, std::move(error), noErr};
    }
    static AudioConverterError sampleBufferCopyFailed(OSStatus status) {
        return {Kind::sampleBufferCopyFailed, nullptr, status};
    }
    static AudioConverterError failedToCreateConverter() { return {Kind::failedToCreateConverter, nullptr, noErr}; }
    static AudioConverterError failedToCreateBuffer() { return {Kind::failedToCreateBuffer, nullptr, noErr}; }
    static AudioConverterError sampleBufferFormatMissing() {
        return {Kind::sampleBufferFormatMissing, nullptr, noErr};
    }
    static AudioConverterError failedToCreateSourceFormat() {
        return {Kind::failedToCreateSourceFormat, nullptr, noErr};
    }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    /// The platform converter's error behind `conversionFailed`; null otherwise or when it gave none.
    [[nodiscard]] const std::shared_ptr<const Error>& underlyingError() const noexcept { return underlying_; }
    /// The copy status behind `sampleBufferCopyFailed`; `noErr` otherwise.
    [[nodiscard]] OSStatus status() const noexcept { return status_; }

private:
    AudioConverterError(Kind kind, std::shared_ptr<const Error> underlying, OSStatus status);
    static std::string describe(Kind kind, const Error* underlying, OSStatus status);

    Kind kind_;
    std::shared_ptr<const Error> underlying_;
    OSStatus status_;
};

/// Turns a file, a PCM buffer or a sample buffer into mono 32-bit float samples at the target
/// rate. Mono and stereo go through the platform converter; more channels are averaged and
/// resampled by linear interpolation here. Holds no mutable state: one instance may serve
/// several threads, and each conversion makes its own platform converter.
class AudioConverter {
public:
    /// Without a format the target is 32-bit float, 16000 Hz, one channel, non-interleaved.
    /// `debug` logs a summary of each conversion at debug level.
    explicit AudioConverter(std::shared_ptr<AVAudioFormat> targetFormat = nullptr, bool debug = false);

    [[nodiscard]] const std::shared_ptr<AVAudioFormat>& targetFormat() const noexcept { return targetFormat_; }
    [[nodiscard]] bool debug() const noexcept { return debug_; }

    /// The whole file. Opening and reading failures are the file's own (`AVAudioFileError`).
    [[nodiscard]] std::vector<float> resampleAudioFile(const std::filesystem::path& url) const;
    [[nodiscard]] std::vector<float> resampleAudioFile(const std::string& path) const;
    [[nodiscard]] std::vector<float> resampleAudioFile(const char* path) const;

    /// The buffer's `frameLength` frames; one already in the target format is copied, not converted.
    /// Throws `std::invalid_argument` for a null buffer.
    [[nodiscard]] std::vector<float> resampleBuffer(const std::shared_ptr<AVAudioPCMBuffer>& buffer) const;

    /// Every frame of a sample buffer, always through conversion.
    [[nodiscard]] std::vector<float> resampleSampleBuffer(const std::shared_ptr<CMSampleBuffer>& sampleBuffer) const;

    /// The sample buffer's frames as a PCM buffer in its own format.
    [[nodiscard]] std::shared_ptr<AVAudioPCMBuffer> extractAVAudioPCMBuffer(
        const std::shared_ptr<CMSampleBuffer>& from) const;

private:
    [[nodiscard]] bool isTargetFormat(const AVAudioFormat& format) const noexcept;
    [[nodiscard]] std::vector<float> convertBuffer(const std::shared_ptr<AVAudioPCMBuffer>& buffer) const;
    [[nodiscard]] std::vector<float> downmixAndResample(const AVAudioPCMBuffer& buffer) const;

    AppLogger logger_{"AudioConverter"};
    std::shared_ptr<AVAudioFormat> targetFormat_;
    bool debug_;
};

}  // namespace Tervane
