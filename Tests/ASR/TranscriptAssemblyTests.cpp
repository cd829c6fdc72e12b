#include <Tervane/ASR/TranscriptAssembly.hpp>

#include "Support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using namespace Tervane;
using namespace Tervane::TranscriptAssembly;

const AsrVocabulary vocabulary{{1, "\u2581hel"}, {2, "lo"}, {3, "\u2581world"}, {4, "\u2581"},
                               {5, "\t"},        {6, ""},   {7, "\u2581a\u2581b"}};

TEST(TranscriptText, JoinsPiecesTurnsWordMarksIntoSpacesAndSkipsUnknowns) {
    EXPECT_EQ(convertTokensWithExistingTimings({1, 2, 3}, {}, vocabulary).text, "hello world");
    EXPECT_EQ(convertTokensWithExistingTimings({1, 99, 6, 2}, {}, vocabulary).text, "hello");
    EXPECT_EQ(convertTokensWithExistingTimings({7}, {}, vocabulary).text, "a b");
    EXPECT_EQ(convertTokensWithExistingTimings({}, {}, vocabulary).text, "");

    // Timings pair by position in the whole id list; skipped tokens take theirs with them.
    const std::vector<TokenTiming> given{{"x", 1, 0.0, 0.1, 0.5F}, {"y", 99, 0.1, 0.2, 0.6F}, {"z", 2, 0.2, 0.3, 0.7F}};
    const TextAndTimings converted = convertTokensWithExistingTimings({1, 99, 2, 3}, given, vocabulary);
    ASSERT_EQ(converted.timings.size(), 2U);
    EXPECT_EQ(converted.timings[0].token, " hel");
    EXPECT_EQ(converted.timings[1].token, "lo");
    EXPECT_FLOAT_EQ(converted.timings[1].confidence, 0.7F);
}

TEST(TranscriptTimings, EachTokenLastsUntilTheNextOneStarts) {
    const std::vector<TokenTiming> timings = createTokenTimings({1, 2, 3}, {10, 12, 30}, {0.5F, 0.6F, 0.7F}, {}, vocabulary);
    ASSERT_EQ(timings.size(), 3U);
    const double starts[] = {0.8, 0.96, 2.4};
    const double ends[] = {0.96, 2.4, 2.48};
    const char* texts[] = {" hel", "lo", " world"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(timings[i].startTime, starts[i]) << i;
        EXPECT_DOUBLE_EQ(timings[i].endTime, ends[i]) << i;
        EXPECT_EQ(timings[i].token, texts[i]);
    }
    EXPECT_EQ(timings[2].tokenId, 3);
    EXPECT_FLOAT_EQ(timings[2].confidence, 0.7F);
}

TEST(TranscriptTimings, OrderIsByFrameStableAndUnknownIdsAreNamed) {
    // Decoded out of order: sorted by frame, ties keep decoding order.
    const std::vector<TokenTiming> timings =
        createTokenTimings({3, 42, 1, 2}, {20, 5, 5, 6}, {0.1F, 0.2F, 0.3F, 0.4F}, {}, vocabulary);
    ASSERT_EQ(timings.size(), 4U);
    EXPECT_EQ(timings[0].token, "token_42");
    EXPECT_EQ(timings[1].token, " hel");
    EXPECT_EQ(timings[2].token, "lo");
    EXPECT_EQ(timings[3].token, " world");
    EXPECT_DOUBLE_EQ(timings[0].endTime - timings[0].startTime, 0.08);  // the next start is not later
    EXPECT_DOUBLE_EQ(timings[1].endTime, 0.48);

    // Positive durations set the length, at least one frame.
    const std::vector<TokenTiming> timed = createTokenTimings({1, 2}, {0, 1}, {1, 1}, {3, 0}, vocabulary);
    EXPECT_DOUBLE_EQ(timed[0].endTime, 0.24);
    EXPECT_DOUBLE_EQ(timed[1].endTime, 0.16);

    EXPECT_TRUE(createTokenTimings({1, 2}, {0, 1}, {1}, {}, vocabulary).empty());
    EXPECT_TRUE(createTokenTimings({1, 2}, {0}, {1, 1}, {}, vocabulary).empty());
}

TEST(TranscriptConfidence, MeanClampedBlankTextAndMissingConfidences) {
    Testing::LogCapture capture;
    const AppLogger logger("ASR");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::string text;
        std::vector<float> confidences;
        std::size_t tokens;
        float expected;
    };
    const Case cases[] = {
        {"hello", {0.02F, 0.04F}, 2, 0.1F}, {"hello", {0.9F, 1.0F}, 2, 0.95F}, {" \t\n", {0.9F}, 1, 0.1F},
        {"hello", {nan, 1.0F}, 2, 0.1F},    {"hello", {0.9F}, 2, 0.5F},        {"hello", {}, 1, 0.5F},
    };
    for (const Case& c : cases) {
        EXPECT_FLOAT_EQ(overallConfidence(c.text, c.confidences, c.tokens, logger), c.expected) << c.text;
    }
    const std::vector<std::string> warnings = capture->messages("ASR");
    ASSERT_EQ(warnings.size(), 2U);
    EXPECT_EQ(warnings[0], "Expected token confidences but got none - this should not happen");
}

TEST(TranscriptResult, TextTimingsConfidenceAndDuration) {
    const AppLogger logger("ASR");
    const ASRResult result = assembleResult({4, 5}, {1, 2}, {0.9F, 0.9F}, {}, 24000, 16000,
                                            std::chrono::steady_clock::now(), vocabulary, logger);
    EXPECT_EQ(result.text, "");  // whitespace pieces only
    EXPECT_FLOAT_EQ(result.confidence, 0.1F);
    EXPECT_DOUBLE_EQ(result.duration, 1.5);
    ASSERT_TRUE(result.tokenTimings.has_value());
    EXPECT_EQ(result.tokenTimings->size(), 2U);
    EXPECT_GE(result.processingTime, 0);
    EXPECT_FALSE(result.performanceMetrics.has_value());
}

}  // namespace
