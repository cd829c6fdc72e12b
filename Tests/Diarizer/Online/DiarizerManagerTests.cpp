// The online diarizer over scripted models: which local speakers get ids and segments, how a
// recording is cut into chunks, what the models are fed, and how the speaker database keeps
// ids from call to call.

#include <Tervane/Diarizer/Online/DiarizerError.hpp>
#include <Tervane/Diarizer/Online/DiarizerManager.hpp>
#include <Tervane/Diarizer/Online/DiarizerModels.hpp>
#include <Tervane/Shared/ModelNames.hpp>

#include "Support/CapturingLogSink.hpp"
#include "Support/LoopbackHTTPServer.hpp"
#include "Support/OnlineDiarizerFixtures.hpp"
#include "Support/ScopedHubConnection.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace Tervane {
namespace {

namespace fs = std::filesystem;
using Testing::ScriptedFrames;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr double frameStep = 0.016875;
constexpr std::size_t chunkSamples = 160000;

/// The fixture bundles, written and loaded once per program.
const DiarizerModels& fixtureModels() {
    static const Testing::TemporaryDirectory directory("tervane-online-diarizer");
    static const DiarizerModels models = Testing::loadOnlineDiarizerFixtureModels(directory.path());
    return models;
}

DiarizerManager& initialized(DiarizerManager& manager, const DiarizerModels& models = fixtureModels()) {
    manager.initialize(models);
    return manager;
}

float frameTime(double offset, std::int64_t frame) {
    return static_cast<float>(offset + static_cast<double>(frame) * frameStep);
}

struct ExpectedSegment {
    std::string speakerId;
    double offset;
    std::int64_t firstFrame;
    std::int64_t endFrame;
};

void expectSegments(const std::vector<TimedSpeakerSegment>& segments, const std::vector<ExpectedSegment>& expected) {
    ASSERT_EQ(segments.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("segment " + std::to_string(i));
        EXPECT_EQ(segments[i].speakerId, expected[i].speakerId);
        EXPECT_EQ(segments[i].startTimeSeconds, frameTime(expected[i].offset, expected[i].firstFrame));
        EXPECT_EQ(segments[i].endTimeSeconds, frameTime(expected[i].offset, expected[i].endFrame));
        EXPECT_GE(segments[i].qualityScore, 0.0F);
        EXPECT_LE(segments[i].qualityScore, 1.0F);
    }
}

/// The failure `action` throws as a `DiarizerError`; fails the test when it throws none.
DiarizerError diarizerErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const DiarizerError& error) {
        return error;
    }
    ADD_FAILURE() << "no DiarizerError";
    return DiarizerError::processingFailed("none thrown");
}

TEST(DiarizerManager, ALocalSpeakerNeedsMoreThanTheMinimumActiveFramesForAnIdAndASegment) {
    struct Case {
        std::int64_t frames;
        bool named;
    };
    for (const Case& c : {Case{10, false}, Case{11, true}}) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames");
        DiarizerConfig config;
        config.minSpeechDuration = 0;  // only the activity rule decides
        DiarizerManager manager(config);
        const auto audio = Testing::scriptedOnlineChunk({{100, c.frames, 1, 5}});

        const DiarizationResult result = initialized(manager).performCompleteDiarization(audio);

        if (c.named) {
            expectSegments(result.segments, {{"1", 0, 100, 100 + c.frames}});
        } else {
            EXPECT_TRUE(result.segments.empty());
        }
        EXPECT_EQ(manager.speakerManager()->speakerCount(), c.named ? 1 : 0);
    }
}

