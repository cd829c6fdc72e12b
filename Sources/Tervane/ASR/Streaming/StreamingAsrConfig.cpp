#include <Tervane/ASR/Streaming/StreamingAsrConfig.hpp>

#include <Tervane/ASR/Streaming/StreamingAsrError.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>
#include <cmath>
#include <string>

namespace Tervane {

namespace {

constexpr double sampleRate = 16000.0;
/// A day of audio: far beyond any window, and small enough that sample positions never overflow.
constexpr double longestSeconds = 86400.0;

std::int64_t samplesOf(double seconds) noexcept {
    if (!(seconds > 0)) {
        return 0;
    }
    return static_cast<std::int64_t>(std::floor(std::min(seconds, longestSeconds) * sampleRate));
}

}  // namespace

StreamingAsrConfig::StreamingAsrConfig(double threshold, double chunkDuration)
    : chunkSeconds(chunkDuration),
      hypothesisChunkSeconds(std::min(chunkDuration * 0.5, 1.0)),
      leftContextSeconds(10.0),
      rightContextSeconds(2.0),
      minContextForConfirmation(10.0),
      confirmationThreshold(threshold) {}

std::int64_t StreamingAsrConfig::chunkSamples() const noexcept { return samplesOf(chunkSeconds); }
std::int64_t StreamingAsrConfig::leftContextSamples() const noexcept { return samplesOf(leftContextSeconds); }
std::int64_t StreamingAsrConfig::rightContextSamples() const noexcept { return samplesOf(rightContextSeconds); }

void StreamingAsrConfig::validate() const {
    const auto check = [](const char* name, double seconds) {
        if (!std::isfinite(seconds) || seconds < 0 || seconds > longestSeconds) {
            throw StreamingAsrError::invalidConfiguration(std::string(name) + " must be between 0 and " +
                                                          NumberText::shortest(longestSeconds) + " seconds, got " +
                                                          NumberText::shortest(seconds));
        }
    };
    check("chunkSeconds", chunkSeconds);
    check("leftContextSeconds", leftContextSeconds);
    check("rightContextSeconds", rightContextSeconds);
    // Windows start a centre apart; an empty centre would never move on.
    if (chunkSamples() < 1) {
        throw StreamingAsrError::invalidConfiguration("chunkSeconds must hold at least one sample, got " +
                                                      NumberText::shortest(chunkSeconds));
    }
}

}  // namespace Tervane
