#include <Tervane/Diarizer/Offline/OfflineReconstruction.hpp>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace Tervane {

namespace {

/// An open run of one cluster on the global grid.
struct Accumulator {
    double start = 0;
    double end = 0;
    double scoreSum = 0;
    std::int64_t frameCount = 0;
};

float clampUnit(double value) {
    if (!(value >= 0)) {  // NaN counts as no quality
        return 0.0F;
    }
    return static_cast<float>(std::min(value, 1.0));
}

std::string speakerId(std::size_t cluster) {
    return "S" + std::to_string(cluster + 1);
}

void sortByStart(std::vector<TimedSpeakerSegment>& segments) {
    std::stable_sort(segments.begin(), segments.end(), [](const TimedSpeakerSegment& a, const TimedSpeakerSegment& b) {
        return a.startTimeSeconds < b.startTimeSeconds;
    });
}

/// Rounds to nearest with ties to even whatever rounding mode the caller left set.
double roundHalfToEven(double value) {
    const int mode = std::fegetround();
    if (mode == FE_TONEAREST) {
        return std::nearbyint(value);
    }
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(mode);
    return rounded;
}

}  // namespace

OfflineReconstruction::OfflineReconstruction(OfflineDiarizerConfig config) : config_(std::move(config)) {}

std::vector<TimedSpeakerSegment> OfflineReconstruction::buildSegments(
    const SegmentationOutput& segmentation, const std::vector<std::vector<int>>& hardClusters,
    const std::vector<std::vector<double>>& centroids) const {
    const double d = segmentation.frameDuration;
    if (segmentation.numChunks <= 0 || segmentation.numFrames <= 0 || !(d > 0) || !std::isfinite(d)) {
        return {};
    }
    const auto chunkCount = static_cast<std::size_t>(segmentation.numChunks);
    const auto speakersPerChunk = static_cast<std::size_t>(std::max<std::int64_t>(segmentation.numSpeakers, 0));
    const std::size_t clusterCount = std::max<std::size_t>(1, centroids.size());
    const std::int64_t maxSpeakers =
        std::min<std::int64_t>(std::max<std::int64_t>(segmentation.numSpeakers, 0),
                               static_cast<std::int64_t>(clusterCount));

    const auto offsetOf = [&](std::size_t chunk) {
        return chunk < segmentation.chunkOffsets.size()
                   ? segmentation.chunkOffsets[chunk]
                   : static_cast<double>(chunk) * config_.segmentation.windowDurationSeconds;
    };

    // The grid spans the end of the last window; a chunk without a usable offset takes no
    // part, so one bad value cannot blow the grid up.
    const double windowSpan = d * static_cast<double>(segmentation.numFrames);
    double extent = 0;
    for (std::size_t c = 0; c < chunkCount; ++c) {
        const double end = offsetOf(c) + windowSpan;
        if (std::isfinite(end)) {
            extent = std::max(extent, end);
        }
    }
    const double gridFrames = std::ceil(extent / d);
    const std::size_t frameTotal =
        gridFrames >= 1 && std::isfinite(gridFrames) ? static_cast<std::size_t>(gridFrames) : 1;

    std::vector<double> activitySum(frameTotal * clusterCount, 0.0);
    std::vector<double> activityCount(frameTotal * clusterCount, 0.0);
    std::vector<double> totalActivity(frameTotal, 0.0);
    std::vector<double> chunkFrames(frameTotal, 0.0);

    // Voting: each local frame adds its clusters' strongest weight to the nearest global frame.
    std::vector<double> vote(clusterCount);
    const std::vector<int> unassigned(speakersPerChunk, -2);
    for (std::size_t c = 0; c < chunkCount && c < segmentation.speakerWeights.size(); ++c) {
        const auto& frames = segmentation.speakerWeights[c];
        const double offset = offsetOf(c);
        if (frames.empty() || !std::isfinite(offset)) {
            continue;
        }
        const std::vector<int>& clusters = c < hardClusters.size() ? hardClusters[c] : unassigned;
        for (std::size_t f = 0; f < frames.size(); ++f) {
            const std::vector<float>& weights = frames[f];
            const double position = std::round((offset + d * static_cast<double>(f)) / d);
            const std::size_t k =
                position <= 0 ? 0 : std::min(frameTotal - 1, static_cast<std::size_t>(std::min(position, 1e18)));

            std::fill(vote.begin(), vote.end(), 0.0);
            const std::size_t assigned = std::min(clusters.size(), weights.size());
            for (std::size_t s = 0; s < assigned; ++s) {
                const int cluster = clusters[s];
                if (cluster >= 0 && static_cast<std::size_t>(cluster) < centroids.size()) {
                    vote[static_cast<std::size_t>(cluster)] =
                        std::max(vote[static_cast<std::size_t>(cluster)], static_cast<double>(weights[s]));
                }
            }
            double sum = 0;
            for (const float weight : weights) {
                sum += weight;
            }
            totalActivity[k] += sum;
            chunkFrames[k] += 1;
            for (std::size_t i = 0; i < clusterCount; ++i) {
                if (vote[i] > 0) {
                    activitySum[k * clusterCount + i] += vote[i];
                    activityCount[k * clusterCount + i] += 1;
                }
            }
        }
    }

    // How many speakers talk in each frame, from the mean summed activity.
    std::vector<std::int64_t> speakerCount(frameTotal, 0);
    std::map<std::int64_t, std::int64_t> histogram;
    for (std::size_t k = 0; k < frameTotal; ++k) {
        if (chunkFrames[k] > 0) {
            const double rounded = roundHalfToEven(totalActivity[k] / chunkFrames[k]);
            if (rounded > 0) {  // NaN and negatives count as silence
                speakerCount[k] = static_cast<std::int64_t>(std::min(rounded, static_cast<double>(maxSpeakers)));
            }
        }
        ++histogram[speakerCount[k]];
    }
    std::string line = "Speaker-count histogram ";
    for (auto it = histogram.begin(); it != histogram.end(); ++it) {
        if (it != histogram.begin()) {
            line += ", ";
        }
        line += std::to_string(it->first) + ":" + std::to_string(it->second);
    }
    logger_.debug(line);

    const auto segmentOf = [&](std::size_t cluster, const Accumulator& run, double end) {
        std::vector<float> embedding;
        if (cluster < centroids.size()) {
            embedding.assign(centroids[cluster].begin(), centroids[cluster].end());
        } else {
            embedding.assign(centroids.empty() ? 0 : centroids.front().size(), 0.0F);
        }
        return TimedSpeakerSegment(speakerId(cluster), std::move(embedding), static_cast<float>(run.start),
                                   static_cast<float>(end),
                                   clampUnit(run.scoreSum / static_cast<double>(run.frameCount)));
    };

    // Runs of each cluster through the frames where it is among the most active.
    std::vector<TimedSpeakerSegment> segments;
    std::vector<std::optional<Accumulator>> open(clusterCount);
    std::vector<std::size_t> order(clusterCount);
    std::vector<char> active(clusterCount);
    for (std::size_t k = 0; k < frameTotal; ++k) {
        const double t = static_cast<double>(k) * d;
        std::fill(active.begin(), active.end(), 0);
        const auto wanted = static_cast<std::size_t>(speakerCount[k]);
        if (wanted > 0) {
            const double* sums = activitySum.data() + k * clusterCount;
            for (std::size_t i = 0; i < clusterCount; ++i) {
                order[i] = i;
            }
            std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(wanted), order.end(),
                              [sums](std::size_t a, std::size_t b) { return sums[a] > sums[b] || (sums[a] == sums[b] && a < b); });
            for (std::size_t n = 0; n < wanted; ++n) {
                active[order[n]] = 1;
            }
        }
        for (std::size_t i = 0; i < clusterCount; ++i) {
            if (open[i] && !active[i]) {
                if (open[i]->start < t) {
                    segments.push_back(segmentOf(i, *open[i], t));
                }
                open[i].reset();
            }
        }
        for (std::size_t i = 0; i < clusterCount; ++i) {
            if (!active[i]) {
                continue;
            }
            const double score = activityCount[k * clusterCount + i] > 0
                                     ? activitySum[k * clusterCount + i] / activityCount[k * clusterCount + i]
                                     : 0.0;
            if (open[i]) {
                open[i]->end = t + d;
                open[i]->scoreSum += score;
                open[i]->frameCount += 1;
            } else {
                open[i] = Accumulator{t, t + d, score, 1};
            }
        }
    }
    for (std::size_t i = 0; i < clusterCount; ++i) {
        if (open[i] && open[i]->start < open[i]->end) {
            segments.push_back(segmentOf(i, *open[i], open[i]->end));
        }
    }

    const double gapThreshold =
        std::max(config_.postProcessing.minGapDurationSeconds, config_.segmentation.minDurationOff);
    return sanitize(mergeSegments(segments, gapThreshold));
}

