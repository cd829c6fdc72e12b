#include <Tervane/VAD/VadTypes.hpp>

#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace Tervane {

namespace {

std::int64_t truncatedSample(double seconds, double sampleRate) noexcept {
    const double samples = seconds * sampleRate;
    // Times made from sample positions (position ÷ rate) come back a hair below the position
    // for many positions; truncating those would lose a sample at the segment's edge.
    const double nearest = std::round(samples);
    const double whole = std::abs(samples - nearest) < 1e-6 ? nearest : std::trunc(samples);
    // Out-of-range values saturate instead of overflowing the conversion.
    if (std::isnan(whole)) return 0;
    if (whole <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    if (whole >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(whole);
}

[[noreturn]] void refuse(const char* field, double value, const char* range) {
    throw std::invalid_argument(std::string("VadSegmentationConfig: ") + field + " must be " + range + ", got " +
                                NumberText::shortest(value));
}

void requireDuration(const char* field, double value) {
    if (!std::isfinite(value) || value < 0) refuse(field, value, "a finite number of seconds >= 0");
}

void requireUnit(const char* field, float value) {
    if (!(value >= 0.0F && value <= 1.0F)) refuse(field, value, "between 0 and 1");
}

}  // namespace

VadState VadState::initial() {
    return {std::vector<float>(stateSize, 0.0F), std::vector<float>(stateSize, 0.0F),
            std::vector<float>(contextLength, 0.0F)};
}

VadError::VadError(Kind kind, std::string message)
    : Error(describe(kind, message)), kind_(kind), message_(std::move(message)) {}

std::string VadError::describe(Kind kind, const std::string& message) {
    switch (kind) {
        case Kind::modelProcessingFailed:
            return "Model processing failed: " + message;
        case Kind::notInitialized:
            return "VAD system not initialized";
        case Kind::modelLoadingFailed:
            return "Failed to load VAD model";
    }
    return "Failed to load VAD model";
}

VadSegmentationConfig::VadSegmentationConfig(const Fields& fields) : fields_(fields) {
    requireDuration("minSpeechDuration", fields.minSpeechDuration);
    requireDuration("minSilenceDuration", fields.minSilenceDuration);
    if (!(fields.maxSpeechDuration > 0)) {
        refuse("maxSpeechDuration", fields.maxSpeechDuration, "a number of seconds > 0 (or infinity)");
    }
    requireDuration("speechPadding", fields.speechPadding);
    requireUnit("silenceThresholdForSplit", fields.silenceThresholdForSplit);
    if (fields.negativeThreshold) requireUnit("negativeThreshold", *fields.negativeThreshold);
    if (!std::isfinite(fields.negativeThresholdOffset) || fields.negativeThresholdOffset < 0) {
        refuse("negativeThresholdOffset", fields.negativeThresholdOffset, "a finite number >= 0");
    }
    requireDuration("minSilenceAtMaxSpeech", fields.minSilenceAtMaxSpeech);
}

VadSegmentationConfig::VadSegmentationConfig(double minSpeechDuration, double minSilenceDuration,
                                             double maxSpeechDuration, double speechPadding,
                                             float silenceThresholdForSplit, std::optional<float> negativeThreshold,
                                             float negativeThresholdOffset, double minSilenceAtMaxSpeech,
                                             bool useMaxPossibleSilenceAtMaxSpeech)
    : VadSegmentationConfig(Fields{minSpeechDuration, minSilenceDuration, maxSpeechDuration, speechPadding,
                                   silenceThresholdForSplit, negativeThreshold, negativeThresholdOffset,
                                   minSilenceAtMaxSpeech, useMaxPossibleSilenceAtMaxSpeech}) {}

float VadSegmentationConfig::effectiveNegativeThreshold(float baseThreshold) const noexcept {
    if (fields_.negativeThreshold) return *fields_.negativeThreshold;
    return std::max(baseThreshold - fields_.negativeThresholdOffset, 0.01F);
}

std::int64_t VadSegment::startSample(double sampleRate) const noexcept {
    return truncatedSample(startTime, sampleRate);
}

std::int64_t VadSegment::endSample(double sampleRate) const noexcept {
    return truncatedSample(endTime, sampleRate);
}

}  // namespace Tervane
