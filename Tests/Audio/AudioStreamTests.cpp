#include "Support/AudioFixtures.hpp"

#include <Tervane/Audio/AudioConverter.hpp>
#include <Tervane/Audio/AudioStream.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace Tervane {
namespace {

using Chunking = AudioStreamChunkingStrategy;
using Startup = AudioStreamStartupStrategy;
using namespace std::chrono_literals;

constexpr double rate = 16000;
constexpr auto boundedWait = 20s;

// Samples that name their own position: sample i of the stream is `first + i`. Positions start
// at 1 so that they cannot be mistaken for the silence a stream pads with.
std::vector<float> positions(std::int64_t first, std::int64_t count) {
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        samples[static_cast<std::size_t>(i)] = static_cast<float>(first + i);
    }
    return samples;
}

std::vector<float> zeros(std::int64_t count) { return std::vector<float>(static_cast<std::size_t>(count), 0.0F); }

std::vector<float> concat(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> joined;
    for (const auto& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// The position-encoded chunk that must start at `startTime`: every sample is its own index + 1.
::testing::AssertionResult isChunkAt(const AudioStreamChunk& chunk, double startTime, std::size_t size) {
    if (chunk.chunk.size() != size) {
        return ::testing::AssertionFailure() << "size " << chunk.chunk.size() << ", expected " << size;
    }
    const double first = std::round(chunk.chunkStartTime * rate) + 1;
    if (std::abs(chunk.chunkStartTime - startTime) > 1e-9) {
        return ::testing::AssertionFailure() << "time " << chunk.chunkStartTime << ", expected " << startTime;
    }
    for (std::size_t i = 0; i < chunk.chunk.size(); ++i) {
        if (chunk.chunk[i] != static_cast<float>(first + static_cast<double>(i))) {
            return ::testing::AssertionFailure()
                   << "sample " << i << " is " << chunk.chunk[i] << ", expected " << first + static_cast<double>(i);
        }
    }
    return ::testing::AssertionSuccess();
}

// Collects what a synchronous callback receives.
struct Recorder {
    std::vector<AudioStreamChunk> chunks;
    AudioStream::Callback callback() {
        return [this](std::vector<float> samples, double time) { chunks.push_back({std::move(samples), time}); };
    }
};

TEST(AudioStreamConstruction, SizesFollowTheDurationsAndRejectWhatMakesNoChunk) {
    const AudioStream stream(1.0, 0.25, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    EXPECT_EQ(stream.chunkSize(), 16000);
    EXPECT_EQ(stream.skipSize(), 4000);
    EXPECT_EQ(stream.overlapSize(), 12000);
    EXPECT_DOUBLE_EQ(stream.chunkOverlap(), 0.75);
    const AudioStream noSkip(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    EXPECT_DOUBLE_EQ(noSkip.chunkSkip(), 1.0);

    using Kind = AudioStreamError::Kind;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        double duration;
        std::optional<double> skip;
        std::optional<double> capacitySeconds;
        Kind expected;
    };
    const Case cases[] = {
        {"zero skip", 1.0, 0.0, std::nullopt, Kind::invalidChunkSkip},
        {"skip longer than the chunk", 1.0, 1.5, std::nullopt, Kind::invalidChunkSkip},
        {"skip under one sample", 1.0, 0.00001, std::nullopt, Kind::invalidChunkSkip},
        {"buffer shorter than the chunk", 1.0, std::nullopt, 0.5, Kind::bufferTooSmall},
        {"chunk under one sample", 0.00001, std::nullopt, std::nullopt, Kind::invalidChunkDuration},
        {"negative chunk", -1.0, std::nullopt, std::nullopt, Kind::invalidChunkDuration},
        {"chunk not a number", nan, std::nullopt, std::nullopt, Kind::invalidChunkDuration},
        {"skip not a number", 1.0, nan, std::nullopt, Kind::invalidChunkSkip},
        {"buffer not a number", 1.0, std::nullopt, nan, Kind::bufferTooSmall},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            AudioStream(c.duration, c.skip, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate,
                        c.capacitySeconds);
            ADD_FAILURE() << "no error";
        } catch (const AudioStreamError& error) {
            EXPECT_EQ(error.kind(), c.expected);
        }
    }
    EXPECT_EQ(AudioStreamError::bufferTooSmall().description(),
              "The operation couldn\u2019t be completed. (Tervane.AudioStreamError error 0.)");
    EXPECT_EQ(AudioStreamError::invalidChunkDuration().description(),
              "The operation couldn\u2019t be completed. (Tervane.AudioStreamError error 2.)");

    // Sizes can come out positive from a rate no audio format has.
    EXPECT_THROW(AudioStream(-1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, -rate),
                 std::invalid_argument);
    EXPECT_THROW(AudioStream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate, 1e300),
                 std::length_error);
}

TEST(AudioStreamChunks, FixedSkipGivesOneChunkPerSecondAndKeepsTwoSecondsAtMost) {
    AudioStream stream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    Recorder recorder;
    stream.bind(recorder.callback());
    for (std::int64_t written = 0; written < 48000; written += 1000) {
        stream.write(positions(written + 1, 1000));
    }
    ASSERT_EQ(recorder.chunks.size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(isChunkAt(recorder.chunks[i], static_cast<double>(i), 16000)) << "chunk " << i;
    }

    // Nobody reads: a block that overflows the 32000-sample buffer pushes its oldest samples out.
    AudioStream unread(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    unread.write(positions(1, 40000));
    const auto chunk = unread.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_TRUE(isChunkAt(*chunk, 0.5, 16000));
}

TEST(AudioStreamChunks, StartSilentCountsTheOverlapAsSilenceBeforeTheStart) {
    AudioStream stream(1.0, 0.25, 10.0, Chunking::useFixedSkip, Startup::startSilent, rate);
    stream.write(positions(1, 3999));
    EXPECT_FALSE(stream.hasNewChunk());
    stream.write(std::vector<float>{4000});
    auto chunk = stream.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->chunk, concat({zeros(12000), positions(1, 4000)}));
    EXPECT_DOUBLE_EQ(chunk->chunkStartTime, 9.25);

    stream.write(positions(4001, 4000));
    chunk = stream.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->chunk, concat({zeros(8000), positions(1, 8000)}));
    EXPECT_DOUBLE_EQ(chunk->chunkStartTime, 9.5);
}

