#include "Support/AudioFixtures.hpp"
#include "Support/CapturingLogSink.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Audio/AudioConverter.hpp>
#include <Tervane/Audio/AudioWAV.hpp>
#include <Tervane/Platform/AVAudioFileError.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

namespace Tervane {
namespace {

using Common = AVAudioCommonFormat;
using Kind = AudioConverterError::Kind;
using Testing::AudioFileKind;
using Testing::Channels;

float largestDifference(const std::vector<float>& a, const std::vector<float>& b, std::size_t margin) {
    float largest = 0;
    for (std::size_t i = margin; i + margin < std::min(a.size(), b.size()); ++i) {
        largest = std::max(largest, std::abs(a[i] - b[i]));
    }
    return largest;
}

template <typename Call>
Kind thrownKind(Call call) {
    try {
        (void)call();
    } catch (const AudioConverterError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no AudioConverterError";
    return Kind::conversionFailed;
}

// Left carries twice the tone and right silence, so only a true average gives the tone back.
Channels unevenStereo(double rate, double seconds) {
    return {Testing::tone(440, seconds, rate, 0.8F), Testing::silence(seconds, rate)};
}

TEST(AudioConverterFile, SixteenKilohertzMonoFloatComesBackUnchanged) {
    Testing::TemporaryDirectory directory;
    const std::vector<float> noise = Testing::noise(1.5, 16000, 0.9F);
    const auto path = Testing::writeAudioFile(directory.path(), "mono", AudioFileKind::wavFloat32, {noise}, 16000);
    const AudioConverter converter;
    EXPECT_EQ(converter.resampleAudioFile(path), noise);
    EXPECT_EQ(converter.resampleAudioFile(path.string()), noise);
}

TEST(AudioConverterFile, StereoFilesBecomeSixteenKilohertzMono) {
    struct Case {
        AudioFileKind kind;
        double rate;
    };
    const Case cases[] = {{AudioFileKind::wavInt16, 44100}, {AudioFileKind::wavFloat32, 48000}};
    Testing::TemporaryDirectory directory;
    const std::vector<float> expected = Testing::tone(440, 2.0, 16000, 0.4F);
    for (const Case& c : cases) {
        SCOPED_TRACE(Testing::kindName(c.kind) + " at " + std::to_string(c.rate));
        const auto path = Testing::writeAudioFile(directory.path(), Testing::kindName(c.kind), c.kind,
                                                  unevenStereo(c.rate, 2.0), c.rate);
        const std::vector<float> samples = AudioConverter().resampleAudioFile(path);
        EXPECT_EQ(samples.size(), 32000U);
        EXPECT_LT(largestDifference(samples, expected, 64), 0.01F);
    }
}

TEST(AudioConverterFile, AnEmptyFileGivesNoSamples) {
    Testing::TemporaryDirectory directory;
    const auto path = Testing::writeAudioFile(directory.path(), "empty", AudioFileKind::wavInt16, Channels{{}, {}}, 44100);
    EXPECT_TRUE(AudioConverter().resampleAudioFile(path).empty());
}

TEST(AudioConverterFile, FileFailuresPassThroughUnchanged) {
    Testing::TemporaryDirectory directory;
    EXPECT_THROW((void)AudioConverter().resampleAudioFile(directory / "missing.wav"), AVAudioFileError);
}

TEST(AudioConverterBuffer, ATargetFormatBufferIsCopiedUpToItsFrameLength) {
    const std::vector<float> samples = Testing::noise(0.1, 16000);
    const auto buffer = Testing::makePCMBuffer({samples}, 16000);
    buffer->setFrameLength(1000);
    EXPECT_EQ(AudioConverter().resampleBuffer(buffer), std::vector<float>(samples.begin(), samples.begin() + 1000));
}

TEST(AudioConverterBuffer, StereoBuffersAreAveragedAndResampled) {
    struct Case {
        double rate;
        Common common;
        bool interleaved;
    };
    const Case cases[] = {{48000, Common::pcmFormatFloat32, false},
                          {44100, Common::pcmFormatFloat32, true},
                          {48000, Common::pcmFormatInt16, true}};
    const std::vector<float> expected = Testing::tone(440, 1.0, 16000, 0.4F);
    for (const Case& c : cases) {
        const auto buffer = Testing::makePCMBuffer(unevenStereo(c.rate, 1.0), c.rate, c.common, c.interleaved);
        SCOPED_TRACE(buffer->format()->description());
        const std::vector<float> samples = AudioConverter().resampleBuffer(buffer);
        EXPECT_EQ(samples.size(), 16000U);
        EXPECT_LT(largestDifference(samples, expected, 64), 0.01F);
    }
}

TEST(AudioConverterBuffer, SixChannelsAreAveragedAtEveryThirdFrame) {
    Channels channels;
    for (std::uint32_t c = 0; c < 6; ++c) {
        channels.push_back(Testing::noise(0.1, 48000, 0.5F, c + 1));  // 4800 frames each
    }
    for (const bool interleaved : {false, true}) {
        SCOPED_TRACE(interleaved ? "interleaved" : "non-interleaved");
        const auto buffer = Testing::makePCMBuffer(channels, 48000, Common::pcmFormatFloat32, interleaved);
        const std::vector<float> samples = AudioConverter().resampleBuffer(buffer);
        ASSERT_EQ(samples.size(), 1600U);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            float sum = 0;
            for (const auto& channel : channels) {
                sum += channel[3 * i];
            }
            ASSERT_NEAR(samples[i], sum / 6, 1e-6F) << i;
        }
    }
}

TEST(AudioConverterBuffer, ManyChannelsInterpolateBetweenFramesAndHoldTheLast) {
    const Channels channels = {{3, 6, 9}, {0, 0, 0}, {0, 0, 0}};
    // Upsampling by two: halfway points between frames, then the last frame repeated.
    const auto upsampled = AudioConverter().resampleBuffer(Testing::makePCMBuffer(channels, 8000));
    EXPECT_THAT(upsampled, testing::Pointwise(testing::FloatEq(), std::vector<float>{1, 1.5F, 2, 2.5F, 3, 3}));
    // At the target rate the average alone.
    const auto same = AudioConverter().resampleBuffer(Testing::makePCMBuffer(channels, 16000));
    EXPECT_THAT(same, testing::Pointwise(testing::FloatEq(), std::vector<float>{1, 2, 3}));
}

TEST(AudioConverterBuffer, FailuresAreReportedByKind) {
    const Channels six(6, Testing::silence(0.01, 48000));
    EXPECT_EQ(thrownKind([&] {
                  return AudioConverter().resampleBuffer(Testing::makePCMBuffer(six, 48000, Common::pcmFormatInt16, true));
              }),
              Kind::failedToCreateBuffer);
    // No platform converter resamples to a fractional rate.
    const AudioConverter fractional(AVAudioFormat::make(Common::pcmFormatFloat32, 16000.5, 1, false));
    EXPECT_EQ(thrownKind([&] { return fractional.resampleBuffer(Testing::makePCMBuffer(unevenStereo(48000, 0.01), 48000)); }),
              Kind::failedToCreateConverter);
    EXPECT_THROW((void)AudioConverter().resampleBuffer(nullptr), std::invalid_argument);
}

TEST(AudioConverterSampleBuffer, SampleBuffersAreConvertedInAnyLayout) {
    struct Case {
        double rate;
        Common common;
        bool interleaved;
    };
    const Case cases[] = {{48000, Common::pcmFormatFloat32, false}, {44100, Common::pcmFormatInt16, true}};
    const std::vector<float> expected = Testing::tone(440, 1.0, 16000, 0.4F);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate));
        const auto sample = Testing::makeSampleBuffer(unevenStereo(c.rate, 1.0), c.rate, c.common, c.interleaved);
        const std::vector<float> samples = AudioConverter().resampleSampleBuffer(sample);
        EXPECT_EQ(samples.size(), 16000U);
        EXPECT_LT(largestDifference(samples, expected, 64), 0.01F);
    }
    // Already 16 kHz mono float: through the converter, sample for sample.
    const std::vector<float> noise = Testing::noise(0.2, 16000);
    EXPECT_EQ(AudioConverter().resampleSampleBuffer(Testing::makeSampleBuffer({noise}, 16000)), noise);
}

