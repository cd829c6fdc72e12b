#include <Tervane/Audio/AudioStream.hpp>

#include <Tervane/Platform/AVAudioFormat.hpp>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace Tervane {

namespace {

// Sample counts beyond this are not exact in a double, and stay far from int64 overflow when
// added together.
constexpr double largestCount = 9007199254740992.0;  // 2^53

std::optional<std::int64_t> roundedCount(double value) {
    const double rounded = std::round(value);  // halves away from zero
    if (!std::isfinite(rounded) || std::abs(rounded) > largestCount) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(rounded);
}

std::string text(double value) {
    std::ostringstream stream;
    stream << value;
    return stream.str();
}

std::string defaultDescription(AudioStreamError::Kind kind) {
    return "The operation couldn\u2019t be completed. (Tervane.AudioStreamError error " +
           std::to_string(static_cast<int>(kind)) + ".)";
}

}  // namespace

AudioStreamError::AudioStreamError(Kind kind) : Error(defaultDescription(kind)), kind_(kind) {}

/// Runs asynchronous deliveries on a few workers of the stream's own, started on demand. The
/// queue lives in a shared state that each worker holds, so a worker whose delivery released
/// the stream can finish after the runner is gone.
class AudioStream::TaskRunner {
public:
    TaskRunner() : state_(std::make_shared<State>()) {}

    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    ~TaskRunner() {
        std::vector<std::thread> workers;
        {
            const std::lock_guard lock(state_->mutex);
            state_->stopping = true;
            workers = std::move(workers_);
        }
        state_->wake.notify_all();
        const std::thread::id self = std::this_thread::get_id();
        for (std::thread& worker : workers) {
            // A delivery that dropped the last owner of the stream is running on this worker:
            // it cannot wait for itself, and it drains the queue with the others.
            if (worker.get_id() == self) {
                worker.detach();
            } else {
                worker.join();
            }
        }
    }

    void submit(TaskPriority priority, std::function<void()> task) {
        const std::lock_guard lock(state_->mutex);
        state_->pending.push_back(Pending{priority, state_->nextSequence++, std::move(task)});
        std::push_heap(state_->pending.begin(), state_->pending.end(), Later{});
        // Once stopping, the workers left drain the queue (a delivery may still write).
        if (state_->idle == 0 && !state_->stopping && workers_.size() < workerLimit()) {
            workers_.emplace_back([state = state_] { work(*state); });
        } else {
            state_->wake.notify_one();
        }
    }

private:
    struct Pending {
        TaskPriority priority;
        std::uint64_t sequence;
        std::function<void()> task;
    };
    // `high` and `userInitiated` are one class, as are `low` and `utility`.
    static int rank(TaskPriority priority) noexcept {
        switch (priority) {
            case TaskPriority::high:
            case TaskPriority::userInitiated:
                return 3;
            case TaskPriority::medium:
                return 2;
            case TaskPriority::low:
            case TaskPriority::utility:
                return 1;
            case TaskPriority::background:
                return 0;
        }
        return 0;
    }
    // Higher classes first, then in order of submission.
    struct Later {
        bool operator()(const Pending& a, const Pending& b) const noexcept {
            if (rank(a.priority) != rank(b.priority)) {
                return rank(a.priority) < rank(b.priority);
            }
            return a.sequence > b.sequence;
        }
    };
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::vector<Pending> pending;  // a heap ordered by `Later`
        std::uint64_t nextSequence = 0;
        std::size_t idle = 0;
        bool stopping = false;
    };

    static std::size_t workerLimit() noexcept { return std::max(2U, std::thread::hardware_concurrency()); }

    static void work(State& state) {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(state.mutex);
                ++state.idle;
                state.wake.wait(lock, [&] { return state.stopping || !state.pending.empty(); });
                --state.idle;
                if (state.pending.empty()) {
                    return;
                }
                std::pop_heap(state.pending.begin(), state.pending.end(), Later{});
                task = std::move(state.pending.back().task);
                state.pending.pop_back();
            }
            try {
                task();
            } catch (...) {
                // Nobody waits for an asynchronous delivery; its failure ends it alone.
            }
            // Released here, outside the lock: the task may hold the stream's last owner.
            task = nullptr;
        }
    }

    std::shared_ptr<State> state_;
    std::vector<std::thread> workers_;  // guarded by `state_->mutex`
};

