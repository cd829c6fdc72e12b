#include "Support/DiarizerFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/OfflineSegmentationProcessor.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <regex>
#include <stop_token>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;

/// A model that answers every prediction with fixed features.
class FixedAnswerModel final : public MLModel {
public:
    explicit FixedAnswerModel(std::map<std::string, MLFeatureValue> answer) : answer_(std::move(answer)) {}
    const MLModelDescription& modelDescription() const override { return description_; }
    const MLModelConfiguration& configuration() const override { return configuration_; }
    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider&, const MLPredictionOptions&) const override {
        return std::make_shared<MLDictionaryFeatureProvider>(answer_);
    }

private:
    std::map<std::string, MLFeatureValue> answer_;
    MLModelDescription description_;
    MLModelConfiguration configuration_;
};

class OfflineSegmentationProcessorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = std::make_unique<TemporaryDirectory>("tervane-segmentation");
        sevenClasses = loadFixtureModel(directory->path(), "Segmentation.mlmodelc", segmentationFixture());
        eightClasses = loadFixtureModel(directory->path(), "Segmentation8.mlmodelc", segmentationFixture({.classes = 8}));
        rankTwo = loadFixtureModel(directory->path(), "Segmentation2.mlmodelc", segmentationFixture({.rankTwoOutput = true}));
    }
    static void TearDownTestSuite() {
        sevenClasses.reset();
        eightClasses.reset();
        rankTwo.reset();
        directory.reset();
    }

    static SegmentationOutput segment(const std::vector<float>& samples, const MLModel& model,
                                      const SegmentationChunkHandler& handler = {}) {
        return OfflineSegmentationProcessor().process(ArrayAudioSampleSource(samples), model,
                                                      OfflineDiarizerConfig::defaultConfig(), handler);
    }

    inline static std::unique_ptr<TemporaryDirectory> directory;
    inline static std::shared_ptr<MLModel> sevenClasses;
    inline static std::shared_ptr<MLModel> eightClasses;
    inline static std::shared_ptr<MLModel> rankTwo;
};