TEST(AudioConverterSampleBuffer, ExtractionKeepsTheFormatAndEveryFrame) {
    const Channels stereo = {Testing::noise(0.05, 22050, 0.5F, 1), Testing::noise(0.05, 22050, 0.5F, 2)};
    const auto buffer = AudioConverter().extractAVAudioPCMBuffer(Testing::makeSampleBuffer(stereo, 22050));
    EXPECT_EQ(buffer->format()->description(), "2 ch, 22050 Hz, Float32, non-interleaved");
    EXPECT_EQ(Testing::channelsOf(*buffer), stereo);

    const auto empty = AudioConverter().extractAVAudioPCMBuffer(Testing::makeSampleBuffer(Channels{{}}, 16000));
    EXPECT_EQ(empty->frameLength(), 0U);
    EXPECT_TRUE(AudioConverter().resampleSampleBuffer(Testing::makeSampleBuffer(Channels{{}}, 16000)).empty());
}

TEST(AudioConverterSampleBuffer, UnusableSampleBuffersAreRejected) {
    EXPECT_EQ(thrownKind([] { return AudioConverter().resampleSampleBuffer(CMSampleBuffer::makeWithoutFormat(160)); }),
              Kind::sampleBufferFormatMissing);
    EXPECT_EQ(thrownKind([] { return AudioConverter().extractAVAudioPCMBuffer(nullptr); }),
              Kind::sampleBufferFormatMissing);
    // 24-bit floats exist in no format.
    AudioStreamBasicDescription floats24;
    floats24.mSampleRate = 16000;
    floats24.mFormatID = kAudioFormatLinearPCM;
    floats24.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    floats24.mBytesPerPacket = 3;
    floats24.mFramesPerPacket = 1;
    floats24.mBytesPerFrame = 3;
    floats24.mChannelsPerFrame = 1;
    floats24.mBitsPerChannel = 24;
    const auto sample = CMSampleBuffer::make(floats24, {std::vector<std::byte>(6)});
    EXPECT_EQ(thrownKind([&] { return AudioConverter().resampleSampleBuffer(sample); }),
              Kind::failedToCreateSourceFormat);
}