TEST(AudioStreamChunks, RampUpGrowsByOneSkipThenHopsByIt) {
    AudioStream stream(1.0, 0.25, 0, Chunking::useFixedSkip, Startup::rampUpChunkSize, rate);
    const struct {
        double time;
        std::size_t size;
    } expected[] = {{0, 4000}, {0, 8000}, {0, 12000}, {0, 16000}, {0.25, 16000}, {0.5, 16000}};
    std::int64_t written = 0;
    for (const auto& e : expected) {
        stream.write(positions(written + 1, 4000));
        written += 4000;
        const auto chunk = stream.readChunkIfAvailable();
        ASSERT_TRUE(chunk);
        EXPECT_TRUE(isChunkAt(*chunk, e.time, e.size)) << "after " << written << " samples";
        EXPECT_FALSE(stream.hasNewChunk());
    }
}

TEST(AudioStreamChunks, MostRecentTakesTheNewestSamplesAndKeepsTheOverlap) {
    AudioStream stream(1.0, 0.25, 0, Chunking::useMostRecent, Startup::waitForFullChunk, rate);
    stream.write(positions(1, 40000));
    auto chunk = stream.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_TRUE(isChunkAt(*chunk, 1.5, 16000));
    EXPECT_FALSE(stream.hasNewChunk());

    stream.write(positions(40001, 4000));
    chunk = stream.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_TRUE(isChunkAt(*chunk, 1.75, 16000));
}

TEST(AudioStreamTimeStamps, GapsBecomeSilenceAndEarlyStampsOverwrite) {
    // A stamp gives the time just past its block.
    struct Write {
        std::vector<float> samples;
        std::optional<double> atTime;
    };
    struct Case {
        const char* name;
        double streamStart;
        std::vector<Write> writes;
        std::vector<float> expected;
        double expectedTime;
    };
    const std::vector<float> a = positions(1, 4000);
    const std::vector<float> b = positions(100001, 4000);
    const std::vector<float> c = positions(200001, 8000);
    const Case cases[] = {
        {"a late stamp is preceded by silence", 0,
         {{a, std::nullopt}, {b, 0.75}, {c, 1.25}},
         concat({a, zeros(4000), b, c}), 0},
        {"a stamp that follows on adds nothing", 0,
         {{a, 0.25}, {b, 0.5}, {c, std::nullopt}},
         concat({a, b, c}), 0},
        {"an early stamp writes over the newest samples", 0,
         {{a, std::nullopt}, {c, std::nullopt}, {b, 0.5}, {c, std::nullopt}},
         concat({a, b, c}), 0},
        {"a stamp before the buffer moves its start back", 2.0,
         {{a, std::nullopt}, {c, 2.25}, {c, std::nullopt}},
         concat({c, c}), 1.75},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        AudioStream stream(1.0, std::nullopt, testCase.streamStart, Chunking::useFixedSkip, Startup::waitForFullChunk,
                           rate);
        for (const Write& write : testCase.writes) {
            stream.write(write.samples, write.atTime);
        }
        const auto chunk = stream.readChunkIfAvailable();
        ASSERT_TRUE(chunk);
        ASSERT_GE(testCase.expected.size(), 16000U);
        EXPECT_EQ(chunk->chunk, std::vector<float>(testCase.expected.begin(), testCase.expected.begin() + 16000));
        EXPECT_DOUBLE_EQ(chunk->chunkStartTime, testCase.expectedTime);
    }
}

