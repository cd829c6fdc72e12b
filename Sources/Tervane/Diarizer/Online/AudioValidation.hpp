#pragma once

#include <span>
#include <string>
#include <vector>

namespace Tervane {

struct AudioValidationResult {
    bool isValid = false;
    /// Length at 16 kHz.
    float durationSeconds = 0;
    std::vector<std::string> issues;

    friend bool operator==(const AudioValidationResult&, const AudioValidationResult&) = default;
};

/// Sanity checks on the online diarizer's input audio and on speaker embeddings. No state.
struct AudioValidation {
    /// Too short (under one second at 16 kHz), empty, and too quiet (RMS below 0.01) are
    /// reported in that order; a quiet signal is invalid whatever else holds.
    [[nodiscard]] AudioValidationResult validateAudio(std::span<const float> samples) const;
    /// True for a non-empty embedding of finite values whose norm exceeds 0.1.
    [[nodiscard]] bool validateEmbedding(std::span<const float> embedding) const;
};

}  // namespace Tervane