TEST(DiarizerManager, ARunShorterThanTheMinimumSpeechDurationIsDroppedAndOneReachingItKept) {
    DiarizerManager manager;  // minSpeechDuration 1 s: 59 frames fall short, 60 reach it
    const auto audio = Testing::scriptedOnlineChunk({{0, 59, 2, 7}, {200, 60, 2, 7}});

    const DiarizationResult result = initialized(manager).performCompleteDiarization(audio);

    expectSegments(result.segments, {{"1", 0, 200, 260}});
    // The segment carries the chunk's raw embedding: every masked frame of the voice counted.
    std::vector<float> raw(256, 0.0F);
    raw[7] = 119;
    EXPECT_EQ(result.segments[0].embedding, raw);
}


TEST(DiarizerManager, CutsTwentyFiveSecondsIntoThreeChunksPaddingTheLastForSegmentationAndRepeatingItForEmbedding) {
    auto audio = Testing::scriptedOnlineRecording(
        {{{0, 100, 1, 1}}, {{0, 100, 1, 1}}, {{10, 100, 1, 1}}});
    audio.resize(25 * 16000);
    const auto segmentation = std::make_shared<Testing::CapturingModel>(fixtureModels().segmentationModel());
    const auto embedding = std::make_shared<Testing::CapturingModel>(fixtureModels().embeddingModel());
    DiarizerManager manager;

    const DiarizationResult result =
        initialized(manager, DiarizerModels(segmentation, embedding, 0)).performCompleteDiarization(audio);

    expectSegments(result.segments, {{"1", 0, 0, 100}, {"1", 10, 0, 100}, {"1", 20, 10, 110}});
    const auto segmentationCalls = segmentation->calls();
    const auto embeddingCalls = embedding->calls();
    ASSERT_EQ(segmentationCalls.size(), 3U);
    ASSERT_EQ(embeddingCalls.size(), 3U);  // one active local speaker per chunk

    const std::vector<float> lastChunk(audio.begin() + 2 * chunkSamples, audio.end());  // 5 s
    std::vector<float> padded = lastChunk;
    padded.resize(chunkSamples, 0.0F);
    const auto& segmentationInput = segmentationCalls[2].at("audio");
    EXPECT_THAT(segmentationInput.shape, ElementsAre(1, 1, 160000));
    EXPECT_EQ(segmentationInput.values, padded);

    std::vector<float> waveform = lastChunk;
    waveform.insert(waveform.end(), lastChunk.begin(), lastChunk.end());
    waveform.resize(3 * chunkSamples, 0.0F);
    const auto& waveformInput = embeddingCalls[2].at("waveform");
    EXPECT_THAT(waveformInput.shape, ElementsAre(3, 160000));
    EXPECT_EQ(waveformInput.values, waveform);

    // The 295 frames that cover 5 s, repeated over the 589 of the mask.
    std::vector<float> mask(3 * 589, 0.0F);
    for (std::size_t f = 0; f < 589; ++f) {
        const std::size_t source = f % 295;
        mask[f] = source >= 10 && source < 110 ? 1.0F : 0.0F;
    }
    const auto& maskInput = embeddingCalls[2].at("mask");
    EXPECT_THAT(maskInput.shape, ElementsAre(3, 589));
    EXPECT_EQ(maskInput.values, mask);
}

TEST(DiarizerManager, RoundsChunkDurationAndOverlapToWholeSeconds) {
    DiarizerConfig config;
    config.chunkDuration = 10.4F;  // 10 s
    config.chunkOverlap = 0.5F;    // 1 s: chunks start every 9 s
    auto audio = Testing::scriptedOnlineRecording({{{0, 100, 1, 1}}, {{0, 100, 1, 1}}});
    const auto segmentation = std::make_shared<Testing::CapturingModel>(fixtureModels().segmentationModel());
    DiarizerManager manager(config);

    (void)initialized(manager, DiarizerModels(segmentation, fixtureModels().embeddingModel(), 0))
        .performCompleteDiarization(audio);

    const auto calls = segmentation->calls();
    ASSERT_EQ(calls.size(), 3U);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const std::size_t start = i * 9 * 16000;
        const std::size_t length = std::min(chunkSamples, audio.size() - start);
        const auto& input = calls[i].at("audio").values;
        EXPECT_TRUE(std::equal(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(length),
                               audio.begin() + static_cast<std::ptrdiff_t>(start)))
            << "chunk " << i;
    }
}