TEST(AudioConverterError, DescriptionsAreExact) {
    class Underlying final : public Error {
    public:
        Underlying() : Error("resampler out of memory") {}
    };
    const std::pair<AudioConverterError, std::string> cases[] = {
        {AudioConverterError::conversionFailed(std::make_shared<Underlying>()),
         "Audio conversion failed: resampler out of memory"},
        {AudioConverterError::conversionFailed(nullptr), "Audio conversion failed: Unknown error"},
        {AudioConverterError::sampleBufferCopyFailed(-12731),
         "Failed to copy samples from CMSampleBuffer (status: -12731)"},
        {AudioConverterError::failedToCreateConverter(), "Failed to create audio converter"},
        {AudioConverterError::failedToCreateBuffer(), "Failed to create conversion buffer"},
        {AudioConverterError::sampleBufferFormatMissing(), "Sample buffer is missing a valid audio format description."},
        {AudioConverterError::failedToCreateSourceFormat(),
         "Failed to create a source audio format description for CMSampleBuffer."},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.description(), text);
    }
    EXPECT_EQ(AudioConverterError::sampleBufferCopyFailed(-12731).status(), -12731);
}

TEST(AudioConverterLogging, DebugSummariesOnlyWhenAskedFor) {
    Testing::LogCapture capture;
    const auto mono48k = Testing::makePCMBuffer({Testing::tone(440, 0.1, 48000)}, 48000);
    const auto six48k = Testing::makePCMBuffer(Channels(6, Testing::tone(440, 0.1, 48000)), 48000);
    (void)AudioConverter().resampleBuffer(mono48k);
    (void)AudioConverter().resampleBuffer(six48k);
    EXPECT_TRUE(capture->messages("AudioConverter").empty());

    const AudioConverter debugging(nullptr, true);
    (void)debugging.resampleBuffer(mono48k);
    (void)debugging.resampleBuffer(six48k);
    EXPECT_THAT(capture->messages("AudioConverter"),
                testing::ElementsAre("Audio conversion: 4800 samples → 1600 samples, ratio: 0.3333333333333333",
                                     "Manual resampling: 6 channels → mono, 48000.0Hz → 16000.0Hz"));
}

