#include <Tervane/Platform/Signposter.hpp>
#include <Tervane/Shared/PerformanceMonitor.hpp>
#include <Tervane/Shared/SystemInfo.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace Tervane {
namespace {

using namespace std::chrono_literals;

/// A clock that moves on by a fixed step every time it is read.
PerformanceMonitor::Clock steppingClock(std::chrono::steady_clock::duration step) {
    auto now = std::make_shared<std::chrono::steady_clock::time_point>();
    return [now, step] {
        const auto reading = *now;
        *now += step;
        return reading;
    };
}

TEST(PerformanceMonitorTests, SessionsAggregateAndResetClearsThem) {
    PerformanceMonitor monitor(steppingClock(500ms));
    EXPECT_FALSE(monitor.getAggregatedMetrics().has_value());

    // Each session lasts one clock step, 0.5 s: 5 s of audio is 10x real time, 15 s is 30x.
    const auto first = monitor.trackSession("first", 5.0f, [] { return 1; });
    const auto second = monitor.trackSession("second", 15.0f, [] { return 2; });
    EXPECT_EQ(first.result, 1);
    EXPECT_EQ(second.result, 2);
    EXPECT_DOUBLE_EQ(first.metrics.totalProcessingTime, 0.5);
    EXPECT_FLOAT_EQ(first.metrics.rtfx, 10.0f);
    EXPECT_EQ(first.metrics.preprocessorTime, 0);
    EXPECT_FALSE(first.metrics.gpuUtilization.has_value());
    EXPECT_GT(first.metrics.peakMemoryMB, 0.0f);

    const auto aggregate = monitor.getAggregatedMetrics();
    ASSERT_TRUE(aggregate.has_value());
    EXPECT_FLOAT_EQ(aggregate->averageRTFx, 20.0f);
    EXPECT_DOUBLE_EQ(aggregate->averageProcessingTime, 0.5);
    EXPECT_EQ(aggregate->sampleCount, 2);
    EXPECT_FLOAT_EQ(aggregate->maxMemoryMB, std::max(first.metrics.peakMemoryMB, second.metrics.peakMemoryMB));

    monitor.reset();
    EXPECT_FALSE(monitor.getAggregatedMetrics().has_value());
}

TEST(PerformanceMonitorTests, FailingSessionRecordsNothing) {
    PerformanceMonitor monitor(steppingClock(1s));
    EXPECT_THROW(monitor.trackSession("broken", 1.0f, []() -> int { throw std::runtime_error("model failed"); }),
                 std::runtime_error);
    EXPECT_FALSE(monitor.getAggregatedMetrics().has_value());
}

TEST(PerformanceMonitorTests, ComponentReturnsItsTimeAndRecordsNothing) {
    PerformanceMonitor monitor(steppingClock(250ms));
    const auto tracked = monitor.trackComponent("encoder", [] { return std::string("frames"); });
    EXPECT_EQ(tracked.result, "frames");
    EXPECT_DOUBLE_EQ(tracked.time, 0.25);
    EXPECT_FALSE(monitor.getAggregatedMetrics().has_value());
}

TEST(PerformanceMonitorTests, SummariesAreExact) {
    ASRPerformanceMetrics metrics;
    metrics.preprocessorTime = 0.0125;
    metrics.encoderTime = 1.5;
    metrics.decoderTime = 2;
    metrics.totalProcessingTime = 3.14159;
    metrics.rtfx = 12.34f;
    metrics.peakMemoryMB = 256.25f;
    EXPECT_EQ(metrics.summary(),
              "Performance Metrics:\n- Preprocessor: 0.013s\n- Encoder: 1.500s\n- Decoder: 2.000s\n"
              "- Total: 3.142s\n- RTFx: 12.3x real-time\n- Peak Memory: 256.2 MB\n- GPU Utilization: N/A");
    metrics.gpuUtilization = 42.5f;
    EXPECT_THAT(metrics.summary(), testing::EndsWith("- GPU Utilization: 42.5%"));

    const AggregatedMetrics aggregate{20.0f, 0.5, 300.0f, 2};
    EXPECT_EQ(aggregate.summary(),
              "Aggregated Metrics (2 samples):\n- Average RTFx: 20.0x real-time\n"
              "- Average Processing Time: 0.500s\n- Max Memory Usage: 300.0 MB");
}

class RecordingSignpostSink final : public SignpostSink {
public:
    void record(const SignpostEvent& event) override {
        const std::lock_guard lock(mutex);
        events.push_back({event.kind, std::string(event.name), std::string(event.message)});
    }

    struct Recorded {
        SignpostEvent::Kind kind;
        std::string name;
        std::string message;
        bool operator==(const Recorded&) const = default;
    };
    std::mutex mutex;
    std::vector<Recorded> events;
};

TEST(SignposterTests, IntervalsReachAnInstalledSinkOnly) {
    const Signposter signposter("com.tervane.tests", "Performance");
    SignpostIntervalState unseen = signposter.beginInterval("Unseen");
    EXPECT_FALSE(unseen.isActive());

    auto sink = std::make_shared<RecordingSignpostSink>();
    setSignpostSink(sink);
    signposter.endInterval(unseen);  // begun without a sink: nothing to end

    PerformanceMonitor monitor;
    (void)monitor.trackSession("session", 1.0f, [] { return 0; });
    (void)monitor.trackComponent("component", [] { return 0; });

    SignpostIntervalState twice = signposter.beginInterval("Twice");
    signposter.endInterval(twice);
    signposter.endInterval(twice);
    setSignpostSink(nullptr);

    using Kind = SignpostEvent::Kind;
    const std::vector<RecordingSignpostSink::Recorded> expected = {
        {Kind::begin, "ASR.Operation", ""},  {Kind::end, "ASR.Operation", ""},
        {Kind::begin, "ASR.Component", ""},  {Kind::end, "ASR.Component", ""},
        {Kind::begin, "Twice", ""},          {Kind::end, "Twice", ""},
        {Kind::end, "Twice", "[Error] Interval already ended"},
    };
    EXPECT_EQ(sink->events, expected);
}

TEST(SystemInfoTests, SummaryDescribesThisHost) {
    const std::string summary = SystemInfo::summary();
    EXPECT_THAT(summary, testing::MatchesRegex("Linux .+, arch=[a-z0-9_]+, chip=.+, cores=[0-9]+/[0-9]+, "
                                               "mem=[0-9.]+ [KMGTP]B, rosetta=false"));
    EXPECT_FALSE(SystemInfo::isAppleSilicon());
    EXPECT_FALSE(SystemInfo::isIntelMac());
}

TEST(SystemInfoTests, MemoryQueriesAnswerForThisProcess) {
    const auto current = SystemInfo::currentResidentMemoryBytes();
    const auto peak = SystemInfo::peakResidentMemoryBytes();
    ASSERT_TRUE(current.has_value());
    ASSERT_TRUE(peak.has_value());
    EXPECT_GT(*current, 0u);
    EXPECT_GE(*peak, *current);
}

TEST(SystemInfoTests, MemoryIsFormattedInBinaryUnits) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {0, "0 bytes"},
        {1023, "1023 bytes"},
        {1024, "1 KB"},
        {1536, "1.5 KB"},
        {25769803776ull, "24 GB"},
        {17179869184ull + 429496729ull, "16.4 GB"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(SystemInfo::formatMemory(bytes), text) << bytes;
    }
}

}  // namespace
}  // namespace Tervane
