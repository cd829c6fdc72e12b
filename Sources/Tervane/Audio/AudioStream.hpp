#pragma once

#include <Tervane/Audio/AudioConverter.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Platform/CMSampleBuffer.hpp>
#include <Tervane/Platform/Error.hpp>

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ranges>
#include <shared_mutex>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace Tervane {

/// How a chunk is taken from the stream's buffer.
enum class AudioStreamChunkingStrategy {
    /// Chunks start `skipSize` samples apart; an overflow drops the oldest samples.
    useFixedSkip,
    /// Each chunk is the newest samples; an overflow keeps only what the next chunk needs.
    useMostRecent,
};

/// What the stream delivers before a full chunk has been written.
enum class AudioStreamStartupStrategy {
    /// The first chunk is due after one hop: the overlap before it counts as silence.
    startSilent,
    /// Chunks grow by one hop from `skipSize` until they reach `chunkSize`.
    rampUpChunkSize,
    /// Nothing until a whole chunk has been written.
    waitForFullChunk,
};

/// Why a stream could not be made.
class AudioStreamError final : public Error {
public:
    enum class Kind { bufferTooSmall, invalidChunkSkip, invalidChunkDuration };

    static AudioStreamError bufferTooSmall() { return AudioStreamError(Kind::bufferTooSmall); }
    static AudioStreamError invalidChunkSkip() { return AudioStreamError(Kind::invalidChunkSkip); }
    static AudioStreamError invalidChunkDuration() { return AudioStreamError(Kind::invalidChunkDuration); }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }

private:
    explicit AudioStreamError(Kind kind);

    Kind kind_;
};

/// The scheduling class of an asynchronous delivery, from the highest: `high` (also
/// `userInitiated`), `medium`, `low` (also `utility`), `background`. When more deliveries are
/// waiting than the stream has workers, the higher classes start first; the threads themselves
/// all run at the process's own priority.
enum class TaskPriority { high, medium, low, userInitiated, utility, background };

/// One analysis chunk and the stream time of its first sample.
struct AudioStreamChunk {
    std::vector<float> chunk;
    double chunkStartTime = 0;
};

/// Cuts audio blocks of any size into fixed-length, overlapping chunks of mono 32-bit float
/// samples at the stream's rate, for a bound callback or a polling consumer.
///
/// Every operation may be called from any thread: state changes are exclusive, queries shared.
/// Callbacks run outside the exclusive section, so a callback may read chunks, bind or unbind.
class AudioStream {
public:
    /// A consumer of chunks: the samples and the stream time of the first one. A synchronous
    /// callback may throw: the write that delivered the chunk then fails with that exception, and
    /// the chunks after it stay buffered.
    using Callback = std::function<void(std::vector<float> samples, double startTime)>;

    /// `chunkSkip` defaults to `chunkDuration`; the buffer holds `bufferCapacitySeconds`
    /// (default `chunkDuration` + `chunkSkip`) of samples. Throws `AudioStreamError` for sizes
    /// that make no chunk, and `std::invalid_argument` when no audio format has `sampleRate`.
    AudioStream(double chunkDuration, std::optional<double> chunkSkip, double streamStartTime,
                AudioStreamChunkingStrategy chunkingStrategy, AudioStreamStartupStrategy startupStrategy,
                double sampleRate, std::optional<double> bufferCapacitySeconds = std::nullopt);

    /// Waits for asynchronous deliveries already handed out; those still waiting for a worker run
    /// first. Safe to reach from inside such a delivery (the last owner releasing the stream).
    ~AudioStream();

    AudioStream(const AudioStream&) = delete;
    AudioStream& operator=(const AudioStream&) = delete;

    /// Appends a block; `atTime` places the block's end on the stream's time line (a later time
    /// pads the gap with silence, an earlier one moves the write position back over what was
    /// written). Then hands every complete chunk to a bound callback. An empty block does
    /// nothing. Throws `std::invalid_argument`, before anything changes, for a time that is not
    /// finite or lies beyond 2^53 samples.
    void write(std::span<const float> samples, std::optional<double> atTime = std::nullopt);

    /// Any other collection of floats.
    template <std::ranges::input_range Samples>
        requires std::same_as<std::ranges::range_value_t<Samples>, float> &&
                 (!std::convertible_to<const Samples&, std::span<const float>>)
    void write(const Samples& samples, std::optional<double> atTime = std::nullopt) {
        const std::vector<float> copy(std::ranges::begin(samples), std::ranges::end(samples));
        write(std::span<const float>(copy), atTime);
    }

    /// A PCM buffer in any format, converted to the stream's first. A conversion failure
    /// (`AudioConverterError`) leaves the stream unchanged.
    void write(const std::shared_ptr<AVAudioPCMBuffer>& buffer, std::optional<double> atTime = std::nullopt);
    /// A sample buffer, as a PCM buffer in its own format and then converted.
    void write(const std::shared_ptr<CMSampleBuffer>& sampleBuffer, std::optional<double> atTime = std::nullopt);