TEST(DiarizerManager, ASpeakerHeardOnlyInOverlapGetsNoEmbeddingNoIdAndNoSegment) {
    // Speaker 0 talks alone, then together with speaker 1 (class 4: {0, 1}).
    const auto audio = Testing::scriptedOnlineChunk({{0, 200, 1, 1}, {300, 100, 4, 2}});
    const auto embedding = std::make_shared<Testing::CapturingModel>(fixtureModels().embeddingModel());
    DiarizerManager manager;

    const DiarizationResult result =
        initialized(manager, DiarizerModels(fixtureModels().segmentationModel(), embedding, 0))
            .performCompleteDiarization(audio);

    expectSegments(result.segments, {{"1", 0, 0, 200}, {"1", 0, 300, 400}});
    EXPECT_EQ(embedding->calls().size(), 1U);  // speaker 1's mask is empty
    EXPECT_EQ(manager.speakerManager()->speakerCount(), 1);
}

TEST(DiarizerManager, LabelsAVoiceWithTheSameIdAcrossCallsWhateverItsLocalSlot) {
    // Voice 11 holds frames 0-150 and voice 22 frames 300-450 of every 10 s part, each in
    // another local slot from part to part.
    const auto recording = Testing::scriptedOnlineRecording({
        {{0, 150, 1, 11}, {300, 150, 2, 22}},
        {{0, 150, 3, 11}, {300, 150, 1, 22}},
        {{0, 150, 2, 11}, {300, 150, 3, 22}},
    });
    DiarizerManager manager;
    initialized(manager);

    for (std::size_t part = 0; part < 3; ++part) {
        SCOPED_TRACE("part " + std::to_string(part));
        const double atTime = 10.0 * static_cast<double>(part);
        const DiarizationResult result = manager.performCompleteDiarization(
            std::span<const float>(recording).subspan(part * chunkSamples, chunkSamples), 16000, atTime);
        expectSegments(result.segments, {{"1", atTime, 0, 150}, {"2", atTime, 300, 450}});
    }
    EXPECT_EQ(manager.speakerManager()->speakerCount(), 2);
}

TEST(DiarizerManager, SeededSpeakersKeepTheirIdsAndNewVoicesAreNumberedAfterThem) {
    DiarizerManager manager;
    initialized(manager);
    manager.initializeKnownSpeakers(
        {std::make_shared<Speaker>("7", "Alice", Testing::onlineFixtureVoiceEmbedding(3))});
    // An id already stored keeps its speaker.
    manager.initializeKnownSpeakers(
        {std::make_shared<Speaker>("7", "Impostor", Testing::onlineFixtureVoiceEmbedding(9))});

    const auto audio = Testing::scriptedOnlineChunk({{0, 100, 2, 3}, {200, 100, 1, 4}});
    for (const double atTime : {0.0, 10.0}) {
        SCOPED_TRACE("call at " + std::to_string(atTime));
        const DiarizationResult result = manager.performCompleteDiarization(audio, 16000, atTime);
        expectSegments(result.segments, {{"7", atTime, 0, 100}, {"8", atTime, 200, 300}});
    }
    EXPECT_EQ(manager.speakerManager()->getSpeaker("7")->name(), "Alice");
}

