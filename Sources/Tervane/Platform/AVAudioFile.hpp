#pragma once

#include <Tervane/Platform/AVAudioFileError.hpp>
#include <Tervane/Platform/AVAudioFormat.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Platform/AVAudioTypes.hpp>

#include <filesystem>
#include <memory>

namespace Tervane {

/// An audio file opened for reading: any container and codec FFmpeg decodes. Frames come out
/// in the processing format (32-bit float, non-interleaved, at the file's own sample rate and
/// channel count), in order, from the start. Not safe to use from several threads at once.
///
/// A packet the decoder rejects as damaged is skipped with a warning in the log, so one bad
/// packet does not end the file; a failure of the input itself fails `read`.
class AVAudioFile {
public:
    /// Throws `AVAudioFileError` when the file is missing or unreadable (with the system's
    /// reason), is not a media file, or holds no decodable audio stream.
    explicit AVAudioFile(const std::filesystem::path& forReading);
    ~AVAudioFile();
    AVAudioFile(AVAudioFile&&) noexcept;
    AVAudioFile& operator=(AVAudioFile&&) noexcept;

    [[nodiscard]] const std::filesystem::path& url() const noexcept;
    [[nodiscard]] const std::shared_ptr<AVAudioFormat>& processingFormat() const noexcept;
    /// How the file stores its audio: linear PCM for PCM codecs, otherwise `otherFormat` with the
    /// codec's format id.
    [[nodiscard]] const std::shared_ptr<AVAudioFormat>& fileFormat() const noexcept;

    /// The number of frames a full read yields. Containers rarely state it exactly (encoder
    /// delay, damaged packets), so the first call decodes the file once on the side, unless
    /// reading has already reached the end. Throws `AVAudioFileError` when that pass fails.
    [[nodiscard]] AVAudioFramePosition length() const;
    /// Frames read so far.
    [[nodiscard]] AVAudioFramePosition framePosition() const noexcept;

    /// Reads up to the buffer's capacity.
    void read(AVAudioPCMBuffer& into);
    /// Reads up to `frameCount` frames (at most the buffer's capacity) and sets the buffer's
    /// `frameLength` to the number read: fewer only at the end of the file, 0 once it is reached.
    /// Throws `AVAudioFileError` for a buffer not in the processing format and for a failure of
    /// the input; frames decoded before such a failure are returned first and the failure comes
    /// with the next call.
    void read(AVAudioPCMBuffer& into, AVAudioFrameCount frameCount);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tervane
