#pragma once

#include <Tervane/Platform/AudioBufferList.hpp>
#include <Tervane/Platform/AudioStreamBasicDescription.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Tervane {

using CMItemCount = std::int64_t;
/// A status: 0 (`noErr`) on success, a negative code otherwise.
using OSStatus = std::int32_t;

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kCMSampleBufferError_RequiredParameterMissing = -12731;
inline constexpr OSStatus kCMSampleBufferError_SampleIndexOutOfRange = -12734;
inline constexpr OSStatus kCMSampleBufferError_ArrayTooSmall = -12737;
inline constexpr OSStatus kCMSampleBufferError_InvalidMediaFormat = -12743;

/// The format of a sample buffer's audio.
class CMAudioFormatDescription {
public:
    explicit CMAudioFormatDescription(const AudioStreamBasicDescription& description) : description_(description) {}
    [[nodiscard]] const AudioStreamBasicDescription& streamBasicDescription() const noexcept { return description_; }

private:
    AudioStreamBasicDescription description_;
};

/// A block of PCM audio as a capture source delivers it: a format and its bytes, one block
/// for interleaved audio or one per channel when the format is non-interleaved. Immutable.
class CMSampleBuffer {
    struct PrivateTag {};

public:
    /// Throws `std::invalid_argument` when the number of blocks does not fit the description,
    /// the blocks differ in size, or a size is not a whole number of frames. The description
    /// itself is not judged: an impossible one is what a consumer must be able to reject.
    [[nodiscard]] static std::shared_ptr<CMSampleBuffer> make(const AudioStreamBasicDescription& description,
                                                              std::vector<std::vector<std::byte>> blocks);
    /// A buffer that says it holds `numSamples` frames but has no format, as a broken source
    /// may deliver.
    [[nodiscard]] static std::shared_ptr<CMSampleBuffer> makeWithoutFormat(CMItemCount numSamples);

    [[nodiscard]] const std::shared_ptr<const CMAudioFormatDescription>& formatDescription() const noexcept {
        return format_;
    }
    [[nodiscard]] CMItemCount numSamples() const noexcept { return numSamples_; }
    [[nodiscard]] const std::vector<std::vector<std::byte>>& blocks() const noexcept { return blocks_; }

    CMSampleBuffer(PrivateTag, std::shared_ptr<const CMAudioFormatDescription> format, CMItemCount numSamples,
                   std::vector<std::vector<std::byte>> blocks);

private:
    std::shared_ptr<const CMAudioFormatDescription> format_;
    CMItemCount numSamples_;
    std::vector<std::vector<std::byte>> blocks_;
};

/// The buffer's format, or null (also for a null buffer).
[[nodiscard]] std::shared_ptr<const CMAudioFormatDescription> CMSampleBufferGetFormatDescription(
    const std::shared_ptr<CMSampleBuffer>& sbuf);
/// The description inside a format, or null for a null format. Valid while the format lives.
[[nodiscard]] const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    const std::shared_ptr<const CMAudioFormatDescription>& desc);
/// Frames in the buffer; 0 for a null buffer.
[[nodiscard]] CMItemCount CMSampleBufferGetNumSamples(const std::shared_ptr<CMSampleBuffer>& sbuf);

/// Copies `numFrames` frames from `frameOffset` into the blocks of `bufferList`, which must
/// match the buffer's layout (as many blocks, as many channels in each) and have room
/// (`mDataByteSize` at least the bytes copied); each block's `mDataByteSize` becomes the bytes
/// copied. Returns `noErr`, or: a missing buffer or list, `RequiredParameterMissing`; no format
/// or a list of another layout, `InvalidMediaFormat`; frames outside the buffer,
/// `SampleIndexOutOfRange`; too little room, `ArrayTooSmall`. Nothing is copied on failure.
[[nodiscard]] OSStatus CMSampleBufferCopyPCMDataIntoAudioBufferList(const std::shared_ptr<CMSampleBuffer>& sbuf,
                                                                    std::int32_t frameOffset, std::int32_t numFrames,
                                                                    AudioBufferList* bufferList);

}  // namespace Tervane
