#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace Tervane {

/// One decoded token of a chunk: its id, its global encoder-frame index and its confidence.
struct TimedToken {
    int token = 0;
    int timestamp = 0;
    float confidence = 0;

    bool operator==(const TimedToken&) const = default;
};

using ChunkTokens = std::vector<TimedToken>;

/// Joins the token lists of two overlapping chunks so that the tokens both chunks saw in the
/// overlap appear once: the longest run of tokens matching by id and time, else a longest
/// common subsequence, else a cut at the middle of the overlap. Nothing here fails.
namespace ChunkStitching {

/// A token of one side's overlap, with its position in that side's whole list.
struct IndexedToken {
    std::size_t index = 0;
    TimedToken token;
    double start = 0;  // seconds
    double end = 0;    // seconds
};

/// Positions within the two overlap lists.
using IndexPairs = std::vector<std::pair<std::size_t, std::size_t>>;

[[nodiscard]] ChunkTokens mergeChunks(const ChunkTokens& left, const ChunkTokens& right, double overlapSeconds,
                                      int sampleRate);

/// The longest contiguous run of matches (equal ids, starts closer than `tolerance`); the
/// first of equally long runs wins.
[[nodiscard]] IndexPairs findBestContiguousPairs(const std::vector<IndexedToken>& overlapLeft,
                                                 const std::vector<IndexedToken>& overlapRight, double tolerance);

/// A longest common subsequence under the same match test, in ascending order.
[[nodiscard]] IndexPairs findLongestCommonSubsequencePairs(const std::vector<IndexedToken>& overlapLeft,
                                                           const std::vector<IndexedToken>& overlapRight,
                                                           double tolerance);

/// Left tokens up to the first match, the matched tokens (left copies) with the longer side's
/// gap between each two, then the right tokens after the last match.
[[nodiscard]] ChunkTokens mergeUsingMatches(const IndexPairs& matches, const std::vector<IndexedToken>& overlapLeft,
                                            const std::vector<IndexedToken>& overlapRight, const ChunkTokens& left,
                                            const ChunkTokens& right);

}  // namespace ChunkStitching

}  // namespace Tervane