std::map<std::string, std::vector<float>> OfflineReconstruction::buildSpeakerDatabase(
    const std::vector<TimedSpeakerSegment>& segments) const {
    std::map<std::string, std::vector<float>> sums;
    std::map<std::string, std::size_t> counts;
    for (const TimedSpeakerSegment& segment : segments) {
        std::vector<float>& sum = sums[segment.speakerId];
        if (sum.size() < segment.embedding.size()) {
            sum.resize(segment.embedding.size(), 0.0F);
        }
        for (std::size_t j = 0; j < segment.embedding.size(); ++j) {
            sum[j] += segment.embedding[j];
        }
        ++counts[segment.speakerId];
    }
    for (auto& [speaker, sum] : sums) {
        const float scale = 1.0F / static_cast<float>(counts[speaker]);
        for (float& value : sum) {
            value *= scale;
        }
    }
    return sums;
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::mergeSegments(const std::vector<TimedSpeakerSegment>& segments,
                                                                      double gapThreshold) const {
    if (segments.empty()) {
        return {};
    }
    std::vector<TimedSpeakerSegment> sorted = segments;
    sortByStart(sorted);

    std::vector<TimedSpeakerSegment> merged;
    TimedSpeakerSegment current = sorted.front();
    for (std::size_t n = 1; n < sorted.size(); ++n) {
        const TimedSpeakerSegment& next = sorted[n];
        const double gap = static_cast<double>(next.startTimeSeconds) - static_cast<double>(current.endTimeSeconds);
        if (next.speakerId != current.speakerId || !(gapThreshold >= gap)) {
            merged.push_back(std::move(current));
            current = next;
            continue;
        }
        const double currentDuration = current.durationSeconds();
        const double nextDuration = next.durationSeconds();
        const double total = currentDuration + nextDuration;
        const double quality =
            total > 0 ? (currentDuration * current.qualityScore + nextDuration * next.qualityScore) / total
                      : (static_cast<double>(current.qualityScore) + next.qualityScore) / 2;
        current = TimedSpeakerSegment(current.speakerId, current.embedding, current.startTimeSeconds,
                                      std::max(current.endTimeSeconds, next.endTimeSeconds), clampUnit(quality));
    }
    merged.push_back(std::move(current));
    return merged;
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::sanitize(const std::vector<TimedSpeakerSegment>& segments) const {
    std::vector<TimedSpeakerSegment> sorted = segments;
    sortByStart(sorted);
    const float minimum = std::max(static_cast<float>(config_.embedding.minSegmentDurationSeconds),
                                   static_cast<float>(config_.segmentation.minDurationOn));
    std::vector<TimedSpeakerSegment> kept;
    kept.reserve(sorted.size());
    for (TimedSpeakerSegment& segment : sorted) {
        if (segment.durationSeconds() >= minimum) {
            kept.push_back(std::move(segment));
        }
    }
    return config_.embedding.excludeOverlap ? excludeOverlaps(kept) : kept;
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::excludeOverlaps(
    const std::vector<TimedSpeakerSegment>& segments) const {
    const auto minimum = static_cast<float>(config_.embedding.minSegmentDurationSeconds);
    std::vector<TimedSpeakerSegment> output;
    output.reserve(segments.size());
    for (const TimedSpeakerSegment& segment : segments) {
        const float start = output.empty() ? segment.startTimeSeconds
                                           : std::max(segment.startTimeSeconds, output.back().endTimeSeconds);
        const float end = segment.endTimeSeconds;
        if (end <= start || end - start < minimum) {
            continue;
        }
        const float original = segment.durationSeconds();
        const double kept = original > 0 ? static_cast<double>(end - start) / original : 1.0;
        output.emplace_back(segment.speakerId, segment.embedding, start, end,
                            clampUnit(static_cast<double>(segment.qualityScore) * kept));
    }
    return output;
}

}  // namespace Tervane
