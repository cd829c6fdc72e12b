#include <Tervane/ASR/TdtDecoderV3.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace Tervane;
using Testing::EncoderFrame;
using Testing::scriptedEncoderOutput;

constexpr int blank = 8192;

/// The scripted prediction and joint networks, loaded once for the whole suite.
class TdtDecoderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory_ = new Testing::TemporaryDirectory("tervane-tdt");
        decoder_ = std::make_shared<Testing::ObservedModel>(
            Testing::loadFixtureModel(directory_->path(), "Decoder.mlmodelc", Testing::asrDecoderFixture()));
        joint_ = Testing::loadFixtureModel(directory_->path(), "JointDecision.mlmodelc", Testing::asrJointFixture());
    }
    static void TearDownTestSuite() {
        decoder_.reset();
        joint_.reset();
        delete directory_;
    }

    struct Call {
        std::shared_ptr<MLMultiArray> encoderOutput;
        int encoderSequenceLength = 20;
        int actualAudioFrames = 20;
        int contextFrameAdjustment = 0;
        bool isLastChunk = false;
        int globalFrameOffset = 0;
    };

    TdtHypothesis decode(const Call& call, TdtDecoderState& state, const TdtConfig& tdt = {}) {
        TdtDecoderV3 decoder(ASRConfig{16000, tdt});
        return decoder.decodeWithTimings(call.encoderOutput, call.encoderSequenceLength, call.actualAudioFrames,
                                         *decoder_, *joint_, state, call.contextFrameAdjustment, call.isLastChunk,
                                         call.globalFrameOffset);
    }

    /// The `processingFailed` message a call fails with, or "" when it succeeds.
    std::string failure(const Call& call, const TdtConfig& tdt = {}) {
        TdtDecoderState state;
        try {
            (void)decode(call, state, tdt);
        } catch (const ASRError& error) {
            EXPECT_EQ(error.kind(), ASRError::Kind::processingFailed);
            return error.message();
        }
        return "";
    }

    static inline Testing::TemporaryDirectory* directory_ = nullptr;
    static inline std::shared_ptr<Testing::ObservedModel> decoder_;
    static inline std::shared_ptr<MLModel> joint_;
};

/// Distinct tokens 100 + f at every frame f from `first` on, each lasting one frame.
std::vector<EncoderFrame> tokenAtEveryFrame(int frames, int first = 0) {
    std::vector<EncoderFrame> scripted;
    for (int frame = first; frame < frames; ++frame) {
        scripted.push_back({frame, 100.0 + frame, 1, 1});
    }
    return scripted;
}

TEST_F(TdtDecoderTest, StartPositionFollowsTheCarriedTimeJump) {
    struct Case {
        std::optional<int> timeJump;
        int adjustment;
        int firstFrame;
    };
    const Case cases[] = {{std::nullopt, 0, 0}, {std::nullopt, 4, 4}, {0, 0, 25}, {-3, 0, 0}, {2, 3, 5}, {0, 1, 1}};
    for (const Case& c : cases) {
        TdtDecoderState state;
        state.timeJump = c.timeJump;
        const TdtHypothesis hypothesis =
            decode({.encoderOutput = scriptedEncoderOutput(30, tokenAtEveryFrame(30)), .encoderSequenceLength = 30,
                    .actualAudioFrames = 30, .contextFrameAdjustment = c.adjustment},
                   state);
        ASSERT_FALSE(hypothesis.timestamps.empty());
        EXPECT_EQ(hypothesis.timestamps.front(), c.firstFrame) << c.timeJump.value_or(-99) << " + " << c.adjustment;
        EXPECT_EQ(hypothesis.ySequence.front(), 100 + c.firstFrame);
    }
}

