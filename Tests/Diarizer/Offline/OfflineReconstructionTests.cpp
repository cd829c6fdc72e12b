#include "Support/CapturingLogSink.hpp"

#include <Tervane/Diarizer/Offline/OfflineReconstruction.hpp>

#include <gtest/gtest.h>

#include <set>

namespace Tervane {

struct OfflineReconstructionTestAccess {
    static std::vector<TimedSpeakerSegment> merge(const OfflineReconstruction& reconstruction,
                                                  const std::vector<TimedSpeakerSegment>& segments, double gap) {
        return reconstruction.mergeSegments(segments, gap);
    }
    static std::vector<TimedSpeakerSegment> sanitize(const OfflineReconstruction& reconstruction,
                                                     const std::vector<TimedSpeakerSegment>& segments) {
        return reconstruction.sanitize(segments);
    }
};

}  // namespace Tervane

namespace {

using namespace Tervane;
using Access = OfflineReconstructionTestAccess;

// Frames of 1/16 s, so every grid time is exact; 32 frames make a 2 s window.
constexpr double frameSeconds = 0.0625;
constexpr std::size_t windowFrames = 32;

/// One local speaker at `value` over frames [from, to) of a chunk.
struct Activity {
    std::size_t speaker;
    std::size_t from;
    std::size_t to;
    float value = 1.0F;
};

struct Chunk {
    double offset;
    std::vector<Activity> activity;
};

SegmentationOutput segmentationOf(const std::vector<Chunk>& chunks) {
    SegmentationOutput output;
    output.numChunks = static_cast<std::int64_t>(chunks.size());
    output.numFrames = windowFrames;
    output.frameDuration = frameSeconds;
    for (const Chunk& chunk : chunks) {
        std::vector<std::vector<float>> weights(windowFrames, std::vector<float>(3, 0.0F));
        for (const Activity& a : chunk.activity) {
            for (std::size_t f = a.from; f < a.to; ++f) {
                weights[f][a.speaker] = a.value;
            }
        }
        output.speakerWeights.push_back(std::move(weights));
        output.chunkOffsets.push_back(chunk.offset);
    }
    return output;
}

/// Centroid i is i + 1 in every one of its four values, so a segment shows whose it is.
std::vector<std::vector<double>> centroids(std::size_t count) {
    std::vector<std::vector<double>> result;
    for (std::size_t i = 0; i < count; ++i) {
        result.emplace_back(4, static_cast<double>(i + 1));
    }
    return result;
}

struct Expected {
    std::string speaker;
    float start;
    float end;
    float quality;
};

void expectSegments(const std::vector<TimedSpeakerSegment>& actual, const std::vector<Expected>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actual[i].speakerId, expected[i].speaker);
        EXPECT_FLOAT_EQ(actual[i].startTimeSeconds, expected[i].start);
        EXPECT_FLOAT_EQ(actual[i].endTimeSeconds, expected[i].end);
        EXPECT_NEAR(actual[i].qualityScore, expected[i].quality, 1e-6);
    }
}

OfflineDiarizerConfig withoutOverlapExclusion() {
    OfflineDiarizerConfig config;
    config.embedding.excludeOverlap = false;
    return config;
}

TEST(OfflineReconstruction, LinksLocalSpeakersOfOverlappingWindowsIntoSpeakerTurns) {
    // Speaker A talks from 0 to 2 s, B from 2 to 4 s; windows of 2 s every second. Each window
    // numbers its speakers its own way: A is local 0, then local 2; B is local 0, then local 1.
    const SegmentationOutput segmentation = segmentationOf({
        {0.0, {{0, 0, 32}}},
        {1.0, {{2, 0, 16}, {0, 16, 32, 0.75F}}},
        {2.0, {{1, 0, 32, 0.75F}}},
    });
    const std::vector<std::vector<int>> clusters = {{0, -2, -2}, {1, -2, 0}, {-2, 1, -2}};
    const std::vector<TimedSpeakerSegment> segments =
        OfflineReconstruction({}).buildSegments(segmentation, clusters, centroids(2));
    expectSegments(segments, {{"S1", 0, 2, 1}, {"S2", 2, 4, 0.75F}});
    EXPECT_EQ(segments[0].embedding, std::vector<float>(4, 1.0F));
    EXPECT_EQ(segments[1].embedding, std::vector<float>(4, 2.0F));
    EXPECT_NE(segments[0].id, segments[1].id);
}