TEST(DiarizerManager, OnlyDebugModeAddsTheSpeakerMapAndTheTimings) {
    const auto audio = Testing::scriptedOnlineChunk({{0, 100, 1, 5}});
    for (const bool debugMode : {false, true}) {
        SCOPED_TRACE(debugMode ? "debug" : "plain");
        DiarizerConfig config;
        config.debugMode = debugMode;
        DiarizerManager manager(config);

        const DiarizationResult result =
            initialized(manager, DiarizerModels(fixtureModels().segmentationModel(),
                                                fixtureModels().embeddingModel(), 0.25))
                .performCompleteDiarization(audio);

        ASSERT_EQ(result.segments.size(), 1U);
        if (!debugMode) {
            EXPECT_FALSE(result.speakerDatabase.has_value());
            EXPECT_FALSE(result.timings.has_value());
            continue;
        }
        ASSERT_TRUE(result.speakerDatabase.has_value());
        ASSERT_EQ(result.speakerDatabase->size(), 1U);
        EXPECT_EQ(result.speakerDatabase->at("1"), Testing::onlineFixtureVoiceEmbedding(5));
        ASSERT_TRUE(result.timings.has_value());
        const PipelineTimings& timings = *result.timings;
        EXPECT_EQ(timings.modelCompilationSeconds, 0.25);
        EXPECT_EQ(timings.audioLoadingSeconds, 0);
        EXPECT_GT(timings.segmentationSeconds, 0);
        EXPECT_GT(timings.embeddingExtractionSeconds, 0);
        EXPECT_DOUBLE_EQ(timings.totalInferenceSeconds, timings.segmentationSeconds +
                                                            timings.embeddingExtractionSeconds +
                                                            timings.speakerClusteringSeconds);
    }
}

TEST(DiarizerManager, RefusesToDiarizeWithoutModelsOrEmbeddingExtractor) {
    Testing::LogCapture log;
    const auto audio = Testing::scriptedOnlineChunk({});
    const std::string expected = "Diarization system not initialized. Call initialize() first.";

    DiarizerManager manager;
    EXPECT_FALSE(manager.isAvailable());
    // Before any check of the request itself.
    EXPECT_EQ(diarizerErrorOf([&] { (void)manager.performCompleteDiarization(audio, 0); }).description(), expected);

    initialized(manager);
    EXPECT_TRUE(manager.isAvailable());
    EXPECT_THAT(log->messages("Diarizer"),
                ElementsAre("Initializing diarization system", "EmbeddingExtractor initialized with embedding model"));
    EXPECT_THAT(log->messages("EmbeddingExtractor"), ElementsAre("EmbeddingExtractor ready with ANE memory optimizer"));

    manager.setEmbeddingExtractor(nullptr);
    EXPECT_EQ(diarizerErrorOf([&] { (void)manager.performCompleteDiarization(audio); }).kind(),
              DiarizerError::Kind::notInitialized);

    // A model set with empty slots counts as none rather than being run.
    initialized(manager, DiarizerModels(nullptr, nullptr, 0));
    EXPECT_EQ(diarizerErrorOf([&] { (void)manager.performCompleteDiarization(audio); }).kind(),
              DiarizerError::Kind::notInitialized);

    initialized(manager);
    manager.cleanup();
    EXPECT_FALSE(manager.isAvailable());
    EXPECT_EQ(log->messages("Diarizer").back(), "Diarization resources cleaned up");
    EXPECT_EQ(diarizerErrorOf([&] { (void)manager.performCompleteDiarization(audio); }).kind(),
              DiarizerError::Kind::notInitialized);
}

