#pragma once

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/Platform/AsyncChannel.hpp>

#include <chrono>
#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace Tervane {

/// What one recognised window of a live stream yields.
struct StreamingTranscriptionUpdate {
    std::string text;  // this window's text
    bool isConfirmed = false;
    float confidence = 0;
    std::chrono::system_clock::time_point timestamp;
    std::vector<int> tokenIds;  // the window's new tokens
    std::vector<TokenTiming> tokenTimings;

    /// The `token` text of each timing, in order.
    [[nodiscard]] std::vector<std::string> tokens() const {
        std::vector<std::string> pieces;
        pieces.reserve(tokenTimings.size());
        for (const TokenTiming& timing : tokenTimings) {
            pieces.push_back(timing.token);
        }
        return pieces;
    }
};

/// One listener's sequence of updates, as `StreamingAsrManager::transcriptionUpdates()` hands
/// it out. Updates are buffered without bound, so a slow reader never holds up recognition.
/// The sequence ends when the stream has finished or been cancelled, or when the manager hands
/// out a newer sequence. Dropping it tells the manager nobody listens any more. Read it from
/// one thread: `next()` or a range-for loop.
class StreamingTranscriptionUpdates {
public:
    using Channel = AsyncChannel<StreamingTranscriptionUpdate>;

    explicit StreamingTranscriptionUpdates(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {}
    StreamingTranscriptionUpdates(StreamingTranscriptionUpdates&&) noexcept = default;
    StreamingTranscriptionUpdates& operator=(StreamingTranscriptionUpdates&& other) noexcept {
        if (this != &other) {
            close();
            channel_ = std::move(other.channel_);
        }
        return *this;
    }
    StreamingTranscriptionUpdates(const StreamingTranscriptionUpdates&) = delete;
    StreamingTranscriptionUpdates& operator=(const StreamingTranscriptionUpdates&) = delete;
    ~StreamingTranscriptionUpdates() { close(); }

    /// Waits for the next update; none once the sequence has ended. Throws `CancellationError`
    /// when `stopToken` is set while waiting.
    [[nodiscard]] std::optional<StreamingTranscriptionUpdate> next(std::stop_token stopToken = {}) {
        return channel_ ? channel_->next(std::move(stopToken)) : std::nullopt;
    }

    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = StreamingTranscriptionUpdate;
        using difference_type = std::ptrdiff_t;
        using pointer = const StreamingTranscriptionUpdate*;
        using reference = const StreamingTranscriptionUpdate&;

        Iterator() = default;
        explicit Iterator(StreamingTranscriptionUpdates* owner) : owner_(owner) { advance(); }
        reference operator*() const { return *current_; }
        pointer operator->() const { return &*current_; }
        Iterator& operator++() {
            advance();
            return *this;
        }
        void operator++(int) { advance(); }
        friend bool operator==(const Iterator& iterator, std::default_sentinel_t) { return !iterator.current_; }

    private:
        void advance() { current_ = owner_->next(); }

        StreamingTranscriptionUpdates* owner_ = nullptr;
        std::optional<StreamingTranscriptionUpdate> current_;
    };

    [[nodiscard]] Iterator begin() { return Iterator(this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    void close() noexcept {
        if (channel_) {
            channel_->finish();
        }
    }

    std::shared_ptr<Channel> channel_;
};

}  // namespace Tervane
