#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace Tervane::AudioWAV {

/// A mono 16-bit PCM WAV file (the canonical 44-byte header, then the samples), peak-normalised:
/// the loudest sample becomes full scale unless every sample is 0. The header states
/// `sampleRate` truncated to whole hertz.
/// Throws `std::invalid_argument` for a sample rate that is not finite, is negative, or whose
/// byte rate would not fit 32 bits, and `std::length_error` when the data would not fit a WAV.
[[nodiscard]] std::vector<std::uint8_t> data(std::span<const float> samples, double sampleRate);

}  // namespace Tervane::AudioWAV
