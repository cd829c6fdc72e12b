#include <Tervane/Diarizer/Offline/DiarizationResult.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace {

using namespace Tervane;
using Kind = OfflineDiarizationError::Kind;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(OfflineDiarizerConfig, PresetsAndDerivedValues) {
    const OfflineDiarizerConfig config = OfflineDiarizerConfig::defaultConfig();
    EXPECT_EQ(config.samplesPerWindow(), 160000);
    EXPECT_EQ(config.samplesPerStep(), 32000);
    EXPECT_EQ(config.embedding.batchSize, 32);
    EXPECT_DOUBLE_EQ(config.clustering.threshold, 0.6);
    EXPECT_FALSE(config.exportConfig.embeddingsPath.has_value());
    EXPECT_NO_THROW(config.validate());

    OfflineDiarizerConfig tiny;
    tiny.segmentation.stepRatio = 0.000001;  // 0.16 samples: raised to one
    EXPECT_EQ(tiny.samplesPerStep(), 1);
    EXPECT_NO_THROW(tiny.validate());
}

TEST(OfflineDiarizerConfig, FlatConstructorAndAccessorsAddressTheNestedFields) {
    OfflineDiarizerConfig config(0.7045655, 0.1, 0.9, 8.0, 8000, 0.5, 16, false, 0.5, 0.2, 0.6F, 0.4F, 0.3, 0.25, 5,
                                 0.001, std::string("/tmp/e.json"));
    EXPECT_DOUBLE_EQ(config.clustering.threshold, 0.7045655);
    EXPECT_DOUBLE_EQ(config.clustering.warmStartFa, 0.1);
    EXPECT_DOUBLE_EQ(config.clustering.warmStartFb, 0.9);
    EXPECT_DOUBLE_EQ(config.segmentation.windowDurationSeconds, 8.0);
    EXPECT_EQ(config.segmentation.sampleRate, 8000);
    EXPECT_DOUBLE_EQ(config.segmentation.stepRatio, 0.5);
    EXPECT_EQ(config.embedding.batchSize, 16);
    EXPECT_FALSE(config.embedding.excludeOverlap);
    EXPECT_DOUBLE_EQ(config.embedding.minSegmentDurationSeconds, 0.5);
    EXPECT_DOUBLE_EQ(config.postProcessing.minGapDurationSeconds, 0.2);
    EXPECT_FLOAT_EQ(config.segmentation.speechOnsetThreshold, 0.6F);
    EXPECT_FLOAT_EQ(config.segmentation.speechOffsetThreshold, 0.4F);
    EXPECT_DOUBLE_EQ(config.segmentation.minDurationOn, 0.3);
    EXPECT_DOUBLE_EQ(config.segmentation.minDurationOff, 0.25);
    EXPECT_EQ(config.vbx.maxIterations, 5);
    EXPECT_DOUBLE_EQ(config.vbx.convergenceTolerance, 0.001);
    EXPECT_EQ(config.exportConfig.embeddingsPath, "/tmp/e.json");
    EXPECT_EQ(config.samplesPerWindow(), 64000);
    EXPECT_EQ(config.samplesPerStep(), 32000);

    config.shouldExcludeOverlaps() = true;
    EXPECT_TRUE(config.embeddingExcludeOverlap());
    config.Fa() = 0.3;
    EXPECT_DOUBLE_EQ(config.clustering.warmStartFa, 0.3);
    config.embeddingExportPath().reset();
    EXPECT_FALSE(config.exportConfig.embeddingsPath);
}

