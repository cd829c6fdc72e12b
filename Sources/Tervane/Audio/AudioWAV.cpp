#include <Tervane/Audio/AudioWAV.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace Tervane::AudioWAV {

namespace {

constexpr std::size_t headerBytes = 44;
// The RIFF size field counts everything after itself: the data plus 36 header bytes.
constexpr std::uint64_t largestDataBytes = std::numeric_limits<std::uint32_t>::max() - 36;

void appendUInt16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void appendUInt32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
    }
}

void appendTag(std::vector<std::uint8_t>& bytes, const char (&tag)[5]) {
    bytes.insert(bytes.end(), tag, tag + 4);
}

std::int16_t pcm16(float v) {
    if (!(v < 1.0F)) {  // also NaN
        return std::numeric_limits<std::int16_t>::max();
    }
    return static_cast<std::int16_t>(std::max(v, -1.0F) * 32767.0F);
}

}  // namespace

std::vector<std::uint8_t> data(std::span<const float> samples, double sampleRate) {
    if (!std::isfinite(sampleRate) || sampleRate < 0 ||
        sampleRate * 2 >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()) + 1) {
        throw std::invalid_argument("AudioWAV: unusable sample rate " + std::to_string(sampleRate));
    }
    const std::uint64_t dataBytes = std::uint64_t{samples.size()} * 2;
    if (dataBytes > largestDataBytes) {
        throw std::length_error("AudioWAV: " + std::to_string(samples.size()) + " samples do not fit a WAV file");
    }

    float peak = samples.empty() ? 1.0F : 0.0F;
    for (const float v : samples) {
        peak = std::max(peak, std::fabs(v));  // NaN never wins
    }

    std::vector<std::uint8_t> bytes;
    bytes.reserve(headerBytes + dataBytes);
    appendTag(bytes, "RIFF");
    appendUInt32(bytes, static_cast<std::uint32_t>(dataBytes + 36));
    appendTag(bytes, "WAVE");
    appendTag(bytes, "fmt ");
    appendUInt32(bytes, 16);
    appendUInt16(bytes, 1);  // PCM
    appendUInt16(bytes, 1);  // channels
    appendUInt32(bytes, static_cast<std::uint32_t>(sampleRate));
    appendUInt32(bytes, static_cast<std::uint32_t>(sampleRate * 2));
    appendUInt16(bytes, 2);   // block alignment
    appendUInt16(bytes, 16);  // bits per sample
    appendTag(bytes, "data");
    appendUInt32(bytes, static_cast<std::uint32_t>(dataBytes));

    for (const float v : samples) {
        const float normalised = peak > 0 ? v / peak : v;
        appendUInt16(bytes, static_cast<std::uint16_t>(pcm16(normalised)));
    }
    return bytes;
}

}  // namespace Tervane::AudioWAV
