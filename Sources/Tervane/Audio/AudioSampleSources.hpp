#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

namespace Tervane {

/// Random access to one recording: mono 32-bit float samples at the diarizer's sample rate.
/// Sources are immutable once made and may be read from several threads at once.
class StreamingAudioSampleSource {
public:
    virtual ~StreamingAudioSampleSource() = default;

    [[nodiscard]] virtual std::int64_t sampleCount() const = 0;

    /// Copies up to `count` samples starting at sample `offset` to the start of `destination`
    /// and leaves the rest of it as it was. A negative offset counts as 0 (without shortening
    /// `count`); nothing is copied for `count` ≤ 0, an offset at or past the end, or an empty
    /// source; never more than `destination` holds. Declared as able to fail for sources that
    /// read from somewhere that can; the two here never do.
    virtual void copySamples(std::span<float> destination, std::int64_t offset, std::int64_t count) const = 0;

protected:
    /// Copies from `samples` with the rules above.
    static void copyRange(std::span<const float> samples, std::span<float> destination, std::int64_t offset,
                          std::int64_t count) noexcept;
};

/// Samples held in memory. Copies of the source share the one sample list.
class ArrayAudioSampleSource final : public StreamingAudioSampleSource {
public:
    explicit ArrayAudioSampleSource(std::vector<float> samples);

    [[nodiscard]] const std::vector<float>& samples() const noexcept { return *samples_; }
    [[nodiscard]] std::int64_t sampleCount() const override;
    void copySamples(std::span<float> destination, std::int64_t offset, std::int64_t count) const override;

private:
    std::shared_ptr<const std::vector<float>> samples_;
};

/// Samples in a temporary file of raw native-endian 32-bit floats, mapped read-only into
/// memory. Copies share the mapping, which is released with the last copy; the file itself
/// stays until the owner calls `cleanup()`.
class DiskBackedAudioSampleSource final : public StreamingAudioSampleSource {
public:
    /// Maps `fileURL` read-only. An empty file gives an empty source without a mapping. Throws
    /// `FileError` when the file cannot be opened, inspected or mapped.
    explicit DiskBackedAudioSampleSource(std::filesystem::path fileURL);

    /// The mapped bytes (empty for an empty file).
    [[nodiscard]] std::span<const std::byte> mappedData() const noexcept;
    [[nodiscard]] std::int64_t floatStride() const noexcept { return 4; }
    [[nodiscard]] const std::filesystem::path& fileURL() const noexcept { return fileURL_; }
    [[nodiscard]] std::int64_t sampleCount() const override { return sampleCount_; }
    void copySamples(std::span<float> destination, std::int64_t offset, std::int64_t count) const override;

    /// Removes the temporary file; a failure to remove it is ignored. Must not race with reads
    /// of this source; the mapping stays readable until the last copy goes.
    void cleanup() const;

private:
    struct Mapping;
    void releasePages(std::int64_t offset, std::int64_t count) const noexcept;

    std::shared_ptr<const Mapping> mapping_;
    std::filesystem::path fileURL_;
    std::int64_t sampleCount_ = 0;
};

}  // namespace Tervane