TEST(AudioStreamTimeStamps, ABlockLongerThanTheCapAfterAGapKeepsItsNewestSamplesInPlace) {
    struct Case {
        const char* name;
        Chunking chunking;
        Startup startup;
        std::optional<double> capacitySeconds;
        std::int64_t blockLength;
        double atTime;
        double expectedTime;
        std::size_t expectedSize;
    };
    const Case cases[] = {
        // The first ramp chunk needs 4000 samples: the newest 4000 of the block end at 2.0 s.
        {"newest samples, first ramp chunk", Chunking::useMostRecent, Startup::rampUpChunkSize, std::nullopt, 6000, 2.0,
         1.75, 4000},
        {"fixed skip, block over the capacity", Chunking::useFixedSkip, Startup::waitForFullChunk, 1.0, 20000, 2.0, 1.0,
         16000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AudioStream stream(1.0, 0.25, 0, c.chunking, c.startup, rate, c.capacitySeconds);
        const auto first = static_cast<std::int64_t>(std::llround(c.atTime * rate)) - c.blockLength + 1;
        stream.write(positions(first, c.blockLength), c.atTime);
        const auto chunk = stream.readChunkIfAvailable();
        ASSERT_TRUE(chunk);
        EXPECT_TRUE(isChunkAt(*chunk, c.expectedTime, c.expectedSize));
    }
}

TEST(AudioStreamTimeStamps, ATimeThatIsNoPlaceOnTheStreamIsRejected) {
    AudioStream stream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double time : {nan, std::numeric_limits<double>::infinity(), 1e300}) {
        EXPECT_THROW(stream.write(positions(1, 100), time), std::invalid_argument) << time;
    }
    stream.write(positions(1, 16000));
    const auto chunk = stream.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_TRUE(isChunkAt(*chunk, 0, 16000));
}

TEST(AudioStreamBuffers, BuffersAreConvertedToTheStreamFormat) {
    const std::vector<float> mono = positions(1, 16000);
    const Testing::Channels stereo48k = {Testing::tone(440, 1.0, 48000, 0.6F), Testing::noise(1.0, 48000)};

    AudioStream stream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    stream.write(Testing::makePCMBuffer({mono}, rate));
    auto chunk = stream.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->chunk, mono);

    stream.write(Testing::makeSampleBuffer({mono}, rate, AVAudioCommonFormat::pcmFormatFloat32, true));
    chunk = stream.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->chunk, mono);

    // Another rate and layout gives what the converter makes of it.
    const std::vector<float> converted = AudioConverter().resampleBuffer(Testing::makePCMBuffer(stereo48k, 48000));
    ASSERT_GE(converted.size(), 15000U);
    AudioStream other(0.5, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    other.write(Testing::makePCMBuffer(stereo48k, 48000));
    chunk = other.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->chunk, std::vector<float>(converted.begin(), converted.begin() + 8000));
}

TEST(AudioStreamBuffers, AFailedConversionWritesNothing) {
    AudioStream stream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    try {
        stream.write(CMSampleBuffer::makeWithoutFormat(4000));
        ADD_FAILURE() << "no error";
    } catch (const AudioConverterError& error) {
        EXPECT_EQ(error.kind(), AudioConverterError::Kind::sampleBufferFormatMissing);
    }
    stream.write(positions(1, 16000));
    const auto chunk = stream.readChunkIfAvailable();
    ASSERT_TRUE(chunk);
    EXPECT_TRUE(isChunkAt(*chunk, 0, 16000));
}

