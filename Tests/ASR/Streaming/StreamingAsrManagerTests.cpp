#include <Tervane/ASR/Streaming/StreamingAsrManager.hpp>

#include <Tervane/ASR/Streaming/StreamingAsrError.hpp>

#include "ASR/Streaming/StreamingTestSupport.hpp"
#include "Support/CapturingLogSink.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <random>
#include <thread>

namespace Tervane {
namespace {

using Testing::LogCapture;
using Testing::ScriptedToken;
using Testing::monoBuffer;
using Testing::scriptedAudio;
using Testing::streamingFixtureModels;

constexpr std::size_t oneSecond = 16000;

std::span<const float> slice(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    return std::span<const float>(samples).subspan(from, to - from);
}

std::vector<float> copyOf(std::span<const float> samples) { return {samples.begin(), samples.end()}; }

std::size_t bufferErrors(const LogCapture& log) {
    const auto messages = log->messages("StreamingASR");
    return static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(), [](const std::string& message) {
        return message.starts_with("Audio buffer processing error: ");
    }));
}

/// Waits until the worker has handled every buffer queued so far: an unconvertible buffer is
/// queued behind them, and its error is logged once they are done.
void waitForQueuedBuffers(StreamingAsrManager& manager, const LogCapture& log) {
    const std::size_t before = bufferErrors(log);
    manager.streamAudio(Testing::unconvertibleBuffer());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (bufferErrors(log) == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GT(bufferErrors(log), before) << "the worker did not reach the barrier";
}

TEST(StreamingAsrConfig, PresetsAndConstructors) {
    struct Case {
        const char* name;
        StreamingAsrConfig config;
        std::vector<double> expected;  // the six fields in order
    };
    const Case cases[] = {
        {"default", StreamingAsrConfig::defaultConfig(), {15.0, 2.0, 10.0, 2.0, 10.0, 0.85}},
        {"streaming", StreamingAsrConfig::streaming(), {11.0, 1.0, 2.0, 2.0, 10.0, 0.8}},
        {"custom", StreamingAsrConfig::custom(4.0, 0.7), {4.0, 1.0, 10.0, 2.0, 10.0, 0.7}},
        {"threshold first", StreamingAsrConfig(0.7, 1.5), {1.5, 0.75, 10.0, 2.0, 10.0, 0.7}},
    };
    for (const Case& c : cases) {
        const StreamingAsrConfig& config = c.config;
        EXPECT_EQ((std::vector<double>{config.chunkSeconds, config.hypothesisChunkSeconds, config.leftContextSeconds,
                                       config.rightContextSeconds, config.minContextForConfirmation,
                                       config.confirmationThreshold}),
                  c.expected)
            << c.name;
    }
    EXPECT_EQ(StreamingAsrConfig::streaming().chunkSamples() + StreamingAsrConfig::streaming().leftContextSamples() +
                  StreamingAsrConfig::streaming().rightContextSamples(),
              240000);
}

TEST(StreamingAsrConfig, WindowsThatCouldNotAdvanceAreRejected) {
    struct Case {
        StreamingAsrConfig config;
        std::string message;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {StreamingAsrConfig::custom(0.0, 0.8), "chunkSeconds must hold at least one sample, got 0.0"},
        {StreamingAsrConfig::custom(0.00005, 0.8), "chunkSeconds must hold at least one sample, got 5e-05"},
        {{11.0, 1.0, nan, 2.0, 10.0, 0.8}, "leftContextSeconds must be between 0 and 86400.0 seconds, got nan"},
        {{11.0, 1.0, 2.0, -1.0, 10.0, 0.8}, "rightContextSeconds must be between 0 and 86400.0 seconds, got -1.0"},
    };
    for (const Case& c : cases) {
        try {
            StreamingAsrManager manager(c.config);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const StreamingAsrError& error) {
            EXPECT_EQ(error.kind(), StreamingAsrError::Kind::invalidConfiguration);
            EXPECT_EQ(error.description(), "Invalid configuration: " + c.message);
        }
    }
}

TEST(StreamingAsrManager, WindowsCoverTheirSamplesAndFireOnlyOnceComplete) {
    const LogCapture log;
    Testing::WindowRecorder recorder;
    auto manager = std::make_shared<StreamingAsrManager>(StreamingAsrConfig::streaming());
    manager->start(recorder.observe(), AudioSource::system);
    auto updates = manager->transcriptionUpdates();
    const std::vector<float> audio = Testing::positionCodedAudio(384000);

    manager->streamAudio(monoBuffer(slice(audio, 0, 207999)));
    waitForQueuedBuffers(*manager, log);
    EXPECT_TRUE(recorder.windows().empty());

    // The missing sample completes the first window; later buffers still recognise.
    manager->streamAudio(monoBuffer(slice(audio, 207999, 208000)));
    manager->streamAudio(monoBuffer(slice(audio, 208000, 383999)));
    waitForQueuedBuffers(*manager, log);
    EXPECT_EQ(recorder.windows().size(), 1U);
    manager->streamAudio(monoBuffer(slice(audio, 383999, 384000)));

    (void)manager->finish();
    const auto windows = recorder.windows();
    ASSERT_EQ(windows.size(), 3U);
    EXPECT_EQ(windows[0], copyOf(slice(audio, 0, 208000)));       // 11 s centre, 2 s right
    EXPECT_EQ(windows[1], copyOf(slice(audio, 144000, 384000)));  // 2 s left, 11 s, 2 s right
    EXPECT_EQ(windows[2], copyOf(slice(audio, 320000, 384000)));  // the rest, no right context
    EXPECT_EQ(Testing::readAll(updates).size(), 3U);

    const auto messages = log->messages("StreamingASR");
    const auto errors = std::count_if(messages.begin(), messages.end(), [](const std::string& message) {
        return message ==
               "Audio buffer processing error: Audio buffer processing failed: " +
                   AudioConverterError::failedToCreateBuffer().description();
    });
    EXPECT_EQ(errors, 2);
    EXPECT_THAT(messages, testing::Contains("Recovering from audio buffer error"));
    EXPECT_THAT(messages, testing::Contains("Recognition task completed"));
}

TEST(StreamingAsrManager, AudioShorterThanAWindowIsRecognisedAtFinish) {
    const LogCapture log;
    Testing::WindowRecorder recorder;
    StreamingAsrManager manager(StreamingAsrConfig::streaming());
    manager.start(recorder.observe());
    auto updates = manager.transcriptionUpdates();
    manager.streamAudio(monoBuffer(scriptedAudio(3 * oneSecond, {{5, 1}, {6, 2}, {20, 3}})));
    waitForQueuedBuffers(manager, log);
    EXPECT_TRUE(recorder.windows().empty());

    EXPECT_EQ(manager.finish(), "hello world");
    ASSERT_EQ(recorder.windows().size(), 1U);
    EXPECT_EQ(recorder.windows()[0].size(), 3 * oneSecond);
    const auto all = Testing::readAll(updates);
    ASSERT_EQ(all.size(), 1U);
    EXPECT_EQ(all[0].text, "hello world");
    EXPECT_FALSE(all[0].isConfirmed);  // 3 s received
    EXPECT_EQ(all[0].tokenIds, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(all[0].tokens(), (std::vector<std::string>{" hel", "lo", " world"}));
    EXPECT_DOUBLE_EQ(all[0].tokenTimings[2].startTime, 1.6);
    EXPECT_EQ(manager.volatileTranscript(), "hello world");
    EXPECT_EQ(manager.confirmedTranscript(), "");
}

// Windows of 4 s centre and 2 s left context, fed one window at a time so that each is
// judged on exactly the audio received by then: 4, 8, ... 32 s.
TEST(StreamingAsrManager, TextIsConfirmedOnlyWithEnoughAudioAndConfidence) {
    const LogCapture log;
    StreamingAsrManager manager({4.0, 1.0, 2.0, 0.0, 10.0, 0.75});
    manager.start(streamingFixtureModels());
    auto updates = manager.transcriptionUpdates();
    // One window per 50 frames; probability level 1 is 0.75 (the threshold), level 2 is 0.5.
    const std::vector<float> audio = scriptedAudio(32 * oneSecond, {{10, 1},
                                                                 {11, 2},  // hello, too early to confirm
                                                                 // nothing in the second window
                                                                 {110, 4, 1, 1},  // the, at the threshold
                                                                 {160, 5, 1, 2},  // quick, below it
                                                                 {210, 6},        // brown
                                                                 {260, 7},        // fox
                                                                 // nothing in the seventh
                                                                 {360, 9}});      // over
    struct Expected {
        std::string text;
        bool confirmed;
        std::string confirmedTranscript;
    };
    const Expected expected[] = {{"hello", false, ""},       {"", false, ""},
                                 {"the", true, ""},          {"quick", false, ""},
                                 {"brown", true, "quick"},   {"fox", true, "quick brown"},
                                 {"", false, "quick brown"}, {"over", true, "quick brown"}};
    for (std::size_t window = 0; window < std::size(expected); ++window) {
        manager.streamAudio(monoBuffer(slice(audio, window * 4 * oneSecond, (window + 1) * 4 * oneSecond)));
        const auto update = updates.next();
        ASSERT_TRUE(update.has_value());
        EXPECT_EQ(update->text, expected[window].text) << window;
        EXPECT_EQ(update->isConfirmed, expected[window].confirmed) << window;
        EXPECT_EQ(manager.confirmedTranscript(), expected[window].confirmedTranscript) << window;
        EXPECT_EQ(manager.volatileTranscript(), expected[window].text) << window;
    }
    // All tokens kept, not the pieces the updates showed.
    EXPECT_EQ(manager.finish(), "hello the quick brown fox over");

    const auto messages = log->messages("StreamingASR");
    EXPECT_THAT(messages, testing::Contains("VOLATILE (1.0): insufficient context (4.0s) - updated volatile 'hello'"));
    EXPECT_THAT(messages, testing::Contains("CONFIRMED (0.75, 12.0s context): promoted to confirmed; new volatile 'the'"));
    EXPECT_THAT(messages, testing::Contains("VOLATILE (0.5): low confidence - updated volatile 'quick'"));
    EXPECT_THAT(messages, testing::Contains("Final transcription: 30 characters"));
}

TEST(StreamingAsrManager, BufferSizesAndThreadsDoNotChangeTheText) {
    // 60 s with a token every 0.8 s; the last frames stay blank.
    std::vector<ScriptedToken> script;
    for (std::int64_t frame = 3; frame < 740; frame += 10) {
        script.push_back({frame, static_cast<int>(10 + frame % 900)});
    }
    const std::vector<float> audio = scriptedAudio(60 * oneSecond, script);

    std::vector<int> wholeTokens;
    std::string wholeText;
    {
        StreamingAsrManager manager(StreamingAsrConfig::streaming());
        manager.start(streamingFixtureModels());
        auto updates = manager.transcriptionUpdates();
        manager.streamAudio(monoBuffer(audio));
        wholeText = manager.finish();
        for (const auto& update : Testing::readAll(updates)) {
            wholeTokens.insert(wholeTokens.end(), update.tokenIds.begin(), update.tokenIds.end());
        }
    }
    EXPECT_THAT(wholeText, testing::StartsWith("w13 w23 w33"));
    EXPECT_THAT(wholeText, testing::EndsWith("w743"));

    StreamingAsrManager manager(StreamingAsrConfig::streaming());
    manager.start(streamingFixtureModels());
    auto updates = manager.transcriptionUpdates();
    std::vector<int> listenedTokens;
    std::jthread listener([&] {
        for (const auto& update : updates) {
            listenedTokens.insert(listenedTokens.end(), update.tokenIds.begin(), update.tokenIds.end());
        }
    });
    std::jthread producer([&] {
        std::mt19937 random(7);
        std::uniform_int_distribution<std::size_t> size(1, 24000);
        for (std::size_t at = 0; at < audio.size();) {
            const std::size_t next = std::min(audio.size(), at + size(random));
            manager.streamAudio(monoBuffer(slice(audio, at, next)));
            at = next;
        }
    });
    producer.join();
    EXPECT_EQ(manager.finish(), wholeText);
    listener.join();
    EXPECT_EQ(listenedTokens, wholeTokens);
}

TEST(StreamingAsrManager, OnlyTheNewestListenerReceivesUpdates) {
    StreamingAsrManager manager(StreamingAsrConfig::streaming());
    manager.start(streamingFixtureModels());
    auto first = manager.transcriptionUpdates();
    auto second = manager.transcriptionUpdates();
    manager.streamAudio(monoBuffer(scriptedAudio(14 * oneSecond, {{5, 3}})));
    EXPECT_FALSE(first.next().has_value());  // ended when the second one came
    const auto update = second.next();
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->text, "world");
    EXPECT_TRUE(update->isConfirmed);
    (void)manager.finish();
    EXPECT_EQ(Testing::readAll(second).size(), 1U);  // the flushed rest, then the end
    EXPECT_FALSE(manager.transcriptionUpdates().next().has_value());  // nothing more will come
}

TEST(StreamingAsrManager, ResetStartsTheStreamAfresh) {
    StreamingAsrManager manager(StreamingAsrConfig::streaming());
    manager.start(streamingFixtureModels(), AudioSource::system);
    auto updates = manager.transcriptionUpdates();
    manager.streamAudio(monoBuffer(scriptedAudio(13 * oneSecond, {{5, 1}, {6, 2}})));
    ASSERT_TRUE(updates.next().has_value());
    EXPECT_EQ(manager.volatileTranscript(), "hello");

    manager.reset();
    EXPECT_EQ(manager.volatileTranscript(), "");
    EXPECT_EQ(manager.source(), AudioSource::system);
    // Positions start at zero again: this audio is one short window of its own.
    manager.streamAudio(monoBuffer(scriptedAudio(2 * oneSecond, {{3, 3}})));
    EXPECT_EQ(manager.finish(), "world");
}

/// Models whose encoder and decoder fail while a switch is on.
struct FailingModels {
    std::shared_ptr<std::atomic<bool>> encoderFails = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> decoderFails = std::make_shared<std::atomic<bool>>(false);
    AsrModels models = streamingFixtureModels();

    FailingModels() {
        const auto failWhen = [](std::shared_ptr<std::atomic<bool>> flag, std::string message) {
            return [flag = std::move(flag), message = std::move(message)](const MLFeatureProvider&) {
                if (*flag) {
                    throw ASRError::processingFailed(message);
                }
            };
        };
        models.encoder = std::make_shared<Testing::ObservedModel>(models.encoder, failWhen(encoderFails, "encoder down"));
        models.decoder = std::make_shared<Testing::ObservedModel>(models.decoder, failWhen(decoderFails, "decoder down"));
    }
};

TEST(StreamingAsrManager, AFailedWindowIsDroppedAndTheDecoderReset) {
    const LogCapture log;
    FailingModels failing;
    StreamingAsrManager manager(StreamingAsrConfig::streaming());
    manager.start(failing.models);
    auto updates = manager.transcriptionUpdates();
    *failing.encoderFails = true;
    manager.streamAudio(monoBuffer(scriptedAudio(13 * oneSecond, {{5, 1}})));
    waitForQueuedBuffers(manager, log);
    *failing.encoderFails = false;
    manager.streamAudio(monoBuffer(scriptedAudio(11 * oneSecond, {{100, 3}})));  // global frame 262
    EXPECT_EQ(manager.finish(), "world");

    const auto all = Testing::readAll(updates);
    ASSERT_EQ(all.size(), 2U);  // the second window and the flushed rest
    EXPECT_EQ(all[0].text, "world");
    const auto messages = log->messages("StreamingASR");
    EXPECT_THAT(messages, testing::Contains("Model processing error: Model processing failed: ASR processing failed: "
                                            "encoder down"));
    EXPECT_THAT(messages, testing::Contains("Attempting error recovery for: Model processing failed: ASR processing "
                                            "failed: encoder down"));
    EXPECT_THAT(messages, testing::Contains("Recovering from model processing error - resetting decoder state"));
    EXPECT_THAT(messages, testing::Contains("Successfully reset decoder state during error recovery"));
}

TEST(StreamingAsrManager, AnEngineWhoseDecoderCannotResetIsRebuiltFromTheModelStore) {
    struct Case {
        bool hubServesModels;
        std::string outcome;
    };
    const Case cases[] = {{true, "Successfully reinitialized ASR manager during error recovery"},
                          {false, "Failed to reinitialize ASR manager during recovery: "}};
    for (const Case& c : cases) {
        const LogCapture log;
        std::optional<Testing::FixtureModelHub> hub;
        std::optional<Testing::LoopbackHTTPServer> emptyHub;
        std::optional<Testing::ScopedHubConnection> emptyConnection;
        Testing::TemporaryDirectory data("tervane-streaming-empty");
        Testing::ScopedEnvironment environment;
        if (c.hubServesModels) {
            hub.emplace();
        } else {
            emptyHub.emplace();
            emptyConnection.emplace(*emptyHub);
            environment.set("XDG_DATA_HOME", data.path().string());
        }
        FailingModels failing;
        StreamingAsrManager manager(StreamingAsrConfig::streaming());
        manager.start(failing.models);
        *failing.encoderFails = true;
        *failing.decoderFails = true;
        manager.streamAudio(monoBuffer(scriptedAudio(13 * oneSecond, {{5, 1}})));
        waitForQueuedBuffers(manager, log);
        EXPECT_THAT(log->messages("StreamingASR"),
                    testing::Contains("Failed to reset decoder state during recovery: ASR processing failed: decoder down"));
        EXPECT_THAT(log->messages("StreamingASR"), testing::Contains(testing::StartsWith(c.outcome)));

        // A rebuilt engine runs on the stored models, which do not fail; the old one only
        // recognises again once its models work.
        if (!c.hubServesModels) {
            *failing.encoderFails = false;
            *failing.decoderFails = false;
        }
        manager.streamAudio(monoBuffer(scriptedAudio(11 * oneSecond, {{100, 3}})));
        EXPECT_EQ(manager.finish(), "world") << c.hubServesModels;
    }
}

TEST(StreamingAsrManager, CancelStopsAfterTheWindowInProgress) {
    const LogCapture log;
    std::mutex mutex;
    std::condition_variable changed;
    int windowsEntered = 0;
    bool released = false;
    AsrModels models = Testing::observedAsrModels(streamingFixtureModels(), nullptr, [&](const MLFeatureProvider&) {
        std::unique_lock lock(mutex);
        ++windowsEntered;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    });
    auto manager = std::make_shared<StreamingAsrManager>(StreamingAsrConfig::streaming());
    manager->start(models);
    auto updates = manager->transcriptionUpdates();
    manager->streamAudio(monoBuffer(std::vector<float>(120 * oneSecond, 0.0F)));  // ten windows
    manager->streamAudio(monoBuffer(std::vector<float>(120 * oneSecond, 0.0F)));
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return windowsEntered == 1; });
    }
    std::jthread canceller([&] { manager->cancel(); });
    ASSERT_TRUE(log->waitForEntry([](const auto& entry) { return entry.message == "Cancelling streaming ASR..."; }));
    {
        const std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
    canceller.join();

    EXPECT_EQ(windowsEntered, 1);
    EXPECT_LE(Testing::readAll(updates).size(), 1U);
    EXPECT_THAT(log->messages("StreamingASR"), testing::Contains("StreamingAsrManager cancelled"));
    EXPECT_THAT(log->messages("StreamingASR"), testing::Not(testing::Contains("Recognition task completed")));
    EXPECT_EQ(manager->finish(), "");
    EXPECT_EQ(windowsEntered, 1);
}

