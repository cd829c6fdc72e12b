// The block runner: fitting, state and context hand-over, output lookup, failures, the
// input forms and loading.

#include <Tervane/Platform/AVAudioFileError.hpp>
#include <Tervane/Shared/ModelNames.hpp>
#include <Tervane/VAD/VadManager.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/AudioFixtures.hpp"
#include "Support/CapturingLogSink.hpp"
#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ScopedHubConnection.hpp"
#include "Support/TemporaryDirectory.hpp"
#include "Support/VadFixtures.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

namespace Tervane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<float> slice(const std::vector<float>& values, std::size_t from, std::size_t count) {
    return {values.begin() + static_cast<std::ptrdiff_t>(from),
            values.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

/// 4 × the mean absolute level: what the fixture reads from a fitted block.
float fixtureProbability(const std::vector<float>& block) {
    double sum = 0;
    for (const float value : block) sum += std::abs(static_cast<double>(value));
    return static_cast<float>(std::min(4.0 * sum / static_cast<double>(block.size()), 1.0));
}

class VadManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory_ = new Testing::TemporaryDirectory("tervane-vad");
        model_ = Testing::loadVadFixtureModel(directory_->path());
    }
    static void TearDownTestSuite() {
        model_.reset();
        delete directory_;
        directory_ = nullptr;
    }

    static inline Testing::TemporaryDirectory* directory_ = nullptr;
    static inline std::shared_ptr<MLModel> model_;
};

TEST_F(VadManagerTest, FitsEveryBlockToOneModelBlockAndKeepsItsLast64SamplesAsTheNextContext) {
    std::vector<float> ramp(5000);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i) * 1e-4F;

    struct Case {
        const char* name;
        std::size_t length;
        std::vector<float> fitted;  // what the model is to see
    };
    std::vector<float> shortFitted = slice(ramp, 0, 100);
    shortFitted.resize(4096, ramp[99]);
    const std::vector<Case> cases = {
        {"whole block", 4096, slice(ramp, 0, 4096)},
        {"longer block keeps its first 4096", 5000, slice(ramp, 0, 4096)},
        {"shorter block repeats its last sample", 100, shortFitted},
        {"empty block is zeros", 0, std::vector<float>(4096, 0.0F)},
    };
    VadManager manager(VadConfig::defaultConfig(), model_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const VadResult result = manager.processChunk(std::span(ramp).first(c.length));
        const std::vector<float> tail = slice(c.fitted, 4096 - 64, 64);
        EXPECT_EQ(result.outputState.context, tail);
        // The model saw zeros as context and the fitted block's tail.
        EXPECT_EQ(slice(result.outputState.cellState, 0, 64), std::vector<float>(64, 0.0F));
        EXPECT_EQ(slice(result.outputState.cellState, 64, 64), tail);
        EXPECT_NEAR(result.probability, fixtureProbability(c.fitted), 1e-6);
        EXPECT_GE(result.processingTime, 0.0);
    }
}

TEST_F(VadManagerTest, CarriesTheGivenStateAndStartsFromZerosWithoutOne) {
    VadManager manager(VadConfig::defaultConfig(), model_);
    const std::vector<float> block(4096, Testing::fixtureVadLevel(0.5F));

    const VadResult fresh = manager.processChunk(block);
    const VadResult initial = manager.processChunk(block, VadState::initial());
    EXPECT_EQ(fresh.outputState, initial.outputState);
    EXPECT_EQ(fresh.probability, initial.probability);
    EXPECT_EQ(fresh.outputState.hiddenState, std::vector<float>(128, 1.0F));

    // Short state lists fill the front of the inputs; the rest stays zero.
    VadState given;
    given.hiddenState = {7.0F, 7.0F, 7.0F};
    given.cellState = std::vector<float>(128, 3.0F);
    given.context = std::vector<float>(64, 0.25F);
    const VadState before = given;
    const VadResult carried = manager.processChunk(block, given);
    std::vector<float> hidden(128, 1.0F);
    hidden[0] = hidden[1] = hidden[2] = 8.0F;
    EXPECT_EQ(carried.outputState.hiddenState, hidden);
    EXPECT_EQ(slice(carried.outputState.cellState, 0, 64), std::vector<float>(64, 0.25F));
    EXPECT_EQ(given, before);
}

