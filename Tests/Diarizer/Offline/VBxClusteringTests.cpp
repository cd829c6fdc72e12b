#include "Support/CapturingLogSink.hpp"
#include "Support/RecordingSignpostSink.hpp"

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Diarizer/Offline/PLDATransform.hpp>
#include <Tervane/Diarizer/Offline/VBxClustering.hpp>
#include <Tervane/Platform/Signposter.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;

using Rows = std::vector<std::vector<double>>;

constexpr std::size_t rhoDimension = 128;

/// VBx only reads psi, so the transform needs no rho model.
VBxClustering makeVBx(std::int64_t maxIterations = 20, std::vector<double> psi = std::vector<double>(rhoDimension, 1.0),
                      double tolerance = 0.0001) {
    OfflineDiarizerConfig config;
    config.vbx.maxIterations = maxIterations;
    config.vbx.convergenceTolerance = tolerance;
    return VBxClustering(config, PLDATransform(nullptr, std::move(psi)));
}

Rows randomRows(std::size_t count, std::size_t dimension, unsigned seed, double scale = 1.0) {
    std::mt19937_64 generator(seed);
    std::normal_distribution<double> normal(0.0, scale);
    Rows rows(count, std::vector<double>(dimension));
    for (auto& row : rows) {
        for (double& value : row) {
            value = normal(generator);
        }
    }
    return rows;
}

TEST(VBxClusteringTests, EmptyWarmStartRunsWithOneSpeaker) {
    const VBxOutput output = makeVBx().refine(randomRows(5, rhoDimension, 1), {});
    EXPECT_EQ(output.numClusters, 1);
    EXPECT_EQ(output.gamma, Rows(5, std::vector<double>{1.0}));
    EXPECT_EQ(output.pi, std::vector<double>{1.0});
    EXPECT_EQ(output.hardClusters, (std::vector<std::vector<int>>{{0, 0, 0, 0, 0}}));
    EXPECT_TRUE(output.centroids.empty());
}

TEST(VBxClusteringTests, IdenticalRowsEndUpWithOneLabel) {
    const Rows rows(4, randomRows(1, rhoDimension, 2).front());
    const VBxOutput output = makeVBx(1).refine(rows, {0, 0, 1, 1});
    ASSERT_EQ(output.gamma.size(), 4U);
    for (const auto& row : output.gamma) {
        EXPECT_EQ(row, output.gamma.front());
    }
    ASSERT_EQ(output.hardClusters.size(), 1U);
    const std::vector<int>& labels = output.hardClusters.front();
    EXPECT_EQ(labels, std::vector<int>(4, labels.front()));
    EXPECT_EQ(output.elbos.size(), 1U);
}

TEST(VBxClusteringTests, SmoothedWarmStartWithoutIterations) {
    const LogCapture log;
    // Three rows, two labels: the last row has none and starts uniform.
    const VBxOutput output = makeVBx(0).refine(randomRows(3, rhoDimension, 3), {1, 0});
    const double e = std::exp(-7.0);
    const double high = 1.0 / (1.0 + e);
    const double low = e / (1.0 + e);
    ASSERT_EQ(output.gamma.size(), 3U);
    EXPECT_DOUBLE_EQ(output.gamma[0][0], low);
    EXPECT_DOUBLE_EQ(output.gamma[0][1], high);
    EXPECT_DOUBLE_EQ(output.gamma[1][0], high);
    EXPECT_DOUBLE_EQ(output.gamma[1][1], low);
    EXPECT_EQ(output.gamma[2], (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(output.hardClusters, (std::vector<std::vector<int>>{{1, 0, 0}}));  // a tie goes to speaker 0
    EXPECT_EQ(output.pi, (std::vector<double>{0.5, 0.5}));
    EXPECT_TRUE(output.elbos.empty());
    EXPECT_EQ(log->messages("OfflineVBx"),
              (std::vector<std::string>{"VBx warm start clusters: 2 histogram: [0: 1, 1: 1]",
                                        "VBx mixture weights \u2013 min: 0.5, max: 0.5, count: 2"}));
}

TEST(VBxClusteringTests, SmoothingFollowsTheSpeakerCountAndClampsLabels) {
    // Three distinct labels, so three speakers: a one-hot row keeps 1 / (1 + 2e−7) on its
    // column. Labels outside 0 … S − 1 share the first or last column.
    const VBxClustering vbx = makeVBx(0);
    const VBxOutput output = vbx.refine(randomRows(5, rhoDimension, 4), {0, 5, -3, 5, 0});
    const double e = std::exp(-7.0);
    ASSERT_EQ(output.numClusters, 3);
    EXPECT_DOUBLE_EQ(output.gamma[1][2], 1.0 / (1.0 + 2.0 * e));
    EXPECT_DOUBLE_EQ(output.gamma[1][0], e / (1.0 + 2.0 * e));
    EXPECT_EQ(output.hardClusters.front(), (std::vector<int>{0, 2, 0, 2, 0}));
}

TEST(VBxClusteringTests, MismatchedPsiFallsBackToIdentity) {
    const Rows rows = randomRows(6, rhoDimension, 5);
    const std::vector<int> labels = {0, 0, 1, 1, 2, 2};
    const LogCapture log;
    const VBxOutput fallback = makeVBx(5, std::vector<double>(127, 3.0)).refine(rows, labels);
    const auto entries = log->entries("OfflineVBx");
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.front().message, "PLDA psi dimension (127) mismatches rho dimension (128); falling back to identity");
    EXPECT_EQ(entries.front().level, AppLogger::Level::warning);

    const VBxOutput identity = makeVBx(5).refine(rows, labels);
    EXPECT_EQ(fallback.gamma, identity.gamma);
    EXPECT_EQ(fallback.elbos, identity.elbos);
}

TEST(VBxClusteringTests, StopsWhenSuccessiveBoundsDifferByLessThanTheTolerance) {
    const Rows rows = randomRows(30, rhoDimension, 6, 2.0);
    std::vector<int> labels(30);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        labels[i] = static_cast<int>(i % 3);
    }
    const std::vector<double> all = makeVBx(12, std::vector<double>(rhoDimension, 1.0), 0.0).refine(rows, labels).elbos;
    ASSERT_EQ(all.size(), 12U);  // a zero tolerance never stops early

    // Each tolerance between two of the observed steps stops right after the first step below it.
    for (std::size_t stop = 1; stop < all.size(); ++stop) {
        const double step = std::abs(all[stop] - all[stop - 1]);
        const double tolerance = std::nextafter(step, INFINITY);
        std::size_t expected = all.size();
        for (std::size_t i = 1; i < all.size(); ++i) {
            if (std::abs(all[i] - all[i - 1]) < tolerance) {
                expected = i + 1;
                break;
            }
        }
        SCOPED_TRACE("tolerance " + std::to_string(tolerance));
        const std::vector<double> stopped =
            makeVBx(12, std::vector<double>(rhoDimension, 1.0), tolerance).refine(rows, labels).elbos;
        EXPECT_EQ(stopped, std::vector<double>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(expected)));
    }
}

