// Speech segments from block probabilities, the segmentation configuration, and live
// speech events.

#include <Tervane/Audio/AudioConverter.hpp>
#include <Tervane/VAD/VadManager.hpp>

#include "Support/AudioFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "Support/VadFixtures.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <utility>

namespace Tervane {

static void PrintTo(const VadSegment& segment, std::ostream* out) {
    *out << "[" << segment.startTime * 16000 << ", " << segment.endTime * 16000 << ") samples";
}

namespace {

using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;

std::vector<VadResult> resultsOf(const std::vector<float>& probabilities) {
    std::vector<VadResult> results;
    for (const float probability : probabilities) results.push_back({probability, false, 0, VadState::initial()});
    return results;
}

std::vector<VadSegment> segmentsOf(const Ranges& ranges) {
    std::vector<VadSegment> segments;
    for (const auto& [start, end] : ranges) segments.push_back({start / 16000.0, end / 16000.0});
    return segments;
}

std::vector<float> repeated(float probability, std::size_t count) { return std::vector<float>(count, probability); }

std::vector<float> joined(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(VadSegmentationConfig, RefusesValuesOutsideTheirRanges) {
    using Fields = VadSegmentationConfig::Fields;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<Fields, const char*>> refused = {
        {{.minSpeechDuration = -0.1}, "minSpeechDuration"},
        {{.minSpeechDuration = infinity}, "minSpeechDuration"},
        {{.minSilenceDuration = nan}, "minSilenceDuration"},
        {{.maxSpeechDuration = 0}, "maxSpeechDuration"},
        {{.maxSpeechDuration = nan}, "maxSpeechDuration"},
        {{.maxSpeechDuration = -infinity}, "maxSpeechDuration"},
        {{.speechPadding = -1}, "speechPadding"},
        {{.silenceThresholdForSplit = 1.5F}, "silenceThresholdForSplit"},
        {{.negativeThreshold = -0.01F}, "negativeThreshold"},
        {{.negativeThresholdOffset = -0.2F}, "negativeThresholdOffset"},
        {{.minSilenceAtMaxSpeech = infinity}, "minSilenceAtMaxSpeech"},
    };
    for (const auto& [fields, field] : refused) {
        SCOPED_TRACE(field);
        try {
            (void)VadSegmentationConfig(fields);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_THAT(error.what(), ::testing::HasSubstr(field));
        }
    }

    const VadSegmentationConfig edges({.minSpeechDuration = 0, .minSilenceDuration = 0, .maxSpeechDuration = infinity,
                                       .speechPadding = 0, .silenceThresholdForSplit = 1, .negativeThreshold = 0.0F,
                                       .negativeThresholdOffset = 0, .minSilenceAtMaxSpeech = 0});
    EXPECT_EQ(edges.maxSpeechDuration(), infinity);
    EXPECT_THROW(VadSegmentationConfig(0.15, 0.75, 14.0, 0.1, 0.3F, 2.0F, 0.15F, 0.098, true), std::invalid_argument);

    const VadSegmentationConfig defaults = VadSegmentationConfig::defaultConfig();
    EXPECT_FLOAT_EQ(defaults.effectiveNegativeThreshold(0.85F), 0.70F);
    EXPECT_EQ(defaults.effectiveNegativeThreshold(0.1F), 0.01F);
    EXPECT_EQ(VadSegmentationConfig({.negativeThreshold = 0.4F}).effectiveNegativeThreshold(0.85F), 0.4F);
}

TEST(VadSegmentSpeech, FindsSegmentsFromBlockProbabilities) {
    const VadManager manager(VadConfig::defaultConfig(), nullptr);
    const VadSegmentationConfig defaults;
    // Silence ends speech at once, so that segments sit one block apart.
    const auto tight = [](double padding) {
        return VadSegmentationConfig({.minSpeechDuration = 0, .minSilenceDuration = 0, .speechPadding = padding});
    };
    struct Case {
        const char* name;
        std::vector<float> probabilities;
        std::int64_t length;
        VadSegmentationConfig config;
        Ranges expected;
    };
    const std::vector<Case> cases = {
        {"no results", {}, 32768, defaults, {}},
        {"no audio", {0.9F, 0.9F}, 0, defaults, {}},
        {"silence that lasts ends the speech", joined({{0.9F}, repeated(0.1F, 7)}), 32768, defaults, {{0, 5696}}},
        {"silence too short runs to the end", {0.9F, 0.1F, 0.1F, 0.1F}, 16000, defaults, {{0, 16000}}},
        {"speech too close to the end is dropped", {0.1F, 0.1F, 0.9F}, 10000, defaults, {}},
        {"between the thresholds neither starts nor ends speech", joined({{0.8F, 0.8F, 0.9F}, repeated(0.8F, 5)}),
         32768, defaults, {{6592, 32768}}},
        {"a configured negative threshold sets both thresholds", {0.5F, 0.4F, 0.2F, 0.2F, 0.2F, 0.2F}, 24576,
         VadSegmentationConfig({.negativeThreshold = 0.3F}), {{0, 9792}}},
        {"a narrow gap is shared", {0.9F, 0.1F, 0.9F, 0.1F}, 16384, tight(0.15), {{0, 6144}, {6144, 14688}}},
        {"a wide gap takes both paddings", {0.9F, 0.1F, 0.9F, 0.1F}, 16384, tight(0.1), {{0, 5696}, {6592, 13888}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(manager.segmentSpeech(resultsOf(c.probabilities), c.length, c.config), segmentsOf(c.expected));
    }
}

TEST(VadSegmentSpeech, SplitsOverlongSpeechAtTheBestSilence) {
    const VadManager manager(VadConfig::defaultConfig(), nullptr);
    // No padding and a longest speech of 44000 − 4096 samples: the split comes at block 10.
    const auto config = [](float deep, bool useLongest) {
        return VadSegmentationConfig({.maxSpeechDuration = 2.75, .speechPadding = 0,
                                      .silenceThresholdForSplit = deep,
                                      .useMaxPossibleSilenceAtMaxSpeech = useLongest});
    };
    // A long shallow silence at blocks 1-3 and a short deep one at block 5.
    const std::vector<float> twoSilences = joined({{0.9F}, repeated(0.5F, 3), {0.9F, 0.1F}, repeated(0.9F, 7)});
    struct Case {
        const char* name;
        std::vector<float> probabilities;
        VadSegmentationConfig config;
        Ranges expected;
    };
    const std::vector<Case> cases = {
        {"a deep silence wins over a longer shallow one", twoSilences, config(0.3F, true),
         {{0, 20480}, {24576, 53248}}},
        {"without a deep silence the longest", twoSilences, config(0.05F, true), {{0, 4096}, {16384, 53248}}},
        {"or the most recent", twoSilences, config(0.05F, false), {{0, 20480}, {24576, 53248}}},
        {"the longest of two deep silences",
         joined({{0.9F, 0.9F, 0.5F, 0.9F, 0.1F, 0.1F, 0.9F, 0.2F}, repeated(0.9F, 5)}), config(0.3F, true),
         {{0, 16384}, {24576, 53248}}},
        {"the earlier of two equal deep silences", joined({{0.9F, 0.1F, 0.9F, 0.1F}, repeated(0.9F, 9)}),
         config(0.3F, true), {{0, 4096}, {8192, 49152}}},  // the rest grows too long again at block 12
        {"without any silence the speech is cut where it is", repeated(0.9F, 13), config(0.3F, true),
         {{0, 40960}, {45056, 53248}}},
        {"unlimited speech is never split", twoSilences,
         VadSegmentationConfig({.maxSpeechDuration = std::numeric_limits<double>::infinity(), .speechPadding = 0}),
         {{0, 53248}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(manager.segmentSpeech(resultsOf(c.probabilities), 53248, c.config), segmentsOf(c.expected));
    }
}

class VadModelSegmentationTest : public ::testing::Test {
protected:
    void SetUp() override { manager_.emplace(VadConfig::defaultConfig(), Testing::loadVadFixtureModel(directory_.path())); }

    Testing::TemporaryDirectory directory_{"tervane-vad-segments"};
    std::optional<VadManager> manager_;
};

TEST_F(VadModelSegmentationTest, FindsTheTonesOfARecordingBetweenItsSilences) {
    struct Tone {
        double start;
        double end;
    };
    const std::vector<Tone> tones = {{0.5, 2.0}, {3.5, 5.0}, {7.0, 8.2}};
    std::vector<float> recording;
    double at = 0;
    for (const Tone& tone : tones) {
        const auto gap = Testing::silence(tone.start - at, 16000);
        const auto sound = Testing::tone(440, tone.end - tone.start, 16000, 0.5F);
        recording.insert(recording.end(), gap.begin(), gap.end());
        recording.insert(recording.end(), sound.begin(), sound.end());
        at = tone.end;
    }
    const auto tail = Testing::silence(10.0 - at, 16000);
    recording.insert(recording.end(), tail.begin(), tail.end());
    const std::filesystem::path file = directory_ / "tones.wav";
    Testing::writeWav(file, {recording}, 16000);

    const std::vector<float> samples = AudioConverter().resampleAudioFile(file);
    EXPECT_EQ(manager_->process(file).size(), (samples.size() + 4095) / 4096);
    const std::vector<VadSegment> segments = manager_->segmentSpeech(samples);

    ASSERT_EQ(segments.size(), tones.size());
    const double tolerance = 4096.0 / 16000 + 0.1;  // one block plus the padding
    for (std::size_t i = 0; i < tones.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(segments[i].startTime, tones[i].start, tolerance);
        EXPECT_NEAR(segments[i].endTime, tones[i].end, tolerance);
    }
}

TEST_F(VadModelSegmentationTest, HandsBackTheSamplesOfEachSegment) {
    std::vector<float> samples = Testing::scriptedVadAudio(joined({{0.9F}, repeated(0.1F, 7), {0.9F, 0.9F}}));
    samples.resize(samples.size() - 1000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] += static_cast<float>(i % 7) * 1e-6F;

    const std::vector<VadSegment> segments = manager_->segmentSpeech(samples);
    EXPECT_EQ(segments, segmentsOf({{0, 5696}, {31168, 39960}}));
    const auto pieces = manager_->segmentSpeechAudio(samples);
    ASSERT_EQ(pieces.size(), 2U);
    EXPECT_EQ(pieces[0], std::vector<float>(samples.begin(), samples.begin() + 5696));
    EXPECT_EQ(pieces[1], std::vector<float>(samples.begin() + 31168, samples.end()));

    // 32763 ÷ 16000 × 16000 falls just short of 32763: the last sample must still be kept.
    const std::vector<float> toTheEnd(32763, Testing::fixtureVadLevel(0.9F));
    const auto whole = manager_->segmentSpeechAudio(toTheEnd);
    ASSERT_EQ(whole.size(), 1U);
    EXPECT_EQ(whole[0].size(), toTheEnd.size());
    EXPECT_EQ((VadSegment{1.00009, 32763 / 16000.0}.startSample()), 16001);
    EXPECT_EQ((VadSegment{1.00009, 32763 / 16000.0}.sampleCount()), 32763 - 16001);
}

TEST_F(VadModelSegmentationTest, ReportsSpeechStartsAndEndsBlockByBlock) {
    const std::vector<float> probabilities = {0.1F, 0.9F, 0.9F, 0.1F, 0.8F, 0.1F, 0.1F, 0.9F};
    struct Expected {
        std::optional<VadStreamEvent::Kind> kind;
        std::int64_t sample = 0;
        double time = 0;
    };
    using Kind = VadStreamEvent::Kind;
    const std::vector<Expected> expected = {
        {}, {Kind::speechStart, 2496, 0.156}, {}, {}, {}, {}, {Kind::speechEnd, 13888, 0.868},
        {Kind::speechStart, 27072, 1.692},
    };
    VadStreamState state = VadManager::makeStreamState();
    EXPECT_EQ(state, VadStreamState::initial());
    for (std::size_t i = 0; i < probabilities.size(); ++i) {
        SCOPED_TRACE(i);
        const VadStreamResult result = manager_->processStreamingChunk(
            std::vector<float>(4096, Testing::fixtureVadLevel(probabilities[i])), state, {}, true, 3);
        EXPECT_EQ(result.probability, probabilities[i]);
        EXPECT_EQ(result.state.processedSamples, static_cast<std::int64_t>(i + 1) * 4096);
        EXPECT_EQ(result.state.modelState.hiddenState, std::vector<float>(128, static_cast<float>(i + 1)));
        if (expected[i].kind) {
            ASSERT_TRUE(result.event);
            EXPECT_EQ(result.event->kind, *expected[i].kind);
            EXPECT_EQ(result.event->sampleIndex, expected[i].sample);
            EXPECT_EQ(result.event->time, expected[i].time);
        } else {
            EXPECT_FALSE(result.event);
        }
        state = result.state;
        if (i == 4) {
            // A block between the thresholds leaves the silence being timed as it was.
            EXPECT_TRUE(state.triggered);
            EXPECT_EQ(state.tempEndSample, 16384);
        }
    }

    // A failing block changes nothing the caller holds.
    const VadStreamState before = state;
    EXPECT_THROW((void)manager_->processStreamingChunk(std::vector<float>(4096, Testing::fixtureVadFailingLevel), state),
                 VadError);
    EXPECT_EQ(state, before);
}

TEST_F(VadModelSegmentationTest, RoundsEventTimesAndClampsAStartBeforeTheStream) {
    const std::vector<float> speech(4096, Testing::fixtureVadLevel(0.9F));
    const VadStreamResult first = manager_->processStreamingChunk(speech, VadManager::makeStreamState(), {}, true, 1);
    ASSERT_TRUE(first.event && first.event->isStart());
    EXPECT_EQ(first.event->sampleIndex, 0);
    EXPECT_EQ(first.event->time, 0.0);

    struct Case {
        std::int64_t sample;
        int decimals;
        double time;
    };
    for (const Case& c : {Case{24000, 1, 1.5}, Case{24100, 1, 1.5}, Case{24100, 2, 1.51}, Case{24100, 0, 2.0},
                          Case{8000, 0, 1.0}, Case{40000, 0, 3.0}}) {
        SCOPED_TRACE(testing::Message() << c.sample << " to " << c.decimals << " decimals");
        VadStreamState state;
        state.processedSamples = c.sample + 1600;  // a start lies one padding before the block
        const VadStreamResult result = manager_->processStreamingChunk(speech, state, {}, true, c.decimals);
        ASSERT_TRUE(result.event && result.event->isStart());
        EXPECT_EQ(result.event->sampleIndex, c.sample);
        EXPECT_EQ(result.event->time, c.time);
    }
    EXPECT_EQ(manager_->processStreamingChunk(speech, {}).event->time, std::nullopt);
}

}  // namespace
}  // namespace Tervane