TEST_F(VadManagerTest, ABlockIsVoiceAtOrAboveTheThreshold) {
    struct Case {
        float threshold;
        float probability;
        bool voice;
    };
    for (const Case& c : {Case{0.85F, 0.85F, true}, Case{0.85F, 0.84F, false}, Case{0.85F, 1.0F, true},
                          Case{0.5F, 0.5F, true}, Case{0.5F, 0.25F, false}}) {
        SCOPED_TRACE(testing::Message() << c.threshold << " / " << c.probability);
        VadManager manager(VadConfig{c.threshold, false, MLComputeUnits::cpuOnly}, model_);
        const VadResult result = manager.processChunk(std::vector<float>(4096, Testing::fixtureVadLevel(c.probability)));
        EXPECT_EQ(result.probability, c.probability);
        EXPECT_EQ(result.isVoiceActive, c.voice);
    }
}

TEST_F(VadManagerTest, CutsASampleListIntoBlocksAndPassesTheStateAlong) {
    const auto observed = std::make_shared<Testing::ObservedModel>(model_);
    VadManager manager(VadConfig::defaultConfig(), observed);

    EXPECT_TRUE(manager.processAudioSamples({}).empty());
    EXPECT_EQ(observed->predictionCount(), 0);

    std::vector<float> samples(4097, 0.0F);
    for (std::size_t i = 4096 - 64; i < 4096; ++i) samples[i] = 0.01F * static_cast<float>(i - 4032);
    samples[4096] = Testing::fixtureVadLevel(0.5F);
    const std::vector<VadResult> results = manager.processAudioSamples(samples);
    ASSERT_EQ(results.size(), 2U);
    EXPECT_EQ(observed->predictionCount(), 2);
    // The second block is its one sample repeated.
    EXPECT_EQ(results[1].probability, 0.5F);
    EXPECT_EQ(results[1].outputState.context, std::vector<float>(64, samples[4096]));
    EXPECT_EQ(results[1].outputState.hiddenState, std::vector<float>(128, 2.0F));
    EXPECT_EQ(slice(results[1].outputState.cellState, 0, 64), slice(samples, 4032, 64));

    EXPECT_EQ(manager.process(std::span<const float>(Testing::scriptedVadAudio({0.9F, 0.1F, 0.5F}))).size(), 3U);
}

TEST_F(VadManagerTest, TheFirstFailingBlockEndsTheCallAndTheManagerGoesOn) {
    const Testing::LogCapture log;
    VadManager manager(VadConfig::defaultConfig(), model_);
    std::vector<float> samples = Testing::scriptedVadAudio({0.9F, 0.9F, 0.9F});
    samples[5000] = Testing::fixtureVadFailingLevel;

    try {
        (void)manager.processAudioSamples(samples);
        FAIL() << "expected a processing failure";
    } catch (const VadError& error) {
        EXPECT_EQ(error.kind(), VadError::Kind::modelProcessingFailed);
        EXPECT_THAT(error.description(), ::testing::StartsWith("Model processing failed: "));
        EXPECT_THAT(error.message(), HasSubstr("scripted failure"));
    }
    const auto messages = log->messages("VadManager");
    ASSERT_FALSE(messages.empty());
    EXPECT_THAT(messages.back(), ::testing::StartsWith("Model processing failed: "));

    EXPECT_EQ(manager.processChunk(slice(samples, 0, 4096)).probability, 0.9F);
}

TEST_F(VadManagerTest, StreamsOnOneManagerFromSeveralThreadsKeepTheirOwnResults) {
    VadManager manager(VadConfig::defaultConfig(), model_);
    std::vector<std::vector<float>> scripts(3);
    for (std::size_t stream = 0; stream < scripts.size(); ++stream) {
        for (int block = 0; block < 30; ++block) {
            scripts[stream].push_back(static_cast<float>((block * 7 + static_cast<int>(stream) * 11) % 20) / 20.0F);
        }
    }
    std::vector<std::vector<VadResult>> results(scripts.size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t stream = 0; stream < scripts.size(); ++stream) {
            threads.emplace_back([&, stream] {
                results[stream] = manager.processAudioSamples(Testing::scriptedVadAudio(scripts[stream]));
            });
        }
    }
    for (std::size_t stream = 0; stream < scripts.size(); ++stream) {
        ASSERT_EQ(results[stream].size(), scripts[stream].size());
        for (std::size_t block = 0; block < scripts[stream].size(); ++block) {
            EXPECT_EQ(results[stream][block].probability, scripts[stream][block]) << stream << "/" << block;
        }
        EXPECT_EQ(results[stream].back().outputState.hiddenState, std::vector<float>(128, 30.0F));
    }
}

