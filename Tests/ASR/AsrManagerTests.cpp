#include <Tervane/ASR/AsrManager.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/AudioFixtures.hpp"
#include "Support/CapturingLogSink.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

namespace {

using namespace Tervane;
using Testing::AsrFixtureOptions;
using Testing::ScriptedToken;
using Testing::scriptedAudio;

/// Fixture model sets, written and loaded once per variant for the whole program.
const AsrModels& fixtureModels(const AsrFixtureOptions& options = {}, const std::string& variant = "default") {
    static std::map<std::string, std::pair<std::shared_ptr<Testing::TemporaryDirectory>, AsrModels>> sets;
    auto found = sets.find(variant);
    if (found == sets.end()) {
        auto directory = std::make_shared<Testing::TemporaryDirectory>("tervane-asr-" + variant);
        Testing::writeAsrFixtureModels(directory->path(), options);
        found = sets.emplace(variant, std::make_pair(directory, loadAsrModels(directory->path()))).first;
    }
    return found->second.second;
}

std::unique_ptr<AsrManager> readyManager(const AsrModels& models = fixtureModels()) {
    auto manager = std::make_unique<AsrManager>();
    manager->initialize(models);
    return manager;
}

std::vector<int> ids(const ASRResult& result) {
    std::vector<int> tokens;
    for (const TokenTiming& timing : result.tokenTimings.value()) {
        tokens.push_back(timing.tokenId);
    }
    return tokens;
}

std::vector<int> frames(const ASRResult& result) {
    std::vector<int> indices;
    for (const TokenTiming& timing : result.tokenTimings.value()) {
        indices.push_back(static_cast<int>(std::lround(timing.startTime / 0.08)));
    }
    return indices;
}

/// What each preprocessor call was handed: "audio_length", the window size and its first sample.
struct WindowSeen {
    int length;
    std::int64_t size;
    float first;
};

AsrModels recordingWindows(std::vector<WindowSeen>& seen) {
    return Testing::observedAsrModels(fixtureModels(), nullptr, [&seen](const MLFeatureProvider& input) {
        const auto signal = input.featureValue("audio_signal")->multiArrayValue();
        const auto length = input.featureValue("audio_length")->multiArrayValue();
        seen.push_back({static_cast<int>(length->value(0)), signal->count(), static_cast<float>(signal->value(0))});
    });
}

TEST(AsrManager, RecognisesOneWindowIntoTextTimingsAndConfidence) {
    auto manager = readyManager();
    const std::vector<float> audio =
        scriptedAudio(32000, {{2, 1, 1, 0}, {3, 2, 1, 1}, {6, 3, 1, 0}, {9, 8191, 1, 0}, {12, 1234, 1, 0}});
    const ASRResult result = manager->transcribe(audio, AudioSource::system);
    EXPECT_EQ(result.text, "hello world");
    EXPECT_EQ(ids(result), (std::vector<int>{1, 2, 3, 8191, 1234}));
    EXPECT_EQ(frames(result), (std::vector<int>{2, 3, 6, 9, 12}));
    EXPECT_EQ(result.tokenTimings->at(4).token, "token_1234");
    EXPECT_DOUBLE_EQ(result.tokenTimings->at(0).endTime, 0.24);
    EXPECT_DOUBLE_EQ(result.tokenTimings->at(4).endTime, 1.04);
    EXPECT_FLOAT_EQ(result.tokenTimings->at(1).confidence, 0.75F);
    EXPECT_FLOAT_EQ(result.confidence, 0.95F);  // (1 + 0.75 + 1 + 1 + 1) / 5
    EXPECT_DOUBLE_EQ(result.duration, 2.0);
    EXPECT_FALSE(result.performanceMetrics.has_value());

    // The states are re-initialised after each call, so the same audio gives the same result.
    const ASRResult again = manager->transcribe(audio, AudioSource::system);
    EXPECT_EQ(ids(again), ids(result));
    EXPECT_EQ(frames(again), frames(result));
    for (const AudioSource source : {AudioSource::microphone, AudioSource::system}) {
        const TdtDecoderState& state = manager->decoderState(source);
        EXPECT_FALSE(state.lastToken || state.timeJump || state.predictorOutput);
    }
}

TEST(AsrManager, RefusesWithoutModelsAndBelowOneSecond) {
    AsrManager manager;
    EXPECT_FALSE(manager.isAvailable());
    try {
        (void)manager.transcribe(std::vector<float>(16000), AudioSource::system);
        FAIL();
    } catch (const ASRError& error) {
        EXPECT_EQ(error.description(), "AsrManager not initialized. Call initialize() first.");
    }
    manager.initialize(fixtureModels());
    EXPECT_TRUE(manager.isAvailable());
    try {
        (void)manager.transcribe(std::vector<float>(15999), AudioSource::system);
        FAIL();
    } catch (const ASRError& error) {
        EXPECT_EQ(error.kind(), ASRError::Kind::invalidAudioData);
    }
    Testing::LogCapture capture;
    manager.cleanup();
    EXPECT_FALSE(manager.isAvailable());
    EXPECT_EQ(capture->messages("ASR"), (std::vector<std::string>{"AsrManager resources cleaned up"}));
    try {
        (void)manager.transcribe(std::vector<float>(16000), AudioSource::system);
        FAIL();
    } catch (const ASRError& error) {
        EXPECT_EQ(error.kind(), ASRError::Kind::notInitialized);
    }
}

TEST(AsrManager, AudioUpToFifteenSecondsIsOnePaddedWindowAndLongerIsChunked) {
    struct Case {
        std::size_t samples;
        std::vector<int> lengths;
    };
    const Case cases[] = {
        {16000, {16000}},
        {240000, {240000}},
        {240001, {239840, 32161}},
        {447680, {239840, 239840}},  // one stride plus one chunk: exactly two
    };
    for (const Case& c : cases) {
        std::vector<WindowSeen> seen;
        auto manager = readyManager(recordingWindows(seen));
        std::vector<float> audio(c.samples, 0.0F);
        if (c.samples > 207840) {
            audio[207840] = 0.125F;  // marks where the second chunk must start
        }
        (void)manager->transcribe(audio, AudioSource::system);
        std::vector<int> lengths;
        for (const WindowSeen& window : seen) {
            lengths.push_back(window.length);
            EXPECT_EQ(window.size, 240000) << c.samples;
        }
        EXPECT_EQ(lengths, c.lengths) << c.samples;
        if (seen.size() == 2) {
            EXPECT_EQ(seen[1].first, 0.125F) << c.samples;
        }
    }
}

TEST(AsrManager, ChunkTokensCarryGlobalFramesAndTheOverlapIsStitchedOnce) {
    auto manager = readyManager();
    // 447680 samples: chunks 0-239839 and 207840-447679 (frames 162 to 349, offset 162).
    // Tokens at 170, 175 and 180 lie in both chunks; 200 and 300 only in the second.
    const std::vector<ScriptedToken> script{
        {20, 10}, {150, 11}, {170, 12}, {175, 13}, {180, 14}, {200, 15}, {300, 16}};
    const ASRResult result = manager->transcribe(scriptedAudio(447680, script), AudioSource::system);
    EXPECT_EQ(ids(result), (std::vector<int>{10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(frames(result), (std::vector<int>{20, 150, 170, 175, 180, 200, 300}));
    EXPECT_EQ(result.text, "w10 w11 w12 w13 w14 w15 w16");
    EXPECT_DOUBLE_EQ(result.duration, 447680.0 / 16000);

    // Silence in every chunk gives an empty transcript.
    const ASRResult silent = manager->transcribe(std::vector<float>(500000), AudioSource::system);
    EXPECT_TRUE(silent.tokenTimings->empty());
    EXPECT_FLOAT_EQ(silent.confidence, 0.1F);
}

TEST(AsrManager, OlderModelSetsUseBlank1024) {
    AsrFixtureOptions options;
    options.blankId = 1024;
    AsrModels v2 = fixtureModels(options, "blank1024");
    v2.version = AsrModelVersion::v2;
    const std::vector<float> audio = scriptedAudio(32000, {{4, 8192}, {7, 5}});
    // Token 8192 is a plain piece for the older set; its unscripted frames are blank.
    EXPECT_EQ(ids(readyManager(v2)->transcribe(audio, AudioSource::system)), (std::vector<int>{8192, 5}));

    AsrModels v3 = v2;
    v3.version = AsrModelVersion::v3;
    const std::vector<int> asV3 = ids(readyManager(v3)->transcribe(audio, AudioSource::system));
    EXPECT_GT(std::count(asV3.begin(), asV3.end(), 1024), 10);  // blank 1024 is a token under v3
}

TEST(AsrManager, OtherModelLayoutsAndEncoderInputsFromThePreprocessorInput) {
    AsrFixtureOptions options;
    options.encoderTimeMajor = true;
    options.decoderHiddenLast = true;
    options.encoderDeclaresAudioLength = true;
    const std::vector<float> audio = scriptedAudio(48000, {{3, 4}, {5, 5, 0}, {6, 6}, {20, 7}});
    const ASRResult plain = readyManager()->transcribe(audio, AudioSource::microphone);
    const ASRResult other = readyManager(fixtureModels(options, "layouts"))->transcribe(audio, AudioSource::microphone);
    EXPECT_EQ(ids(plain).size(), 13U);  // token 5 lasts 0 frames: ten at frame 5
    EXPECT_EQ(ids(other), ids(plain));
    EXPECT_EQ(frames(other), frames(plain));

    // An input neither the preprocessor's result nor its input has.
    Testing::TemporaryDirectory directory;
    Testing::FixtureModel encoder = Testing::asrEncoderFixture();
    encoder.source.replace(encoder.source.find("mel_length):"), std::string("mel_length):").size(),
                           "mel_length, speaker):");
    encoder.inputs.push_back({"speaker", MLMultiArrayDataType::int32, {1}});
    AsrModels models = fixtureModels();
    models.encoder = Testing::loadFixtureModel(directory.path(), "Encoder.mlmodelc", encoder);
    try {
        (void)readyManager(models)->transcribe(audio, AudioSource::microphone);
        FAIL();
    } catch (const ASRError& error) {
        EXPECT_EQ(error.description(),
                  "ASR processing failed: Missing required encoder input: speaker. Available inputs: mel, "
                  "mel_length, fallback inputs: audio_length, audio_signal");
    }
}

TEST(AsrManager, MetricsComeFromTheMonitorWhenOneIsGiven) {
    auto manager = readyManager();
    const std::vector<float> audio = scriptedAudio(16000, {{2, 3}});
    PerformanceMonitor monitor;
    const auto tracked = manager->transcribeWithMetrics(audio, &monitor);
    EXPECT_EQ(tracked.result.text, "world");
    ASSERT_TRUE(tracked.metrics.has_value());
    EXPECT_GT(tracked.metrics->totalProcessingTime, 0);
    EXPECT_FALSE(manager->transcribeWithMetrics(audio, nullptr).metrics.has_value());
}

TEST(AsrManager, BuffersAndFilesAreConvertedToSixteenKilohertzMonoFirst) {
    auto manager = readyManager();
    const std::vector<float> audio = scriptedAudio(32000, {{2, 1}, {3, 2}, {9, 3}});
    // Already in the target format: the scripted levels pass unchanged.
    const ASRResult fromBuffer = manager->transcribe(Testing::makePCMBuffer({audio}, 16000), AudioSource::system);
    EXPECT_EQ(fromBuffer.text, "hello world");
    EXPECT_EQ(frames(fromBuffer), (std::vector<int>{2, 3, 9}));

    Testing::TemporaryDirectory directory;
    const auto file = Testing::writeAudioFile(directory.path(), "scripted", Testing::AudioFileKind::wavFloat32,
                                              {audio}, 16000);
    EXPECT_EQ(ids(manager->transcribe(file, AudioSource::system)), ids(fromBuffer));

    // Converted from 48 kHz stereo the levels are no longer exact codes; two seconds still
    // come out as two seconds of audio.
    const std::vector<float> tone = Testing::tone(440, 2.0, 48000, 0.001F);
    EXPECT_NEAR(manager->transcribe(Testing::makePCMBuffer({tone, tone}, 48000), AudioSource::system).duration, 2.0,
                0.01);
    EXPECT_THROW((void)manager->transcribe(directory / "missing.wav", AudioSource::system), Error);
}

TEST(AsrManagerStreaming, WindowsCarryTheStateAndDropTokensAlreadySeen) {
    auto manager = readyManager();
    // First window: tokens at frames 10 and 20; the cursor ends exactly at the end.
    const auto first =
        manager->transcribeStreamingChunk(scriptedAudio(48000, {{10, 5}, {20, 6}}), AudioSource::microphone, {});
    EXPECT_EQ(first.tokens, (std::vector<int>{5, 6}));
    EXPECT_EQ(first.encoderSequenceLength, 38);
    const TdtDecoderState& state = manager->decoderState(AudioSource::microphone);
    EXPECT_EQ(state.lastToken, 6);
    EXPECT_EQ(state.timeJump, 0);

    // The next window starts 25 frames in; it repeats 5, 6 and adds 7, 8.
    const auto second = manager->transcribeStreamingChunk(scriptedAudio(48000, {{26, 5}, {27, 6}, {28, 7}, {30, 8}}),
                                                          AudioSource::microphone, first.tokens);
    EXPECT_EQ(second.tokens, (std::vector<int>{7, 8}));
    EXPECT_EQ(second.timestamps, (std::vector<int>{28, 30}));
    EXPECT_EQ(second.confidences.size(), 2U);
    EXPECT_FALSE(manager->decoderState(AudioSource::system).lastToken.has_value());
}

TEST(AsrManagerStreaming, DuplicateRemovalFindsExactThenShiftedOverlaps) {
    AsrManager manager;
    struct Case {
        std::vector<int> previous;
        std::vector<int> current;
        std::vector<int> deduped;
        int removed;
    };
    const Case cases[] = {
        {{1, 10, 11, 12}, {10, 11, 12, 13}, {13}, 3},                     // exact suffix-prefix overlap
        {{4, 7883}, {7883, 5, 6}, {5, 6}, 1},                             // a repeated closing mark
        {{4, 7883}, {7883, 5}, {5}, 1},                                   // then too short to search
        {{1, 2, 3, 4, 5}, {9, 3, 4, 8}, {8}, 3},                          // shifted: 3, 4 found after one token
        {{1, 2, 3}, {4, 5, 6}, {4, 5, 6}, 0},                             // nothing shared
        {{1, 2}, {2}, {2}, 0},                                            // fewer than two to compare
        {{5, 5}, {5, 5, 5}, {5}, 2},                                      // the longest exact overlap wins
    };
    for (const Case& c : cases) {
        const AsrManager::DeduplicatedTokens result = manager.removeDuplicateTokenSequence(c.previous, c.current, 12);
        EXPECT_EQ(result.deduped, c.deduped);
        EXPECT_EQ(result.removedCount, c.removed);
    }
    // The shifted search looks only `boundarySearchFrames` positions into the current list.
    ASRConfig narrow;
    narrow.tdtConfig.boundarySearchFrames = 1;
    AsrManager bounded(narrow);
    EXPECT_EQ(bounded.removeDuplicateTokenSequence({1, 2, 3, 4, 5}, {9, 3, 4, 8}, 12).removedCount, 0);
}

}  // namespace
