#include "Support/AudioFixtures.hpp"
#include "Support/CapturingLogSink.hpp"
#include "Support/DiarizerFixtures.hpp"
#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ScopedHubConnection.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerManager.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Shared/ModelNames.hpp>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>

namespace {

namespace fs = std::filesystem;
using namespace Tervane;
using namespace Tervane::Testing;

constexpr double frameSeconds = 10.0 / static_cast<double>(fixtureFrames);

OfflineDiarizerModels loadModels(const fs::path& directory, std::shared_ptr<MLModel> segmentation = nullptr,
                                 std::shared_ptr<MLModel> embedding = nullptr) {
    const std::vector<float> psi = fixturePldaPsi();
    return OfflineDiarizerModels(segmentation ? segmentation : MLModel::load(directory / "Segmentation.mlmodelc"),
                                 MLModel::load(directory / "FBank.mlmodelc"),
                                 embedding ? embedding : MLModel::load(directory / "Embedding.mlmodelc"),
                                 MLModel::load(directory / "PldaRho.mlmodelc"),
                                 std::vector<double>(psi.begin(), psi.end()), 0.25);
}

/// The fixture model set, written once per program.
const fs::path& fixtureDirectory() {
    static const TemporaryDirectory directory("tervane-offline-manager");
    static const bool written = (writeDiarizerFixtureModels(directory.path()), true);
    (void)written;
    return directory.path();
}

/// The fixture set whose embedding model damages every embedding of speaker 1.
const fs::path& damagedFixtureDirectory() {
    static const TemporaryDirectory directory("tervane-offline-manager-nan");
    static const bool written = (writeDiarizerFixtureModels(directory.path(), {}, {.nanSpeakers = {1}}), true);
    (void)written;
    return directory.path();
}

OfflineDiarizerManager managerWith(const fs::path& directory, OfflineDiarizerConfig config = {}) {
    OfflineDiarizerManager manager(std::move(config));
    manager.initialize(loadModels(directory));
    return manager;
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "no failure";
}

TEST(OfflineDiarizerManager, TwoSpeakersTakingTurnsGetTwoIdsAtTheScriptedTimesAndAreExported) {
    const TemporaryDirectory output("tervane-offline-export");
    OfflineDiarizerConfig config;
    config.exportConfig.embeddingsPath = (output / "embeddings.json").string();
    OfflineDiarizerManager manager = managerWith(fixtureDirectory(), config);

    LogCapture log;
    const DiarizationResult result = manager.process(twoSpeakerRecording(20.0, 5.0));

    const std::vector<std::tuple<std::string, double, double>> expected = {
        {"S1", 0, 5}, {"S2", 5, 10}, {"S1", 10, 15}, {"S2", 15, 20}};
    ASSERT_EQ(result.segments.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [speaker, start, end] = expected[i];
        EXPECT_EQ(result.segments[i].speakerId, speaker);
        EXPECT_NEAR(result.segments[i].startTimeSeconds, start, frameSeconds);
        EXPECT_NEAR(result.segments[i].endTimeSeconds, end, frameSeconds);
        EXPECT_GT(result.segments[i].qualityScore, 0.9F);
    }

    // One finite vector per speaker, each showing its own voice's band (1 for S1, 4 for S2).
    ASSERT_TRUE(result.speakerDatabase);
    ASSERT_EQ(result.speakerDatabase->size(), 2U);
    for (const auto& [speaker, band] : {std::pair{"S1", 1}, std::pair{"S2", 4}}) {
        const std::vector<float>& vector = result.speakerDatabase->at(speaker);
        ASSERT_EQ(vector.size(), 256U);
        EXPECT_TRUE(std::all_of(vector.begin(), vector.end(), [](float v) { return std::isfinite(v); }));
        EXPECT_GT(vector[static_cast<std::size_t>(band) * 32], 0.9F) << speaker;
    }

    ASSERT_TRUE(result.timings);
    EXPECT_EQ(result.timings->modelCompilationSeconds, 0.25);
    EXPECT_EQ(result.timings->audioLoadingSeconds, 0);
    EXPECT_GT(result.timings->segmentationSeconds, 0);
    EXPECT_GT(result.timings->embeddingExtractionSeconds, 0);
    EXPECT_GE(result.timings->postProcessingSeconds, 0);

    // The export: every embedding, its cluster that of the speaker it came from.
    const nlohmann::ordered_json exported = nlohmann::ordered_json::parse(readFile(*config.exportConfig.embeddingsPath));
    ASSERT_TRUE(exported.is_array());
    ASSERT_GE(exported.size(), 9U);  // nine windows, each with at least one speaker
    for (const nlohmann::ordered_json& record : exported) {
        std::vector<std::string> keys;
        for (const auto& item : record.items()) {
            keys.push_back(item.key());
        }
        EXPECT_EQ(keys, (std::vector<std::string>{"chunkIndex", "speakerIndex", "startFrame", "endFrame", "startTime",
                                                  "endTime", "embedding256", "rho128", "cluster"}));
        EXPECT_EQ(record["embedding256"].size(), 256U);
        EXPECT_EQ(record["rho128"].size(), 128U);
        EXPECT_EQ(record["cluster"], record["speakerIndex"]) << record["chunkIndex"];
    }
    const auto info = log->messages("OfflineDiarizer");
    EXPECT_NE(std::find(info.begin(), info.end(),
                        "Exported " + std::to_string(exported.size()) + " embeddings to " +
                            *config.exportConfig.embeddingsPath),
              info.end());
}

TEST(OfflineDiarizerManager, ASingleEmbeddingMakesEverySegmentS1) {
    OfflineDiarizerManager manager = managerWith(fixtureDirectory());
    // 1.5 s of speaker 1 (a shorter recording than one step): one window, one embedding.
    const DiarizationResult result = manager.process(scriptedRecording({{1, 0.0, 1.5}}, 1.5));
    ASSERT_EQ(result.segments.size(), 1U);
    EXPECT_EQ(result.segments[0].speakerId, "S1");
    EXPECT_NEAR(result.segments[0].startTimeSeconds, 0, frameSeconds);
    EXPECT_NEAR(result.segments[0].endTimeSeconds, 1.5, frameSeconds);
    EXPECT_EQ(result.speakerDatabase->size(), 1U);
}

TEST(OfflineDiarizerManager, RecordingsWithoutSpeechFailWithNoSpeechDetected) {
    OfflineDiarizerManager manager = managerWith(fixtureDirectory());
    const std::vector<std::vector<float>> recordings = {{}, std::vector<float>(16000, 0.0F)};
    for (const std::vector<float>& samples : recordings) {
        SCOPED_TRACE(samples.size());
        try {
            (void)manager.process(samples);
            ADD_FAILURE() << "diarized";
        } catch (const OfflineDiarizationError& error) {
            EXPECT_EQ(error.kind(), OfflineDiarizationError::Kind::noSpeechDetected);
            EXPECT_EQ(error.description(), "No speech detected in audio");
        }
    }
}

TEST(OfflineDiarizerManager, DamagedEmbeddingsAreLeftOutOfClusteringAndFailTheExport) {
    const std::vector<float> recording = twoSpeakerRecording(12.0, 6.0);

    // Speaker 1's vectors hold a NaN: the clusters come from speaker 0 alone, and every
    // damaged vector goes to cluster 0, so all speech is S1 with a finite vector.
    OfflineDiarizerManager manager = managerWith(damagedFixtureDirectory());
    const DiarizationResult result = manager.process(recording);
    ASSERT_FALSE(result.segments.empty());
    for (const TimedSpeakerSegment& segment : result.segments) {
        EXPECT_EQ(segment.speakerId, "S1");
    }
    EXPECT_NEAR(result.segments.front().startTimeSeconds, 0, frameSeconds);
    EXPECT_NEAR(result.segments.back().endTimeSeconds, 12, frameSeconds);
    ASSERT_EQ(result.speakerDatabase->size(), 1U);
    const std::vector<float>& vector = result.speakerDatabase->at("S1");
    EXPECT_TRUE(std::all_of(vector.begin(), vector.end(), [](float v) { return std::isfinite(v); }));

    // JSON cannot carry the NaN: with an export path the whole run fails and writes nothing.
    const TemporaryDirectory output("tervane-offline-export-nan");
    OfflineDiarizerConfig config;
    config.exportConfig.embeddingsPath = (output / "embeddings.json").string();
    OfflineDiarizerManager exporting = managerWith(damagedFixtureDirectory(), config);
    try {
        (void)exporting.process(recording);
        ADD_FAILURE() << "exported a NaN";
    } catch (const OfflineDiarizationError& error) {
        EXPECT_EQ(error.kind(), OfflineDiarizationError::Kind::exportFailed);
        EXPECT_TRUE(error.description().starts_with("Failed to export data: embedding ")) << error.description();
    }
    EXPECT_FALSE(fs::exists(output / "embeddings.json"));
}

TEST(OfflineDiarizerManager, AFailingStageEndsTheRunWithItsOwnError) {
    const std::vector<float> recording = twoSpeakerRecording(40.0, 5.0);
    for (const bool segmentationFails : {true, false}) {
        SCOPED_TRACE(segmentationFails ? "segmentation" : "embedding");
        auto segmentation = std::make_shared<RecordingModel>(MLModel::load(fixtureDirectory() / "Segmentation.mlmodelc"));
        auto embedding = std::make_shared<RecordingModel>(MLModel::load(fixtureDirectory() / "Embedding.mlmodelc"));
        // Fail on the batch of windows (not the one-window warm-up), or on every embedding.
        if (segmentationFails) {
            segmentation->setFailWhen([](const RecordingModel::Inputs& inputs) { return inputs.at("audio")[0] > 1; });
        } else {
            embedding->setFailWhen([](const RecordingModel::Inputs&) { return true; });
        }
        OfflineDiarizerManager manager;
        manager.initialize(loadModels(fixtureDirectory(), segmentation, embedding));
        EXPECT_EQ(failureOf([&] { (void)manager.process(recording); }), "scripted failure");
    }
}

TEST(OfflineDiarizerManager, FilesAreConvertedAndTheirTemporarySamplesRemovedEitherWay) {
    const TemporaryDirectory directory("tervane-offline-files");
    const auto temporaries = [] {
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
            count += entry.path().filename().string().starts_with("tervane-streaming-") ? 1 : 0;
        }
        return count;
    };
    const std::size_t before = temporaries();
    OfflineDiarizerManager manager = managerWith(fixtureDirectory());

