#pragma once

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/Platform/Error.hpp>

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace Tervane {

/// "microphone" or "system", as streams are named in messages.
[[nodiscard]] std::string_view audioSourceName(AudioSource source) noexcept;

/// The failures the streaming recogniser logs and recovers from. The cases that wrap a
/// failure keep it, so recovery and callers can still look at the original.
class StreamingAsrError final : public Error {
public:
    enum class Kind {
        streamAlreadyExists,
        audioBufferProcessingFailed,
        audioConversionFailed,
        modelProcessingFailed,
        invalidConfiguration,
        modelsNotLoaded,
        bufferOverflow
    };

    static StreamingAsrError streamAlreadyExists(AudioSource source);
    static StreamingAsrError audioBufferProcessingFailed(std::exception_ptr failure);
    static StreamingAsrError audioConversionFailed(std::exception_ptr failure);
    static StreamingAsrError modelProcessingFailed(std::exception_ptr failure);
    static StreamingAsrError invalidConfiguration(std::string message);
    static StreamingAsrError modelsNotLoaded();
    static StreamingAsrError bufferOverflow();

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    /// The source of `streamAlreadyExists`; none otherwise.
    [[nodiscard]] std::optional<AudioSource> source() const noexcept { return source_; }
    /// The wrapped failure of the three failure cases; null otherwise.
    [[nodiscard]] const std::exception_ptr& underlyingError() const noexcept { return underlying_; }
    /// The message of `invalidConfiguration`; empty otherwise.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

    /// The description of any failure: a library error's own text, `what()` of other
    /// standard exceptions, "Unknown error" for anything else.
    [[nodiscard]] static std::string describe(const std::exception_ptr& failure);

private:
    StreamingAsrError(Kind kind, std::string description);

    Kind kind_;
    std::optional<AudioSource> source_;
    std::exception_ptr underlying_;
    std::string message_;
};

}  // namespace Tervane