TEST(VBxClusteringTests, SeparatesTwoSpeakersFromAMixedWarmStart) {
    // Two speakers far apart in rho space; the warm start puts a third of each speaker's rows in
    // the other's cluster.
    const std::size_t perSpeaker = 30;
    Rows rows = randomRows(2 * perSpeaker, rhoDimension, 7, 0.5);
    const std::vector<double> centre = randomRows(1, rhoDimension, 8, 1.5).front();
    std::vector<int> truth;
    std::vector<int> warmStart;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const int speaker = i < perSpeaker ? 0 : 1;
        for (std::size_t d = 0; d < rhoDimension; ++d) {
            rows[i][d] += speaker == 0 ? centre[d] : -centre[d];
        }
        truth.push_back(speaker);
        warmStart.push_back(i % 3 == 0 ? 1 - speaker : speaker);
    }
    const VBxOutput output = makeVBx().refine(rows, warmStart);
    EXPECT_EQ(output.hardClusters, std::vector<std::vector<int>>{truth});
    EXPECT_NEAR(output.pi[0], 0.5, 1e-6);
    EXPECT_GE(output.elbos.size(), 2U);
    EXPECT_GT(output.elbos.back(), output.elbos.front());
}

TEST(VBxClusteringTests, EmptyInputsGiveTheEmptyOutput) {
    const VBxClustering vbx = makeVBx();
    const LogCapture log;
    for (const Rows& rows : {Rows{}, Rows{{}, {}}}) {
        const VBxOutput output = vbx.refine(rows, {0, 1});
        EXPECT_EQ(output.numClusters, 0);
        EXPECT_TRUE(output.gamma.empty());
        EXPECT_TRUE(output.pi.empty());
        EXPECT_TRUE(output.hardClusters.empty());
        EXPECT_TRUE(output.elbos.empty());
    }
    EXPECT_EQ(log->messages("OfflineVBx"), std::vector<std::string>{"VBx received empty feature vectors"});
    EXPECT_EQ(log->entries("OfflineVBx").front().level, AppLogger::Level::error);
}

TEST(VBxClusteringTests, RunRejectsSizesBeyondThirtyTwoBits) {
    const VBxClustering vbx = makeVBx();
    const std::int64_t huge = std::int64_t{1} << 31;
    struct Case {
        std::int64_t frames;
        std::int64_t speakers;
        std::int64_t dimension;
        std::string message;
    };
    // Checked in this order, before any input is read.
    for (const Case& c : {Case{huge, huge, huge, "VBx frame count exceeds supported range"},
                          Case{1, huge, huge, "VBx speaker count exceeds supported range"},
                          Case{1, 1, huge, "VBx feature dimension exceeds supported range"}}) {
        try {
            (void)vbx.runVBx({}, c.frames, c.dimension, {}, {}, c.speakers, 1, 1e-4, 0.07, 0.8, 7.0);
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const ASRError& error) {
            EXPECT_EQ(error.kind(), ASRError::Kind::processingFailed);
            EXPECT_EQ(error.message(), c.message);
        }
    }
    // Lists shorter than their stated sizes are refused instead of being read past their end.
    EXPECT_THROW((void)vbx.runVBx({1.0}, 2, 1, {1.0}, {1.0, 1.0}, 1, 1, 1e-4, 0.07, 0.8, 7.0), ASRError);
}

TEST(VBxClusteringTests, ReshapeCutsRowsOfSpeakerCount) {
    EXPECT_EQ(VBxClustering::reshapeGamma({1, 2, 3, 4, 5, 6}, 3, 2), (Rows{{1, 2}, {3, 4}, {5, 6}}));
    EXPECT_EQ(VBxClustering::reshapeGamma({}, 0, 2), Rows{});
}

TEST(VBxClusteringTests, OneIntervalSpansEachRefinement) {
    auto sink = std::make_shared<RecordingSignpostSink>();
    const auto previous = setSignpostSink(sink);
    (void)makeVBx(2).refine(randomRows(3, rhoDimension, 9), {0, 1, 0});
    setSignpostSink(previous);
    EXPECT_EQ(sink->names(),
              (std::vector<std::string>{"begin VBx Clustering Algorithm", "end VBx Clustering Algorithm"}));
}

}  // namespace
