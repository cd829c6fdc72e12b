#pragma once

#include <Tervane/Shared/AppLogger.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tervane::Testing {

/// A log entry as the library wrote it, with its texts copied.
struct CapturedLogEntry {
    LogType type;
    AppLogger::Level level;
    std::string subsystem;
    std::string category;
    std::string message;
};

/// A log sink that keeps every entry, debug included, for a test to inspect. Safe to write
/// from any thread while a test reads or waits.
class CapturingLogSink final : public LogSink {
public:
    [[nodiscard]] bool isEnabled(LogType) const override { return true; }
    void write(const LogEntry& entry) override;

    /// Every entry so far, in the order written.
    [[nodiscard]] std::vector<CapturedLogEntry> entries() const;
    /// The entries of one category, in the order written.
    [[nodiscard]] std::vector<CapturedLogEntry> entries(std::string_view category) const;
    /// The messages of one category, in the order written.
    [[nodiscard]] std::vector<std::string> messages(std::string_view category) const;

    /// Waits until an entry (already written or still to come) satisfies `matches`, and
    /// returns the first that does; none after `timeout`.
    [[nodiscard]] std::optional<CapturedLogEntry> waitForEntry(
        const std::function<bool(const CapturedLogEntry&)>& matches,
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    void clear();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable written_;
    std::vector<CapturedLogEntry> entries_;
};

/// Installs a sink as the process-wide one for its lifetime and puts the previous one back.
class ScopedLogSink {
public:
    explicit ScopedLogSink(std::shared_ptr<LogSink> sink) : previous_(setLogSink(std::move(sink))) {}
    ~ScopedLogSink() { setLogSink(std::move(previous_)); }
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

private:
    std::shared_ptr<LogSink> previous_;
};

/// A fresh `CapturingLogSink`, installed for the lifetime of this object.
class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<CapturingLogSink>()), installed_(sink_) {}

    [[nodiscard]] CapturingLogSink& sink() const noexcept { return *sink_; }
    CapturingLogSink* operator->() const noexcept { return sink_.get(); }

private:
    std::shared_ptr<CapturingLogSink> sink_;
    ScopedLogSink installed_;
};

}  // namespace Tervane::Testing