    const fs::path recording =
        writeAudioFile(directory.path(), "turns", AudioFileKind::wavInt16, {twoSpeakerRecording(12.0, 6.0)}, 16000);
    const DiarizationResult result = manager.process(recording);
    ASSERT_EQ(result.segments.size(), 2U);
    EXPECT_EQ(result.segments[1].speakerId, "S2");
    EXPECT_NEAR(result.segments[1].startTimeSeconds, 6, frameSeconds);
    EXPECT_GT(result.timings->audioLoadingSeconds, 0);
    EXPECT_EQ(temporaries(), before);

    // Converted but silent: the run fails, and the samples go all the same.
    const fs::path silence =
        writeAudioFile(directory.path(), "silence", AudioFileKind::wavInt16, {std::vector<float>(20000, 0.0F)}, 16000);
    EXPECT_THROW((void)manager.process(silence), OfflineDiarizationError);
    EXPECT_EQ(temporaries(), before);

    // Not audio at all: the conversion failure comes through.
    std::ofstream(directory / "notes.txt") << "not audio";
    EXPECT_THROW((void)manager.process(directory / "notes.txt"), Error);
    EXPECT_EQ(temporaries(), before);
}

TEST(OfflineDiarizerManager, CentroidsComeFromResponsibilitiesThenLabelsThenTheMean) {
    const std::vector<std::vector<double>> x = {{1, 0}, {0, 1}, {1, 1}};
    VBxOutput vbx;
    vbx.gamma = {{1, 0, 0}, {0, 0, 0}, {0.5, 0, 0.5}};
    vbx.pi = {0.6, 1e-8, 0.4};
    const auto fromVbx = OfflineDiarizerManager::computeCentroids(x, vbx, {0, 1, 1});
    EXPECT_EQ(fromVbx.centroids, (std::vector<std::vector<double>>{{1, 1.0 / 3.0}, {1, 1}}));
    EXPECT_EQ(fromVbx.clusterToCentroid, (std::map<int, std::size_t>{{0, 0}, {2, 1}}));

    // A kept cluster nobody is responsible for is a zero vector.
    vbx.pi = {0.0, 0.0, 1.0};
    vbx.gamma = {{1, 0, 0}, {1, 0, 0}, {1, 0, 0}};
    EXPECT_EQ(OfflineDiarizerManager::computeCentroids(x, vbx, {0, 1, 1}).centroids,
              (std::vector<std::vector<double>>{{0, 0}}));

    // Priors all at or below 1e-7: the agglomerative labels, in ascending label order.
    vbx.pi = {1e-7, 0, 0};
    const auto fromLabels = OfflineDiarizerManager::computeCentroids(x, vbx, {5, 2, 5});
    EXPECT_EQ(fromLabels.centroids, (std::vector<std::vector<double>>{{0, 1}, {1, 0.5}}));
    EXPECT_EQ(fromLabels.clusterToCentroid, (std::map<int, std::size_t>{{2, 0}, {5, 1}}));
    EXPECT_TRUE(OfflineDiarizerManager::computeCentroids(x, vbx, {0, 1}).centroids.empty());
    EXPECT_TRUE(OfflineDiarizerManager::computeCentroids({}, vbx, {}).centroids.empty());
    EXPECT_EQ(OfflineDiarizerManager::computeFallbackCentroids(x), (std::vector<std::vector<double>>{{2.0 / 3, 2.0 / 3}}));
}

