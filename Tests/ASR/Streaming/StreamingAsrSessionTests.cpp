#include <Tervane/ASR/Streaming/StreamingAsrSession.hpp>

#include <Tervane/ASR/Streaming/StreamingAsrError.hpp>

#include "ASR/Streaming/StreamingTestSupport.hpp"
#include "Support/CapturingLogSink.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace Tervane {
namespace {

using Testing::LogCapture;
using Testing::monoBuffer;
using Testing::scriptedAudio;

constexpr std::size_t oneSecond = 16000;

long countOf(const std::vector<std::string>& messages, const std::string& message) {
    return std::count(messages.begin(), messages.end(), message);
}

TEST(StreamingAsrError, DescriptionsNameTheCaseAndItsPayload) {
    const auto failure = std::make_exception_ptr(std::runtime_error("disk gone"));
    const auto libraryFailure = std::make_exception_ptr(ASRError::notInitialized());
    struct Case {
        StreamingAsrError error;
        StreamingAsrError::Kind kind;
        std::string description;
    };
    using Kind = StreamingAsrError::Kind;
    const Case cases[] = {
        {StreamingAsrError::streamAlreadyExists(AudioSource::microphone), Kind::streamAlreadyExists,
         "A stream already exists for source: microphone"},
        {StreamingAsrError::audioBufferProcessingFailed(failure), Kind::audioBufferProcessingFailed,
         "Audio buffer processing failed: disk gone"},
        {StreamingAsrError::audioConversionFailed(failure), Kind::audioConversionFailed,
         "Audio conversion failed: disk gone"},
        {StreamingAsrError::modelProcessingFailed(libraryFailure), Kind::modelProcessingFailed,
         "Model processing failed: AsrManager not initialized. Call initialize() first."},
        {StreamingAsrError::invalidConfiguration("no chunk"), Kind::invalidConfiguration,
         "Invalid configuration: no chunk"},
        {StreamingAsrError::modelsNotLoaded(), Kind::modelsNotLoaded, "ASR models have not been loaded"},
        {StreamingAsrError::bufferOverflow(), Kind::bufferOverflow, "Audio buffer overflow occurred"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.description(), c.description);
        EXPECT_STREQ(c.error.what(), c.description.c_str());
    }
    EXPECT_EQ(StreamingAsrError::audioConversionFailed(failure).underlyingError(), failure);
    EXPECT_EQ(StreamingAsrError::streamAlreadyExists(AudioSource::system).source(), AudioSource::system);
}

TEST(StreamingAsrSession, StreamsPerSourceRecogniseSideBySideFromOneModelSet) {
    Testing::FixtureModelHub hub;
    const LogCapture log;
    StreamingAsrSession session;
    const auto microphone = session.createStream(AudioSource::microphone, StreamingAsrConfig::streaming());
    const auto again = session.createStream(AudioSource::microphone, StreamingAsrConfig::defaultConfig());
    const auto system = session.createStream(AudioSource::system, StreamingAsrConfig::streaming());
    EXPECT_EQ(again, microphone);
    EXPECT_EQ(again->config().chunkSeconds, 11.0);
    EXPECT_NE(system, microphone);
    EXPECT_EQ(system->source(), AudioSource::system);
    EXPECT_EQ(session.activeStreams().size(), 2U);

    const auto messages = log->messages("StreamingSession");
    EXPECT_EQ(countOf(messages, "Loading ASR models for session..."), 1);
    EXPECT_EQ(countOf(messages, "Stream already exists for source: microphone. Returning existing stream."), 1);

    // Each stream keeps its own decoder state while both run at once.
    const auto speak = [](StreamingAsrManager& stream, const std::vector<float>& audio, std::string& text) {
        for (std::size_t at = 0; at < audio.size(); at += 8000) {
            stream.streamAudio(monoBuffer(std::span<const float>(audio).subspan(at, std::min<std::size_t>(8000, audio.size() - at))));
        }
        text = stream.finish();
    };
    const auto microphoneAudio = scriptedAudio(30 * oneSecond, {{10, 1}, {11, 2}, {200, 4}, {300, 7}});
    const auto systemAudio = scriptedAudio(30 * oneSecond, {{12, 3}, {250, 5}, {310, 6}});
    std::string microphoneText;
    std::string systemText;
    {
        std::jthread first([&] { speak(*microphone, microphoneAudio, microphoneText); });
        std::jthread other([&] { speak(*system, systemAudio, systemText); });
    }
    EXPECT_EQ(microphoneText, "hello the fox");
    EXPECT_EQ(systemText, "world quick brown");
}

TEST(StreamingAsrSession, RemovedStreamsRunOnAndCleanupStartsOver) {
    Testing::FixtureModelHub hub;
    const LogCapture log;
    StreamingAsrSession session;
    session.initialize();
    session.initialize();
    EXPECT_THAT(log->messages("StreamingSession"), testing::Contains("Models already loaded, skipping initialization"));

    const auto removed = session.createStream(AudioSource::microphone, StreamingAsrConfig::streaming());
    session.removeStream(AudioSource::microphone);
    EXPECT_EQ(session.getStream(AudioSource::microphone), nullptr);
    const auto fresh = session.createStream(AudioSource::microphone, StreamingAsrConfig::streaming());
    EXPECT_NE(fresh, removed);
    EXPECT_EQ(session.getStream(AudioSource::microphone), fresh);
    removed->streamAudio(monoBuffer(scriptedAudio(2 * oneSecond, {{4, 3}})));
    EXPECT_EQ(removed->finish(), "world");

    auto updates = fresh->transcriptionUpdates();
    session.cleanup();
    EXPECT_TRUE(session.activeStreams().empty());
    EXPECT_FALSE(updates.next().has_value());  // cancelled
    const auto messages = log->messages("StreamingSession");
    EXPECT_THAT(messages, testing::Contains("Removed stream for source: microphone"));
    EXPECT_THAT(messages, testing::Contains("Cancelled stream for source: microphone"));
    EXPECT_THAT(messages, testing::Contains("StreamingAsrSession cleanup complete"));

    (void)session.createStream(AudioSource::system, StreamingAsrConfig::streaming());
    EXPECT_EQ(countOf(log->messages("StreamingSession"), "Loading ASR models for session..."), 2);
}

TEST(StreamingAsrSession, AFailedLoadOrStartStoresNothing) {
    Testing::LoopbackHTTPServer emptyHub;
    Testing::ScopedHubConnection connection(emptyHub);
    Testing::TemporaryDirectory data("tervane-streaming-nothing");
    Testing::ScopedEnvironment environment;
    environment.set("XDG_DATA_HOME", data.path().string());
    StreamingAsrSession session;
    EXPECT_ANY_THROW((void)session.createStream(AudioSource::microphone));
    EXPECT_TRUE(session.activeStreams().empty());

    Testing::FixtureModelHub hub;
    EXPECT_THROW((void)session.createStream(AudioSource::microphone, StreamingAsrConfig::custom(0.0, 0.8)),
                 StreamingAsrError);
    EXPECT_TRUE(session.activeStreams().empty());
}

}  // namespace
}  // namespace Tervane