TEST(AudioStreamCallbacks, AFailingCallbackFailsTheWriteAndLeavesLaterChunksBuffered) {
    AudioStream stream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate, 4.0);
    std::vector<double> times;
    stream.bind([&](std::vector<float>, double time) {
        times.push_back(time);
        if (times.size() == 2) {
            throw std::runtime_error("consumer is full");
        }
    });
    EXPECT_THROW(stream.write(positions(1, 64000)), std::runtime_error);
    EXPECT_EQ(times, (std::vector<double>{0, 1}));

    stream.unbind();
    for (const double expected : {2.0, 3.0}) {
        const auto chunk = stream.readChunkIfAvailable();
        ASSERT_TRUE(chunk);
        EXPECT_TRUE(isChunkAt(*chunk, expected, 16000));
    }
    EXPECT_FALSE(stream.readChunkIfAvailable());
}

TEST(AudioStreamCallbacks, CallbacksMayReadChunksAndUnbindThemselves) {
    AudioStream stream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate, 4.0);
    std::vector<double> delivered;
    std::vector<double> readInside;
    stream.bind([&](std::vector<float>, double time) {
        delivered.push_back(time);
        if (auto next = stream.readChunkIfAvailable()) {
            readInside.push_back(next->chunkStartTime);
        }
        if (delivered.size() == 2) {
            stream.unbind();
        }
    });
    stream.write(positions(1, 64000));
    EXPECT_EQ(delivered, (std::vector<double>{0, 2}));
    EXPECT_EQ(readInside, (std::vector<double>{1, 3}));

    // Unbound, chunks wait; one bound later receives the waiting ones on the next write.
    stream.write(positions(64001, 32000));
    EXPECT_TRUE(stream.hasNewChunk());
    const auto size = stream.withChunkIfAvailable<std::deque<float>>(
        [](const std::deque<float>& samples, double time) { return std::make_pair(samples.size(), time); });
    EXPECT_EQ(size, std::make_optional(std::make_pair(std::size_t{16000}, 4.0)));

    std::vector<std::pair<std::deque<float>, double>> collected;
    stream.bind<std::deque<float>>(
        [&](std::deque<float> samples, double time) { collected.emplace_back(std::move(samples), time); });
    stream.write(std::deque<float>{96001});
    ASSERT_EQ(collected.size(), 1U);
    EXPECT_EQ(collected[0].second, 5.0);
    EXPECT_EQ(collected[0].first.front(), 80001.0F);
    EXPECT_FALSE(stream.withChunkIfAvailable([](std::vector<float>, double) {}));
}

// One minute in random blocks from a producer, a bound callback and a second thread that polls
// and takes chunks too: between them every chunk arrives once, in order, whole.
TEST(AudioStreamConcurrency, EveryChunkArrivesOnceAndWholeWhileAnotherThreadPolls) {
    constexpr std::int64_t total = 60 * 16000;
    AudioStream stream(1.0, 0.5, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);

    std::vector<AudioStreamChunk> delivered;  // written by the producer thread only
    std::vector<AudioStreamChunk> polled;
    stream.bind([&](std::vector<float> samples, double time) { delivered.push_back({std::move(samples), time}); });

    std::atomic<bool> producing = true;
    std::thread poller([&] {
        while (producing.load()) {
            if (stream.hasNewChunk()) {
                if (auto chunk = stream.readChunkIfAvailable()) {
                    polled.push_back(std::move(*chunk));
                }
            }
            std::this_thread::yield();
        }
    });
    std::thread producer([&] {
        std::mt19937 random(7);
        // The callback drains after each write, so blocks up to one hop never overflow the buffer.
        std::uniform_int_distribution<std::int64_t> blockSize(1, 8000);
        for (std::int64_t written = 0; written < total;) {
            const std::int64_t count = std::min(blockSize(random), total - written);
            stream.write(positions(written + 1, count));
            written += count;
        }
        producing = false;
    });
    producer.join();
    poller.join();

    std::map<std::int64_t, int> seen;
    for (const auto* list : {&delivered, &polled}) {
        double previous = -1;
        for (const AudioStreamChunk& chunk : *list) {
            EXPECT_TRUE(isChunkAt(chunk, chunk.chunkStartTime, 16000));
            EXPECT_GT(chunk.chunkStartTime, previous);
            previous = chunk.chunkStartTime;
            ++seen[std::llround(chunk.chunkStartTime * rate)];
        }
    }
    // Chunks start every 8000 samples while a whole chunk fits before the end.
    const std::int64_t expectedChunks = (total - 16000) / 8000 + 1;
    EXPECT_EQ(static_cast<std::int64_t>(seen.size()), expectedChunks);
    for (std::int64_t k = 0; k < expectedChunks; ++k) {
        EXPECT_EQ(seen[k * 8000], 1) << "chunk at sample " << k * 8000;
    }
    EXPECT_FALSE(stream.hasNewChunk());
}

