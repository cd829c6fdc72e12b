#pragma once

// Audio for tests, made at test time: sample generators, a WAV writer, encoding to other
// containers with the `ffmpeg` program, speech from `espeak-ng`, and PCM and sample buffers
// from samples.

#include <Tervane/Platform/AVAudioCommonFormat.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Platform/CMSampleBuffer.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace Tervane::Testing {

/// Audio as one list of samples per channel, all of one length.
using Channels = std::vector<std::vector<float>>;

/// amplitude × sin(2π × frequency × t + phase) at t = i ÷ sampleRate, for ⌊seconds × rate⌋ samples.
[[nodiscard]] std::vector<float> tone(double frequency, double seconds, double sampleRate, float amplitude = 0.5F,
                                      double phase = 0);
[[nodiscard]] std::vector<float> silence(double seconds, double sampleRate);
/// Uniform white noise in [−amplitude, amplitude], the same for the same seed.
[[nodiscard]] std::vector<float> noise(double seconds, double sampleRate, float amplitude = 0.25F, std::uint32_t seed = 1);

enum class WavEncoding { int16, float32 };

/// A canonical WAV file. 16-bit samples are round(v × 32768), clamped: a decoder that divides
/// by 32768 gives back `quantizedToInt16(v)`.
void writeWav(const std::filesystem::path& path, const Channels& channels, double sampleRate,
              WavEncoding encoding = WavEncoding::int16);
/// What 16-bit storage makes of these samples, as a decoder reads them back.
[[nodiscard]] Channels quantizedToInt16(const Channels& channels);

/// The kinds of file `writeAudioFile` makes. The WAV kinds are written here; the others are
/// encoded from a 16-bit WAV by `ffmpeg` (FLAC; MP3 with LAME at 128 kbit/s; Opus in Ogg at
/// 96 kbit/s, which always decodes at 48 kHz; AAC in M4A at 128 kbit/s).
enum class AudioFileKind { wavInt16, wavFloat32, flac, mp3, oggOpus, m4aAac };

/// ".wav", ".flac", ".mp3", ".opus" or ".m4a".
[[nodiscard]] std::string fileExtension(AudioFileKind kind);
/// "wav16", "wavFloat32", "flac", "mp3", "oggOpus" or "m4aAac": usable in test names.
[[nodiscard]] std::string kindName(AudioFileKind kind);
/// True when this machine can make the kind (the WAV kinds always; the others need `ffmpeg`
/// with the encoder).
[[nodiscard]] bool canWrite(AudioFileKind kind);
/// Why `canWrite` is false, for a skip message.
[[nodiscard]] std::string cannotWriteReason(AudioFileKind kind);

/// Writes `directory / (stem + fileExtension(kind))` and returns its path. Throws
/// `std::runtime_error` with the encoder's messages when encoding fails.
std::filesystem::path writeAudioFile(const std::filesystem::path& directory, const std::string& stem,
                                     AudioFileKind kind, const Channels& channels, double sampleRate);

/// True when `espeak-ng` is installed.
[[nodiscard]] bool canSpeak();
/// Speech for `text` from `espeak-ng` (mono, 16-bit, at its own rate of 22050 Hz) as a WAV file.
void writeSpeechWav(const std::filesystem::path& path, const std::string& text);

/// A buffer holding `channels` in this layout; 16- and 32-bit integers are the samples scaled
/// by 2^15 or 2^31, rounded and clamped.
[[nodiscard]] std::shared_ptr<AVAudioPCMBuffer> makePCMBuffer(
    const Channels& channels, double sampleRate,
    AVAudioCommonFormat format = AVAudioCommonFormat::pcmFormatFloat32, bool interleaved = false);
/// The first `frameLength` frames of a float32 or int16 buffer, per channel (int16 divided by 32768).
[[nodiscard]] Channels channelsOf(const AVAudioPCMBuffer& buffer);
/// A sample buffer with the bytes `makePCMBuffer` would hold, in the same layout.
[[nodiscard]] std::shared_ptr<CMSampleBuffer> makeSampleBuffer(
    const Channels& channels, double sampleRate,
    AVAudioCommonFormat format = AVAudioCommonFormat::pcmFormatFloat32, bool interleaved = false);

}  // namespace Tervane::Testing

/// Skips the current test when this machine cannot make a kind of audio file.
#define TERVANE_SKIP_UNLESS_CAN_WRITE(kind)                                                \
    if (!::Tervane::Testing::canWrite(kind))                                               \
    GTEST_SKIP() << ::Tervane::Testing::cannotWriteReason(kind)
