#pragma once

#include <Tervane/Platform/Signposter.hpp>

#include <mutex>
#include <string>
#include <vector>

namespace Tervane::Testing {

/// Records every interval begin and end as "begin <name>" / "end <name>", from any thread.
class RecordingSignpostSink final : public SignpostSink {
public:
    void record(const SignpostEvent& event) override {
        const std::lock_guard lock(mutex_);
        names_.push_back((event.kind == SignpostEvent::Kind::begin ? "begin " : "end ") + std::string(event.name));
    }

    [[nodiscard]] std::vector<std::string> names() const {
        const std::lock_guard lock(mutex_);
        return names_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> names_;
};

}  // namespace Tervane::Testing
