#include <Tervane/Platform/AVAudioFormat.hpp>

#include <charconv>
#include <cmath>
#include <limits>

namespace Tervane {

namespace {

std::uint32_t bytesPerSample(AVAudioCommonFormat format) noexcept {
    switch (format) {
    case AVAudioCommonFormat::pcmFormatInt16: return 2;
    case AVAudioCommonFormat::pcmFormatFloat32:
    case AVAudioCommonFormat::pcmFormatInt32: return 4;
    case AVAudioCommonFormat::pcmFormatFloat64: return 8;
    case AVAudioCommonFormat::otherFormat: break;
    }
    return 0;
}

bool isPlausibleRate(double sampleRate) noexcept { return std::isfinite(sampleRate) && sampleRate > 0; }

AVAudioCommonFormat commonFormatOf(AudioFormatFlags flags, std::uint32_t bits, std::uint32_t sampleBytes) noexcept {
    if ((flags & kAudioFormatFlagIsFloat) != 0) {
        return bits == 32 ? AVAudioCommonFormat::pcmFormatFloat32 : AVAudioCommonFormat::pcmFormatFloat64;
    }
    if ((flags & kAudioFormatFlagIsSignedInteger) != 0 && bits == sampleBytes * 8) {
        if (bits == 16) {
            return AVAudioCommonFormat::pcmFormatInt16;
        }
        if (bits == 32) {
            return AVAudioCommonFormat::pcmFormatInt32;
        }
    }
    return AVAudioCommonFormat::otherFormat;
}

/// The byte width of one sample of a linear-PCM description, or 0 when the description is not
/// one a buffer could hold.
std::uint32_t linearPCMSampleBytes(const AudioStreamBasicDescription& d) noexcept {
    const AudioFormatFlags flags = d.mFormatFlags;
    const bool isFloat = (flags & kAudioFormatFlagIsFloat) != 0;
    if (d.mFramesPerPacket != 1 || d.mBytesPerPacket != d.mBytesPerFrame || d.mBitsPerChannel == 0 ||
        (flags & kAudioFormatFlagIsBigEndian) != 0 || (isFloat && (flags & kAudioFormatFlagIsSignedInteger) != 0)) {
        return 0;
    }
    const bool nonInterleaved = (flags & kAudioFormatFlagIsNonInterleaved) != 0;
    if (!nonInterleaved && d.mBytesPerFrame % d.mChannelsPerFrame != 0) {
        return 0;
    }
    const std::uint32_t sampleBytes = nonInterleaved ? d.mBytesPerFrame : d.mBytesPerFrame / d.mChannelsPerFrame;
    const bool knownWidth = sampleBytes == 1 || sampleBytes == 2 || sampleBytes == 3 || sampleBytes == 4 || sampleBytes == 8;
    if (!knownWidth || d.mBitsPerChannel > sampleBytes * 8) {
        return 0;
    }
    if (isFloat && !((d.mBitsPerChannel == 32 || d.mBitsPerChannel == 64) && d.mBitsPerChannel == sampleBytes * 8)) {
        return 0;
    }
    return sampleBytes;
}

std::string numberText(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string fourCharacterText(AudioFormatID id) {
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((id >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text + "'";
}

std::string layoutText(const AudioStreamBasicDescription& d, AVAudioCommonFormat format) {
    switch (format) {
    case AVAudioCommonFormat::pcmFormatFloat32: return "Float32";
    case AVAudioCommonFormat::pcmFormatFloat64: return "Float64";
    case AVAudioCommonFormat::pcmFormatInt16: return "Int16";
    case AVAudioCommonFormat::pcmFormatInt32: return "Int32";
    case AVAudioCommonFormat::otherFormat: break;
    }
    if (d.mFormatID != kAudioFormatLinearPCM) {
        return fourCharacterText(d.mFormatID);
    }
    const char* kind = (d.mFormatFlags & kAudioFormatFlagIsFloat) != 0           ? "float"
                       : (d.mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0 ? "signed integer"
                                                                                  : "unsigned integer";
    return std::to_string(d.mBitsPerChannel) + "-bit " + kind;
}

}  // namespace

AVAudioFormat::AVAudioFormat(PrivateTag, const AudioStreamBasicDescription& description, AVAudioCommonFormat commonFormat)
    : description_(description), commonFormat_(commonFormat) {}

std::shared_ptr<AVAudioFormat> AVAudioFormat::make(AVAudioCommonFormat commonFormat, double sampleRate,
                                                   std::uint32_t channels, bool interleaved) {
    const std::uint32_t sampleBytes = bytesPerSample(commonFormat);
    if (sampleBytes == 0 || !isPlausibleRate(sampleRate) || channels == 0) {
        return nullptr;
    }
    const std::uint64_t frameBytes = interleaved ? std::uint64_t{sampleBytes} * channels : sampleBytes;
    if (frameBytes > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    const bool isFloat = commonFormat == AVAudioCommonFormat::pcmFormatFloat32 ||
                         commonFormat == AVAudioCommonFormat::pcmFormatFloat64;
    AudioStreamBasicDescription d;
    d.mSampleRate = sampleRate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked |
                     (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
    d.mBytesPerFrame = static_cast<std::uint32_t>(frameBytes);
    d.mBytesPerPacket = d.mBytesPerFrame;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = sampleBytes * 8;
    return std::make_shared<AVAudioFormat>(PrivateTag{}, d, commonFormat);
}

std::shared_ptr<AVAudioFormat> AVAudioFormat::make(const AudioStreamBasicDescription& description) {
    if (!isPlausibleRate(description.mSampleRate) || description.mChannelsPerFrame == 0 || description.mFormatID == 0) {
        return nullptr;
    }
    if (description.mFormatID != kAudioFormatLinearPCM) {
        return std::make_shared<AVAudioFormat>(PrivateTag{}, description, AVAudioCommonFormat::otherFormat);
    }
    const std::uint32_t sampleBytes = linearPCMSampleBytes(description);
    if (sampleBytes == 0) {
        return nullptr;
    }
    const AVAudioCommonFormat common = commonFormatOf(description.mFormatFlags, description.mBitsPerChannel, sampleBytes);
    if (common != AVAudioCommonFormat::otherFormat) {
        // The canonical description, so that equal layouts compare equal whatever flags
        // without meaning (such as a missing "packed") the caller's description carried.
        const bool interleaved = (description.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
        return make(common, description.mSampleRate, description.mChannelsPerFrame, interleaved);
    }
    return std::make_shared<AVAudioFormat>(PrivateTag{}, description, AVAudioCommonFormat::otherFormat);
}

std::string AVAudioFormat::description() const {
    std::string text = std::to_string(channelCount()) + " ch, " + numberText(sampleRate()) + " Hz, " +
                       layoutText(description_, commonFormat_);
    if (isLinearPCM()) {
        text += isInterleaved() ? ", interleaved" : ", non-interleaved";
    }
    return text;
}

}  // namespace Tervane