TEST(DiarizerManager, RefusesChunkingThatTheModelsCannotTakeOrThatMakesNoProgress) {
    struct Case {
        const char* name;
        int sampleRate;
        float chunkDuration;
        float chunkOverlap;
        const char* message;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {"zero sample rate", 0, 10, 0, "Sample rate must be positive, got 0"},
        {"negative sample rate", -16000, 10, 0, "Sample rate must be positive, got -16000"},
        {"NaN duration", 16000, nan, 0, "Chunk duration and overlap must be finite"},
        {"infinite overlap", 16000, 10, infinity, "Chunk duration and overlap must be finite"},
        {"longer than the model window", 16000, 11, 0, "Chunk size must be 1 to 160000 samples, got 176000.0"},
        {"too many samples at a higher rate", 32000, 10, 0, "Chunk size must be 1 to 160000 samples, got 320000.0"},
        {"huge duration", 16000, 1e30F, 0, "Chunk size must be 1 to 160000 samples"},
        {"rounds to no samples", 16000, 0.4F, 0, "Chunk size must be 1 to 160000 samples, got 0.0"},
        {"overlap as long as the chunk", 16000, 10, 10, "Chunk overlap must be shorter than the chunk"},
        {"overlap rounding up to the chunk", 16000, 10, 9.5F, "Chunk overlap must be shorter than the chunk"},
        {"overlap longer than the chunk", 16000, 5, 8, "Chunk overlap must be shorter than the chunk"},
    };
    const auto audio = Testing::scriptedOnlineChunk({{0, 100, 1, 1}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DiarizerConfig config;
        config.chunkDuration = c.chunkDuration;
        config.chunkOverlap = c.chunkOverlap;
        DiarizerManager manager(config);
        initialized(manager);

        const DiarizerError error =
            diarizerErrorOf([&] { (void)manager.performCompleteDiarization(audio, c.sampleRate); });

        EXPECT_EQ(error.kind(), DiarizerError::Kind::processingFailed);
        EXPECT_THAT(error.description(), HasSubstr(std::string("Processing failed: ") + c.message));
        EXPECT_EQ(manager.speakerManager()->speakerCount(), 0);
    }
}

TEST(DiarizerManager, ModelAnswersOfTheWrongShapeFailTheCallOrLeaveTheSpeakerUnnamed) {
    const Testing::TemporaryDirectory directory("tervane-online-broken");
    Testing::FixtureModel unnamedOutput = Testing::onlineSegmentationFixture();
    unnamedOutput.source = R"(
    def forward(self, audio):
        return {"scores": torch.zeros([1, 589, 7])}
)";
    unnamedOutput.outputs[0].name = "scores";
    Testing::FixtureModel shortEmbedding = Testing::onlineEmbeddingFixture();
    shortEmbedding.source = R"(
    def forward(self, waveform, mask):
        return {"embedding": torch.ones([1, 128])}
)";
    shortEmbedding.outputs[0].shape = {1, 128};
    const auto audio = Testing::scriptedOnlineChunk({{0, 100, 1, 1}});

    DiarizerManager withoutSegments;
    initialized(withoutSegments,
                DiarizerModels(Testing::loadFixtureModel(directory.path(), "s.mlmodelc", unnamedOutput),
                               fixtureModels().embeddingModel(), 0));
    EXPECT_EQ(diarizerErrorOf([&] { (void)withoutSegments.performCompleteDiarization(audio); }).description(),
              "Processing failed: Missing segments output from segmentation model");

    Testing::LogCapture log;
    DiarizerManager withShortEmbeddings;
    initialized(withShortEmbeddings,
                DiarizerModels(fixtureModels().segmentationModel(),
                               Testing::loadFixtureModel(directory.path(), "e.mlmodelc", shortEmbedding), 0));
    EXPECT_TRUE(withShortEmbeddings.performCompleteDiarization(audio).segments.empty());
    EXPECT_THAT(log->messages("Diarizer"), ::testing::Contains("Invalid embedding size: 128"));
}

TEST(AudioValidation, ReportsShortEmptyAndQuietAudio) {
    struct Case {
        const char* name;
        std::vector<float> samples;
        bool isValid;
        float durationSeconds;
        std::vector<std::string> issues;
    };
    const Case cases[] = {
        {"half a second of silence", std::vector<float>(8000, 0.0F), false, 0.5F,
         {"Audio too short (minimum 1 second)", "Audio too quiet or silent"}},
        {"nothing", {}, false, 0, {"Audio too short (minimum 1 second)", "No audio data", "Audio too quiet or silent"}},
        {"half a second of sound", std::vector<float>(8000, 0.5F), false, 0.5F, {"Audio too short (minimum 1 second)"}},
        {"a second of sound", std::vector<float>(16000, 0.5F), true, 1, {}},
        {"a second just under the level", std::vector<float>(16000, 0.0099F), false, 1, {"Audio too quiet or silent"}},
    };
    const AudioValidation validation;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const AudioValidationResult result = validation.validateAudio(c.samples);
        EXPECT_EQ(result.isValid, c.isValid);
        EXPECT_EQ(result.durationSeconds, c.durationSeconds);
        EXPECT_EQ(result.issues, c.issues);
    }
}

