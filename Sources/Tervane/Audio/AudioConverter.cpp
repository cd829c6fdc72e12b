#include <Tervane/Audio/AudioConverter.hpp>

#include <Tervane/Platform/AVAudioConverter.hpp>
#include <Tervane/Platform/AVAudioFile.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace Tervane {

namespace {

constexpr AVAudioFrameCount drainBufferFrames = 4096;

std::shared_ptr<AVAudioPCMBuffer> makeBuffer(const std::shared_ptr<AVAudioFormat>& format, std::uint64_t frames) {
    if (frames > std::numeric_limits<AVAudioFrameCount>::max()) {
        throw AudioConverterError::failedToCreateBuffer();
    }
    auto buffer = AVAudioPCMBuffer::make(format, static_cast<AVAudioFrameCount>(frames));
    if (!buffer) {
        throw AudioConverterError::failedToCreateBuffer();
    }
    return buffer;
}

void appendFirstChannel(const AVAudioPCMBuffer& buffer, std::vector<float>& samples) {
    float* const* channels = buffer.floatChannelData();
    if (channels == nullptr || buffer.frameLength() == 0) {
        return;
    }
    samples.insert(samples.end(), channels[0], channels[0] + buffer.frameLength());
}

}  // namespace

AudioConverterError::AudioConverterError(Kind kind, std::shared_ptr<const Error> underlying, OSStatus status)
    : Error(describe(kind, underlying.get(), status)), kind_(kind), underlying_(std::move(underlying)),
      status_(status) {}

std::string AudioConverterError::describe(Kind kind, const Error* underlying, OSStatus status) {
    switch (kind) {
    case Kind::conversionFailed:
        return "Audio conversion failed: " + (underlying ? underlying->description() : std::string("Unknown error"));
    case Kind::sampleBufferCopyFailed:
        return "Failed to copy samples from CMSampleBuffer (status: " + std::to_string(status) + ")";
    case Kind::failedToCreateConverter: return "Failed to create audio converter";
    case Kind::failedToCreateBuffer: return "Failed to create conversion buffer";
    case Kind::sampleBufferFormatMissing: return "Sample buffer is missing a valid audio format description.";
    case Kind::failedToCreateSourceFormat:
        return "Failed to create a source audio format description for CMSampleBuffer.";
    }
    return "Audio conversion failed";
}

AudioConverter::AudioConverter(std::shared_ptr<AVAudioFormat> targetFormat, bool debug)
    : targetFormat_(targetFormat ? std::move(targetFormat)
                                 : AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, 16000.0, 1, false)),
      debug_(debug) {}

bool AudioConverter::isTargetFormat(const AVAudioFormat& format) const noexcept {
    return format.sampleRate() == targetFormat_->sampleRate() &&
           format.channelCount() == targetFormat_->channelCount() &&
           format.commonFormat() == targetFormat_->commonFormat() &&
           format.isInterleaved() == targetFormat_->isInterleaved();
}

std::vector<float> AudioConverter::resampleAudioFile(const std::filesystem::path& url) const {
    AVAudioFile file(url);
    const auto buffer = makeBuffer(file.processingFormat(), static_cast<std::uint64_t>(file.length()));
    file.read(*buffer);
    return resampleBuffer(buffer);
}

std::vector<float> AudioConverter::resampleAudioFile(const std::string& path) const {
    return resampleAudioFile(std::filesystem::path(path));
}

std::vector<float> AudioConverter::resampleAudioFile(const char* path) const {
    return resampleAudioFile(std::filesystem::path(path));
}

std::vector<float> AudioConverter::resampleBuffer(const std::shared_ptr<AVAudioPCMBuffer>& buffer) const {
    if (!buffer) {
        throw std::invalid_argument("AudioConverter::resampleBuffer: no buffer");
    }
    if (isTargetFormat(*buffer->format())) {
        std::vector<float> samples;
        appendFirstChannel(*buffer, samples);
        return samples;
    }
    return convertBuffer(buffer);
}

std::vector<float> AudioConverter::resampleSampleBuffer(const std::shared_ptr<CMSampleBuffer>& sampleBuffer) const {
    return convertBuffer(extractAVAudioPCMBuffer(sampleBuffer));
}

std::shared_ptr<AVAudioPCMBuffer> AudioConverter::extractAVAudioPCMBuffer(
    const std::shared_ptr<CMSampleBuffer>& from) const {
    const auto formatDescription = CMSampleBufferGetFormatDescription(from);
    const AudioStreamBasicDescription* description = CMAudioFormatDescriptionGetStreamBasicDescription(formatDescription);
    if (description == nullptr) {
        throw AudioConverterError::sampleBufferFormatMissing();
    }
    const auto format = AVAudioFormat::make(*description);
    if (!format) {
        throw AudioConverterError::failedToCreateSourceFormat();
    }
    const CMItemCount frames = CMSampleBufferGetNumSamples(from);
    // The copy takes a 32-bit frame count; a larger buffer could not be filled.
    if (frames < 0 || frames > std::numeric_limits<std::int32_t>::max()) {
        throw AudioConverterError::failedToCreateBuffer();
    }
    auto buffer = makeBuffer(format, static_cast<std::uint64_t>(frames));
    buffer->setFrameLength(static_cast<AVAudioFrameCount>(frames));
    if (frames > 0) {
        const OSStatus status = CMSampleBufferCopyPCMDataIntoAudioBufferList(
            from, 0, static_cast<std::int32_t>(frames), &buffer->mutableAudioBufferList());
        if (status != noErr) {
            throw AudioConverterError::sampleBufferCopyFailed(status);
        }
    }
    return buffer;
}

