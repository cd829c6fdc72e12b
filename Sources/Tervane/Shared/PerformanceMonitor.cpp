#include <Tervane/Shared/PerformanceMonitor.hpp>

#include <Tervane/Shared/SystemInfo.hpp>

#include <algorithm>
#include <cstdio>

namespace Tervane {

namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

std::string ASRPerformanceMetrics::summary() const {
    return "Performance Metrics:\n- Preprocessor: " + format("%.3f", preprocessorTime) +
           "s\n- Encoder: " + format("%.3f", encoderTime) +
           "s\n- Decoder: " + format("%.3f", decoderTime) +
           "s\n- Total: " + format("%.3f", totalProcessingTime) +
           "s\n- RTFx: " + format("%.1f", rtfx) +
           "x real-time\n- Peak Memory: " + format("%.1f", peakMemoryMB) +
           " MB\n- GPU Utilization: " + (gpuUtilization ? format("%.1f%%", *gpuUtilization) : "N/A");
}

std::string AggregatedMetrics::summary() const {
    return "Aggregated Metrics (" + std::to_string(sampleCount) +
           " samples):\n- Average RTFx: " + format("%.1f", averageRTFx) +
           "x real-time\n- Average Processing Time: " + format("%.3f", averageProcessingTime) +
           "s\n- Max Memory Usage: " + format("%.1f", maxMemoryMB) + " MB";
}

PerformanceMonitor::PerformanceMonitor(Clock clock)
    : clock_(std::move(clock)),
      logger_("Performance"), signpostLogger_(AppLogger::defaultSubsystem(), "Performance") {}

double PerformanceMonitor::residentMegabytes() {
    const auto bytes = SystemInfo::currentResidentMemoryBytes().value_or(0);
    return static_cast<double>(bytes) / 1024.0 / 1024.0;
}

ASRPerformanceMetrics PerformanceMonitor::record(std::string_view operation, float audioLengthSeconds,
                                                 double elapsed, double memoryBefore, double memoryAfter) {
    ASRPerformanceMetrics metrics;
    metrics.totalProcessingTime = elapsed;
    metrics.rtfx = static_cast<float>(audioLengthSeconds / elapsed);
    metrics.peakMemoryMB = static_cast<float>(std::max(memoryBefore, memoryAfter));

    const std::lock_guard lock(mutex_);
    metrics_.push_back(metrics);
    logger_.info(std::string(operation) + " completed: " + metrics.summary());
    return metrics;
}

std::optional<AggregatedMetrics> PerformanceMonitor::getAggregatedMetrics() const {
    const std::lock_guard lock(mutex_);
    if (metrics_.empty()) {
        return std::nullopt;
    }
    AggregatedMetrics aggregate;
    float rtfxSum = 0;
    double timeSum = 0;
    for (const ASRPerformanceMetrics& metrics : metrics_) {
        rtfxSum += metrics.rtfx;
        timeSum += metrics.totalProcessingTime;
        aggregate.maxMemoryMB = std::max(aggregate.maxMemoryMB, metrics.peakMemoryMB);
    }
    aggregate.sampleCount = static_cast<int>(metrics_.size());
    aggregate.averageRTFx = rtfxSum / static_cast<float>(metrics_.size());
    aggregate.averageProcessingTime = timeSum / static_cast<double>(metrics_.size());
    return aggregate;
}

void PerformanceMonitor::reset() {
    const std::lock_guard lock(mutex_);
    metrics_.clear();
}

}  // namespace Tervane
