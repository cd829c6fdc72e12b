#pragma once

#include <Tervane/Platform/Error.hpp>

#include <string>

namespace Tervane {

/// The failure type of the offline diarization pipeline, from the configuration check to the
/// manager.
class OfflineDiarizationError final : public Error {
public:
    enum class Kind {
        modelNotLoaded,
        invalidConfiguration,
        invalidBatchSize,
        processingFailed,
        exportFailed,
        noSpeechDetected,
    };

    static OfflineDiarizationError modelNotLoaded(std::string message) {
        return {Kind::modelNotLoaded, std::move(message)};
    }
    static OfflineDiarizationError invalidConfiguration(std::string message) {
        return {Kind::invalidConfiguration, std::move(message)};
    }
    static OfflineDiarizationError invalidBatchSize(std::string message) {
        return {Kind::invalidBatchSize, std::move(message)};
    }
    static OfflineDiarizationError processingFailed(std::string message) {
        return {Kind::processingFailed, std::move(message)};
    }
    static OfflineDiarizationError exportFailed(std::string message) {
        return {Kind::exportFailed, std::move(message)};
    }
    static OfflineDiarizationError noSpeechDetected() { return {Kind::noSpeechDetected, {}}; }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    /// The case's payload; empty for `noSpeechDetected`.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    /// The same text as `description()`.
    [[nodiscard]] const std::string& errorDescription() const noexcept { return description(); }

private:
    OfflineDiarizationError(Kind kind, std::string message);
    static std::string describe(Kind kind, const std::string& message);

    Kind kind_;
    std::string message_;
};

}  // namespace Tervane
