#include <Tervane/ASR/Streaming/StreamingAsrError.hpp>

namespace Tervane {

std::string_view audioSourceName(AudioSource source) noexcept {
    return source == AudioSource::system ? "system" : "microphone";
}

StreamingAsrError::StreamingAsrError(Kind kind, std::string description)
    : Error(std::move(description)), kind_(kind) {}

std::string StreamingAsrError::describe(const std::exception_ptr& failure) {
    if (!failure) {
        return "Unknown error";
    }
    try {
        std::rethrow_exception(failure);
    } catch (const Error& error) {
        return error.description();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unknown error";
    }
}

StreamingAsrError StreamingAsrError::streamAlreadyExists(AudioSource source) {
    StreamingAsrError error(Kind::streamAlreadyExists,
                            "A stream already exists for source: " + std::string(audioSourceName(source)));
    error.source_ = source;
    return error;
}

StreamingAsrError StreamingAsrError::audioBufferProcessingFailed(std::exception_ptr failure) {
    StreamingAsrError error(Kind::audioBufferProcessingFailed, "Audio buffer processing failed: " + describe(failure));
    error.underlying_ = std::move(failure);
    return error;
}

StreamingAsrError StreamingAsrError::audioConversionFailed(std::exception_ptr failure) {
    StreamingAsrError error(Kind::audioConversionFailed, "Audio conversion failed: " + describe(failure));
    error.underlying_ = std::move(failure);
    return error;
}

StreamingAsrError StreamingAsrError::modelProcessingFailed(std::exception_ptr failure) {
    StreamingAsrError error(Kind::modelProcessingFailed, "Model processing failed: " + describe(failure));
    error.underlying_ = std::move(failure);
    return error;
}

StreamingAsrError StreamingAsrError::invalidConfiguration(std::string message) {
    StreamingAsrError error(Kind::invalidConfiguration, "Invalid configuration: " + message);
    error.message_ = std::move(message);
    return error;
}

StreamingAsrError StreamingAsrError::modelsNotLoaded() {
    return {Kind::modelsNotLoaded, "ASR models have not been loaded"};
}

StreamingAsrError StreamingAsrError::bufferOverflow() {
    return {Kind::bufferOverflow, "Audio buffer overflow occurred"};
}

}  // namespace Tervane