TEST_F(VadManagerTest, FindsOutputsByExactNameThenByNameInAnyCase) {
    const Testing::TemporaryDirectory directory("tervane-vad-names");
    const auto renamed = Testing::loadVadFixtureModel(
        directory.path(), {"Model_VAD_Output_0", "NEW_HIDDEN_STATE_out", "new_cell_state_x"});
    VadManager manager(VadConfig::defaultConfig(), renamed);
    const VadResult result = manager.processChunk(std::vector<float>(4096, Testing::fixtureVadLevel(0.75F)));
    EXPECT_EQ(result.probability, 0.75F);
    EXPECT_EQ(result.outputState.hiddenState, std::vector<float>(128, 1.0F));

    const auto array = [](double value) { return Testing::fixtureArray({1}, {value}); };
    const auto valueOf = [](const std::optional<MLFeatureValue>& found) {
        return found ? found->multiArrayValue()->value(0) : -1.0;
    };
    const MLDictionaryFeatureProvider exact(
        {{"a_vad_output", MLFeatureValue(array(1))}, {"vad_output", MLFeatureValue(array(2))}});
    EXPECT_EQ(valueOf(VadManager::featureValue(exact, {"vad_output"})), 2.0);
    const MLDictionaryFeatureProvider substrings(
        {{"b_VAD_output", MLFeatureValue(array(3))}, {"a_Vad_Output_x", MLFeatureValue(array(4))}});
    EXPECT_EQ(valueOf(VadManager::featureValue(substrings, {"vad_output"})), 4.0);
    EXPECT_EQ(valueOf(VadManager::featureValue(substrings, {"missing", "b_vad"})), 3.0);
    // A match without an array ends that name's search.
    const MLDictionaryFeatureProvider empty(
        {{"a_vad_output", MLFeatureValue(nullptr)}, {"b_vad_output", MLFeatureValue(array(5))}});
    EXPECT_FALSE(VadManager::featureValue(empty, {"vad_output"}));
}

TEST_F(VadManagerTest, AMissingOutputFailsTheBlockWithItsOwnMessage) {
    struct Case {
        Testing::VadFixtureOptions names;
        const char* message;
        const char* logLine;
    };
    const std::vector<Case> cases = {
        {{"speech", "new_hidden_state", "new_cell_state"}, "No VAD output", "No vad output found"},
        {{"vad_output", "h_next", "new_cell_state"}, "No new hidden state output", "No new hidden state output found"},
        {{"vad_output", "new_hidden_state", "c_next"}, "No new cell state output", "No new cell state output found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const Testing::TemporaryDirectory directory("tervane-vad-missing");
        const Testing::LogCapture log;
        VadManager manager(VadConfig::defaultConfig(), Testing::loadVadFixtureModel(directory.path(), c.names));
        try {
            (void)manager.processChunk(std::vector<float>(4096, 0.0F));
            FAIL() << "expected a failure";
        } catch (const VadError& error) {
            EXPECT_EQ(error.kind(), VadError::Kind::modelProcessingFailed);
            EXPECT_EQ(error.description(), std::string("Model processing failed: ") + c.message);
        }
        EXPECT_THAT(log->messages("VadManager"), ::testing::Contains(std::string(c.logLine)));
    }
}

TEST_F(VadManagerTest, AManagerWithoutAModelIsNotInitializedAndAGivenModelLoadsNothing) {
    const Testing::LogCapture log;
    VadManager empty(VadConfig::defaultConfig(), nullptr);
    EXPECT_FALSE(empty.isAvailable());
    try {
        (void)empty.processChunk(std::vector<float>(4096, 0.0F));
        FAIL() << "expected notInitialized";
    } catch (const VadError& error) {
        EXPECT_EQ(error.kind(), VadError::Kind::notInitialized);
        EXPECT_EQ(error.description(), "VAD system not initialized");
    }

    const VadConfig config{0.6F, true, MLComputeUnits::cpuOnly};
    VadManager given(config, model_);
    EXPECT_TRUE(given.isAvailable());
    EXPECT_EQ(given.currentConfig().defaultThreshold, 0.6F);
    EXPECT_THAT(log->messages("VadManager"),
                ElementsAre("VAD initialized with provided model", "VAD initialized with provided model"));
    EXPECT_TRUE(log->messages("DownloadUtils").empty());
}

TEST_F(VadManagerTest, ProcessesFilesAndBuffers) {
    const Testing::TemporaryDirectory directory("tervane-vad-audio");
    VadManager manager(VadConfig::defaultConfig(), model_);
    const std::vector<float> scripted = Testing::scriptedVadAudio({0.8F, 0.0F, 0.8F});

    // A file at another rate is read and converted.
    std::vector<float> halfRate;
    for (std::size_t i = 0; i < scripted.size(); i += 2) halfRate.push_back(scripted[i]);
    const fs::path file = directory / "scripted.wav";
    Testing::writeWav(file, {halfRate}, 8000, Testing::WavEncoding::float32);
    const std::vector<VadResult> fromFile = manager.process(file);
    ASSERT_EQ(fromFile.size(), 3U);
    // Blocks away from the level changes read their level; the edges are blurred by resampling.
    EXPECT_NEAR(fromFile[1].probability, 0.0F, 0.02F);
    EXPECT_NEAR(fromFile[0].probability, 0.8F, 0.02F);
    EXPECT_THROW((void)manager.process(directory / "missing.wav"), AVAudioFileError);

    // A buffer already in the target format is taken unchanged.
    const auto target = Testing::makePCMBuffer({scripted}, 16000);
    const std::vector<VadResult> fromBuffer = manager.process(target);
    ASSERT_EQ(fromBuffer.size(), 3U);
    EXPECT_EQ(fromBuffer[0].probability, 0.8F);
    EXPECT_EQ(fromBuffer[1].probability, 0.0F);
    EXPECT_EQ(fromBuffer[2].outputState, manager.processAudioSamples(scripted)[2].outputState);

    // A stereo buffer is mixed down.
    const auto stereo = Testing::makePCMBuffer({scripted, scripted}, 16000);
    const std::vector<VadResult> mixed = manager.process(stereo);
    ASSERT_EQ(mixed.size(), 3U);
    EXPECT_NEAR(mixed[0].probability, 0.8F, 0.02F);
}

TEST(VadManagerLoading, LoadsFromTheCacheUnderTheGivenRoot) {
    const Testing::TemporaryDirectory root("tervane-vad-root");
    Testing::writeVadFixtureModel(root / "Models" / Repo(Repo::vad).folderName());
    const Testing::LogCapture log;

    VadManager manager(VadConfig{0.85F, false, MLComputeUnits::cpuOnly}, root.path());

    EXPECT_TRUE(manager.isAvailable());
    EXPECT_EQ(manager.processChunk(std::vector<float>(4096, Testing::fixtureVadLevel(0.9F))).probability, 0.9F);
    const auto messages = log->messages("VadManager");
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[0], "VAD model loaded successfully");
    EXPECT_THAT(messages[1], ::testing::MatchesRegex("VAD system initialized in [0-9]+\\.[0-9][0-9]s"));
}

