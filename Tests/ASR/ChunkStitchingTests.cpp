#include <Tervane/ASR/ChunkProcessor.hpp>
#include <Tervane/ASR/ChunkStitching.hpp>

#include <gtest/gtest.h>

namespace {

using namespace Tervane;

/// Tokens with these ids at these frames, confidence 1.
ChunkTokens tokens(const std::vector<std::pair<int, int>>& idsAndFrames) {
    ChunkTokens list;
    for (const auto& [id, frame] : idsAndFrames) {
        list.push_back({id, frame, 1.0F});
    }
    return list;
}

std::vector<int> ids(const ChunkTokens& list) {
    std::vector<int> result;
    for (const TimedToken& token : list) {
        result.push_back(token.token);
    }
    return result;
}

ChunkTokens merge(const ChunkTokens& left, const ChunkTokens& right) {
    return ChunkProcessor{}.mergeChunks(left, right);
}

TEST(ChunkStitching, TheLongestContiguousRunJoinsTheSeam) {
    const ChunkTokens left = tokens({{5, 100}, {6, 101}, {7, 102}, {8, 103}});
    const ChunkTokens right = tokens({{6, 101}, {7, 102}, {8, 103}, {9, 104}});
    std::vector<ChunkStitching::IndexedToken> overlapLeft;
    std::vector<ChunkStitching::IndexedToken> overlapRight;
    for (std::size_t i = 0; i < 4; ++i) {
        overlapLeft.push_back({i, left[i], left[i].timestamp * 0.08, left[i].timestamp * 0.08 + 0.08});
        overlapRight.push_back({i, right[i], right[i].timestamp * 0.08, right[i].timestamp * 0.08 + 0.08});
    }
    EXPECT_EQ(ChunkStitching::findBestContiguousPairs(overlapLeft, overlapRight, 1.0),
              (ChunkStitching::IndexPairs{{1, 0}, {2, 1}, {3, 2}}));
    EXPECT_EQ(merge(left, right), tokens({{5, 100}, {6, 101}, {7, 102}, {8, 103}, {9, 104}}));

    // Equal ids more than the tolerance apart do not match: the seam is cut in the middle.
    const ChunkTokens far = tokens({{6, 120}, {7, 121}, {9, 122}});
    EXPECT_EQ(ids(merge(tokens({{5, 100}, {6, 101}, {7, 102}}), far)), (std::vector<int>{5, 6, 7, 6, 7, 9}));
}

TEST(ChunkStitching, ScatteredMatchesFallBackToTheCommonSubsequenceAndTheLongerGap) {
    const ChunkTokens left = tokens({{1, 100}, {2, 101}, {3, 102}, {4, 103}, {5, 104}, {6, 105}});
    const ChunkTokens right = tokens({{1, 100}, {7, 101}, {7, 101}, {3, 102}, {5, 104}, {9, 105}});
    // Runs of one only (fewer than half the left overlap): the subsequence 1, 3, 5 is used, with
    // the right side's two-token gap between 1 and 3 and the left's one-token gap before 5.
    EXPECT_EQ(ids(merge(left, right)), (std::vector<int>{1, 7, 7, 3, 4, 5, 9}));
}

TEST(ChunkStitching, WithoutMatchesOrOverlapTheSeamIsCutOrJoined) {
    // One left token inside the overlap: cut at the middle (8.0 s); the left token exactly
    // there stays, the right one before it goes.
    EXPECT_EQ(ids(merge(tokens({{1, 50}, {2, 100}}), tokens({{3, 99}, {4, 120}}))), (std::vector<int>{1, 2, 4}));
    // Nothing matches: a token exactly at the cut point survives on both sides.
    EXPECT_EQ(ids(merge(tokens({{1, 100}, {2, 101}}), tokens({{3, 100}, {4, 101}}))), (std::vector<int>{1, 2, 4}));
    // The left side ends before the right one starts: simply joined.
    EXPECT_EQ(ids(merge(tokens({{1, 10}, {2, 20}}), tokens({{3, 21}, {4, 30}}))), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(merge({}, tokens({{3, 21}})), tokens({{3, 21}}));
    EXPECT_EQ(merge(tokens({{3, 21}}), {}), tokens({{3, 21}}));
}

TEST(ChunkStitching, StrideKeepsTwoSecondsOfOverlapAndAtLeastOneFrame) {
    EXPECT_EQ(ChunkProcessor{}.strideSamples(), 207840);
    EXPECT_EQ(ChunkProcessor{.overlapSeconds = 20.0}.strideSamples(), 119920);  // capped at half a chunk
    EXPECT_EQ(ChunkProcessor{.overlapSeconds = 0.0}.strideSamples(), 239840);
}

}  // namespace
