#pragma once

#include <Tervane/Platform/Error.hpp>

#include <string>

namespace Tervane {

/// Failures of the online diarizer, also raised by the diarizer-facing multi-array helpers.
class DiarizerError final : public Error {
public:
    enum class Kind {
        processingFailed,
        notInitialized,
        modelDownloadFailed,
        modelCompilationFailed,
        embeddingExtractionFailed,
        invalidAudioData,
        memoryAllocationFailed,
        invalidArrayBounds,
    };

    static DiarizerError processingFailed(std::string message) {
        return DiarizerError(Kind::processingFailed, std::move(message));
    }
    static DiarizerError notInitialized() { return DiarizerError(Kind::notInitialized); }
    static DiarizerError modelDownloadFailed() { return DiarizerError(Kind::modelDownloadFailed); }
    static DiarizerError modelCompilationFailed() { return DiarizerError(Kind::modelCompilationFailed); }
    static DiarizerError embeddingExtractionFailed() { return DiarizerError(Kind::embeddingExtractionFailed); }
    static DiarizerError invalidAudioData() { return DiarizerError(Kind::invalidAudioData); }
    static DiarizerError memoryAllocationFailed() { return DiarizerError(Kind::memoryAllocationFailed); }
    static DiarizerError invalidArrayBounds() { return DiarizerError(Kind::invalidArrayBounds); }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    /// The message of `processingFailed`; empty for the other cases.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    explicit DiarizerError(Kind kind, std::string message = {})
        : Error(describe(kind, message)), kind_(kind), message_(std::move(message)) {}

    static std::string describe(Kind kind, const std::string& message) {
        switch (kind) {
        case Kind::processingFailed: return "Processing failed: " + message;
        case Kind::notInitialized: return "Diarization system not initialized. Call initialize() first.";
        case Kind::modelDownloadFailed: return "Failed to download required models.";
        case Kind::modelCompilationFailed: return "Failed to compile CoreML models.";
        case Kind::embeddingExtractionFailed: return "Failed to extract speaker embedding from audio.";
        case Kind::invalidAudioData: return "Invalid audio data provided.";
        case Kind::memoryAllocationFailed: return "Failed to allocate ANE-aligned memory.";
        case Kind::invalidArrayBounds: return "Array bounds exceeded for zero-copy view.";
        }
        return "Processing failed: " + message;
    }

    Kind kind_;
    std::string message_;
};

}  // namespace Tervane
