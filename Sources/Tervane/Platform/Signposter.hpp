#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Tervane {

/// One begin or end of a performance interval, as a signpost sink receives it. The views are
/// valid for the duration of `record`.
struct SignpostEvent {
    enum class Kind { begin, end };
    Kind kind;
    std::uint64_t intervalId;
    std::string_view subsystem;
    std::string_view category;
    std::string_view name;
    std::string_view message;
    std::chrono::steady_clock::time_point time;
};

/// Receives performance intervals. Must be safe to call from any thread.
class SignpostSink {
public:
    virtual ~SignpostSink() = default;
    virtual void record(const SignpostEvent& event) = 0;
};

/// Installs the process-wide signpost sink (null removes it) and returns the previous one.
/// With no sink, intervals cost a relaxed atomic load and nothing else.
std::shared_ptr<SignpostSink> setSignpostSink(std::shared_ptr<SignpostSink> sink);

/// An interval begun by `Signposter::beginInterval`, ended by `endInterval`.
class SignpostIntervalState {
public:
    SignpostIntervalState() = default;

    [[nodiscard]] bool isActive() const noexcept { return id_ != 0; }
    [[nodiscard]] bool hasEnded() const noexcept { return ended_; }

private:
    friend class Signposter;
    std::uint64_t id_ = 0;  // 0: begun while no sink was installed
    std::string_view name_;
    bool ended_ = false;
};

/// Emits named performance intervals for one (subsystem, category). Names must outlive the
/// interval (string literals in practice). Intervals change nothing in the measured work.
class Signposter {
public:
    Signposter(std::string subsystem, std::string category);

    [[nodiscard]] SignpostIntervalState beginInterval(std::string_view name,
                                                      std::string_view message = {}) const;
    /// Ends the interval. Ending one that has already ended records an end carrying
    /// "[Error] Interval already ended".
    void endInterval(SignpostIntervalState& state, std::string_view message = {}) const;

    [[nodiscard]] const std::string& subsystem() const noexcept { return subsystem_; }
    [[nodiscard]] const std::string& category() const noexcept { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

}  // namespace Tervane