TEST_F(OfflineSegmentationProcessorTest, WindowsStartEveryStepBelowTheEndAndTheLastIsPadded) {
    struct Case {
        std::size_t samples;
        std::vector<double> offsets;
    };
    const std::vector<Case> cases = {
        {16000, {0}},
        {32000, {0}},
        {32001, {0, 2}},
        {400000, {0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.samples);
        const double seconds = static_cast<double>(c.samples) / 16000;
        // Speaker 0 talks throughout, so activity shows exactly where real audio lies.
        std::vector<float> samples = scriptedRecording({{0, 0, seconds + 1}}, seconds + 1);
        samples.resize(c.samples);
        const SegmentationOutput output = segment(samples, *sevenClasses);
        EXPECT_EQ(output.chunkOffsets, c.offsets);
        ASSERT_EQ(output.numChunks, static_cast<std::int64_t>(c.offsets.size()));
        EXPECT_EQ(output.numFrames, 589);
        EXPECT_EQ(output.numSpeakers, 3);
        EXPECT_DOUBLE_EQ(output.frameDuration, 10.0 / 589);

        // The last window holds audio up to the end and zeros after it.
        const auto& last = output.speakerWeights.back();
        const double audioInLast = seconds - c.offsets.back();
        for (std::size_t f = 0; f < last.size(); ++f) {
            const double start = static_cast<double>(f) * 271 / 16000;
            const double end = start + 271.0 / 16000;
            if (end < audioInLast) {
                EXPECT_GT(last[f][0], 0.99F) << "frame " << f;
            } else if (start > audioInLast) {
                EXPECT_LT(last[f][0], 0.01F) << "frame " << f;
            }
        }
    }
}

TEST_F(OfflineSegmentationProcessorTest, EveryWindowSeesItsOwnStretchOfTheRecording) {
    // 70 s: 35 windows in batches of 32 and 3, most of them filled by shifting the previous one.
    std::vector<SpeakerTurn> turns;
    for (int i = 0; i < 14; ++i) {
        turns.push_back({i % 3, 5.0 * i, 5.0 * i + 4.0});
    }
    const std::vector<float> samples = scriptedRecording(turns, 70);
    const SegmentationOutput output = segment(samples, *sevenClasses);
    ASSERT_EQ(output.numChunks, 35);

    const auto speakerAt = [&turns](double t) {
        for (const SpeakerTurn& turn : turns) {
            if (t >= turn.start + 0.05 && t < turn.end - 0.05) {
                return turn.speaker;
            }
            if (t >= turn.start - 0.05 && t < turn.end + 0.05) {
                return -2;  // too close to an edge to say
            }
        }
        return -1;
    };
    int checked = 0;
    for (std::size_t c = 0; c < 35; ++c) {
        for (std::size_t f = 0; f < 589; ++f) {
            const double t = output.chunkOffsets[c] + (static_cast<double>(f) + 0.5) * 271 / 16000;
            const int speaker = t < 70 ? speakerAt(t) : -1;
            if (speaker == -2) {
                continue;
            }
            for (int s = 0; s < 3; ++s) {
                const float weight = output.speakerWeights[c][f][static_cast<std::size_t>(s)];
                if (s == speaker) {
                    EXPECT_GT(weight, 0.99F) << "chunk " << c << " frame " << f;
                } else {
                    EXPECT_LT(weight, 0.01F) << "chunk " << c << " frame " << f;
                }
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 30 * 589);
}

TEST_F(OfflineSegmentationProcessorTest, DecodesPowersetScoresIntoLogProbabilitiesAndSpeakerWeights) {
    // Speakers 0 and 1 together, then all three (which a seven-class model cannot say).
    const std::vector<float> samples = scriptedRecording({{0, 0, 10}, {1, 0, 10}, {2, 5, 10}}, 10);
    for (const auto& [model, classes] : {std::pair{sevenClasses, 7}, std::pair{eightClasses, 8}}) {
        SCOPED_TRACE(classes);
        const SegmentationOutput output = segment(samples, *model);
        ASSERT_EQ(output.numChunks, 5);
        const auto& logProbs = output.logProbs[0];
        const auto& weights = output.speakerWeights[0];
        for (std::size_t f = 0; f < 589; ++f) {
            ASSERT_EQ(logProbs[f].size(), static_cast<std::size_t>(classes));
            std::vector<float> p(8, 0.0F);
            for (std::size_t k = 0; k < logProbs[f].size(); ++k) {
                p[k] = std::exp(logProbs[f][k]);
            }
            EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0F), 1.0F, 1e-4F);
            EXPECT_NEAR(weights[f][0], std::min(1.0F, p[1] + p[4] + p[5] + p[7]), 1e-5F);
            EXPECT_NEAR(weights[f][1], std::min(1.0F, p[2] + p[4] + p[6] + p[7]), 1e-5F);
            EXPECT_NEAR(weights[f][2], std::min(1.0F, p[3] + p[5] + p[6] + p[7]), 1e-5F);
        }
        const std::size_t pair = 100;     // 1.7 s: speakers 0 and 1
        const std::size_t triple = 450;   // 7.6 s: all three
        EXPECT_GT(weights[pair][0], 0.99F);
        EXPECT_GT(weights[pair][1], 0.99F);
        EXPECT_LT(weights[pair][2], 0.01F);
        if (classes == 8) {
            EXPECT_GT(weights[triple][2], 0.99F);
            EXPECT_GT(weights[triple][0], 0.99F);
        } else {
            // Without a triple class the model spreads over the three pairs.
            EXPECT_NEAR(weights[triple][0] + weights[triple][1] + weights[triple][2], 2.0F, 1e-3F);
        }
    }
}

TEST_F(OfflineSegmentationProcessorTest, RankTwoOutputGivesOneChunkPerBatch) {
    // 9 s: five windows (0, 2, 4, 6, 8 s) in one batch, but the model answers for one.
    const std::vector<float> samples = scriptedRecording({{1, 0, 9}}, 9);
    const SegmentationOutput output = segment(samples, *rankTwo);
    EXPECT_EQ(output.numChunks, 1);
    EXPECT_EQ(output.chunkOffsets, std::vector<double>{0});
    ASSERT_EQ(output.speakerWeights.size(), 1U);
    EXPECT_GT(output.speakerWeights[0][10][1], 0.99F);
}

TEST_F(OfflineSegmentationProcessorTest, HandlerSeesChunksInOrderUntilItStops) {
    const std::vector<float> samples = scriptedRecording({{0, 0, 25}}, 25);
    std::vector<std::int64_t> handed;
    const SegmentationOutput output = segment(samples, *sevenClasses, [&](const SegmentationChunk& chunk) {
        handed.push_back(chunk.chunkIndex);
        EXPECT_DOUBLE_EQ(chunk.chunkOffsetSeconds, 2.0 * static_cast<double>(chunk.chunkIndex));
        EXPECT_EQ(chunk.speakerWeights.size(), 589U);
        return chunk.chunkIndex == 3 ? SegmentationChunkContinuation::stop : SegmentationChunkContinuation::proceed;
    });
    EXPECT_EQ(handed, (std::vector<std::int64_t>{0, 1, 2, 3}));
    EXPECT_EQ(output.numChunks, 13);
    EXPECT_EQ(output.speakerWeights.size(), 13U);
}

TEST_F(OfflineSegmentationProcessorTest, BatchesOfUpToThirtyTwoWindowsAfterOneWarmUp) {
    const auto recording = std::make_shared<RecordingModel>(sevenClasses);
    const std::vector<float> samples = scriptedRecording({{2, 10, 20}}, 70);
    const SegmentationOutput output = segment(samples, *recording);
    EXPECT_EQ(output.numChunks, 35);
    const auto calls = recording->calls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[0].at("audio"), (MLShape{1, 1, 160000}));
    EXPECT_EQ(calls[1].at("audio"), (MLShape{32, 1, 160000}));
    EXPECT_EQ(calls[2].at("audio"), (MLShape{3, 1, 160000}));
}

