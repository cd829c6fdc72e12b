#pragma once

#include <Tervane/Platform/AVAudioFormat.hpp>
#include <Tervane/Platform/AVAudioTypes.hpp>
#include <Tervane/Platform/AudioBufferList.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Tervane {

/// Zero-filled memory for `frameCapacity` frames of linear PCM in one format, of which the first
/// `frameLength` are valid. Held by `std::shared_ptr`; not safe to change from several threads.
///
/// Non-interleaved formats have one block per channel, interleaved formats one block for all;
/// every block starts on a 64-byte boundary.
class AVAudioPCMBuffer {
    struct PrivateTag {};

public:
    /// Null when the format is not linear PCM, its size in bytes does not fit (a block larger
    /// than a 32-bit byte count, or more than 1 TiB in all) or the memory cannot be had.
    [[nodiscard]] static std::shared_ptr<AVAudioPCMBuffer> make(std::shared_ptr<AVAudioFormat> format,
                                                                AVAudioFrameCount frameCapacity);

    AVAudioPCMBuffer(const AVAudioPCMBuffer&) = delete;
    AVAudioPCMBuffer& operator=(const AVAudioPCMBuffer&) = delete;

    [[nodiscard]] const std::shared_ptr<AVAudioFormat>& format() const noexcept { return format_; }
    [[nodiscard]] AVAudioFrameCount frameCapacity() const noexcept { return frameCapacity_; }
    [[nodiscard]] AVAudioFrameCount frameLength() const noexcept { return frameLength_; }
    /// Throws `std::out_of_range` for a length above the capacity. Also sets every block's
    /// `mDataByteSize` to the bytes of `frameLength` frames.
    void setFrameLength(AVAudioFrameCount frameLength);

    /// Samples between one frame and the next within a block: the channel count when
    /// interleaved, else 1.
    [[nodiscard]] std::uint32_t stride() const noexcept;

    /// One pointer per channel for non-interleaved 32-bit float, a single pointer to the
    /// interleaved samples for interleaved 32-bit float, null for every other format.
    [[nodiscard]] float* const* floatChannelData() const noexcept;
    /// As `floatChannelData`, for 16-bit signed integers.
    [[nodiscard]] std::int16_t* const* int16ChannelData() const noexcept;
    /// As `floatChannelData`, for 32-bit signed integers.
    [[nodiscard]] std::int32_t* const* int32ChannelData() const noexcept;

    /// The blocks, their channel counts and valid byte sizes.
    [[nodiscard]] const AudioBufferList& audioBufferList() const noexcept { return bufferList_; }
    /// The same list for filling the memory in place (copies from sample buffers). The pointers
    /// must stay as they are.
    [[nodiscard]] AudioBufferList& mutableAudioBufferList() noexcept { return bufferList_; }

    AVAudioPCMBuffer(PrivateTag, std::shared_ptr<AVAudioFormat> format, AVAudioFrameCount frameCapacity,
                     std::size_t blockBytes, void* memory);
    ~AVAudioPCMBuffer();

private:
    std::shared_ptr<AVAudioFormat> format_;
    AVAudioFrameCount frameCapacity_;
    AVAudioFrameCount frameLength_ = 0;
    void* memory_;
    // Only the vector of the format's own sample type is filled.
    std::vector<float*> floatChannels_;
    std::vector<std::int16_t*> int16Channels_;
    std::vector<std::int32_t*> int32Channels_;
    AudioBufferList bufferList_;
};

}  // namespace Tervane