TEST(AudioValidation, AcceptsOnlyFiniteEmbeddingsOfSomeLength) {
    struct Case {
        std::vector<float> embedding;
        bool valid;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {{}, false},
        {{0.06F, 0.08F}, false},  // norm exactly 0.1
        {{0.2F, 0}, true},
        {{1, nan}, false},
        {{1, std::numeric_limits<float>::infinity()}, false},
    };
    const AudioValidation validation;
    for (const Case& c : cases) {
        EXPECT_EQ(validation.validateEmbedding(c.embedding), c.valid) << ::testing::PrintToString(c.embedding);
    }
}

TEST(DiarizerModels, LoadsPredownloadedBundlesFromTheirPaths) {
    Testing::LogCapture log;
    const Testing::TemporaryDirectory directory("tervane-online-models");
    Testing::writeOnlineDiarizerFixtureModels(directory.path());

    const DiarizerModels models = DiarizerModels::load(directory / ModelNames::Diarizer::segmentationFile,
                                                       directory / ModelNames::Diarizer::embeddingFile);

    EXPECT_TRUE(models.segmentationModel() && models.embeddingModel());
    EXPECT_GE(models.compilationDuration(), 0);
    EXPECT_EQ(models.segmentationModel()->configuration().computeUnits,
              DiarizerModels::defaultConfiguration().computeUnits);
    EXPECT_THAT(log->messages("DiarizerModels"), ElementsAre("Loading predownloaded models"));
    EXPECT_THROW((void)DiarizerModels::load(directory / "missing.mlmodelc",
                                            directory / ModelNames::Diarizer::embeddingFile),
                 ModelRuntimeError);
}

TEST(DiarizerModels, FetchesBothBundlesFromTheHubIntoTheRepositoryFolder) {
    Testing::LoopbackHTTPServer hub;
    const Testing::ScopedHubConnection connection(hub);
    const Testing::TemporaryDirectory hubSource("tervane-hub");
    const Testing::TemporaryDirectory cache("tervane-cache");
    Testing::writeOnlineDiarizerFixtureModels(hubSource.path());
    const auto served = Testing::serveFolderAsHubRepository(hub, Repo(Repo::diarizer).remotePath(), hubSource.path());
    const fs::path folder = cache / Repo(Repo::diarizer).folderName();

    const DiarizerModels models = DiarizerModels::download(folder);

    for (const auto& file : served) EXPECT_TRUE(fs::exists(folder / file)) << file;
    ASSERT_TRUE(models.segmentationModel() && models.embeddingModel());
    DiarizerManager manager;
    manager.initialize(models);
    EXPECT_EQ(manager.performCompleteDiarization(Testing::scriptedOnlineChunk({{0, 100, 1, 1}})).segments.size(), 1U);
}

TEST(DiarizerModels, DefaultsToTheRepositoryFolderUnderTheModelCache) {
    EXPECT_EQ(DiarizerModels::defaultModelsDirectory().filename(), "speaker-diarization-coreml");
    EXPECT_EQ(DiarizerModels::defaultModelsDirectory().parent_path().filename(), "Models");
    EXPECT_TRUE(DiarizerModels::defaultConfiguration().allowLowPrecisionAccumulationOnGPU);
    EXPECT_EQ(DiarizerModels::requiredModelNames(),
              (std::set<std::string>{"pyannote_segmentation.mlmodelc", "wespeaker_v2.mlmodelc"}));
}

}  // namespace
}  // namespace Tervane
