#include <Tervane/ASR/ChunkStitching.hpp>

#include <Tervane/ASR/ASRTypes.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace Tervane::ChunkStitching {

namespace {

bool matches(const IndexedToken& left, const IndexedToken& right, double tolerance) {
    return left.token.token == right.token.token && std::abs(left.start - right.start) < tolerance;
}

}  // namespace

IndexPairs findBestContiguousPairs(const std::vector<IndexedToken>& overlapLeft,
                                   const std::vector<IndexedToken>& overlapRight, double tolerance) {
    std::size_t bestLeft = 0;
    std::size_t bestRight = 0;
    std::size_t bestLength = 0;
    for (std::size_t i = 0; i < overlapLeft.size(); ++i) {
        for (std::size_t j = 0; j < overlapRight.size(); ++j) {
            std::size_t length = 0;
            while (i + length < overlapLeft.size() && j + length < overlapRight.size() &&
                   matches(overlapLeft[i + length], overlapRight[j + length], tolerance)) {
                ++length;
            }
            if (length > bestLength) {
                bestLeft = i;
                bestRight = j;
                bestLength = length;
            }
        }
    }
    IndexPairs pairs;
    for (std::size_t k = 0; k < bestLength; ++k) {
        pairs.emplace_back(bestLeft + k, bestRight + k);
    }
    return pairs;
}

IndexPairs findLongestCommonSubsequencePairs(const std::vector<IndexedToken>& overlapLeft,
                                             const std::vector<IndexedToken>& overlapRight, double tolerance) {
    const std::size_t rows = overlapLeft.size() + 1;
    const std::size_t columns = overlapRight.size() + 1;
    std::vector<int> table(rows * columns, 0);
    const auto at = [&](std::size_t i, std::size_t j) -> int& { return table[i * columns + j]; };
    for (std::size_t i = 1; i < rows; ++i) {
        for (std::size_t j = 1; j < columns; ++j) {
            at(i, j) = matches(overlapLeft[i - 1], overlapRight[j - 1], tolerance) ? at(i - 1, j - 1) + 1
                                                                                   : std::max(at(i - 1, j), at(i, j - 1));
        }
    }
    IndexPairs pairs;
    std::size_t i = rows - 1;
    std::size_t j = columns - 1;
    while (i > 0 && j > 0) {
        if (matches(overlapLeft[i - 1], overlapRight[j - 1], tolerance)) {
            pairs.emplace_back(i - 1, j - 1);
            --i;
            --j;
        } else if (at(i - 1, j) > at(i, j - 1)) {
            --i;
        } else {
            --j;
        }
    }
    std::reverse(pairs.begin(), pairs.end());
    return pairs;
}

ChunkTokens mergeUsingMatches(const IndexPairs& matchesFound, const std::vector<IndexedToken>& overlapLeft,
                              const std::vector<IndexedToken>& overlapRight, const ChunkTokens& left,
                              const ChunkTokens& right) {
    std::vector<std::size_t> leftPositions;
    std::vector<std::size_t> rightPositions;
    for (const auto& [l, r] : matchesFound) {
        leftPositions.push_back(overlapLeft[l].index);
        rightPositions.push_back(overlapRight[r].index);
    }
    const auto leftAt = [&](std::size_t k) { return left.begin() + static_cast<std::ptrdiff_t>(k); };
    const auto rightAt = [&](std::size_t k) { return right.begin() + static_cast<std::ptrdiff_t>(k); };

    ChunkTokens merged(left.begin(), leftAt(leftPositions.front()));
    for (std::size_t k = 0; k < leftPositions.size(); ++k) {
        merged.push_back(left[leftPositions[k]]);
        if (k + 1 == leftPositions.size()) {
            break;
        }
        const std::size_t leftGap = leftPositions[k + 1] - leftPositions[k] - 1;
        const std::size_t rightGap = rightPositions[k + 1] - rightPositions[k] - 1;
        if (rightGap > leftGap) {
            merged.insert(merged.end(), rightAt(rightPositions[k] + 1), rightAt(rightPositions[k + 1]));
        } else {
            merged.insert(merged.end(), leftAt(leftPositions[k] + 1), leftAt(leftPositions[k + 1]));
        }
    }
    merged.insert(merged.end(), rightAt(rightPositions.back() + 1), right.end());
    return merged;
}

ChunkTokens mergeChunks(const ChunkTokens& left, const ChunkTokens& right, double overlapSeconds, int sampleRate) {
    if (left.empty()) {
        return right;
    }
    if (right.empty()) {
        return left;
    }
    const double frame = static_cast<double>(ASRConstants::samplesPerEncoderFrame) / sampleRate;
    // Seam positions are compared in whole frames: in seconds, a right chunk starting exactly
    // where the left one ends could look like an overlap by rounding and lose a token.
    const std::int64_t leftEndFrames = std::int64_t{left.back().timestamp} + 1;
    const std::int64_t rightStartFrames = right.front().timestamp;
    const double leftEnd = frame * static_cast<double>(leftEndFrames);
    const double rightStart = frame * static_cast<double>(rightStartFrames);
    if (leftEndFrames <= rightStartFrames) {
        ChunkTokens joined = left;
        joined.insert(joined.end(), right.begin(), right.end());
        return joined;
    }

    const auto indexed = [frame](std::size_t index, const TimedToken& token) {
        const double start = frame * token.timestamp;
        return IndexedToken{index, token, start, start + frame};
    };
    std::vector<IndexedToken> overlapLeft;
    for (std::size_t index = 0; index < left.size(); ++index) {
        if (IndexedToken token = indexed(index, left[index]); token.end > rightStart - overlapSeconds) {
            overlapLeft.push_back(token);
        }
    }
    std::vector<IndexedToken> overlapRight;
    for (std::size_t index = 0; index < right.size(); ++index) {
        if (IndexedToken token = indexed(index, right[index]); token.start < leftEnd + overlapSeconds) {
            overlapRight.push_back(token);
        }
    }

    if (overlapLeft.size() >= 2 && overlapRight.size() >= 2) {
        const double tolerance = overlapSeconds * 0.5;
        const IndexPairs contiguous = findBestContiguousPairs(overlapLeft, overlapRight, tolerance);
        const std::size_t needed = overlapLeft.size() < 4 ? 1 : overlapLeft.size() / 2;
        if (!contiguous.empty() && contiguous.size() >= needed) {
            return mergeUsingMatches(contiguous, overlapLeft, overlapRight, left, right);
        }
        const IndexPairs common = findLongestCommonSubsequencePairs(overlapLeft, overlapRight, tolerance);
        if (!common.empty()) {
            return mergeUsingMatches(common, overlapLeft, overlapRight, left, right);
        }
    }

    // The middle of the overlap, kept doubled so that it stays a whole number of frames.
    const std::int64_t doubledCut = leftEndFrames + rightStartFrames;
    ChunkTokens merged;
    for (const TimedToken& token : left) {
        if (2 * std::int64_t{token.timestamp} <= doubledCut) {
            merged.push_back(token);
        }
    }
    for (const TimedToken& token : right) {
        if (2 * std::int64_t{token.timestamp} >= doubledCut) {
            merged.push_back(token);
        }
    }
    return merged;
}

}  // namespace Tervane::ChunkStitching
