#pragma once

#include <Tervane/Platform/Signposter.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace Tervane {

/// What one timed recognition session cost.
struct ASRPerformanceMetrics {
    double preprocessorTime = 0;
    double encoderTime = 0;
    double decoderTime = 0;
    double totalProcessingTime = 0;
    float rtfx = 0;
    float peakMemoryMB = 0;
    std::optional<float> gpuUtilization;

    /// A multi-line report, ending with "- GPU Utilization: N/A" when none was measured.
    [[nodiscard]] std::string summary() const;
};

struct AggregatedMetrics {
    float averageRTFx = 0;
    double averageProcessingTime = 0;
    float maxMemoryMB = 0;
    int sampleCount = 0;

    [[nodiscard]] std::string summary() const;
};

template <class Result>
struct TrackedSession {
    Result result;
    ASRPerformanceMetrics metrics;
};

template <class Result>
struct TrackedComponent {
    Result result;
    double time;  // seconds
};

/// Times operations, samples resident memory around them and keeps one metrics record per
/// session. Its own state is guarded by one mutex; the timed work runs outside it, so other
/// calls on the same monitor may interleave with a session.
class PerformanceMonitor {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    /// `clock` reads the time sessions are measured with; the steady clock unless a test
    /// injects its own.
    explicit PerformanceMonitor(Clock clock = &std::chrono::steady_clock::now);

    /// Runs `block`, returning its result and the session's metrics, which are also recorded
    /// and logged at info as operation + " completed: " + summary. A failing block is passed
    /// up at once: nothing is recorded.
    template <class Block>
    auto trackSession(std::string_view operation, float audioLengthSeconds, Block&& block)
        -> TrackedSession<std::invoke_result_t<Block>>;

    /// Runs `block` and returns its result with the elapsed seconds. Records nothing.
    template <class Block>
    auto trackComponent(std::string_view component, Block&& block)
        -> TrackedComponent<std::invoke_result_t<Block>>;

    /// Averages over the recorded sessions; absent when none has been recorded.
    [[nodiscard]] std::optional<AggregatedMetrics> getAggregatedMetrics() const;
    void reset();

private:
    static double residentMegabytes();
    ASRPerformanceMetrics record(std::string_view operation, float audioLengthSeconds, double elapsed,
                                 double memoryBefore, double memoryAfter);

    Clock clock_;
    AppLogger logger_;
    std::vector<ASRPerformanceMetrics> metrics_;
    Signposter signpostLogger_;
    mutable std::mutex mutex_;
};

template <class Block>
auto PerformanceMonitor::trackSession(std::string_view operation, float audioLengthSeconds, Block&& block)
    -> TrackedSession<std::invoke_result_t<Block>> {
    static_assert(!std::is_void_v<std::invoke_result_t<Block>>, "a tracked session returns a result");
    SignpostIntervalState interval = signpostLogger_.beginInterval("ASR.Operation");
    const auto start = clock_();
    const double memoryBefore = residentMegabytes();

    auto result = std::forward<Block>(block)();

    const double elapsed = std::chrono::duration<double>(clock_() - start).count();
    const double memoryAfter = residentMegabytes();
    signpostLogger_.endInterval(interval);
    ASRPerformanceMetrics metrics = record(operation, audioLengthSeconds, elapsed, memoryBefore, memoryAfter);
    return {std::move(result), metrics};
}

template <class Block>
auto PerformanceMonitor::trackComponent(std::string_view, Block&& block)
    -> TrackedComponent<std::invoke_result_t<Block>> {
    static_assert(!std::is_void_v<std::invoke_result_t<Block>>, "a tracked component returns a result");
    SignpostIntervalState interval = signpostLogger_.beginInterval("ASR.Component");
    const auto start = clock_();
    auto result = std::forward<Block>(block)();
    const double elapsed = std::chrono::duration<double>(clock_() - start).count();
    signpostLogger_.endInterval(interval);
    return {std::move(result), elapsed};
}

}  // namespace Tervane