AudioStream::AudioStream(double chunkDuration, std::optional<double> chunkSkip, double streamStartTime,
                         AudioStreamChunkingStrategy chunkingStrategy, AudioStreamStartupStrategy startupStrategy,
                         double sampleRate, std::optional<double> bufferCapacitySeconds)
    : sampleRate_(sampleRate),
      chunkDuration_(chunkDuration),
      chunkSkip_(chunkSkip.value_or(chunkDuration)),
      chunkSize_(0),
      skipSize_(0),
      chunkingStrategy_(chunkingStrategy) {
    const std::optional<std::int64_t> chunkSize = roundedCount(chunkDuration_ * sampleRate_);
    if (!chunkSize || *chunkSize < 1) {
        throw AudioStreamError::invalidChunkDuration();
    }
    const std::optional<std::int64_t> skipSize = roundedCount(chunkSkip_ * sampleRate_);
    if (!skipSize || *skipSize < 1 || *skipSize > *chunkSize) {
        throw AudioStreamError::invalidChunkSkip();
    }
    chunkSize_ = *chunkSize;
    skipSize_ = *skipSize;

    const double capacitySeconds = bufferCapacitySeconds.value_or(chunkDuration_ + chunkSkip_);
    const double wanted = capacitySeconds * sampleRate_;
    const std::optional<std::int64_t> capacity = roundedCount(wanted);
    if (!capacity) {
        if (std::isnan(wanted) || wanted < 0) {
            throw AudioStreamError::bufferTooSmall();
        }
        throw std::length_error("AudioStream: a buffer of " + text(capacitySeconds) + " s at " + text(sampleRate_) +
                                " Hz is too large");
    }
    if (*capacity < chunkSize_) {
        throw AudioStreamError::bufferTooSmall();
    }

    auto targetFormat = AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, sampleRate_, 1, false);
    if (!targetFormat) {
        throw std::invalid_argument("AudioStream: no audio format has a sample rate of " + text(sampleRate_) + " Hz");
    }
    buffer_.assign(static_cast<std::size_t>(*capacity), 0.0F);
    converter_ = AudioConverter(std::move(targetFormat), false);

    switch (startupStrategy) {
        case AudioStreamStartupStrategy::startSilent:
            writeIndex_ = chunkSize_ - skipSize_;
            temporaryChunkSize_ = chunkSize_;
            bufferStartTime_ = streamStartTime - (chunkDuration_ - chunkSkip_);
            break;
        case AudioStreamStartupStrategy::rampUpChunkSize:
            temporaryChunkSize_ = skipSize_;
            bufferStartTime_ = streamStartTime;
            break;
        case AudioStreamStartupStrategy::waitForFullChunk:
            temporaryChunkSize_ = chunkSize_;
            bufferStartTime_ = streamStartTime;
            break;
    }
    tasks_ = std::make_unique<TaskRunner>();
}

AudioStream::~AudioStream() {
    // Deliveries may still read from the stream: let them finish while all of it exists.
    tasks_.reset();
}

void AudioStream::write(std::span<const float> samples, std::optional<double> atTime) {
    if (samples.empty()) {
        return;
    }
    std::optional<std::int64_t> stamp;
    if (atTime) {
        stamp = roundedCount(sampleRate_ * *atTime);
        if (!stamp) {
            throw std::invalid_argument("AudioStream: the time stamp " + text(*atTime) +
                                        " s is not a finite time on the stream");
        }
    }
    const auto count = static_cast<std::int64_t>(samples.size());
    {
        const std::unique_lock lock(mutex_);
        if (stamp) {
            // The stamp marks the sample just past the block.
            const std::optional<std::int64_t> start = roundedCount(bufferStartTime_ * sampleRate_);
            if (!start) {
                throw std::invalid_argument("AudioStream: the stream time " + text(bufferStartTime_) +
                                            " s is too far out to place a time stamp");
            }
            const std::int64_t gap = *stamp - (*start + writeIndex_ + count);
            if (gap > 0) {
                appendZeros(gap, count);
            } else if (gap < 0) {
                writeIndex_ += gap;
                if (writeIndex_ < 0) {
                    bufferStartTime_ += static_cast<double>(writeIndex_) / sampleRate_;
                    writeIndex_ = 0;
                }
            }
        }
        append(samples);
    }

    std::shared_ptr<const Binding> binding = currentBinding();
    while (binding) {
        std::optional<AudioStreamChunk> chunk = readChunkIfAvailable();
        if (!chunk) {
            break;
        }
        deliver(binding, std::move(*chunk));
        binding = currentBinding();
    }
}

void AudioStream::write(const std::shared_ptr<AVAudioPCMBuffer>& buffer, std::optional<double> atTime) {
    const std::vector<float> samples = converter_.resampleBuffer(buffer);
    write(std::span<const float>(samples), atTime);
}

void AudioStream::write(const std::shared_ptr<CMSampleBuffer>& sampleBuffer, std::optional<double> atTime) {
    const std::vector<float> samples = converter_.resampleBuffer(converter_.extractAVAudioPCMBuffer(sampleBuffer));
    write(std::span<const float>(samples), atTime);
}

