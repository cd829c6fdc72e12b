#include "Support/CapturingLogSink.hpp"
#include "Support/RecordingSignpostSink.hpp"

#include <Tervane/Diarizer/Offline/AHCClustering.hpp>
#include <Tervane/Platform/Signposter.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;

using Rows = std::vector<std::vector<double>>;

TEST(AHCClusteringTests, CutsTheWorkedExampleBelowTheRoot) {
    const AHCClustering clustering;
    EXPECT_EQ(clustering.cluster({{1, 0}, {1, 0}, {0, 1}}, 0.6), (std::vector<int>{0, 0, 1}));
    // Scale does not matter: rows are compared by direction.
    EXPECT_EQ(clustering.cluster({{0, 3}, {5, 0}, {0.2, 0}}, 0.6), (std::vector<int>{0, 1, 1}));
}

TEST(AHCClusteringTests, ThresholdsBecomeDistancesBetweenUnitVectors) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        double threshold;
        double distance;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {0.6, 0.8944271909999159, {}},
        {0.7045655, 0.7686800374668253, {}},
        {0.0, std::sqrt(2.0), {}},
        {nan, infinity, {}},
        {1.0, 0.0, {}},
        {1.5, 0.0, {"Clustering threshold 1.5 outside cosine range; clamping to [-1, 1]"}},
        {-1.0, 2.0, {}},
        {-3.0, 2.0, {"Clustering threshold -3.0 outside cosine range; clamping to [-1, 1]"}},
    };
    const AHCClustering clustering;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.threshold);
        const LogCapture log;
        EXPECT_EQ(clustering.convertThresholdToDistance(c.threshold), c.distance);
        EXPECT_EQ(log->messages("OfflineAHC"), c.log);
    }
}

TEST(AHCClusteringTests, ExtremeThresholdsKeepOnlyDuplicatesOrEverythingTogether) {
    const AHCClustering clustering;
    const Rows rows = {{1, 0}, {0, 1}, {2, 0}, {0.6, 0.8}, {-1, 0}};
    EXPECT_EQ(clustering.cluster(rows, 1.0), (std::vector<int>{0, 1, 0, 2, 3}));
    EXPECT_EQ(clustering.cluster(rows, -1.0), (std::vector<int>(5, 0)));
    EXPECT_EQ(clustering.cluster(rows, std::numeric_limits<double>::quiet_NaN()), (std::vector<int>(5, 0)));
}

TEST(AHCClusteringTests, SmallInputsNeedNoLinkage) {
    const AHCClustering clustering;
    EXPECT_EQ(clustering.cluster({}, 0.6), std::vector<int>{});
    EXPECT_EQ(clustering.cluster({{}, {}, {}}, 0.6), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(clustering.cluster({{0.3, 0.4}}, 0.6), std::vector<int>{0});
}

TEST(AHCClusteringTests, LinkageFailureGivesEveryEmbeddingItsOwnCluster) {
    const LogCapture log;
    const AHCClustering clustering;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(clustering.cluster({{1, 0}, {1, nan}, {1, 0}}, 0.6), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(log->messages("OfflineAHC"), std::vector<std::string>{"fastcluster failed with status 5"});
    EXPECT_EQ(log->entries("OfflineAHC").front().level, AppLogger::Level::error);
}

TEST(AHCClusteringTests, ClustersAreNumberedByTheirFirstMember) {
    const AHCClustering clustering;
    // A and A' are nearly parallel, B far from both.
    EXPECT_EQ(clustering.cluster({{1, 0, 0}, {0, 1, 0}, {0.99, 0.1, 0}}, 0.6), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(AHCClustering::remapClusterIds({5, 2, 5, 9, 2, 0}), (std::vector<int>{0, 1, 0, 2, 1, 3}));
    EXPECT_EQ(AHCClustering::remapClusterIds({}), std::vector<int>{});
}

TEST(AHCClusteringTests, NormalisesRowsToUnitLengthAndLeavesZeroRowsZero) {
    const std::vector<double> normalized = AHCClustering::normalizeFeatures({{3, 4}, {0, 0}, {0, -2}}, 2);
    const std::vector<double> expected = {0.6, 0.8, 0, 0, 0, -1};
    ASSERT_EQ(normalized.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_DOUBLE_EQ(normalized[i], expected[i]) << i;
    }
}

TEST(AHCClusteringTests, CutWorksFromTheRootThroughInversions) {
    // Node 3 = {0, 1} at height 0.9; root 4 = {2, 3} at 0.5, lower than its child.
    const std::vector<double> inverted = {0, 1, 0.9, 2, 2, 3, 0.5, 3};
    struct Case {
        double threshold;
        std::vector<int> labels;
    };
    for (const Case& c : {Case{0.6, {0, 0, 0}}, Case{0.95, {0, 0, 0}}, Case{0.4, {1, 0, 2}}}) {
        SCOPED_TRACE(c.threshold);
        EXPECT_EQ(AHCClustering::assignmentsFromDendrogram(inverted, 3, c.threshold), c.labels);
    }

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> nanHeights = {0, 1, nan, 2, 2, 3, nan, 3};
    EXPECT_EQ(AHCClustering::assignmentsFromDendrogram(nanHeights, 3, std::numeric_limits<double>::infinity()),
              (std::vector<int>{1, 0, 2}));
    EXPECT_EQ(AHCClustering::assignmentsFromDendrogram({}, 0, 1.0), std::vector<int>{});
    EXPECT_EQ(AHCClustering::assignmentsFromDendrogram({}, 1, 1.0), std::vector<int>{0});
}

TEST(AHCClusteringTests, MalformedDendrogramsCannotIndexOutsideTheLabels) {
    // Children that are not lower-numbered nodes are skipped; leaves nobody reached are
    // numbered last, in index order.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(AHCClustering::assignmentsFromDendrogram({7, 2, 0.1, 2}, 2, 1.0), (std::vector<int>{1, 2}));
    EXPECT_EQ(AHCClustering::assignmentsFromDendrogram({nan, 1, 0.1, 2}, 2, 0.0), (std::vector<int>{1, 0}));
    EXPECT_EQ(AHCClustering::assignmentsFromDendrogram({0, 1}, 2, 1.0), (std::vector<int>{0, 1}));
}

TEST(AHCClusteringTests, OneIntervalSpansEachClusteringThatReachesTheLinkage) {
    auto sink = std::make_shared<RecordingSignpostSink>();
    const auto previous = setSignpostSink(sink);
    const AHCClustering clustering;
    (void)clustering.cluster({{1, 0}}, 0.6);
    (void)clustering.cluster({{1, 0}, {0, 1}}, 0.6);
    setSignpostSink(previous);
    EXPECT_EQ(sink->names(), (std::vector<std::string>{"begin Agglomerative Hierarchical Clustering",
                                                     "end Agglomerative Hierarchical Clustering"}));
}

}  // namespace