TEST(OfflineDiarizerConfig, ValidateReportsTheFirstFailingCheck) {
    struct Case {
        std::string name;
        std::function<void(OfflineDiarizerConfig&)> change;
        Kind kind;
        std::string message;  // empty: passes
    };
    const std::string invalid = "Invalid configuration: ";
    const std::vector<Case> cases = {
        {"tool threshold", [](auto& c) { c.clustering.threshold = 0.7045655; }, Kind::invalidConfiguration, ""},
        {"threshold sqrt 2", [](auto& c) { c.clustering.threshold = 1.4142135623730951; }, Kind::invalidConfiguration, ""},
        {"threshold 0", [](auto& c) { c.clustering.threshold = 0; }, Kind::invalidConfiguration,
         invalid + "clustering.threshold must be within (0, sqrt(2)], got 0.0"},
        {"threshold 1.5", [](auto& c) { c.clustering.threshold = 1.5; }, Kind::invalidConfiguration,
         invalid + "clustering.threshold must be within (0, sqrt(2)], got 1.5"},
        {"threshold NaN", [](auto& c) { c.clustering.threshold = nan; }, Kind::invalidConfiguration,
         invalid + "clustering.threshold must be within (0, sqrt(2)], got nan"},
        {"threshold before batch size", [](auto& c) { c.clustering.threshold = 2; c.embedding.batchSize = 0; },
         Kind::invalidConfiguration, invalid + "clustering.threshold must be within (0, sqrt(2)], got 2.0"},
        {"Fb", [](auto& c) { c.clustering.warmStartFb = -1e-05; }, Kind::invalidConfiguration,
         invalid + "clustering warm-start Fa/Fb must be positive (Fa=0.07, Fb=-1e-05)"},
        {"window", [](auto& c) { c.segmentation.windowDurationSeconds = 0; }, Kind::invalidConfiguration,
         invalid + "segmentation.windowDurationSeconds must be positive, got 0.0"},
        {"sample rate", [](auto& c) { c.segmentation.sampleRate = 0; }, Kind::invalidConfiguration,
         invalid + "sampleRate must be positive"},
        {"step 1", [](auto& c) { c.segmentation.stepRatio = 1.0; }, Kind::invalidConfiguration, ""},
        {"step 0", [](auto& c) { c.segmentation.stepRatio = 0; }, Kind::invalidConfiguration,
         invalid + "segmentation.stepRatio must be within (0, 1], got 0.0"},
        {"batch 32", [](auto& c) { c.embedding.batchSize = 32; }, Kind::invalidBatchSize, ""},
        {"batch 0", [](auto& c) { c.embedding.batchSize = 0; }, Kind::invalidBatchSize,
         "Invalid batch size: embeddingBatchSize must be > 0"},
        {"batch 33", [](auto& c) { c.embedding.batchSize = 33; }, Kind::invalidBatchSize,
         "Invalid batch size: embeddingBatchSize must be <= 32 to fit PLDA batch limits"},
        {"iterations", [](auto& c) { c.vbx.maxIterations = -3; }, Kind::invalidConfiguration,
         invalid + "maxVBxIterations must be > 0, got -3"},
        {"tolerance", [](auto& c) { c.vbx.convergenceTolerance = 0; }, Kind::invalidConfiguration,
         invalid + "convergenceTolerance must be positive"},
        {"min segment NaN", [](auto& c) { c.embedding.minSegmentDurationSeconds = nan; }, Kind::invalidConfiguration,
         invalid + "embedding.minSegmentDuration must be >= 0"},
        {"min gap", [](auto& c) { c.postProcessing.minGapDurationSeconds = -0.1; }, Kind::invalidConfiguration,
         invalid + "minGapDuration must be >= 0"},
        {"min on", [](auto& c) { c.segmentation.minDurationOn = -1; }, Kind::invalidConfiguration,
         invalid + "segmentation.minDurationOn must be >= 0"},
        {"min off NaN", [](auto& c) { c.segmentation.minDurationOff = nan; }, Kind::invalidConfiguration,
         invalid + "segmentation.minDurationOff must be >= 0"},
        {"onset", [](auto& c) { c.segmentation.speechOnsetThreshold = 1.5F; }, Kind::invalidConfiguration,
         invalid + "speechOnsetThreshold must be within [0, 1], got 1.5"},
        {"offset equal onset", [](auto& c) { c.segmentation.speechOffsetThreshold = 0.5F; }, Kind::invalidConfiguration, ""},
        {"offset above onset", [](auto& c) { c.segmentation.speechOffsetThreshold = 0.6F; }, Kind::invalidConfiguration,
         invalid + "speechOffsetThreshold must be within [0, speechOnsetThreshold], got 0.6"},
        {"window overflows", [](auto& c) { c.segmentation.windowDurationSeconds = 1e300; }, Kind::invalidConfiguration,
         invalid + "segmentation window of 1e+300 s at 16000 Hz must hold at least 1 and at most 9223372036854775807 samples"},
        {"window infinite", [](auto& c) { c.segmentation.windowDurationSeconds = INFINITY; }, Kind::invalidConfiguration,
         invalid + "segmentation window of inf s at 16000 Hz must hold at least 1 and at most 9223372036854775807 samples"},
        {"window below a sample", [](auto& c) { c.segmentation.windowDurationSeconds = 1e-05; }, Kind::invalidConfiguration,
         invalid + "segmentation window of 1e-05 s at 16000 Hz must hold at least 1 and at most 9223372036854775807 samples"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OfflineDiarizerConfig config;
        c.change(config);
        if (c.message.empty()) {
            EXPECT_NO_THROW(config.validate());
            continue;
        }
        try {
            config.validate();
            ADD_FAILURE() << "passed";
        } catch (const OfflineDiarizationError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_EQ(error.description(), c.message);
        }
    }
}

TEST(NumberText, ShortestRoundTripText) {
    const std::vector<std::pair<double, std::string>> doubles = {
        {0.0, "0.0"},       {1.5, "1.5"},     {1e-05, "1e-05"},      {0.0001, "0.0001"}, {0.07, "0.07"},
        {160000, "160000.0"}, {-2.5, "-2.5"}, {1e16, "1e+16"},       {1.4142135623730951, "1.4142135623730951"},
        {0.1 + 0.2, "0.30000000000000004"}, {-0.0, "-0.0"}, {nan, "nan"}, {-INFINITY, "-inf"}, {2.5e-7, "2.5e-07"}};
    for (const auto& [value, text] : doubles) {
        EXPECT_EQ(NumberText::shortest(value), text);
    }
    EXPECT_EQ(NumberText::shortest(0.6F), "0.6");
    EXPECT_EQ(NumberText::shortest(0.7045655F), "0.7045655");
    EXPECT_EQ(NumberText::fixed(2.0 / 3, 3), "0.667");
}

TEST(DiarizationResults, TimingsDeriveTotalsSharesAndTheBottleneck) {
    const PipelineTimings timings(1, 0.5, 2, 2, 0.25, 0.25);
    EXPECT_DOUBLE_EQ(timings.totalInferenceSeconds, 4.25);
    EXPECT_DOUBLE_EQ(timings.totalProcessingSeconds, 6.0);
    EXPECT_EQ(timings.bottleneckStage(), "Segmentation");  // tied with embedding extraction
    const auto shares = timings.stagePercentages();
    ASSERT_EQ(shares.size(), 6U);
    EXPECT_DOUBLE_EQ(shares.at("Model Compilation"), 100.0 / 6);
    EXPECT_DOUBLE_EQ(shares.at("Post Processing"), 0.25 / 6 * 100);
    EXPECT_TRUE(PipelineTimings(0, 0, 0, 0, 0, 0).stagePercentages().empty());
    EXPECT_EQ(PipelineTimings(0, 0, 0, 0, 0, 0).bottleneckStage(), "Model Compilation");

    const nlohmann::json json = timings;
    EXPECT_EQ(json.size(), 8U);
    EXPECT_DOUBLE_EQ(json.at("totalProcessingSeconds").get<double>(), 6.0);
    EXPECT_EQ(json.get<PipelineTimings>(), timings);
    nlohmann::json missing = json;
    missing.erase("audioLoadingSeconds");
    EXPECT_THROW((void)missing.get<PipelineTimings>(), nlohmann::json::exception);
    nlohmann::json text = json;
    text["audioLoadingSeconds"] = "0.5";
    EXPECT_THROW((void)text.get<PipelineTimings>(), nlohmann::json::exception);
}

TEST(DiarizationResults, SegmentsAndErrors) {
    const TimedSpeakerSegment a("S1", {1, 2}, 1.0F, 3.5F, 0.9F);
    const TimedSpeakerSegment b("S1", {1, 2}, 1.0F, 3.5F, 0.9F);
    EXPECT_NE(a.id, b.id);
    EXPECT_FLOAT_EQ(a.durationSeconds(), 2.5F);
    EXPECT_EQ(a.id.uuidString().size(), 36U);

    EXPECT_EQ(OfflineDiarizationError::noSpeechDetected().description(), "No speech detected in audio");
    EXPECT_EQ(OfflineDiarizationError::modelNotLoaded("offline-diarizer").description(),
              "Model not loaded: offline-diarizer");
    EXPECT_EQ(OfflineDiarizationError::exportFailed("disk full").description(), "Failed to export data: disk full");
    EXPECT_EQ(OfflineDiarizationError::invalidBatchSize("x").description(), "Invalid batch size: x");
}

}  // namespace