TEST(OfflineDiarizerManager, EmbeddingsGoToTheirMostSimilarCentroid) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<double>> centroids = {{1, 0}, {0, 2}, {1, 1, 1}};
    const std::vector<std::vector<double>> embeddings = {{5, 0.1}, {0.1, 3}, {1, 1}, {nan, 1}, {0, 0}, {-1, -1}};
    // {1, 1} ties between the first two: the lower index wins. The third centroid has another
    // length and scores 0, which beats the NaN of a damaged vector and the negative similarity.
    EXPECT_EQ(OfflineDiarizerManager::assignEmbeddings(embeddings, centroids), (std::vector<int>{0, 1, 0, 2, 0, 2}));
    // With NaN for every centroid, a damaged vector goes to the first.
    EXPECT_EQ(OfflineDiarizerManager::assignEmbeddings({{nan, 1}}, {{1, 0}, {0, 2}}), std::vector<int>{0});
    EXPECT_EQ(OfflineDiarizerManager::assignEmbeddings(embeddings, {}), std::vector<int>(6, 0));
    EXPECT_TRUE(OfflineDiarizerManager::assignEmbeddings({}, centroids).empty());

    SegmentationOutput segmentation;
    segmentation.numChunks = 2;
    std::vector<TimedEmbedding> timed(5);
    timed[0] = {.chunkIndex = 0, .speakerIndex = 2};
    timed[1] = {.chunkIndex = 1, .speakerIndex = 0};
    timed[2] = {.chunkIndex = 2, .speakerIndex = 0};   // no such chunk
    timed[3] = {.chunkIndex = 1, .speakerIndex = 1};   // cluster out of range
    timed[4] = {.chunkIndex = 0, .speakerIndex = 0};   // past the assignments
    EXPECT_EQ(OfflineDiarizerManager::buildChunkAssignments(segmentation, timed, {1, 0, 0, 3}, 2),
              (std::vector<std::vector<int>>{{-2, -2, 1}, {0, -2, -2}}));

    std::vector<TimedEmbedding> finite(3);
    finite[0].embedding256 = {1.0F};
    finite[1].embedding256 = {std::numeric_limits<float>::infinity()};
    finite[2].embedding256 = {2.0F};
    EXPECT_EQ(OfflineDiarizerManager::selectTrainingEmbeddings(finite), (std::vector<std::size_t>{0, 2}));
    finite.erase(finite.begin() + 2);
    finite.erase(finite.begin());
    EXPECT_EQ(OfflineDiarizerManager::selectTrainingEmbeddings(finite), (std::vector<std::size_t>{0}));
}

