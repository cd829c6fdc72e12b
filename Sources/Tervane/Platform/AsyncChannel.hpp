#pragma once

#include <Tervane/Platform/Error.hpp>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>

namespace Tervane {

/// An unbounded, thread-safe stream of values from producers to one consumer, which may end
/// normally or with a failure. The producer never waits; the consumer blocks in `next` until a
/// value, the end or the failure is there. Values yielded before the end are all delivered
/// first. Share it through `std::shared_ptr` between the two sides.
template <class T>
class AsyncChannel {
public:
    enum class YieldResult { enqueued, terminated };

    /// Queues `value`; after the stream has ended it is dropped and `terminated` comes back.
    YieldResult yield(T value) {
        {
            const std::lock_guard lock(mutex_);
            if (finished_) {
                return YieldResult::terminated;
            }
            values_.push_back(std::move(value));
        }
        changed_.notify_all();
        return YieldResult::enqueued;
    }

    /// Ends the stream; later calls to either `finish` change nothing.
    void finish() { finish(nullptr); }
    /// Ends the stream with a failure that `next` throws once the queued values are taken.
    void finish(std::exception_ptr failure) {
        {
            const std::lock_guard lock(mutex_);
            if (finished_) {
                return;
            }
            finished_ = true;
            failure_ = std::move(failure);
        }
        changed_.notify_all();
    }

    /// The next value; none at the normal end. Rethrows the stream's failure at its end, and
    /// throws `CancellationError` when `stopToken` is set while waiting.
    [[nodiscard]] std::optional<T> next(std::stop_token stopToken = {}) {
        std::unique_lock lock(mutex_);
        const bool ready = changed_.wait(lock, stopToken, [this] { return !values_.empty() || finished_; });
        if (!ready) {
            throw CancellationError();
        }
        if (!values_.empty()) {
            T value = std::move(values_.front());
            values_.pop_front();
            return value;
        }
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return std::nullopt;
    }

    [[nodiscard]] bool isFinished() const {
        const std::lock_guard lock(mutex_);
        return finished_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<T> values_;
    bool finished_ = false;
    std::exception_ptr failure_;
};

}  // namespace Tervane