TEST(AudioStreamAsync, DeliveriesRunApartFromTheWriterAndFinishBeforeTheStreamIsGone) {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int running = 0;
    int mostAtOnce = 0;
    std::vector<AudioStreamChunk> received;
    auto stream = std::make_unique<AudioStream>(1.0, std::nullopt, 0, Chunking::useFixedSkip,
                                                Startup::waitForFullChunk, rate);
    stream->bind(TaskPriority::utility, [&](std::vector<float> samples, double time) {
        std::unique_lock lock(mutex);
        ++running;
        mostAtOnce = std::max(mostAtOnce, running);
        changed.notify_all();
        // Two deliveries can be under way at once; the writer never waits for them.
        changed.wait_for(lock, boundedWait, [&] { return released || running >= 2; });
        changed.wait_for(lock, boundedWait, [&] { return released; });
        --running;
        received.push_back({std::move(samples), time});
        if (time == 1.0) {
            throw std::runtime_error("dropped by this delivery alone");
        }
    });
    for (std::int64_t written = 0; written < 10 * 16000; written += 4000) {
        stream->write(positions(written + 1, 4000));
    }
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, boundedWait, [&] { return running >= 2; }));
        EXPECT_TRUE(received.empty());
        released = true;
    }
    changed.notify_all();
    stream.reset();

    const std::lock_guard lock(mutex);
    EXPECT_GE(mostAtOnce, 2);
    ASSERT_EQ(received.size(), 10U);
    std::sort(received.begin(), received.end(),
              [](const auto& a, const auto& b) { return a.chunkStartTime < b.chunkStartTime; });
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_TRUE(isChunkAt(received[i], static_cast<double>(i), 16000));
    }
}

TEST(AudioStreamAsync, AWaitingDeliveryOfAHigherClassStartsFirst) {
    // As many workers as the stream starts at most, all kept busy.
    const std::int64_t workers = std::max(2U, std::thread::hardware_concurrency());
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<double> started;
    int permits = 0;
    const auto callback = [&](std::vector<float>, double time) {
        std::unique_lock lock(mutex);
        started.push_back(time);
        changed.notify_all();
        changed.wait_for(lock, boundedWait, [&] { return permits > 0; });
        --permits;
    };
    AudioStream stream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate);
    const auto startedCount = [&](std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, boundedWait, [&] { return started.size() >= count; });
    };

    stream.bind(TaskPriority::background, callback);
    for (std::int64_t i = 0; i < workers; ++i) {
        stream.write(positions(i * 16000 + 1, 16000));
    }
    ASSERT_TRUE(startedCount(static_cast<std::size_t>(workers)));
    stream.write(positions(workers * 16000 + 1, 16000));  // waits, background
    stream.bind(TaskPriority::high, callback);
    stream.write(positions((workers + 1) * 16000 + 1, 16000));  // waits, high
    {
        const std::lock_guard lock(mutex);
        permits = 1;
    }
    changed.notify_all();
    ASSERT_TRUE(startedCount(static_cast<std::size_t>(workers) + 1));
    {
        const std::lock_guard lock(mutex);
        EXPECT_EQ(started.back(), static_cast<double>(workers + 1));
        permits = 1000;
    }
    changed.notify_all();
    ASSERT_TRUE(startedCount(static_cast<std::size_t>(workers) + 2));
}

TEST(AudioStreamAsync, ADeliveryMayReleaseTheLastOwnerOfTheStream) {
    std::promise<std::thread::id> destroyedOn;
    std::shared_ptr<AudioStream> stream(
        new AudioStream(1.0, std::nullopt, 0, Chunking::useFixedSkip, Startup::waitForFullChunk, rate),
        [&](AudioStream* released) {
            std::default_delete<AudioStream>()(released);
            destroyedOn.set_value(std::this_thread::get_id());
        });
    std::promise<void> go;
    std::shared_future<void> goSignal = go.get_future().share();
    // The callback owns the stream: once unbound, the delivery in flight holds the last reference.
    stream->bind(TaskPriority::background, [owner = stream, goSignal](std::vector<float>, double) {
        (void)goSignal.wait_for(boundedWait);
    });
    stream->write(positions(1, 16000));
    stream->unbind();
    stream.reset();
    go.set_value();

    auto destroyed = destroyedOn.get_future();
    ASSERT_EQ(destroyed.wait_for(boundedWait), std::future_status::ready);
    EXPECT_NE(destroyed.get(), std::this_thread::get_id());
}

}  // namespace
}  // namespace Tervane
