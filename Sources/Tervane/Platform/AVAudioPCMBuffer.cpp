#include <Tervane/Platform/AVAudioPCMBuffer.hpp>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

namespace Tervane {

namespace {

constexpr std::size_t blockAlignment = 64;
// Larger requests are mistakes (a wrapped frame count, a bogus channel count), not audio:
// refuse them rather than let an overcommitting kernel promise the memory.
constexpr std::uint64_t largestAllocation = std::uint64_t{1} << 40;

}  // namespace

std::shared_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::make(std::shared_ptr<AVAudioFormat> format,
                                                         AVAudioFrameCount frameCapacity) {
    if (!format || !format->isLinearPCM()) {
        return nullptr;
    }
    const AudioStreamBasicDescription& d = format->streamDescription();
    const std::uint64_t blockBytes = std::uint64_t{frameCapacity} * d.mBytesPerFrame;
    if (blockBytes > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    const std::uint64_t blocks = format->isInterleaved() ? 1 : d.mChannelsPerFrame;
    const std::uint64_t paddedBlockBytes = (blockBytes + blockAlignment - 1) / blockAlignment * blockAlignment;
    // Room to move the first block onto the alignment; calloc guarantees only 16 bytes. At most
    // 2^32 blocks of under 2^32 bytes: the product cannot wrap in 64 bits, but may exceed memory.
    const std::uint64_t totalBytes = blocks * std::max<std::uint64_t>(paddedBlockBytes, blockAlignment) + blockAlignment;
    if (totalBytes > largestAllocation) {
        return nullptr;
    }
    // calloc leaves large blocks to the kernel's zero pages instead of writing them.
    void* memory = std::calloc(1, static_cast<std::size_t>(totalBytes));
    if (memory == nullptr) {
        return nullptr;
    }
    try {
        return std::make_shared<AVAudioPCMBuffer>(PrivateTag{}, std::move(format), frameCapacity,
                                                  static_cast<std::size_t>(paddedBlockBytes), memory);
    } catch (const std::bad_alloc&) {
        std::free(memory);
        return nullptr;
    }
}

AVAudioPCMBuffer::AVAudioPCMBuffer(PrivateTag, std::shared_ptr<AVAudioFormat> format, AVAudioFrameCount frameCapacity,
                                   std::size_t blockBytes, void* memory)
    : format_(std::move(format)), frameCapacity_(frameCapacity), memory_(memory) {
    const bool interleaved = format_->isInterleaved();
    const std::uint32_t channelCount = format_->channelCount();
    const std::size_t blocks = interleaved ? 1 : channelCount;
    const std::size_t step = std::max(blockBytes, blockAlignment);
    auto* base = static_cast<unsigned char*>(memory);
    base += (blockAlignment - reinterpret_cast<std::uintptr_t>(base) % blockAlignment) % blockAlignment;
    bufferList_.mBuffers.reserve(blocks);
    for (std::size_t i = 0; i < blocks; ++i) {
        unsigned char* block = base + i * step;
        bufferList_.mBuffers.push_back(AudioBuffer{interleaved ? channelCount : 1, 0, block});
        switch (format_->commonFormat()) {
        case AVAudioCommonFormat::pcmFormatFloat32: floatChannels_.push_back(reinterpret_cast<float*>(block)); break;
        case AVAudioCommonFormat::pcmFormatInt16: int16Channels_.push_back(reinterpret_cast<std::int16_t*>(block)); break;
        case AVAudioCommonFormat::pcmFormatInt32: int32Channels_.push_back(reinterpret_cast<std::int32_t*>(block)); break;
        case AVAudioCommonFormat::pcmFormatFloat64:
        case AVAudioCommonFormat::otherFormat: break;
        }
    }
}

AVAudioPCMBuffer::~AVAudioPCMBuffer() { std::free(memory_); }

void AVAudioPCMBuffer::setFrameLength(AVAudioFrameCount frameLength) {
    if (frameLength > frameCapacity_) {
        throw std::out_of_range("frame length " + std::to_string(frameLength) + " exceeds the buffer's capacity of " +
                                std::to_string(frameCapacity_) + " frames");
    }
    frameLength_ = frameLength;
    const std::uint32_t bytes = frameLength * format_->streamDescription().mBytesPerFrame;
    for (AudioBuffer& buffer : bufferList_.mBuffers) {
        buffer.mDataByteSize = bytes;
    }
}

std::uint32_t AVAudioPCMBuffer::stride() const noexcept {
    return format_->isInterleaved() ? format_->channelCount() : 1;
}

float* const* AVAudioPCMBuffer::floatChannelData() const noexcept {
    return floatChannels_.empty() ? nullptr : floatChannels_.data();
}

std::int16_t* const* AVAudioPCMBuffer::int16ChannelData() const noexcept {
    return int16Channels_.empty() ? nullptr : int16Channels_.data();
}

std::int32_t* const* AVAudioPCMBuffer::int32ChannelData() const noexcept {
    return int32Channels_.empty() ? nullptr : int32Channels_.data();
}

}  // namespace Tervane
