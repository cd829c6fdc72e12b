#include <Tervane/Diarizer/Offline/AHCClustering.hpp>

#include <Tervane/Diarizer/Offline/Linkage/CentroidLinkage.h>
#include <Tervane/Diarizer/Offline/OfflineDiagnostics.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <unordered_map>

namespace Tervane {

namespace {

constexpr std::size_t columnsPerMerge = 4;

std::vector<int> ownClusters(std::size_t count) {
    std::vector<int> labels(count);
    std::iota(labels.begin(), labels.end(), 0);
    return labels;
}

}  // namespace

AHCClustering::AHCClustering() : signposter_(OfflineDiagnostics::makeSignposter()) {}

std::vector<int> AHCClustering::cluster(const std::vector<std::vector<double>>& embeddingFeatures,
                                        double threshold) const {
    const std::size_t count = embeddingFeatures.size();
    if (count == 0) {
        return {};
    }
    const std::size_t dimension = embeddingFeatures.front().size();
    if (dimension == 0) {
        return std::vector<int>(count, 0);
    }
    if (count == 1) {
        return {0};
    }

    SignpostIntervalState interval = signposter_.beginInterval("Agglomerative Hierarchical Clustering");
    const std::vector<double> normalized = normalizeFeatures(embeddingFeatures, dimension);
    std::vector<double> dendrogram((count - 1) * columnsPerMerge, 0.0);
    const std::uint32_t status = fastcluster_compute_centroid_linkage(normalized.data(), count, dimension,
                                                                      dendrogram.data(), dendrogram.size());
    if (status != 0) {
        logger_.error("fastcluster failed with status " + std::to_string(status));
        signposter_.endInterval(interval);
        return ownClusters(count);
    }

    const double distanceThreshold = convertThresholdToDistance(threshold);
    std::vector<int> labels = remapClusterIds(assignmentsFromDendrogram(dendrogram, count, distanceThreshold));
    signposter_.endInterval(interval);
    return labels;
}

double AHCClustering::convertThresholdToDistance(double threshold) const {
    if (std::isnan(threshold)) {
        return std::numeric_limits<double>::infinity();
    }
    if (std::abs(threshold) > 1.0) {
        logger_.debug("Clustering threshold " + NumberText::shortest(threshold) +
                      " outside cosine range; clamping to [-1, 1]");
    }
    if (threshold >= 1.0) {
        return 0.0;
    }
    // Unit vectors with cosine c lie √(2 − 2c) apart.
    return std::sqrt(std::max(0.0, 2.0 - 2.0 * std::max(threshold, -1.0)));
}

std::vector<double> AHCClustering::normalizeFeatures(const std::vector<std::vector<double>>& rows,
                                                     std::size_t dimension) {
    std::vector<double> flat(rows.size() * dimension, 0.0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        // A row of another length is a caller error; copy what fits so it cannot overrun.
        const std::size_t length = std::min(rows[i].size(), dimension);
        double* out = flat.data() + i * dimension;
        std::copy_n(rows[i].begin(), length, out);
        const std::span<const double> row(out, dimension);
        const double squaredNorm = VectorRoutines::dotprD(row, row);
        const double scale = squaredNorm > 0.0 ? 1.0 / std::sqrt(squaredNorm) : 0.0;
        for (std::size_t l = 0; l < dimension; ++l) {
            out[l] *= scale;
        }
    }
    return flat;
}

std::vector<int> AHCClustering::assignmentsFromDendrogram(const std::vector<double>& dendrogram, std::size_t count,
                                                          double distanceThreshold) {
    if (count == 0) {
        return {};
    }
    if (count == 1) {
        return {0};
    }
    const auto n = static_cast<std::int64_t>(count);
    // Only complete rows count; a child must be a finite, lower-numbered node, so a malformed
    // dendrogram can neither index out of range nor send the walks round in circles.
    const auto mergeCount =
        std::min<std::int64_t>(n - 1, static_cast<std::int64_t>(dendrogram.size() / columnsPerMerge));
    const auto child = [&](std::int64_t node, std::size_t column) -> std::int64_t {
        const double value = dendrogram[static_cast<std::size_t>(node - n) * columnsPerMerge + column];
        if (!std::isfinite(value) || value < 0.0 || value >= static_cast<double>(node)) {
            return -1;
        }
        return static_cast<std::int64_t>(value);
    };
    const auto isMerge = [&](std::int64_t node) { return node >= n && node < n + mergeCount; };
    const auto height = [&](std::int64_t node) {
        return dendrogram[static_cast<std::size_t>(node - n) * columnsPerMerge + 2];
    };

    std::vector<int> labels(count, -1);
    int next = 0;
    std::vector<std::int64_t> stack{2 * n - 2};
    std::vector<std::int64_t> subtree;
    while (!stack.empty()) {
        const std::int64_t node = stack.back();
        stack.pop_back();
        if (node < 0) {
            continue;
        }
        if (isMerge(node)) {
            // A NaN height compares false and so is never within the threshold.
            if (distanceThreshold >= height(node)) {
                subtree.assign(1, node);
                while (!subtree.empty()) {
                    const std::int64_t member = subtree.back();
                    subtree.pop_back();
                    if (member < 0) {
                        continue;
                    }
                    if (isMerge(member)) {
                        subtree.push_back(child(member, 0));
                        subtree.push_back(child(member, 1));
                    } else if (member < n) {
                        labels[static_cast<std::size_t>(member)] = next;
                    }
                }
                ++next;
            } else {
                stack.push_back(child(node, 0));
                stack.push_back(child(node, 1));
            }
        } else if (node < n && labels[static_cast<std::size_t>(node)] == -1) {
            labels[static_cast<std::size_t>(node)] = next++;
        }
    }
    for (int& label : labels) {
        if (label == -1) {
            label = next++;
        }
    }
    return labels;
}

std::vector<int> AHCClustering::remapClusterIds(const std::vector<int>& labels) {
    std::unordered_map<int, int> numbers;
    std::vector<int> remapped;
    remapped.reserve(labels.size());
    for (const int label : labels) {
        const auto [entry, inserted] = numbers.try_emplace(label, static_cast<int>(numbers.size()));
        remapped.push_back(entry->second);
    }
    return remapped;
}

}  // namespace Tervane
