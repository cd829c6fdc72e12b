// Speech segments and live speech events from the per-block probabilities.

#include <Tervane/VAD/VadManager.hpp>

#include <algorithm>
#include <cmath>
#include <utility>

namespace Tervane {

namespace {

using SampleRange = std::pair<std::int64_t, std::int64_t>;

/// Every duration becomes at most this many samples, so that sums of a few of them cannot
/// overflow (it is far beyond any recording).
constexpr std::int64_t sampleCountLimit = std::int64_t{1} << 60;

std::int64_t samplesOf(double seconds) {
    const double samples = std::trunc(seconds * static_cast<double>(VadManager::sampleRate));
    if (!(samples > 0)) return 0;
    if (samples >= static_cast<double>(sampleCountLimit)) return sampleCountLimit;
    return static_cast<std::int64_t>(samples);
}

/// a + b, but at most `limit`; a ≤ limit and b ≥ 0.
std::int64_t addAtMost(std::int64_t a, std::int64_t b, std::int64_t limit) {
    return a > limit - b ? limit : a + b;
}

struct Thresholds {
    float speech;
    float negative;
};

Thresholds thresholdsOf(const VadSegmentationConfig& config, float defaultThreshold) {
    if (const auto& negative = config.negativeThreshold()) {
        return {std::min(*negative + config.negativeThresholdOffset(), 1.0F), *negative};
    }
    return {defaultThreshold, config.effectiveNegativeThreshold(defaultThreshold)};
}

struct CandidateSilence {
    std::int64_t start;
    std::int64_t duration;
    float minProbability;
};

/// Where a speech run that grew too long is cut: the longest deep silence, else the longest
/// (or most recent) silence of any depth; the earliest wins a tie.
const CandidateSilence* splitSilence(const std::vector<CandidateSilence>& candidates,
                                     const VadSegmentationConfig& config) {
    const auto longest = [](const CandidateSilence* best, const CandidateSilence& candidate) {
        return best == nullptr || candidate.duration > best->duration ? &candidate : best;
    };
    const CandidateSilence* deepest = nullptr;
    for (const CandidateSilence& candidate : candidates) {
        if (candidate.minProbability <= config.silenceThresholdForSplit()) deepest = longest(deepest, candidate);
    }
    if (deepest != nullptr || candidates.empty()) return deepest;
    if (!config.useMaxPossibleSilenceAtMaxSpeech()) return &candidates.back();
    const CandidateSilence* best = nullptr;
    for (const CandidateSilence& candidate : candidates) best = longest(best, candidate);
    return best;
}

/// The hysteresis detector over blocks of 4096 samples, with forced splits and padding.
std::vector<SampleRange> detectSpeechSampleRanges(const std::vector<float>& probabilities, std::int64_t audioLength,
                                                  Thresholds thresholds, const VadSegmentationConfig& config) {
    const std::int64_t minSpeech = samplesOf(config.minSpeechDuration());
    const std::int64_t minSilence = samplesOf(config.minSilenceDuration());
    const std::int64_t padding = samplesOf(config.speechPadding());
    const std::int64_t candidateSilence = samplesOf(config.minSilenceAtMaxSpeech());
    // The block in progress and both paddings must still fit within the longest speech.
    std::optional<std::int64_t> maxSpeech;
    if (std::isfinite(config.maxSpeechDuration())) {
        maxSpeech = std::max(samplesOf(config.maxSpeechDuration()) - VadManager::chunkSize - 2 * padding,
                             std::int64_t{0});
    }

    std::vector<SampleRange> ranges;
    const auto emit = [&](std::int64_t start, std::int64_t end) {
        if (start < end && end - start >= minSpeech) ranges.emplace_back(start, std::min(end, audioLength));
    };

    bool inSpeech = false;
    std::int64_t speechStart = 0;
    std::optional<std::int64_t> tempEnd;
    std::optional<float> lowest;
    std::vector<CandidateSilence> candidates;
    const auto leaveSpeech = [&] {
        inSpeech = false;
        tempEnd.reset();
        lowest.reset();
        candidates.clear();
    };
    // A silence inside speech: it ends the speech once it has lasted the minimum silence.
    const auto silenceInSpeech = [&](std::int64_t current, float probability) {
        if (!tempEnd) tempEnd = current;
        lowest = lowest ? std::min(*lowest, probability) : probability;
        if (current - *tempEnd < minSilence) return;
        emit(speechStart, *tempEnd);
        leaveSpeech();
    };

    for (std::size_t i = 0; i < probabilities.size(); ++i) {
        const std::int64_t current = static_cast<std::int64_t>(i) * VadManager::chunkSize;
        const float probability = probabilities[i];
        if (probability >= thresholds.speech) {
            if (tempEnd) {
                if (current - *tempEnd > candidateSilence) {
                    candidates.push_back({*tempEnd, current - *tempEnd, lowest.value_or(1.0F)});
                }
                tempEnd.reset();
                lowest.reset();
            }
            if (!inSpeech) {
                inSpeech = true;
                speechStart = current;
                continue;
            }
        } else if (!inSpeech) {
            continue;
        }

        if (maxSpeech && current - speechStart > *maxSpeech) {
            const CandidateSilence* split = splitSilence(candidates, config);
            const std::int64_t cut = split != nullptr ? split->start : current;
            emit(speechStart, cut);
            const std::int64_t splitEnd = split != nullptr ? split->start + split->duration : 0;
            candidates.clear();
            if (split != nullptr && splitEnd < current) {
                speechStart = splitEnd;
                tempEnd.reset();
                lowest.reset();
                if (probability < thresholds.negative) silenceInSpeech(current, probability);
            } else {
                leaveSpeech();
            }
            continue;
        }

        if (probability < thresholds.negative) silenceInSpeech(current, probability);
    }
    if (inSpeech && speechStart < audioLength && audioLength - speechStart >= minSpeech) {
        ranges.emplace_back(speechStart, audioLength);
    }

    if (!ranges.empty()) {
        ranges.front().first = std::max(ranges.front().first - padding, std::int64_t{0});
        for (std::size_t i = 0; i + 1 < ranges.size(); ++i) {
            SampleRange& range = ranges[i];
            SampleRange& next = ranges[i + 1];
            const std::int64_t gap = next.first - range.second;
            // A gap too narrow for both paddings is shared between its two segments.
            const std::int64_t widen = gap < 2 * padding ? gap / 2 : padding;
            range.second = widen < 0 ? range.second + widen : addAtMost(range.second, widen, audioLength);
            next.first = std::max(next.first - widen, std::int64_t{0});
        }
        ranges.back().second = addAtMost(ranges.back().second, padding, audioLength);
    }

    std::vector<SampleRange> clamped;
    clamped.reserve(ranges.size());
    for (auto [start, end] : ranges) {
        start = std::clamp(start, std::int64_t{0}, audioLength);
        end = std::clamp(end, start, audioLength);
        if (start < end) clamped.emplace_back(start, end);
    }
    return clamped;
}

}  // namespace

std::vector<VadSegment> VadManager::segmentSpeech(const std::vector<VadResult>& results, std::int64_t totalSamples,
                                                  const VadSegmentationConfig& config) const {
    std::vector<VadSegment> segments;
    if (results.empty() || totalSamples <= 0) return segments;
    std::vector<float> probabilities;
    probabilities.reserve(results.size());
    for (const VadResult& result : results) probabilities.push_back(result.probability);

    const auto ranges =
        detectSpeechSampleRanges(probabilities, totalSamples, thresholdsOf(config, config_.defaultThreshold), config);
    segments.reserve(ranges.size());
    const double rate = static_cast<double>(sampleRate);
    for (auto [start, end] : ranges) {
        start = std::clamp(start, std::int64_t{0}, totalSamples);
        end = std::clamp(end, start, totalSamples);
        segments.push_back({static_cast<double>(start) / rate, static_cast<double>(end) / rate});
    }
    return segments;
}

std::vector<VadSegment> VadManager::segmentSpeech(std::span<const float> samples,
                                                  const VadSegmentationConfig& config) {
    const std::vector<VadResult> results = processAudioSamples(samples);
    return segmentSpeech(results, static_cast<std::int64_t>(samples.size()), config);
}

std::vector<std::vector<float>> VadManager::segmentSpeechAudio(std::span<const float> samples,
                                                               const VadSegmentationConfig& config) {
    const std::vector<VadSegment> segments = segmentSpeech(samples, config);
    const auto count = static_cast<std::int64_t>(samples.size());
    std::vector<std::vector<float>> pieces;
    pieces.reserve(segments.size());
    for (const VadSegment& segment : segments) {
        const auto start = std::clamp(segment.startSample(), std::int64_t{0}, count);
        const auto end = std::clamp(segment.endSample(), start, count);
        pieces.emplace_back(samples.begin() + start, samples.begin() + end);
    }
    return pieces;
}

VadStreamResult VadManager::processStreamingChunk(std::span<const float> chunk, const VadStreamState& state,
                                                  const VadSegmentationConfig& config, bool returnSeconds,
                                                  int timeResolution) {
    const std::lock_guard lock(operationLock_);
    VadResult block = processChunkLocked(chunk, state.modelState);
    const float probability = block.probability;
    const Thresholds thresholds = thresholdsOf(config, config_.defaultThreshold);
    const std::int64_t padding = samplesOf(config.speechPadding());
    const std::int64_t minSilence = samplesOf(config.minSilenceDuration());
    const auto length = static_cast<std::int64_t>(chunk.size());
    const std::int64_t processed = state.processedSamples + length;

    VadStreamResult result;
    result.probability = probability;
    result.state.modelState = std::move(block.outputState);
    result.state.triggered = state.triggered;
    result.state.tempEndSample = state.tempEndSample;
    result.state.processedSamples = processed;

    const auto event = [&](VadStreamEvent::Kind kind, std::int64_t sample) {
        VadStreamEvent made{kind, std::max(sample, std::int64_t{0}), std::nullopt};
        if (returnSeconds) {
            const double scale = std::pow(10.0, timeResolution);
            made.time = std::round(static_cast<double>(made.sampleIndex) / static_cast<double>(sampleRate) * scale) /
                        scale;
        }
        return made;
    };

    if (probability >= thresholds.speech) {
        if (!state.triggered) result.event = event(VadStreamEvent::Kind::speechStart, processed - padding - length);
        result.state.triggered = true;
        result.state.tempEndSample.reset();
    } else if (probability < thresholds.negative && state.triggered) {
        const std::int64_t tempEnd = state.tempEndSample.value_or(processed);
        result.state.tempEndSample = tempEnd;
        if (processed - tempEnd >= minSilence) {
            result.event = event(VadStreamEvent::Kind::speechEnd, tempEnd + padding - length);
            result.state.triggered = false;
            result.state.tempEndSample.reset();
        }
    }
    return result;
}

}  // namespace Tervane
