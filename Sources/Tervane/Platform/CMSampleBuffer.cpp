#include <Tervane/Platform/CMSampleBuffer.hpp>

#include <cstring>
#include <stdexcept>
#include <string>

namespace Tervane {

namespace {

bool isNonInterleaved(const AudioStreamBasicDescription& d) noexcept {
    return (d.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
}

std::size_t expectedBlocks(const AudioStreamBasicDescription& d) noexcept {
    return isNonInterleaved(d) ? d.mChannelsPerFrame : 1;
}

std::uint32_t channelsPerBlock(const AudioStreamBasicDescription& d) noexcept {
    return isNonInterleaved(d) ? 1 : d.mChannelsPerFrame;
}

}  // namespace

CMSampleBuffer::CMSampleBuffer(PrivateTag, std::shared_ptr<const CMAudioFormatDescription> format,
                               CMItemCount numSamples, std::vector<std::vector<std::byte>> blocks)
    : format_(std::move(format)), numSamples_(numSamples), blocks_(std::move(blocks)) {}

std::shared_ptr<CMSampleBuffer> CMSampleBuffer::make(const AudioStreamBasicDescription& description,
                                                     std::vector<std::vector<std::byte>> blocks) {
    if (blocks.empty() || blocks.size() != expectedBlocks(description)) {
        throw std::invalid_argument("a sample buffer of this format needs " + std::to_string(expectedBlocks(description)) +
                                    " blocks, not " + std::to_string(blocks.size()));
    }
    const std::size_t size = blocks.front().size();
    for (const auto& block : blocks) {
        if (block.size() != size) {
            throw std::invalid_argument("the blocks of a sample buffer must be of one size");
        }
    }
    const std::uint32_t frameBytes = description.mBytesPerFrame;
    if (frameBytes != 0 && size % frameBytes != 0) {
        throw std::invalid_argument("a block of " + std::to_string(size) + " bytes is not a whole number of " +
                                    std::to_string(frameBytes) + "-byte frames");
    }
    const auto numSamples = static_cast<CMItemCount>(frameBytes == 0 ? 0 : size / frameBytes);
    return std::make_shared<CMSampleBuffer>(PrivateTag{}, std::make_shared<const CMAudioFormatDescription>(description),
                                            numSamples, std::move(blocks));
}

std::shared_ptr<CMSampleBuffer> CMSampleBuffer::makeWithoutFormat(CMItemCount numSamples) {
    return std::make_shared<CMSampleBuffer>(PrivateTag{}, nullptr, numSamples, std::vector<std::vector<std::byte>>{});
}

std::shared_ptr<const CMAudioFormatDescription> CMSampleBufferGetFormatDescription(const std::shared_ptr<CMSampleBuffer>& sbuf) {
    return sbuf ? sbuf->formatDescription() : nullptr;
}

const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    const std::shared_ptr<const CMAudioFormatDescription>& desc) {
    return desc ? &desc->streamBasicDescription() : nullptr;
}

CMItemCount CMSampleBufferGetNumSamples(const std::shared_ptr<CMSampleBuffer>& sbuf) {
    return sbuf ? sbuf->numSamples() : 0;
}

OSStatus CMSampleBufferCopyPCMDataIntoAudioBufferList(const std::shared_ptr<CMSampleBuffer>& sbuf,
                                                      std::int32_t frameOffset, std::int32_t numFrames,
                                                      AudioBufferList* bufferList) {
    if (!sbuf || bufferList == nullptr) {
        return kCMSampleBufferError_RequiredParameterMissing;
    }
    const auto& format = sbuf->formatDescription();
    if (!format || format->streamBasicDescription().mBytesPerFrame == 0) {
        return kCMSampleBufferError_InvalidMediaFormat;
    }
    const AudioStreamBasicDescription& d = format->streamBasicDescription();
    if (bufferList->mBuffers.size() != sbuf->blocks().size()) {
        return kCMSampleBufferError_InvalidMediaFormat;
    }
    for (const AudioBuffer& buffer : bufferList->mBuffers) {
        if (buffer.mNumberChannels != channelsPerBlock(d)) {
            return kCMSampleBufferError_InvalidMediaFormat;
        }
    }
    if (frameOffset < 0 || numFrames < 0 || CMItemCount{frameOffset} + numFrames > sbuf->numSamples()) {
        return kCMSampleBufferError_SampleIndexOutOfRange;
    }
    const std::size_t offset = std::size_t(frameOffset) * d.mBytesPerFrame;
    const std::size_t bytes = std::size_t(numFrames) * d.mBytesPerFrame;
    for (const AudioBuffer& buffer : bufferList->mBuffers) {
        if (buffer.mDataByteSize < bytes || (bytes > 0 && buffer.mData == nullptr)) {
            return kCMSampleBufferError_ArrayTooSmall;
        }
    }
    for (std::size_t i = 0; i < bufferList->mBuffers.size(); ++i) {
        AudioBuffer& buffer = bufferList->mBuffers[i];
        if (bytes > 0) {
            std::memcpy(buffer.mData, sbuf->blocks()[i].data() + offset, bytes);
        }
        buffer.mDataByteSize = static_cast<std::uint32_t>(bytes);
    }
    return noErr;
}

}  // namespace Tervane
