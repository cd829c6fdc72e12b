#pragma once

#include <Tervane/Diarizer/Offline/DiarizationResult.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Diarizer/Offline/SegmentationOutput.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <map>
#include <string>
#include <vector>

namespace Tervane {

/// Turns per-chunk segmentation and the cluster of each (chunk, local speaker) into timed
/// speaker segments on one global frame grid, and the per-speaker embedding map.
class OfflineReconstruction {
public:
    explicit OfflineReconstruction(OfflineDiarizerConfig config);

    /// `hardClusters[c][s]`: the cluster of local speaker s of chunk c, or −2 (any value outside
    /// 0 … centroids − 1 counts as none). Never fails.
    [[nodiscard]] std::vector<TimedSpeakerSegment> buildSegments(const SegmentationOutput& segmentation,
                                                                 const std::vector<std::vector<int>>& hardClusters,
                                                                 const std::vector<std::vector<double>>& centroids) const;

    /// Per speaker id, the element-wise mean of its segments' embeddings.
    [[nodiscard]] std::map<std::string, std::vector<float>> buildSpeakerDatabase(
        const std::vector<TimedSpeakerSegment>& segments) const;

private:
    friend struct OfflineReconstructionTestAccess;

    [[nodiscard]] std::vector<TimedSpeakerSegment> mergeSegments(const std::vector<TimedSpeakerSegment>& segments,
                                                                 double gapThreshold) const;
    [[nodiscard]] std::vector<TimedSpeakerSegment> sanitize(const std::vector<TimedSpeakerSegment>& segments) const;
    [[nodiscard]] std::vector<TimedSpeakerSegment> excludeOverlaps(const std::vector<TimedSpeakerSegment>& segments) const;

    OfflineDiarizerConfig config_;
    AppLogger logger_{"OfflineReconstruction"};
};

}  // namespace Tervane