    /// Takes the next chunk, or nothing when none is complete.
    [[nodiscard]] std::optional<AudioStreamChunk> readChunkIfAvailable();

    /// Calls `body(samples, startTime)` with the next chunk as a `Collection` and returns what it
    /// returns (true for a body without a result); nothing when no chunk is complete.
    template <typename Collection = std::vector<float>, typename Body>
    auto withChunkIfAvailable(Body&& body) {
        using Result = std::invoke_result_t<Body, Collection, double>;
        std::optional<AudioStreamChunk> next = readChunkIfAvailable();
        if constexpr (std::is_void_v<Result>) {
            if (!next) {
                return false;
            }
            std::invoke(std::forward<Body>(body), toCollection<Collection>(std::move(next->chunk)),
                        next->chunkStartTime);
            return true;
        } else {
            if (!next) {
                return std::optional<Result>();
            }
            return std::optional<Result>(std::invoke(std::forward<Body>(body),
                                                     toCollection<Collection>(std::move(next->chunk)),
                                                     next->chunkStartTime));
        }
    }

    /// Delivers chunks to `callback` on the writer's thread, from the next write on (chunks
    /// already waiting included). Replaces any earlier binding.
    void bind(Callback callback);

    /// As `bind(callback)`, with the samples as a `Collection`.
    template <typename Collection, typename Body>
    void bind(Body body) {
        bind(Callback(adapt<Collection>(std::move(body))));
    }

    /// Delivers each chunk in its own task of class `priority`; the writer does not wait, and
    /// deliveries may overlap and finish out of order. An exception from such a callback has no
    /// caller to reach and ends that delivery only.
    void bind(TaskPriority priority, Callback callback);

    template <typename Collection, typename Body>
    void bind(TaskPriority priority, Body body) {
        bind(priority, Callback(adapt<Collection>(std::move(body))));
    }

    /// Removes the callback; chunks stay for polling.
    void unbind();

    [[nodiscard]] double sampleRate() const noexcept { return sampleRate_; }
    [[nodiscard]] double chunkDuration() const noexcept { return chunkDuration_; }
    [[nodiscard]] double chunkSkip() const noexcept { return chunkSkip_; }
    [[nodiscard]] std::int64_t chunkSize() const noexcept { return chunkSize_; }
    [[nodiscard]] std::int64_t skipSize() const noexcept { return skipSize_; }
    [[nodiscard]] AudioStreamChunkingStrategy chunkingStrategy() const noexcept { return chunkingStrategy_; }
    [[nodiscard]] double chunkOverlap() const noexcept { return chunkDuration_ - chunkSkip_; }
    [[nodiscard]] std::int64_t overlapSize() const noexcept { return chunkSize_ - skipSize_; }
    /// True when a chunk is complete.
    [[nodiscard]] bool hasNewChunk() const;

private:
    struct Binding {
        Callback callback;
        std::optional<TaskPriority> priority;  // set for asynchronous delivery
    };
    class TaskRunner;

    template <typename Collection>
    static Collection toCollection(std::vector<float>&& samples) {
        if constexpr (std::is_same_v<Collection, std::vector<float>>) {
            return std::move(samples);
        } else {
            return Collection(samples.begin(), samples.end());
        }
    }

    template <typename Collection, typename Body>
    static auto adapt(Body body) {
        return [body = std::move(body)](std::vector<float> samples, double startTime) mutable {
            body(toCollection<Collection>(std::move(samples)), startTime);
        };
    }

    void append(std::span<const float> samples);
    void appendZeros(std::int64_t count, std::int64_t blockLength);
    [[nodiscard]] std::int64_t makeRoom(std::int64_t count, std::int64_t room, std::int64_t cap);
    void forgetOldest(std::int64_t count);
    [[nodiscard]] std::int64_t chunkLimit() const noexcept;
    [[nodiscard]] std::shared_ptr<const Binding> currentBinding() const;
    void deliver(const std::shared_ptr<const Binding>& binding, AudioStreamChunk chunk);

    double sampleRate_;
    double chunkDuration_;
    double chunkSkip_;
    std::int64_t chunkSize_;
    std::int64_t skipSize_;
    AudioStreamChunkingStrategy chunkingStrategy_;

    // Guarded by `mutex_`.
    std::int64_t writeIndex_ = 0;  // valid samples at the front of `buffer_`
    std::int64_t temporaryChunkSize_ = 0;
    double bufferStartTime_ = 0;  // stream time of `buffer_[0]`
    std::vector<float> buffer_;
    std::shared_ptr<const Binding> binding_;
    mutable std::shared_mutex mutex_;

    AudioConverter converter_;
    // Last, so that it stops before anything a running delivery might still reach is gone.
    std::unique_ptr<TaskRunner> tasks_;
};

}  // namespace Tervane
