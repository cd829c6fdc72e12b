#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>

namespace Tervane {

OfflineDiarizationError::OfflineDiarizationError(Kind kind, std::string message)
    : Error(describe(kind, message)), kind_(kind), message_(std::move(message)) {}

std::string OfflineDiarizationError::describe(Kind kind, const std::string& message) {
    switch (kind) {
    case Kind::modelNotLoaded: return "Model not loaded: " + message;
    case Kind::invalidConfiguration: return "Invalid configuration: " + message;
    case Kind::invalidBatchSize: return "Invalid batch size: " + message;
    case Kind::processingFailed: return "Processing failed: " + message;
    case Kind::exportFailed: return "Failed to export data: " + message;
    case Kind::noSpeechDetected: return "No speech detected in audio";
    }
    return "Processing failed: " + message;
}

}  // namespace Tervane
