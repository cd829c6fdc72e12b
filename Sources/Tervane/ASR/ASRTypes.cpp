#include <Tervane/ASR/ASRTypes.hpp>

#include <cmath>

namespace Tervane {

ASRError::ASRError(Kind kind, std::string message)
    : Error(describe(kind, message)), kind_(kind), message_(std::move(message)) {}

std::string ASRError::describe(Kind kind, const std::string& message) {
    switch (kind) {
        case Kind::processingFailed: return "ASR processing failed: " + message;
        case Kind::unsupportedPlatform: return message;
        case Kind::notInitialized: return "AsrManager not initialized. Call initialize() first.";
        case Kind::invalidAudioData:
            return "Invalid audio data provided. Must be at least 1 second of 16kHz audio.";
        case Kind::modelLoadFailed: return "Failed to load Parakeet CoreML models.";
        case Kind::modelCompilationFailed: return "CoreML model compilation failed after recovery attempts.";
    }
    return message;
}

int ASRConstants::calculateEncoderFrames(std::int64_t samples) noexcept {
    return static_cast<int>(std::ceil(static_cast<double>(samples) / samplesPerEncoderFrame));
}

}  // namespace Tervane
