#include "Support/CapturingLogSink.hpp"

#include <algorithm>
#include <iterator>

namespace Tervane::Testing {

void CapturingLogSink::write(const LogEntry& entry) {
    {
        const std::lock_guard lock(mutex_);
        entries_.push_back(CapturedLogEntry{entry.type, static_cast<AppLogger::Level>(entry.level),
                                            std::string(entry.subsystem), std::string(entry.category),
                                            std::string(entry.message)});
    }
    written_.notify_all();
}

std::vector<CapturedLogEntry> CapturingLogSink::entries() const {
    const std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<CapturedLogEntry> CapturingLogSink::entries(std::string_view category) const {
    const std::lock_guard lock(mutex_);
    std::vector<CapturedLogEntry> matching;
    std::ranges::copy_if(entries_, std::back_inserter(matching),
                         [&](const CapturedLogEntry& entry) { return entry.category == category; });
    return matching;
}

std::vector<std::string> CapturingLogSink::messages(std::string_view category) const {
    std::vector<std::string> messages;
    for (CapturedLogEntry& entry : entries(category)) {
        messages.push_back(std::move(entry.message));
    }
    return messages;
}

std::optional<CapturedLogEntry> CapturingLogSink::waitForEntry(
    const std::function<bool(const CapturedLogEntry&)>& matches, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    std::optional<CapturedLogEntry> found;
    written_.wait_for(lock, timeout, [&] {
        const auto match = std::ranges::find_if(entries_, matches);
        if (match != entries_.end()) {
            found = *match;
        }
        return found.has_value();
    });
    return found;
}

void CapturingLogSink::clear() {
    const std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace Tervane::Testing