std::vector<float> AudioConverter::convertBuffer(const std::shared_ptr<AVAudioPCMBuffer>& buffer) const {
    const auto& sourceFormat = buffer->format();
    if (sourceFormat->channelCount() > 2) {
        return downmixAndResample(*buffer);
    }
    const auto converter = AVAudioConverter::make(sourceFormat, targetFormat_);
    if (!converter) {
        throw AudioConverterError::failedToCreateConverter();
    }

    const double frameEstimate =
        std::ceil(targetFormat_->sampleRate() / sourceFormat->sampleRate() * static_cast<double>(buffer->frameLength()));
    if (!(frameEstimate <= static_cast<double>(std::numeric_limits<AVAudioFrameCount>::max()))) {
        throw AudioConverterError::failedToCreateBuffer();
    }
    const auto firstOutput = makeBuffer(targetFormat_, static_cast<std::uint64_t>(frameEstimate));
    std::vector<float> samples;
    samples.reserve(firstOutput->frameCapacity());

    bool supplied = false;
    const AVAudioConverterInputBlock supplyOnce = [&](AVAudioPacketCount, AVAudioConverterInputStatus& status) {
        if (supplied) {
            status = AVAudioConverterInputStatus::endOfStream;
            return std::shared_ptr<AVAudioPCMBuffer>();
        }
        supplied = true;
        status = AVAudioConverterInputStatus::haveData;
        return buffer;
    };

    std::shared_ptr<const Error> error;
    if (converter->convert(*firstOutput, error, supplyOnce) == AVAudioConverterOutputStatus::error) {
        throw AudioConverterError::conversionFailed(error);
    }
    appendFirstChannel(*firstOutput, samples);

    // The resampler holds back its filter's delay until the stream ends; drain it.
    for (;;) {
        const auto output = makeBuffer(targetFormat_, drainBufferFrames);
        const AVAudioConverterOutputStatus status = converter->convert(*output, error, supplyOnce);
        if (status == AVAudioConverterOutputStatus::error) {
            throw AudioConverterError::conversionFailed(error);
        }
        appendFirstChannel(*output, samples);
        // The supply never answers "no data now", so running dry means nothing more will come.
        if (status == AVAudioConverterOutputStatus::endOfStream ||
            status == AVAudioConverterOutputStatus::inputRanDry) {
            break;
        }
    }

    if (debug_) {
        const double ratio = static_cast<double>(samples.size()) / static_cast<double>(buffer->frameLength());
        logger_.debug("Audio conversion: " + std::to_string(buffer->frameLength()) + " samples → " +
                      std::to_string(samples.size()) + " samples, ratio: " + NumberText::shortest(ratio));
    }
    return samples;
}

std::vector<float> AudioConverter::downmixAndResample(const AVAudioPCMBuffer& buffer) const {
    float* const* channelData = buffer.floatChannelData();
    if (channelData == nullptr) {
        throw AudioConverterError::failedToCreateBuffer();
    }
    const std::uint32_t channelCount = buffer.format()->channelCount();
    const std::size_t frames = buffer.frameLength();
    // Interleaved audio has one block with all channels side by side.
    const bool interleaved = buffer.format()->isInterleaved();
    const std::size_t stride = buffer.stride();
    const auto sampleAt = [&](std::uint32_t channel, std::size_t frame) {
        return interleaved ? channelData[0][frame * stride + channel] : channelData[channel][frame];
    };

    std::vector<float> mono(frames, 0.0F);
    for (std::uint32_t channel = 0; channel < channelCount; ++channel) {
        for (std::size_t i = 0; i < frames; ++i) {
            mono[i] += sampleAt(channel, i);
        }
    }
    const float scale = 1.0F / static_cast<float>(channelCount);
    for (float& value : mono) {
        value *= scale;
    }

    const double sourceRate = buffer.format()->sampleRate();
    const double targetRate = targetFormat_->sampleRate();
    if (sourceRate == targetRate) {
        return mono;
    }

    const double ratio = sourceRate / targetRate;
    const auto outputLength = static_cast<std::size_t>(std::floor(static_cast<double>(frames) / ratio));
    std::vector<float> output(outputLength, 0.0F);
    for (std::size_t i = 0; i < outputLength; ++i) {
        const double position = ratio * static_cast<double>(i);
        const auto k = static_cast<std::size_t>(std::floor(position));
        const auto f = static_cast<float>(position - static_cast<double>(k));
        if (k + 1 < frames) {
            output[i] = (1.0F - f) * mono[k] + mono[k + 1] * f;
        } else if (k < frames) {
            output[i] = mono[k];
        }
    }
    if (debug_) {
        logger_.debug("Manual resampling: " + std::to_string(channelCount) + " channels → mono, " +
                      NumberText::shortest(sourceRate) + "Hz → " + NumberText::shortest(targetRate) + "Hz");
    }
    return output;
}

}  // namespace Tervane
