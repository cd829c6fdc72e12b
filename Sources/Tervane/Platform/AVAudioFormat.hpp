#pragma once

#include <Tervane/Platform/AVAudioCommonFormat.hpp>
#include <Tervane/Platform/AudioStreamBasicDescription.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace Tervane {

/// An immutable description of audio: sample rate, channel count and sample layout. Made only
/// through the factories, which answer null for values no stream can have.
class AVAudioFormat {
    struct PrivateTag {};

public:
    /// Linear PCM in one of the common layouts. Null when the rate is not a finite positive
    /// number, there are no channels, `commonFormat` is `otherFormat`, or one interleaved frame
    /// would not fit a 32-bit byte count.
    [[nodiscard]] static std::shared_ptr<AVAudioFormat> make(AVAudioCommonFormat commonFormat, double sampleRate,
                                                             std::uint32_t channels, bool interleaved);

    /// The format a stream description states. Linear PCM must be consistent (one frame per
    /// packet, sizes matching the bit depth and channel count, little-endian, floats of 32 or 64
    /// bits); layouts other than the common ones become `otherFormat`, as do compressed formats
    /// (any other non-zero format id). Null for anything else, and for an impossible rate or
    /// channel count.
    [[nodiscard]] static std::shared_ptr<AVAudioFormat> make(const AudioStreamBasicDescription& description);

    [[nodiscard]] double sampleRate() const noexcept { return description_.mSampleRate; }
    [[nodiscard]] std::uint32_t channelCount() const noexcept { return description_.mChannelsPerFrame; }
    [[nodiscard]] AVAudioCommonFormat commonFormat() const noexcept { return commonFormat_; }
    /// False for non-interleaved linear PCM, true otherwise (compressed formats included).
    [[nodiscard]] bool isInterleaved() const noexcept {
        return !isLinearPCM() || (description_.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    }
    [[nodiscard]] bool isLinearPCM() const noexcept { return description_.mFormatID == kAudioFormatLinearPCM; }
    [[nodiscard]] const AudioStreamBasicDescription& streamDescription() const noexcept { return description_; }

    /// For example "2 ch, 44100 Hz, Float32, non-interleaved" or "1 ch, 48000 Hz, 'opus'".
    [[nodiscard]] std::string description() const;

    /// Formats are equal when their stream descriptions are.
    friend bool operator==(const AVAudioFormat& a, const AVAudioFormat& b) noexcept {
        return a.description_ == b.description_;
    }

    /// For the factories only.
    AVAudioFormat(PrivateTag, const AudioStreamBasicDescription& description, AVAudioCommonFormat commonFormat);

private:
    AudioStreamBasicDescription description_;
    AVAudioCommonFormat commonFormat_;
};

}  // namespace Tervane