TEST_F(TdtDecoderTest, NothingIsEmittedAtOrAfterTheEffectiveLength) {
    // Frame 11's token lasts one frame and so reaches the effective length 12: it is dropped.
    const auto output = scriptedEncoderOutput(20, {{5, 7, 1, 0.9}, {11, 8, 1, 1}, {12, 9, 1, 1}, {15, 10, 1, 1}});
    TdtDecoderState state;
    const TdtHypothesis hypothesis =
        decode({.encoderOutput = output, .actualAudioFrames = 12, .globalFrameOffset = 100}, state);
    EXPECT_EQ(hypothesis.ySequence, (std::vector<int>{7}));
    EXPECT_EQ(hypothesis.timestamps, (std::vector<int>{105}));
    EXPECT_FLOAT_EQ(hypothesis.score, 0.9F);
    EXPECT_EQ(state.lastToken, 7);
    EXPECT_EQ(state.timeJump, 0);  // frame 11's duration carried the cursor exactly to the end
    EXPECT_TRUE(hypothesis.tokenDurations.empty());
}

TEST_F(TdtDecoderTest, TooManySymbolsAtOneFrameForceTimeForward) {
    // A token with duration 0 keeps the cursor at its frame: ten emissions, then the eleventh
    // decision is made one frame later.
    const auto output = scriptedEncoderOutput(20, {{3, 7, 0, 1}, {4, 8, 1, 1}});
    TdtDecoderState state;
    const TdtHypothesis hypothesis = decode({.encoderOutput = output}, state);
    std::vector<int> expectedTokens(10, 7);
    std::vector<int> expectedFrames(10, 3);
    expectedTokens.push_back(8);
    expectedFrames.push_back(4);
    EXPECT_EQ(hypothesis.ySequence, expectedTokens);
    EXPECT_EQ(hypothesis.timestamps, expectedFrames);
}

TEST_F(TdtDecoderTest, TheTokenLimitEndsTheCallAtTheLastFrame) {
    // At the last frame time cannot move on, so the duration-0 token repeats until the limit.
    const auto output = scriptedEncoderOutput(20, {{19, 7, 0, 1}});
    TdtDecoderState state;
    const TdtHypothesis hypothesis = decode({.encoderOutput = output}, state);
    EXPECT_EQ(hypothesis.ySequence.size(), 150U);
    EXPECT_EQ(hypothesis.timestamps.front(), 19);
    EXPECT_EQ(hypothesis.timestamps.back(), 19);
    EXPECT_EQ(state.timeJump, -1);  // the cursor stood at frame 19 of 20
}

TEST_F(TdtDecoderTest, ConfidenceIsAClampedProbability) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const auto output = scriptedEncoderOutput(
        20, {{1, 5, 1, nan}, {2, 6, 1, 1.3}, {3, 7, 1, -0.2}, {4, 8, 1, 0.25}, {5, 9, 1, infinity}});
    TdtDecoderState state;
    const TdtHypothesis hypothesis = decode({.encoderOutput = output}, state);
    EXPECT_EQ(hypothesis.tokenConfidences, (std::vector<float>{0, 1, 0, 0.25F, 0}));
    EXPECT_FLOAT_EQ(hypothesis.score, 1.25F);
}

TEST_F(TdtDecoderTest, BadOutputsFailWithTheirMessages) {
    const auto frames = scriptedEncoderOutput(20, {{2, 7, 5, 1}});
    EXPECT_EQ(failure({.encoderOutput = frames}), "Duration bin index out of range: 5");
    EXPECT_EQ(failure({.encoderOutput = scriptedEncoderOutput(20, {{2, 7, -1, 1}})}),
              "Duration bin index out of range: -1");
    EXPECT_EQ(failure({.encoderOutput = MLMultiArray::make({1, 512, 20}, MLMultiArrayDataType::float32)}),
              "Encoder hidden size mismatch: [1, 512, 20]");
    EXPECT_EQ(failure({.encoderOutput = MLMultiArray::make({2, 1024, 20}, MLMultiArrayDataType::float32)}),
              "Unsupported batch dimension: 2");
    EXPECT_EQ(failure({.encoderOutput = MLMultiArray::make({1024, 20}, MLMultiArrayDataType::float32)}),
              "Invalid encoder output shape: [1024, 20]");
    EXPECT_EQ(failure({.encoderOutput = MLMultiArray::make({1, 1024, 20}, MLMultiArrayDataType::float16)}),
              "Unsupported encoder output type: float16");
    // The effective length reaches past the frames the output holds.
    EXPECT_EQ(failure({.encoderOutput = scriptedEncoderOutput(10, {}), .encoderSequenceLength = 30,
                       .actualAudioFrames = 30}),
              "Encoder frame index out of range: 10");
}