TEST(OfflineDiarizerManager, PreparesModelsFromTheHubOnceAndFailsAfterOneFallback) {
    LoopbackHTTPServer hub;
    const ScopedHubConnection connection(hub);
    const TemporaryDirectory cache("tervane-offline-prepare");

    // An empty hub: the first load and the fallback both fail, and the failure comes through.
    {
        LogCapture log;
        OfflineDiarizerManager manager;
        EXPECT_THROW(manager.prepareModels(cache.path()), Error);
        EXPECT_FALSE(manager.models());
        const auto messages = log->messages("OfflineDiarizer");
        ASSERT_EQ(messages.size(), 3U);
        EXPECT_TRUE(messages[0].starts_with("Initial offline diarizer model load failed: ")) << messages[0];
        EXPECT_EQ(messages[1], "Attempting fallback download and compilation");
        EXPECT_TRUE(messages[2].starts_with("Fallback offline diarizer model load failed: ")) << messages[2];
    }

    const TemporaryDirectory hubSource("tervane-offline-hub");
    writeDiarizerFixtureModels(hubSource.path());
    (void)serveFolderAsHubRepository(hub, Repo(Repo::diarizer).remotePath(), hubSource.path());
    LogCapture log;
    OfflineDiarizerManager manager;
    manager.prepareModels(cache.path());
    ASSERT_TRUE(manager.models());
    manager.prepareModels(cache.path());
    auto messages = log->messages("OfflineDiarizer");
    ASSERT_EQ(messages.size(), 5U);
    EXPECT_EQ(messages[0], "Offline diarizer models initialized");
    EXPECT_TRUE(messages[1].starts_with("Segmentation model prewarmed in ")) << messages[1];
    EXPECT_TRUE(messages[2].starts_with("Embedding stack prewarmed in ")) << messages[2];
    EXPECT_EQ(messages[3], "Offline diarizer models loaded from " + cache.path().string());
    EXPECT_EQ(messages[4], "Offline diarizer models already prepared; skipping load");
}

}  // namespace
