#include <Tervane/Audio/StreamingAudioSourceFactory.hpp>

#include <Tervane/Platform/AVAudioConverter.hpp>
#include <Tervane/Platform/AVAudioFile.hpp>
#include <Tervane/Platform/AVAudioFormat.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Shared/NumberText.hpp>
#include <Tervane/Shared/UUID.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace Tervane {

namespace {

using Clock = std::chrono::steady_clock;

/// The raw sample file being written; closed on every path.
class OutputFile {
public:
    explicit OutputFile(std::filesystem::path path) : path_(std::move(path)) {
        descriptor_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (descriptor_ < 0) {
            throw FileError("open", path_, errno);
        }
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }

    void append(const float* samples, std::size_t count) {
        const auto* bytes = reinterpret_cast<const char*>(samples);
        std::size_t left = count * sizeof(float);
        while (left > 0) {
            const ssize_t written = ::write(descriptor_, bytes, left);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw FileError("write", path_, errno);
            }
            bytes += written;
            left -= static_cast<std::size_t>(written);
        }
    }

    /// Flushes to disk and closes.
    void close() {
        if (::fsync(descriptor_) != 0) {
            throw FileError("synchronize", path_, errno);
        }
        const int descriptor = descriptor_;
        descriptor_ = -1;
        if (::close(descriptor) != 0) {
            throw FileError("close", path_, errno);
        }
    }

private:
    std::filesystem::path path_;
    int descriptor_ = -1;
};

std::string allocationMessage(std::string_view kind, double frames) {
    return "Failed to allocate " + std::string(kind) + " buffer (" + NumberText::fixed(frames, 0) + " frames)";
}

/// Converts the whole file into `output`; returns the number of samples written.
std::int64_t streamConvert(AVAudioFile& file, AVAudioConverter& converter, OutputFile& output) {
    const std::shared_ptr<AVAudioFormat>& sourceFormat = file.processingFormat();
    const std::shared_ptr<AVAudioFormat>& targetFormat = converter.outputFormat();

    const std::shared_ptr<AVAudioPCMBuffer> inputBlock =
        AVAudioPCMBuffer::make(sourceFormat, StreamingAudioSourceFactory::inputBlockFrames);
    if (!inputBlock) {
        throw StreamingAudioError::processingFailed(
            allocationMessage("input", StreamingAudioSourceFactory::inputBlockFrames));
    }
    const double wanted =
        StreamingAudioSourceFactory::outputBlockFrames(sourceFormat->sampleRate(), targetFormat->sampleRate());
    std::shared_ptr<AVAudioPCMBuffer> outputBlock;
    if (wanted >= 0 && wanted <= static_cast<double>(std::numeric_limits<AVAudioFrameCount>::max())) {
        const auto capacity = std::max(static_cast<AVAudioFrameCount>(wanted),
                                       AVAudioFrameCount{StreamingAudioSourceFactory::minimumOutputFrames});
        outputBlock = AVAudioPCMBuffer::make(targetFormat, capacity);
    }
    if (!outputBlock) {
        throw StreamingAudioError::processingFailed(allocationMessage("output", wanted));
    }

    bool inputEnded = false;
    std::exception_ptr readFailure;
    const AVAudioConverterInputBlock supply = [&](AVAudioPacketCount asked, AVAudioConverterInputStatus& status)
        -> std::shared_ptr<AVAudioPCMBuffer> {
        if (inputEnded) {
            status = AVAudioConverterInputStatus::endOfStream;
            return nullptr;
        }
        // A read returns fewer frames than asked only at the end of the file, so there is no
        // need to know the file's length up front (which would cost a second decoding pass).
        try {
            file.read(*inputBlock, std::min<AVAudioFrameCount>(asked, inputBlock->frameCapacity()));
        } catch (...) {
            readFailure = std::current_exception();
            inputBlock->setFrameLength(0);
        }
        if (inputBlock->frameLength() > 0) {
            status = AVAudioConverterInputStatus::haveData;
            return inputBlock;
        }
        inputEnded = true;
        status = AVAudioConverterInputStatus::endOfStream;
        return nullptr;
    };

    std::int64_t written = 0;
    while (true) {
        outputBlock->setFrameLength(0);
        std::shared_ptr<const Error> conversionError;
        const AVAudioConverterOutputStatus status = converter.convert(*outputBlock, conversionError, supply);
        if (conversionError) {
            throw StreamingAudioError::processingFailed("Audio conversion failed: " + conversionError->description());
        }
        if (readFailure) {
            std::string reason = "unknown error";
            try {
                std::rethrow_exception(readFailure);
            } catch (const std::exception& failure) {
                reason = failure.what();
            } catch (...) {
            }
            throw StreamingAudioError::processingFailed("Failed while reading audio: " + reason);
        }
        if (outputBlock->frameLength() > 0) {
            float* const* channels = outputBlock->floatChannelData();
            if (channels == nullptr) {
                throw StreamingAudioError::processingFailed("Missing channel data during conversion");
            }
            output.append(channels[0], outputBlock->frameLength());
            written += outputBlock->frameLength();
        }
        if (status == AVAudioConverterOutputStatus::endOfStream || status == AVAudioConverterOutputStatus::error) {
            return written;
        }
    }
}

