#include <Tervane/Diarizer/Online/AudioValidation.hpp>

#include <cmath>

namespace Tervane {

namespace {

constexpr double validationSampleRate = 16000;
constexpr double minimumRms = 0.01;
constexpr double minimumEmbeddingNorm = 0.1;

}  // namespace

AudioValidationResult AudioValidation::validateAudio(std::span<const float> samples) const {
    AudioValidationResult result;
    const double seconds = static_cast<double>(samples.size()) / validationSampleRate;
    result.durationSeconds = static_cast<float>(seconds);
    if (seconds < 1) {
        result.issues.emplace_back("Audio too short (minimum 1 second)");
    }
    if (samples.empty()) {
        result.issues.emplace_back("No audio data");
    }
    double energy = 0;
    for (const float sample : samples) {
        energy += static_cast<double>(sample) * static_cast<double>(sample);
    }
    const double rms = samples.empty() ? 0.0 : std::sqrt(energy / static_cast<double>(samples.size()));
    if (rms < minimumRms) {
        result.issues.emplace_back("Audio too quiet or silent");
        result.isValid = false;
        return result;
    }
    result.isValid = result.issues.empty();
    return result;
}

bool AudioValidation::validateEmbedding(std::span<const float> embedding) const {
    if (embedding.empty()) {
        return false;
    }
    double squares = 0;
    for (const float value : embedding) {
        if (!std::isfinite(value)) {
            return false;
        }
        squares += static_cast<double>(value) * static_cast<double>(value);
    }
    return std::sqrt(squares) > minimumEmbeddingNorm;
}

}  // namespace Tervane
