#pragma once

#include <cstdint>

namespace Tervane {

using AudioFormatID = std::uint32_t;
using AudioFormatFlags = std::uint32_t;

/// Four-character codes identify formats; the first character is the most significant byte.
[[nodiscard]] constexpr AudioFormatID fourCharacterCode(const char (&code)[5]) noexcept {
    return (static_cast<AudioFormatID>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<AudioFormatID>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<AudioFormatID>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<AudioFormatID>(static_cast<unsigned char>(code[3]));
}

/// Uncompressed samples, described by the flags and sizes below.
inline constexpr AudioFormatID kAudioFormatLinearPCM = fourCharacterCode("lpcm");
/// Compressed codecs a file may hold; only file formats use them.
inline constexpr AudioFormatID kAudioFormatFLAC = fourCharacterCode("flac");
inline constexpr AudioFormatID kAudioFormatMPEGLayer3 = fourCharacterCode(".mp3");
inline constexpr AudioFormatID kAudioFormatMPEG4AAC = fourCharacterCode("aac ");
inline constexpr AudioFormatID kAudioFormatOpus = fourCharacterCode("opus");
inline constexpr AudioFormatID kAudioFormatAppleLossless = fourCharacterCode("alac");

inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1U << 0;
inline constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1U << 1;
inline constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1U << 2;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1U << 3;
inline constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1U << 5;

/// The layout of a stream of audio. For linear PCM a packet is one frame; `mBytesPerFrame` is
/// the size of one frame in one buffer: all channels when interleaved, one channel when not
/// (each channel then has a buffer of its own). Compressed formats leave the sizes 0.
struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    AudioFormatID mFormatID = 0;
    AudioFormatFlags mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;

    friend bool operator==(const AudioStreamBasicDescription&, const AudioStreamBasicDescription&) = default;
};

}  // namespace Tervane