TEST(AudioConverterThreads, OneConverterServesSeveralThreads) {
    const AudioConverter converter;
    const auto buffer = Testing::makePCMBuffer(unevenStereo(44100, 0.5), 44100);
    const std::vector<float> expected = converter.resampleBuffer(buffer);
    std::vector<std::vector<float>> results(4);
    {
        std::vector<std::jthread> threads;
        for (auto& result : results) {
            // Each thread its own input: a PCM buffer is not safe to share while it is read.
            threads.emplace_back([&converter, &result] {
                result = converter.resampleBuffer(Testing::makePCMBuffer(unevenStereo(44100, 0.5), 44100));
            });
        }
    }
    for (const auto& result : results) {
        EXPECT_EQ(result, expected);
    }
}

std::vector<std::uint8_t> littleEndian16(std::initializer_list<std::int16_t> values) {
    std::vector<std::uint8_t> bytes;
    for (const std::int16_t v : values) {
        const auto u = static_cast<std::uint16_t>(v);
        bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return bytes;
}

TEST(AudioWAV, WritesTheCanonicalHeaderAndPeakNormalisedSamples) {
    const std::vector<std::uint8_t> expected = {
        'R', 'I', 'F', 'F', 40, 0, 0, 0, 'W', 'A', 'V', 'E',
        'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
        0x80, 0x3E, 0, 0,  // 16000
        0x00, 0x7D, 0, 0,  // 32000
        2, 0, 16, 0,
        'd', 'a', 't', 'a', 4, 0, 0, 0,
        0xFF, 0x7F,  // 32767
        0x01, 0xC0,  // -16383
    };
    EXPECT_EQ(AudioWAV::data(std::vector<float>{0.5F, -0.25F}, 16000), expected);
}

TEST(AudioWAV, SizesSilenceAndOddValues) {
    struct Case {
        std::string name;
        std::vector<float> samples;
        std::vector<std::uint8_t> data;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"empty", {}, {}},
        {"silence", {0, 0, 0}, littleEndian16({0, 0, 0})},
        {"not a number", {nan, 0.5F, -0.5F}, littleEndian16({32767, 32767, -32767})},
        {"quiet", {0.001F, -0.0005F}, littleEndian16({32767, -16383})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> bytes = AudioWAV::data(c.samples, 16000);
        ASSERT_EQ(bytes.size(), 44 + c.data.size());
        const auto size = static_cast<std::uint8_t>(c.data.size());
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 4, bytes.begin() + 8),
                  (std::vector<std::uint8_t>{static_cast<std::uint8_t>(size + 36), 0, 0, 0}));
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 36, bytes.begin() + 44),
                  (std::vector<std::uint8_t>{'d', 'a', 't', 'a', size, 0, 0, 0}));
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 44, bytes.end()), c.data);
    }
}

TEST(AudioWAV, RatesAreTruncatedAndUnusableRatesRejected) {
    const std::vector<std::uint8_t> bytes = AudioWAV::data(std::vector<float>{0.1F}, 22050.9);
    // 22050 Hz, and a byte rate of ⌊44101.8⌋ = 44101.
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 24, bytes.begin() + 32),
              (std::vector<std::uint8_t>{0x22, 0x56, 0, 0, 0x45, 0xAC, 0, 0}));
    for (const double rate : {std::nan(""), -1.0, 3e9}) {
        EXPECT_THROW((void)AudioWAV::data(std::vector<float>{0.1F}, rate), std::invalid_argument) << rate;
    }
}

}  // namespace
}  // namespace Tervane
