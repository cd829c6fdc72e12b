#include "Support/AudioFixtures.hpp"
#include "Support/CapturingLogSink.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Audio/StreamingAudioSourceFactory.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;
namespace fs = std::filesystem;

std::vector<float> ramp(std::size_t count) {
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = static_cast<float>(i);
    }
    return values;
}

std::set<fs::path> temporaryAudioFiles() {
    std::set<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
        if (entry.path().filename().string().rfind("tervane-streaming-", 0) == 0) {
            files.insert(entry.path());
        }
    }
    return files;
}

/// Both sources over the same 100 samples 0, 1, ..., 99.
void expectCopies(const StreamingAudioSampleSource& source) {
    struct Case {
        std::int64_t offset;
        std::int64_t count;
        std::vector<float> expected;  // destination of 10 slots, initially -1
    };
    const std::vector<float> untouched(10, -1.0F);
    const std::vector<Case> cases = {
        {-5, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {95, 10, {95, 96, 97, 98, 99, -1, -1, -1, -1, -1}},
        {100, 10, untouched},
        {20, 0, untouched},
        {20, -3, untouched},
        {40, 3, {40, 41, 42, -1, -1, -1, -1, -1, -1, -1}},
        {0, 1000, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},  // never past the destination
    };
    ASSERT_EQ(source.sampleCount(), 100);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.count));
        std::vector<float> destination(10, -1.0F);
        source.copySamples(destination, c.offset, c.count);
        EXPECT_EQ(destination, c.expected);
    }
}

TEST(AudioSampleSources, CopyRulesAreTheSameInMemoryAndOnDisk) {
    expectCopies(ArrayAudioSampleSource(ramp(100)));

    const TemporaryDirectory directory("tervane-sources");
    const fs::path raw = directory / "samples.raw";
    const std::vector<float> values = ramp(100);
    {
        std::ofstream file(raw, std::ios::binary);
        file.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
        file.write("\x01\x02\x03", 3);
    }
    const DiskBackedAudioSampleSource disk(raw);  // 403 bytes: the 3 stray bytes are not a sample
    EXPECT_EQ(disk.floatStride(), 4);
    EXPECT_EQ(disk.mappedData().size(), 403U);
    expectCopies(disk);

    const ArrayAudioSampleSource empty({});
    std::vector<float> destination(4, -1.0F);
    empty.copySamples(destination, 0, 4);
    EXPECT_EQ(destination, std::vector<float>(4, -1.0F));

    disk.cleanup();
    EXPECT_FALSE(fs::exists(raw));
    disk.cleanup();  // already gone: ignored
}

TEST(StreamingAudioSourceFactory, ConvertsAFileIntoAMappedTemporaryFile) {
    const TemporaryDirectory directory("tervane-factory");
    const Channels stereo = {tone(440, 2.0, 48000, 0.5F), tone(440, 2.0, 48000, 0.5F)};
    const fs::path input = writeAudioFile(directory.path(), "stereo", AudioFileKind::wavFloat32, stereo, 48000);

    LogCapture log;
    const auto [source, loadDuration] = StreamingAudioSourceFactory().makeDiskBackedSource(input, 16000);
    EXPECT_GE(loadDuration, 0);
    EXPECT_TRUE(std::regex_match(source.fileURL().filename().string(),
                                 std::regex("tervane-streaming-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.raw")));
    EXPECT_EQ(source.fileURL().parent_path(), fs::temp_directory_path());
    EXPECT_NEAR(static_cast<double>(source.sampleCount()), 32000, 16);
    EXPECT_EQ(fs::file_size(source.fileURL()), static_cast<std::uintmax_t>(source.sampleCount()) * 4);

    // A mono down-mix at 16 kHz of the tone: compare the middle with the tone itself.
    std::vector<float> samples(static_cast<std::size_t>(source.sampleCount()));
    source.copySamples(samples, 0, source.sampleCount());
    const std::vector<float> expected = tone(440, 2.0, 16000, 0.5F);
    double error = 0;
    for (std::size_t i = 8000; i < 24000; ++i) {
        error = std::max(error, static_cast<double>(std::abs(samples[i] - expected[i])));
    }
    EXPECT_LT(error, 0.02);

    const auto messages = log->messages("StreamingAudioSourceFactory");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Streaming conversion 48000.0Hz×2ch → 16000.0Hz×1ch"),
              messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Streaming audio total samples=" + std::to_string(source.sampleCount())),
              messages.end());
    source.cleanup();
    EXPECT_FALSE(fs::exists(source.fileURL()));
}

TEST(StreamingAudioSourceFactory, OutputBlocksFollowTheRateRatio) {
    EXPECT_EQ(StreamingAudioSourceFactory::outputBlockFrames(48000, 16000), 5462);
    EXPECT_EQ(StreamingAudioSourceFactory::outputBlockFrames(16000, 16000), 16384);
    EXPECT_EQ(StreamingAudioSourceFactory::outputBlockFrames(44100, 16000), 5945);
    // Below 1024 frames the block is raised to 1024; the message still names the computed size.
    EXPECT_EQ(StreamingAudioSourceFactory::outputBlockFrames(384000, 8000), 342);
}

TEST(StreamingAudioSourceFactory, FailuresLeaveNoTemporaryFileBehind) {
    const TemporaryDirectory directory("tervane-factory-failures");
    const fs::path notAudio = directory / "notes.wav";
    std::ofstream(notAudio) << "not audio at all";
    const fs::path good = writeAudioFile(directory.path(), "good", AudioFileKind::wavInt16, {tone(300, 0.5, 16000)}, 16000);

    const std::set<fs::path> before = temporaryAudioFiles();
    const StreamingAudioSourceFactory factory;
    for (const auto& [file, rate, prefix] : std::vector<std::tuple<fs::path, double, std::string>>{
             {directory / "missing.wav", 16000, "Processing failed: Streaming audio source creation failed: "},
             {notAudio, 16000, "Processing failed: Streaming audio source creation failed: "},
             {good, 0, "Processing failed: Unsupported target sample rate 0.0"},
             {good, 16000.5, "Processing failed: Unsupported audio format "}}) {
        SCOPED_TRACE(file.string() + " at " + std::to_string(rate));
        try {
            (void)factory.makeDiskBackedSource(file, rate);
            ADD_FAILURE() << "made a source";
        } catch (const StreamingAudioError& error) {
            EXPECT_EQ(error.description().rfind(prefix, 0), 0U) << error.description();
        }
    }
    EXPECT_EQ(temporaryAudioFiles(), before);
}

}  // namespace