TEST(StreamingAsrManager, DroppingARunningStreamEndsItsListener) {
    auto manager = std::make_shared<StreamingAsrManager>(StreamingAsrConfig::streaming());
    manager->start(streamingFixtureModels());
    auto updates = manager->transcriptionUpdates();
    std::atomic<int> received = 0;
    std::jthread listener([&] {
        for (const auto& update : updates) {
            (void)update;
            ++received;
        }
    });
    manager->streamAudio(monoBuffer(std::vector<float>(300 * oneSecond, 0.0F)));
    manager.reset();
    listener.join();  // would hang if the sequence did not end
    EXPECT_LE(received.load(), 27);
}

TEST(StreamingAsrManager, StartsOnceWithModelsFromTheStore) {
    Testing::FixtureModelHub hub;
    StreamingAsrManager manager(StreamingAsrConfig::streaming());
    manager.start(AudioSource::system);
    try {
        manager.start(streamingFixtureModels(), AudioSource::microphone);
        ADD_FAILURE() << "started twice";
    } catch (const StreamingAsrError& error) {
        EXPECT_EQ(error.kind(), StreamingAsrError::Kind::streamAlreadyExists);
        EXPECT_EQ(error.description(), "A stream already exists for source: system");
    }
    EXPECT_EQ(manager.source(), AudioSource::system);
    manager.streamAudio(monoBuffer(scriptedAudio(2 * oneSecond, {{4, 3}})));
    EXPECT_EQ(manager.finish(), "world");
}

}  // namespace
}  // namespace Tervane
