#pragma once

#include <cstdint>

namespace Tervane {

/// How a live stream is cut into windows and when its text is confirmed. All values are
/// seconds. A window is `leftContextSeconds` + `chunkSeconds` + `rightContextSeconds` long
/// (less at the start of the stream) and windows start `chunkSeconds` apart.
struct StreamingAsrConfig {
    double chunkSeconds = 15.0;
    double hypothesisChunkSeconds = 2.0;  // carried for callers; the recogniser does not read it
    double leftContextSeconds = 10.0;
    double rightContextSeconds = 2.0;
    /// Audio that must have been received before any text is confirmed.
    double minContextForConfirmation = 10.0;
    /// Window confidence needed for confirmation.
    double confirmationThreshold = 0.85;

    /// The `defaultConfig()` values.
    StreamingAsrConfig() = default;
    StreamingAsrConfig(double chunk, double hypothesisChunk, double leftContext, double rightContext,
                       double minContext, double threshold)
        : chunkSeconds(chunk),
          hypothesisChunkSeconds(hypothesisChunk),
          leftContextSeconds(leftContext),
          rightContextSeconds(rightContext),
          minContextForConfirmation(minContext),
          confirmationThreshold(threshold) {}
    /// A window of `chunkDuration` seconds with 10 s of left and 2 s of right context. Note
    /// the order: the threshold first, as `custom` has it the other way round.
    StreamingAsrConfig(double threshold, double chunkDuration);

    /// 15 s centre, 10 s left and 2 s right context (27 s windows), threshold 0.85.
    [[nodiscard]] static StreamingAsrConfig defaultConfig() { return {}; }
    /// 11 s centre with 2 s of context each side: exactly the models' 15 s window; threshold 0.8.
    [[nodiscard]] static StreamingAsrConfig streaming() { return {11.0, 1.0, 2.0, 2.0, 10.0, 0.8}; }
    /// As the two-value constructor.
    [[nodiscard]] static StreamingAsrConfig custom(double chunkDuration, double threshold) {
        return {threshold, chunkDuration};
    }

    /// The lengths in samples at 16 kHz, rounded down.
    [[nodiscard]] std::int64_t chunkSamples() const noexcept;
    [[nodiscard]] std::int64_t leftContextSamples() const noexcept;
    [[nodiscard]] std::int64_t rightContextSamples() const noexcept;

    /// Fails with `StreamingAsrError::invalidConfiguration` unless the centre holds at least one
    /// sample and both contexts are finite, non-negative and of a size a stream can hold;
    /// anything else would stall or break the windowing.
    void validate() const;
};

}  // namespace Tervane