TEST_F(OfflineSegmentationProcessorTest, FailedWarmUpChangesNothing) {
    const auto recording = std::make_shared<RecordingModel>(sevenClasses);
    bool first = true;
    recording->setFailWhen([&first](const RecordingModel::Inputs&) { return std::exchange(first, false); });
    const std::vector<float> samples = scriptedRecording({{0, 1, 4}}, 12);
    EXPECT_EQ(segment(samples, *recording).speakerWeights, segment(samples, *sevenClasses).speakerWeights);
}

TEST_F(OfflineSegmentationProcessorTest, Failures) {
    const auto recording = std::make_shared<RecordingModel>(sevenClasses);
    try {
        (void)segment({}, *recording);
        ADD_FAILURE() << "an empty source was segmented";
    } catch (const OfflineDiarizationError& error) {
        EXPECT_EQ(error.kind(), OfflineDiarizationError::Kind::noSpeechDetected);
    }
    EXPECT_TRUE(recording->calls().empty());

    const std::vector<float> second(16000, 0.0F);
    const auto expectFailure = [&](const MLModel& model, const std::string& description) {
        try {
            (void)segment(second, model);
            ADD_FAILURE() << "expected " << description;
        } catch (const OfflineDiarizationError& error) {
            EXPECT_EQ(error.description(), description);
        }
    };
    expectFailure(FixedAnswerModel({}), "Processing failed: Segmentation model missing expected multiarray output. Available: []");
    expectFailure(FixedAnswerModel({{"scores", MLFeatureValue(fixtureArray({1, 1, 589, 7}))}}),
                  "Processing failed: Unexpected segmentation output shape [1, 1, 589, 7]");

    // A failing model call is passed up unchanged.
    recording->setFailWhen([](const RecordingModel::Inputs&) { return true; });
    EXPECT_THROW((void)segment(second, *recording), std::runtime_error);
}

TEST_F(OfflineSegmentationProcessorTest, OtherOutputNamesAreFoundInOrderOfPreference) {
    const auto scores = fixtureArray({1, 2, 3}, {0, 0, 0, 1, 2, 3});
    const auto other = fixtureArray({1, 2, 3}, {9, 9, 9, 9, 9, 9});
    const std::vector<float> second(16000, 0.0F);
    const SegmentationOutput output =
        segment(second, FixedAnswerModel({{"a_first", MLFeatureValue(other)}, {"log_probs", MLFeatureValue(scores)}}));
    ASSERT_EQ(output.logProbs.size(), 1U);
    EXPECT_EQ(output.numFrames, 2);
    EXPECT_DOUBLE_EQ(output.frameDuration, 5.0);
    const float l3 = std::log(3.0F);
    EXPECT_NEAR(output.logProbs[0][0][0], -l3, 1e-6F);
    EXPECT_NEAR(output.logProbs[0][1][2], 3.0F - (3.0F + std::log(1.0F + std::exp(-1.0F) + std::exp(-2.0F))), 1e-5F);
}

TEST_F(OfflineSegmentationProcessorTest, CancellationStopsBeforeTheNextBatch) {
    const auto recording = std::make_shared<RecordingModel>(sevenClasses);
    std::stop_source stop;
    const std::vector<float> samples(70 * 16000, 0.0F);
    EXPECT_THROW((void)OfflineSegmentationProcessor().process(
                     ArrayAudioSampleSource(samples), *recording, OfflineDiarizerConfig::defaultConfig(),
                     [&stop](const SegmentationChunk&) {
                         stop.request_stop();
                         return SegmentationChunkContinuation::proceed;
                     },
                     stop.get_token()),
                 CancellationError);
    EXPECT_EQ(recording->calls().size(), 2U);  // the warm-up and the first batch
}

TEST_F(OfflineSegmentationProcessorTest, WritesOneProfilingLineToStandardError) {
    const std::vector<float> samples = scriptedRecording({{0, 0, 25}}, 25);
    ::testing::internal::CaptureStderr();
    (void)segment(samples, *sevenClasses);
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(written, std::regex(R"(\[Profiling\] Segmentation timings: windows=13 )"
                                                     R"(prepareTotal=\d+\.\d{2}ms \(perWindow=\d+\.\d{4}ms\) )"
                                                     R"(predictionTotal=\d+\.\d{2}ms \(perWindow=\d+\.\d{4}ms\)\n)")))
        << written;
}

}  // namespace