TEST_F(TdtDecoderTest, BothEncoderLayoutsDecodeIdentically) {
    const std::vector<EncoderFrame> scripted{{0, 3, 2, 0.5}, {2, 4, 0, 1}, {3, 5, 1, 0.75}, {9, 6, 4, 1}, {13, 7, 1, 1}};
    TdtDecoderState first;
    TdtDecoderState second;
    const TdtHypothesis hiddenFirst = decode({.encoderOutput = scriptedEncoderOutput(20, scripted, false)}, first);
    const TdtHypothesis timeFirst = decode({.encoderOutput = scriptedEncoderOutput(20, scripted, true)}, second);
    // Token 4 has duration 0 and repeats ten times at frame 2.
    EXPECT_EQ(hiddenFirst.ySequence.size(), 14U);
    EXPECT_EQ(hiddenFirst.ySequence, timeFirst.ySequence);
    EXPECT_EQ(hiddenFirst.timestamps, timeFirst.timestamps);
    EXPECT_EQ(hiddenFirst.tokenConfidences, timeFirst.tokenConfidences);
    EXPECT_EQ(first.timeJump, second.timeJump);
}

TEST_F(TdtDecoderTest, TooShortOrExhaustedWindowsLeaveTheStateAlone) {
    TdtDecoderState state;
    state.timeJump = 7;
    state.lastToken = 42;
    const auto hidden = state.hiddenState;
    for (const Call& call : {Call{.encoderOutput = scriptedEncoderOutput(20, tokenAtEveryFrame(20)),
                                  .encoderSequenceLength = 1},
                             Call{.encoderOutput = scriptedEncoderOutput(20, tokenAtEveryFrame(20)),
                                  .actualAudioFrames = 5}}) {
        const TdtHypothesis hypothesis = decode(call, state);
        EXPECT_TRUE(hypothesis.ySequence.empty());
        EXPECT_EQ(hypothesis.score, 0);
        EXPECT_EQ(state.timeJump, 7);
        EXPECT_EQ(state.lastToken, 42);
        EXPECT_EQ(state.hiddenState, hidden);
        EXPECT_EQ(state.predictorOutput, nullptr);
    }
}

TEST_F(TdtDecoderTest, StateCarriesIntoTheNextWindowAndBlanksNeverRunThePredictionNetwork) {
    TdtDecoderState state;
    const std::int64_t before = decoder_->predictionCount();
    const TdtHypothesis first =
        decode({.encoderOutput = scriptedEncoderOutput(20, {{4, 11, 1, 1}, {17, 12, 2, 1}, {19, blank, 3, 1}})}, state);
    // One run to prime the state with blank, one per emitted token.
    EXPECT_EQ(decoder_->predictionCount() - before, 3);
    EXPECT_EQ(first.ySequence, (std::vector<int>{11, 12}));
    EXPECT_EQ(state.lastToken, 12);
    EXPECT_EQ(state.timeJump, 2);  // the blank at frame 19 lasts three frames, two past the end
    ASSERT_NE(state.predictorOutput, nullptr);
    // The fixture's prediction network counts the tokens it consumed in its hidden state.
    EXPECT_EQ(state.hiddenState->value(0), 3);

    const std::int64_t between = decoder_->predictionCount();
    const TdtHypothesis second =
        decode({.encoderOutput = scriptedEncoderOutput(20, {{1, 13, 1, 1}, {2, 14, 1, 1}})}, state);
    EXPECT_EQ(second.ySequence, (std::vector<int>{14}));  // starts at frame 2, after the jump
    EXPECT_EQ(decoder_->predictionCount() - between, 1);  // the cached output was used, not re-primed
    EXPECT_EQ(state.hiddenState->value(0), 4);
}

