#include <Tervane/Diarizer/Offline/Linkage/CentroidLinkage.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double sentinel = -7.0;

struct Merge {
    std::size_t node1;
    std::size_t node2;
    double distance;
    double size;
};

std::vector<Merge> mergesOf(const std::vector<double>& output) {
    std::vector<Merge> merges;
    for (std::size_t k = 0; k + 4 <= output.size(); k += 4) {
        merges.push_back({static_cast<std::size_t>(output[k]), static_cast<std::size_t>(output[k + 1]),
                          output[k + 2], output[k + 3]});
    }
    return merges;
}

std::vector<double> linkage(const std::vector<double>& data, std::size_t n, std::size_t dim) {
    std::vector<double> output(4 * (n - 1), sentinel);
    EXPECT_EQ(fastcluster_compute_centroid_linkage(data.data(), n, dim, output.data(), output.size()), 0U);
    return output;
}

/// Reference centroid linkage: every step scans all pairs of live clusters for the closest one.
/// Distances and centroids use the same arithmetic as the routine (components summed in order
/// with fused multiply-add), so with distinct distances both give identical bits.
std::vector<Merge> naiveCentroidLinkage(const std::vector<double>& data, std::size_t n, std::size_t dim) {
    std::vector<std::vector<double>> centroids;
    std::vector<double> members;
    for (std::size_t i = 0; i < n; ++i) {
        centroids.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(i * dim),
                               data.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim));
        members.push_back(1.0);
    }
    const auto distance = [&](std::size_t a, std::size_t b) {
        double sum = 0.0;
        for (std::size_t l = 0; l < dim; ++l) {
            const double difference = centroids[a][l] - centroids[b][l];
            sum = std::fma(difference, difference, sum);
        }
        return sum;
    };
    std::vector<std::size_t> live(n);
    for (std::size_t i = 0; i < n; ++i) {
        live[i] = i;
    }
    std::vector<Merge> merges;
    while (live.size() > 1) {
        std::size_t bestI = 0;
        std::size_t bestJ = 1;
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < live.size(); ++i) {
            for (std::size_t j = i + 1; j < live.size(); ++j) {
                const double d = distance(live[i], live[j]);
                if (d < best) {
                    best = d;
                    bestI = i;
                    bestJ = j;
                }
            }
        }
        const std::size_t a = live[bestI];
        const std::size_t b = live[bestJ];
        // The routine's centroid takes the higher-numbered node as the fused term.
        const std::size_t high = std::max(a, b);
        const std::size_t low = std::min(a, b);
        std::vector<double> merged(dim);
        for (std::size_t l = 0; l < dim; ++l) {
            merged[l] = std::fma(centroids[high][l], members[high], centroids[low][l] * members[low]) /
                        (members[high] + members[low]);
        }
        merges.push_back({a, b, std::sqrt(best), members[a] + members[b]});
        centroids.push_back(std::move(merged));
        members.push_back(members[a] + members[b]);
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(bestJ));
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(bestI));
        live.push_back(centroids.size() - 1);
    }
    return merges;
}

TEST(CentroidLinkageTests, MergesDuplicatesFirstAndMeasuresFromTheirCentroid) {
    const std::vector<double> data = {1, 0, 1, 0, 0, 1};
    const std::vector<double> output = linkage(data, 3, 2);
    EXPECT_EQ(output, (std::vector<double>{0, 1, 0, 2, 2, 3, 1.4142135623730951, 3}));
}

TEST(CentroidLinkageTests, MatchesExhaustiveCentroidLinkageOnRandomData) {
    struct Case {
        std::size_t n;
        std::size_t dim;
    };
    // Dimensions off a multiple of four exercise the component tail; the larger sizes the
    // candidate repairs and the batched distance walks.
    for (const Case c : {Case{2, 3}, Case{3, 1}, Case{10, 4}, Case{37, 5}, Case{120, 16}, Case{260, 37}}) {
        SCOPED_TRACE("n=" + std::to_string(c.n) + " dim=" + std::to_string(c.dim));
        std::mt19937_64 generator(c.n * 131 + c.dim);
        std::normal_distribution<double> normal(0.0, 1.0);
        std::vector<double> data(c.n * c.dim);
        for (double& value : data) {
            value = normal(generator);
        }
        const std::vector<Merge> actual = mergesOf(linkage(data, c.n, c.dim));
        const std::vector<Merge> expected = naiveCentroidLinkage(data, c.n, c.dim);
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k) {
            SCOPED_TRACE("merge " + std::to_string(k));
            EXPECT_EQ(actual[k].distance, expected[k].distance);
            EXPECT_EQ(actual[k].node1, std::min(expected[k].node1, expected[k].node2));
            EXPECT_EQ(actual[k].node2, std::max(expected[k].node1, expected[k].node2));
            EXPECT_EQ(actual[k].size, expected[k].size);
        }
    }
}

TEST(CentroidLinkageTests, CentroidMergesCanComeCloserThanTheMergesBeforeThem) {
    // The third point is nearer the first pair's midpoint than the pair were to each other, so
    // the second row's distance is the smaller one.
    const std::vector<double> data = {0, 0, 2, 0, 1, 1.9};
    const std::vector<Merge> merges = mergesOf(linkage(data, 3, 2));
    ASSERT_EQ(merges.size(), 2U);
    EXPECT_EQ(merges[0].node1, 0U);
    EXPECT_EQ(merges[0].node2, 1U);
    EXPECT_DOUBLE_EQ(merges[0].distance, 2.0);
    EXPECT_EQ(merges[1].node1, 2U);
    EXPECT_EQ(merges[1].node2, 3U);
    EXPECT_DOUBLE_EQ(merges[1].distance, 1.9);
}

TEST(CentroidLinkageTests, ReportsEachInvalidInputWithItsStatusAndWritesNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<double> three = {1, 0, 0, 1, 1, 1};
    const std::vector<double> withNan = {1, 0, nan, 1, 1, 1};
    const std::vector<double> withInfinities = {infinity, 0, infinity, 1, 1, 1};  // ∞ − ∞ is NaN
    const std::size_t huge = std::size_t{1} << 31;
    struct Case {
        std::string name;
        const std::vector<double>* data;
        bool outputPresent;
        std::size_t n;
        std::size_t dim;
        std::size_t outputLength;
        std::uint32_t status;
    };
    const std::vector<Case> cases = {
        {"data absent", nullptr, true, 3, 2, 8, 1},
        {"output absent", &three, false, 3, 2, 8, 1},
        {"data absent is tested before n = 0", nullptr, true, 0, 2, 8, 1},
        {"no observations", &three, true, 0, 2, 0, 0},
        {"n = 0 is tested before dim = 0", &three, true, 0, 0, 0, 0},
        {"no dimensions", &three, true, 3, 0, 8, 1},
        {"n beyond 32-bit range", &three, true, huge, 2, 8, 2},
        {"dim beyond 32-bit range", &three, true, 3, huge, 8, 2},
        {"output one short", &three, true, 3, 2, 7, 3},
        {"one observation", &three, true, 1, 2, 0, 0},
        {"NaN component", &withNan, true, 3, 2, 8, 5},
        {"NaN from infinite components", &withInfinities, true, 3, 2, 8, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> output(8, sentinel);
        const std::uint32_t status = fastcluster_compute_centroid_linkage(
            c.data == nullptr ? nullptr : c.data->data(), c.n, c.dim, c.outputPresent ? output.data() : nullptr,
            c.outputLength);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(output, std::vector<double>(8, sentinel));
    }
}

}  // namespace