/// Removes the temporary file unless the source was handed out.
class TemporaryFileGuard {
public:
    explicit TemporaryFileGuard(std::filesystem::path path) : path_(std::move(path)) {}
    TemporaryFileGuard(const TemporaryFileGuard&) = delete;
    TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;
    ~TemporaryFileGuard() {
        if (armed_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    void release() noexcept { armed_ = false; }

private:
    std::filesystem::path path_;
    bool armed_ = true;
};

}  // namespace

double StreamingAudioSourceFactory::outputBlockFrames(double sourceRate, double targetRate) noexcept {
    return std::ceil(targetRate * static_cast<double>(inputBlockFrames) / sourceRate);
}

StreamingAudioSourceFactory::DiskBackedSource StreamingAudioSourceFactory::makeDiskBackedSource(
    const std::filesystem::path& file, double targetSampleRate) const {
    const Clock::time_point start = Clock::now();
    std::optional<TemporaryFileGuard> guard;
    try {
        AVAudioFile audioFile(file);
        const std::shared_ptr<AVAudioFormat>& sourceFormat = audioFile.processingFormat();
        const std::shared_ptr<AVAudioFormat> targetFormat =
            AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, targetSampleRate, 1, false);
        if (!targetFormat) {
            throw StreamingAudioError::processingFailed("Unsupported target sample rate " +
                                                        NumberText::shortest(targetSampleRate));
        }

        const std::filesystem::path location =
            std::filesystem::temp_directory_path() / ("tervane-streaming-" + UUID::random().uuidString() + ".raw");
        const int created = ::open(location.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (created < 0) {
            throw StreamingAudioError::processingFailed("Failed to create temporary audio buffer at " +
                                                        location.string());
        }
        ::close(created);
        guard.emplace(location);

        OutputFile output(location);
        const std::shared_ptr<AVAudioConverter> converter = AVAudioConverter::make(sourceFormat, targetFormat);
        if (!converter) {
            throw StreamingAudioError::processingFailed("Unsupported audio format " + sourceFormat->description() +
                                                        "; failed to create converter");
        }
        logger_.debug("Streaming conversion " + NumberText::shortest(sourceFormat->sampleRate()) + "Hz×" +
                      std::to_string(sourceFormat->channelCount()) + "ch → " +
                      NumberText::shortest(targetFormat->sampleRate()) + "Hz×" +
                      std::to_string(targetFormat->channelCount()) + "ch");

        std::int64_t written = 0;
        try {
            written = streamConvert(audioFile, *converter, output);
        } catch (const std::exception& failure) {
            logger_.error(std::string("Streaming conversion failed before file mapping: ") + failure.what());
            throw;
        }
        output.close();

        std::error_code sizeError;
        const std::uintmax_t size = std::filesystem::file_size(location, sizeError);
        if (sizeError) {
            throw FileError("inspect", location, sizeError.value());
        }
        logger_.debug("Streaming audio temp file size=" + std::to_string(size) + " bytes");
        logger_.debug("Streaming audio total samples=" + std::to_string(written));

        DiskBackedAudioSampleSource source(location);
        if (source.sampleCount() != written) {
            logger_.warning("Mapped sample count mismatch (reported=" + std::to_string(source.sampleCount()) +
                            ", tracked=" + std::to_string(written) + "); continuing");
        }
        guard->release();
        return {std::move(source), std::chrono::duration<double>(Clock::now() - start).count()};
    } catch (const StreamingAudioError&) {
        throw;
    } catch (const std::exception& failure) {
        const std::string message = std::string("Streaming audio source creation failed: ") + failure.what();
        logger_.error(message);
        throw StreamingAudioError::processingFailed(message);
    }
}

}  // namespace Tervane