TEST(VadManagerLoading, ReplacesABrokenCacheFromTheHubOnce) {
    Testing::LoopbackHTTPServer hub;
    const Testing::ScopedHubConnection connection(hub);
    const Testing::TemporaryDirectory hubSource("tervane-vad-hub");
    const Testing::TemporaryDirectory root("tervane-vad-cache");
    Testing::writeVadFixtureModel(hubSource.path());
    const auto served = Testing::serveFolderAsHubRepository(hub, Repo(Repo::vad).remotePath(), hubSource.path());
    // A cached bundle whose manifest is not JSON: the first load fails.
    const fs::path cached = root / "Models" / Repo(Repo::vad).folderName();
    Testing::writeManifestOnlyBundle(cached, ModelNames::VAD::sileroVadFile, "not a manifest");
    const Testing::LogCapture log;

    VadManager manager(VadConfig::defaultConfig(), root.path());

    EXPECT_TRUE(manager.isAvailable());
    for (const auto& path : served) EXPECT_TRUE(fs::exists(cached / path)) << path;
    EXPECT_THAT(log->messages("DownloadUtils"), ::testing::Contains(::testing::StartsWith("First load failed: ")));
    EXPECT_EQ(manager.processChunk(std::vector<float>(4096, Testing::fixtureVadLevel(0.25F))).probability, 0.25F);
}

TEST(VadManagerLoading, PassesOnTheLoadersFailure) {
    Testing::LoopbackHTTPServer hub;  // knows no repository
    const Testing::ScopedHubConnection connection(hub);
    const Testing::TemporaryDirectory root("tervane-vad-nothing");
    const DownloadUtils::Sleeper previous = DownloadUtils::setSleeper([](double) {});
    EXPECT_ANY_THROW({ VadManager manager(VadConfig::defaultConfig(), root.path()); });
    DownloadUtils::setSleeper(previous);
}

}  // namespace
}  // namespace Tervane