TEST(OfflineReconstruction, TheSpeakerCountRoundsHalvesToEven) {
    // Three local speakers on three clusters; the per-frame weight sum sets how many are kept.
    struct Case {
        std::vector<float> weights;
        std::vector<std::string> speakers;
    };
    const Case cases[] = {
        {{0.5F, 0.0F, 0.0F}, {}},                  // 0.5 -> 0
        {{0.75F, 0.75F, 0.0F}, {"S1", "S2"}},      // 1.5 -> 2
        {{1.0F, 0.875F, 0.625F}, {"S1", "S2"}},    // 2.5 -> 2, the two strongest
        {{0.625F, 0.875F, 1.0F}, {"S2", "S3"}},
        {{1.0F, 1.0F, 1.0F}, {"S1", "S2", "S3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.weights));
        std::vector<Activity> activity;
        for (std::size_t s = 0; s < 3; ++s) {
            activity.push_back({s, 0, windowFrames, c.weights[s]});
        }
        const auto segments = OfflineReconstruction(withoutOverlapExclusion())
                                  .buildSegments(segmentationOf({{0.0, activity}}), {{0, 1, 2}}, centroids(3));
        std::vector<std::string> speakers;
        for (const TimedSpeakerSegment& segment : segments) {
            speakers.push_back(segment.speakerId);
            EXPECT_FLOAT_EQ(segment.durationSeconds(), 2.0F);
        }
        std::sort(speakers.begin(), speakers.end());
        EXPECT_EQ(speakers, c.speakers);
    }
}

TEST(OfflineReconstruction, UnassignedActivityStillFillsTheSpeakerCountWithoutQuality) {
    // Nobody assigned: the weights alone make S1 active, with no vote behind it.
    const auto unassigned =
        OfflineReconstruction({}).buildSegments(segmentationOf({{0.0, {{0, 0, 20}}}}), {{-2, -2, -2}}, centroids(2));
    expectSegments(unassigned, {{"S1", 0, 1.25F, 0}});

    // Out-of-range cluster numbers count as none; a chunk without a cluster list is unassigned.
    const auto invalid = OfflineReconstruction({}).buildSegments(
        segmentationOf({{0.0, {{0, 0, 32}}}, {2.0, {{1, 0, 32}}}}), {{7, -1, 2}}, centroids(2));
    expectSegments(invalid, {{"S1", 0, 4, 0}});

    // Silence everywhere gives nothing, whatever the clusters.
    EXPECT_TRUE(OfflineReconstruction({})
                    .buildSegments(segmentationOf({{0.0, {}}}), {{0, 1, -2}}, centroids(2))
                    .empty());
}

TEST(OfflineReconstruction, TwoLocalSpeakersOnOneClusterLeaveTheCountToAnIdleCluster) {
    // Both local speakers belong to cluster 1: it votes once with the larger weight, yet the
    // count is two, so the idle cluster 0 joins it with quality 0.
    const auto segments = OfflineReconstruction(withoutOverlapExclusion())
                              .buildSegments(segmentationOf({{0.0, {{0, 0, 32, 0.8F}, {1, 0, 32, 1.0F}}}}),
                                             {{1, 1, -2}}, centroids(2));
    ASSERT_EQ(segments.size(), 2U);
    const auto& second = segments[0].speakerId == "S2" ? segments[0] : segments[1];
    const auto& first = segments[0].speakerId == "S2" ? segments[1] : segments[0];
    EXPECT_EQ(first.speakerId, "S1");
    EXPECT_FLOAT_EQ(first.qualityScore, 0.0F);
    EXPECT_EQ(first.embedding, std::vector<float>(4, 1.0F));
    EXPECT_FLOAT_EQ(second.qualityScore, 1.0F);
    EXPECT_FLOAT_EQ(first.durationSeconds(), 2.0F);
    EXPECT_FLOAT_EQ(second.durationSeconds(), 2.0F);
}

TEST(OfflineReconstruction, DegenerateInputsGiveNoSegments) {
    const OfflineReconstruction reconstruction({});
    SegmentationOutput noFrameDuration = segmentationOf({{0.0, {{0, 0, 32}}}});
    noFrameDuration.frameDuration = 0;
    SegmentationOutput noChunks = segmentationOf({});
    SegmentationOutput missingWeights = segmentationOf({{0.0, {{0, 0, 32}}}});
    missingWeights.speakerWeights.clear();
    for (const SegmentationOutput& segmentation : {noFrameDuration, noChunks, missingWeights}) {
        EXPECT_TRUE(reconstruction.buildSegments(segmentation, {{0, -2, -2}}, centroids(1)).empty());
    }

    // No centroids at all: S1 still follows the weights, with an empty embedding.
    const auto withoutCentroids = reconstruction.buildSegments(segmentationOf({{0.0, {{0, 0, 32}}}}), {{0}}, {});
    expectSegments(withoutCentroids, {{"S1", 0, 2, 0}});
    EXPECT_TRUE(withoutCentroids[0].embedding.empty());

    // Offsets missing from the list fall back to whole windows.
    SegmentationOutput shortOffsets = segmentationOf({{0.0, {{0, 0, 32}}}, {0.0, {{0, 0, 32}}}});
    shortOffsets.chunkOffsets = {0.0};
    OfflineDiarizerConfig config;
    config.segmentation.windowDurationSeconds = 2.0;
    expectSegments(OfflineReconstruction(config).buildSegments(shortOffsets, {{0}, {0}}, centroids(1)),
                   {{"S1", 0, 4, 1}});
}

TEST(OfflineReconstruction, LogsTheSpeakerCountHistogram) {
    Tervane::Testing::LogCapture log;
    // 4 s of grid: 20 frames with one speaker, 12 with none, 32 (the second window) with two.
    (void)OfflineReconstruction(withoutOverlapExclusion())
        .buildSegments(segmentationOf({{0.0, {{0, 0, 20}}}, {2.0, {{0, 0, 32}, {1, 0, 32}}}}), {{0}, {0, 1}},
                       centroids(2));
    EXPECT_EQ(log->messages("OfflineReconstruction"),
              std::vector<std::string>{"Speaker-count histogram 0:12, 1:20, 2:32"});
}

TimedSpeakerSegment segment(const std::string& speaker, float start, float end, float quality = 1.0F) {
    return TimedSpeakerSegment(speaker, {1.0F}, start, end, quality);
}

TEST(OfflineReconstruction, MergesOnlyNeighbouringTurnsOfOneSpeaker) {
    const OfflineReconstruction reconstruction({});
    // Out of order on purpose: merging sorts by start first.
    const auto merged =
        Access::merge(reconstruction, {segment("S1", 5.05F, 9.0F, 0.5F), segment("S1", 0.0F, 5.0F, 1.0F)}, 0.1);
    expectSegments(merged, {{"S1", 0, 9, (5.0F * 1.0F + 3.95F * 0.5F) / 8.95F}});

    const auto apart = Access::merge(
        reconstruction, {segment("S1", 0.0F, 5.0F), segment("S2", 5.0F, 6.0F), segment("S1", 5.05F, 9.0F)}, 0.1);
    expectSegments(apart, {{"S1", 0, 5, 1}, {"S2", 5, 6, 1}, {"S1", 5.05F, 9, 1}});

    // Overlapping turns of one speaker merge whatever the threshold; a longer gap does not.
    const auto overlapping = Access::merge(
        reconstruction, {segment("S1", 0.0F, 5.0F), segment("S1", 1.0F, 4.0F), segment("S1", 5.3F, 6.0F)}, 0.0);
    expectSegments(overlapping, {{"S1", 0, 5, 1}, {"S1", 5.3F, 6, 1}});

    // Zero-length turns average their qualities.
    expectSegments(Access::merge(reconstruction, {segment("S1", 2, 2, 1.0F), segment("S1", 2, 2, 0.0F)}, 0.1),
                   {{"S1", 2, 2, 0.5F}});
    EXPECT_TRUE(Access::merge(reconstruction, {}, 0.1).empty());
}

TEST(OfflineReconstruction, SanitizingDropsShortTurnsAndTrimsOverlaps) {
    const OfflineReconstruction reconstruction({});
    expectSegments(Access::sanitize(reconstruction, {segment("S1", 0.0F, 0.99F), segment("S2", 3.0F, 4.0F)}),
                   {{"S2", 3, 4, 1}});

    const auto trimmed = Access::sanitize(reconstruction, {segment("S2", 5, 9, 0.8F), segment("S1", 0, 6, 0.8F)});
    expectSegments(trimmed, {{"S1", 0, 6, 0.8F}, {"S2", 6, 9, 0.6F}});
    EXPECT_EQ(trimmed[1].embedding, std::vector<float>{1.0F});

    expectSegments(Access::sanitize(reconstruction, {segment("S1", 0, 6), segment("S2", 5, 6.5F)}),
                   {{"S1", 0, 6, 1}});
    // A turn inside an earlier one vanishes, and the next is trimmed against the first.
    expectSegments(Access::sanitize(reconstruction, {segment("S1", 0, 6), segment("S2", 2, 4), segment("S3", 5, 8)}),
                   {{"S1", 0, 6, 1}, {"S3", 6, 8, 2.0F / 3.0F}});

    // Without overlap exclusion both turns stay whole.
    expectSegments(Access::sanitize(OfflineReconstruction(withoutOverlapExclusion()),
                                    {segment("S1", 0, 6), segment("S2", 5, 6.5F)}),
                   {{"S1", 0, 6, 1}, {"S2", 5, 6.5F, 1}});
}

TEST(OfflineReconstruction, TheSpeakerDatabaseAveragesEverySegmentOnce) {
    const OfflineReconstruction reconstruction({});
    EXPECT_TRUE(reconstruction.buildSpeakerDatabase({}).empty());
    const auto database = reconstruction.buildSpeakerDatabase({
        TimedSpeakerSegment("S1", {1.0F, 2.0F}, 0, 10, 1),
        TimedSpeakerSegment("S2", {5.0F, 5.0F}, 10, 11, 1),
        TimedSpeakerSegment("S1", {3.0F, 0.0F}, 11, 12, 1),
    });
    EXPECT_EQ(database, (std::map<std::string, std::vector<float>>{{"S1", {2.0F, 1.0F}}, {"S2", {5.0F, 5.0F}}}));
}

}  // namespace