std::optional<AudioStreamChunk> AudioStream::readChunkIfAvailable() {
    if (!hasNewChunk()) {
        return std::nullopt;
    }
    const std::unique_lock lock(mutex_);
    // Another reader may have taken it since.
    const std::int64_t size = temporaryChunkSize_;
    if (writeIndex_ < size) {
        return std::nullopt;
    }
    AudioStreamChunk result;
    if (chunkingStrategy_ == AudioStreamChunkingStrategy::useMostRecent) {
        const std::int64_t start = writeIndex_ - size;
        result.chunk.assign(buffer_.begin() + start, buffer_.begin() + writeIndex_);
        result.chunkStartTime = bufferStartTime_ + static_cast<double>(start) / sampleRate_;
        if (size == chunkSize_) {
            forgetOldest(writeIndex_ - overlapSize());
        }
    } else {
        result.chunk.assign(buffer_.begin(), buffer_.begin() + size);
        result.chunkStartTime = bufferStartTime_;
        if (size == chunkSize_) {
            forgetOldest(skipSize_);
        }
    }
    if (size < chunkSize_) {
        temporaryChunkSize_ = std::min(chunkSize_, size + skipSize_);
    }
    return result;
}

bool AudioStream::hasNewChunk() const {
    const std::shared_lock lock(mutex_);
    return writeIndex_ >= temporaryChunkSize_;
}

void AudioStream::bind(Callback callback) {
    auto binding = std::make_shared<const Binding>(Binding{std::move(callback), std::nullopt});
    const std::unique_lock lock(mutex_);
    binding_ = std::move(binding);
}

void AudioStream::bind(TaskPriority priority, Callback callback) {
    auto binding = std::make_shared<const Binding>(Binding{std::move(callback), priority});
    const std::unique_lock lock(mutex_);
    binding_ = std::move(binding);
}

void AudioStream::unbind() {
    std::shared_ptr<const Binding> released;
    {
        const std::unique_lock lock(mutex_);
        released = std::move(binding_);
    }
    // The callback is destroyed outside the lock: what it holds may reach back into the stream.
}

std::int64_t AudioStream::chunkLimit() const noexcept {
    return chunkingStrategy_ == AudioStreamChunkingStrategy::useMostRecent
               ? temporaryChunkSize_
               : static_cast<std::int64_t>(buffer_.size());
}

void AudioStream::forgetOldest(std::int64_t count) {
    if (count < writeIndex_) {
        std::copy(buffer_.begin() + count, buffer_.begin() + writeIndex_, buffer_.begin());
    }
    writeIndex_ -= count;
    bufferStartTime_ += static_cast<double>(count) / sampleRate_;
}

// Makes room for `count` samples within the first `room` of the buffer, keeping at most `cap`
// (≤ `room`) valid when it overflows. Returns how many of the newest samples fit, to be written
// at `writeIndex_`. A write position before the buffer's start means the oldest of the samples
// fall before it: they are dropped, and a position that stays before it is kept for the next
// write, which then lands at the right place.
std::int64_t AudioStream::makeRoom(std::int64_t count, std::int64_t room, std::int64_t cap) {
    std::int64_t end = writeIndex_ + count;
    if (end > room) {
        forgetOldest(end - cap);
        end = cap;
    }
    if (end <= 0) {
        writeIndex_ = end;
        return 0;
    }
    if (writeIndex_ < 0) {
        const std::int64_t fitting = count + writeIndex_;
        writeIndex_ = 0;
        return fitting;
    }
    return count;
}

void AudioStream::append(std::span<const float> samples) {
    const auto count = static_cast<std::int64_t>(samples.size());
    const std::int64_t added = makeRoom(count, static_cast<std::int64_t>(buffer_.size()), chunkLimit());
    std::copy(samples.end() - added, samples.end(), buffer_.begin() + writeIndex_);
    writeIndex_ += added;
}

// The room is what remains once the block that follows is in place. A block longer than the
// cap leaves none: the zeros then only move the write position, and the block keeps its newest
// samples at the place its time stamp gives them.
void AudioStream::appendZeros(std::int64_t count, std::int64_t blockLength) {
    const std::int64_t added =
        makeRoom(count, static_cast<std::int64_t>(buffer_.size()) - blockLength, chunkLimit() - blockLength);
    std::fill_n(buffer_.begin() + writeIndex_, added, 0.0F);
    writeIndex_ += added;
}

std::shared_ptr<const AudioStream::Binding> AudioStream::currentBinding() const {
    const std::shared_lock lock(mutex_);
    return binding_;
}

void AudioStream::deliver(const std::shared_ptr<const Binding>& binding, AudioStreamChunk chunk) {
    if (!binding->priority) {
        binding->callback(std::move(chunk.chunk), chunk.chunkStartTime);
        return;
    }
    tasks_->submit(*binding->priority, [binding, chunk = std::move(chunk)]() mutable {
        binding->callback(std::move(chunk.chunk), chunk.chunkStartTime);
    });
}

}  // namespace Tervane
