#pragma once

#include <Tervane/Platform/Error.hpp>

#include <filesystem>
#include <string>

namespace Tervane {

/// A failure of `AVAudioFile`: the file could not be opened as audio, or reading it failed.
/// The description names the file and the reason, for example
/// `could not open audio file "/tmp/a.txt": the file holds no audio stream`.
class AVAudioFileError final : public Error {
public:
    enum class Kind {
        /// Missing, unreadable, or not a media file FFmpeg recognises.
        openFailed,
        /// A media file without an audio stream, or whose audio has no decoder here.
        noAudioStream,
        /// The input failed while being read or decoded.
        readFailed,
        /// The buffer handed to `read` is not in the file's processing format.
        bufferFormatMismatch,
    };

    /// `errorNumber` is the `errno` value behind the failure, 0 when there is none.
    AVAudioFileError(Kind kind, const std::filesystem::path& path, const std::string& reason, int errorNumber = 0)
        : Error(describe(kind, path, reason)), kind_(kind), path_(path), errorNumber_(errorNumber) {}

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    [[nodiscard]] int errorNumber() const noexcept { return errorNumber_; }

private:
    static std::string describe(Kind kind, const std::filesystem::path& path, const std::string& reason) {
        const std::string quoted = "\"" + path.string() + "\": " + reason;
        switch (kind) {
        case Kind::openFailed:
        case Kind::noAudioStream: return "could not open audio file " + quoted;
        case Kind::readFailed:
        case Kind::bufferFormatMismatch: return "could not read audio file " + quoted;
        }
        return "audio file " + quoted;
    }

    Kind kind_;
    std::filesystem::path path_;
    int errorNumber_;
};

}  // namespace Tervane
