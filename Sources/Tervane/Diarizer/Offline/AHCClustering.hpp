#pragma once

#include <Tervane/Platform/Signposter.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstdint>
#include <vector>

namespace Tervane {

/// First speaker clustering of a recording: centroid linkage over length-normalised
/// embeddings, cut at the Euclidean distance that matches a cosine-similarity threshold.
class AHCClustering {
public:
    AHCClustering();

    /// One label per embedding, in input order, numbered 0 … K − 1 by first member. Never
    /// fails: a linkage failure is logged and every embedding gets its own cluster. All rows
    /// must have one length.
    [[nodiscard]] std::vector<int> cluster(const std::vector<std::vector<double>>& embeddingFeatures,
                                           double threshold) const;

    /// Euclidean distance between two unit vectors whose cosine similarity is `threshold`
    /// (clamped to [−1, 1]); +∞ for NaN.
    [[nodiscard]] double convertThresholdToDistance(double threshold) const;

    /// Rows laid end to end, each scaled to unit length (a zero row stays zero).
    [[nodiscard]] static std::vector<double> normalizeFeatures(const std::vector<std::vector<double>>& rows,
                                                               std::size_t dimension);

    /// Cuts the dendrogram (n − 1 rows of 4, row-major) from the root at `distanceThreshold`.
    [[nodiscard]] static std::vector<int> assignmentsFromDendrogram(const std::vector<double>& dendrogram,
                                                                    std::size_t count,
                                                                    double distanceThreshold);

    /// Renumbers labels by first appearance, from 0.
    [[nodiscard]] static std::vector<int> remapClusterIds(const std::vector<int>& labels);

private:
    AppLogger logger_{"OfflineAHC"};
    Signposter signposter_;
};

}  // namespace Tervane