TEST_F(TdtDecoderTest, PunctuationAtTheEndOfAWindowIsFedAgainNextTime) {
    TdtDecoderState state;
    (void)decode({.encoderOutput = scriptedEncoderOutput(20, {{4, 7883, 1, 1}})}, state);
    EXPECT_EQ(state.lastToken, 7883);
    EXPECT_EQ(state.predictorOutput, nullptr);

    const std::int64_t before = decoder_->predictionCount();
    const TdtHypothesis next = decode({.encoderOutput = scriptedEncoderOutput(40, {{30, 5, 1, 1}}),
                                       .encoderSequenceLength = 40, .actualAudioFrames = 40},
                                      state);
    EXPECT_EQ(next.ySequence, (std::vector<int>{5}));
    EXPECT_EQ(decoder_->predictionCount() - before, 2);  // the mark again, then the new token
}

TEST_F(TdtDecoderTest, TheLastWindowLooksAgainAtItsFinalFramesAndEndsTheStream) {
    // Frame 19's token lasts past the end, so the main loop drops it; the last-window pass
    // evaluates frames 19, 19, 18, 19, ... and emits at the clamped cursor.
    const auto output = scriptedEncoderOutput(20, {{5, 7, 1, 1}, {19, 9, 1, 1}});
    TdtDecoderState state;
    const TdtHypothesis hypothesis = decode({.encoderOutput = output, .isLastChunk = true}, state);
    ASSERT_GE(hypothesis.ySequence.size(), 2U);
    EXPECT_EQ(hypothesis.ySequence[0], 7);
    EXPECT_EQ(hypothesis.ySequence[1], 9);
    EXPECT_EQ(hypothesis.timestamps[1], 19);
    EXPECT_EQ(state.timeJump, std::nullopt);
    EXPECT_EQ(state.predictorOutput, nullptr);
    EXPECT_EQ(state.lastToken, 9);
    EXPECT_TRUE(hypothesis.tokenDurations.empty());

    // Without a token at the end, the pass stops after five blanks and emits nothing.
    TdtDecoderState quiet;
    const TdtHypothesis plain =
        decode({.encoderOutput = scriptedEncoderOutput(20, {{5, 7, 1, 1}}), .isLastChunk = true}, quiet);
    EXPECT_EQ(plain.ySequence, (std::vector<int>{7}));
    EXPECT_EQ(quiet.timeJump, std::nullopt);
}

TEST(TdtDecoderProjection, AcceptsEitherLayoutAndChecksTheRest) {
    auto destination = ANEOptimizer::createANEAlignedArray({1, 640, 1}, MLMultiArrayDataType::float32);
    for (const MLShape& shape : {MLShape{1, 640, 1}, MLShape{1, 1, 640}}) {
        auto projection = MLMultiArray::make(shape, MLMultiArrayDataType::float32);
        for (std::int64_t i = 0; i < 640; ++i) {
            projection->setValue(i, static_cast<double>(i));
        }
        TdtDecoderV3::populatePreparedDecoderProjection(*projection, *destination);
        EXPECT_EQ(destination->value(639), 639);
        EXPECT_EQ(destination->value(17), 17);
    }
    const auto message = [&](const MLShape& shape, MLMultiArrayDataType type = MLMultiArrayDataType::float32) {
        try {
            TdtDecoderV3::populatePreparedDecoderProjection(*MLMultiArray::make(shape, type), *destination);
        } catch (const ASRError& error) {
            return error.message();
        }
        return std::string();
    };
    EXPECT_EQ(message({640}), "Invalid decoder projection rank: [640]");
    EXPECT_EQ(message({2, 640, 1}), "Unsupported decoder batch dimension: 2");
    EXPECT_EQ(message({1, 640, 1}, MLMultiArrayDataType::float16), "Unsupported decoder projection type: float16");
    EXPECT_EQ(message({1, 320, 2}), "Decoder projection hidden size mismatch: [1, 320, 2]");
    EXPECT_EQ(message({1, 640, 2}), "Decoder projection time axis must be 1: [1, 640, 2]");
    auto wrongDestination = MLMultiArray::make({1, 640}, MLMultiArrayDataType::float32);
    try {
        TdtDecoderV3::populatePreparedDecoderProjection(*MLMultiArray::make({1, 640, 1}, MLMultiArrayDataType::float32),
                                                        *wrongDestination);
        FAIL();
    } catch (const ASRError& error) {
        EXPECT_EQ(error.message(), "Prepared decoder step shape mismatch: 1x640");
    }
}

}  // namespace
