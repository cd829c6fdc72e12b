#include "Support/AudioFixtures.hpp"

#include <Tervane/Platform/CMSampleBuffer.hpp>

#include <gtest/gtest.h>

#include <stdexcept>

namespace Tervane {
namespace {

using Common = AVAudioCommonFormat;
using Testing::Channels;

/// A buffer in the sample buffer's own format, sized and with its length set for all of it.
std::shared_ptr<AVAudioPCMBuffer> bufferFor(const std::shared_ptr<CMSampleBuffer>& sample) {
    const auto* description = CMAudioFormatDescriptionGetStreamBasicDescription(CMSampleBufferGetFormatDescription(sample));
    const auto frames = static_cast<AVAudioFrameCount>(CMSampleBufferGetNumSamples(sample));
    auto buffer = AVAudioPCMBuffer::make(AVAudioFormat::make(*description), frames);
    buffer->setFrameLength(frames);
    return buffer;
}

TEST(AudioSampleBuffer, PCMDataCopiesIntoAMatchingBufferList) {
    const Channels channels = Testing::quantizedToInt16({Testing::tone(440, 0.01, 16000), Testing::noise(0.01, 16000)});
    struct Case {
        Common common;
        bool interleaved;
    };
    for (const Case c : {Case{Common::pcmFormatInt16, true}, Case{Common::pcmFormatFloat32, false},
                         Case{Common::pcmFormatFloat32, true}}) {
        const auto sample = Testing::makeSampleBuffer(channels, 16000, c.common, c.interleaved);
        const auto format = AVAudioFormat::make(c.common, 16000, 2, c.interleaved);
        SCOPED_TRACE(format->description());
        const auto* description = CMAudioFormatDescriptionGetStreamBasicDescription(CMSampleBufferGetFormatDescription(sample));
        ASSERT_NE(description, nullptr);
        EXPECT_EQ(*description, format->streamDescription());
        EXPECT_EQ(CMSampleBufferGetNumSamples(sample), 160);

        const auto buffer = bufferFor(sample);
        ASSERT_EQ(CMSampleBufferCopyPCMDataIntoAudioBufferList(sample, 0, 160, &buffer->mutableAudioBufferList()), noErr);
        EXPECT_EQ(Testing::channelsOf(*buffer), channels);
        for (const AudioBuffer& block : buffer->audioBufferList().mBuffers) {
            EXPECT_EQ(block.mDataByteSize, 160 * description->mBytesPerFrame);
        }
    }
}

TEST(AudioSampleBuffer, CopiesARangeOfFrames) {
    const Channels channels = {Testing::noise(0.01, 16000)};
    const auto sample = Testing::makeSampleBuffer(channels, 16000);
    const auto buffer = AVAudioPCMBuffer::make(AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 1, false), 5);
    buffer->setFrameLength(5);
    ASSERT_EQ(CMSampleBufferCopyPCMDataIntoAudioBufferList(sample, 150, 5, &buffer->mutableAudioBufferList()), noErr);
    EXPECT_EQ(Testing::channelsOf(*buffer).front(),
              std::vector<float>(channels.front().begin() + 150, channels.front().begin() + 155));
}

TEST(AudioSampleBuffer, AMismatchedCopyFailsAndCopiesNothing) {
    const Channels stereo = {Testing::tone(440, 0.01, 16000, 0.5F), Testing::tone(440, 0.01, 16000, 0.5F, 1.0)};
    const auto interleaved = Testing::makeSampleBuffer(stereo, 16000, Common::pcmFormatFloat32, true);
    const auto planarFormat = AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 2, false);
    struct Case {
        const char* name;
        std::shared_ptr<CMSampleBuffer> sample;
        std::shared_ptr<AVAudioPCMBuffer> buffer;
        std::int32_t offset;
        std::int32_t frames;
        OSStatus status;
    };
    const auto planar = [&](AVAudioFrameCount length) {
        auto buffer = AVAudioPCMBuffer::make(planarFormat, 160);
        buffer->setFrameLength(length);
        return buffer;
    };
    const auto fitting = [&](AVAudioFrameCount length) {
        auto buffer = bufferFor(interleaved);
        buffer->setFrameLength(length);
        return buffer;
    };
    const Case cases[] = {
        {"one block into two", interleaved, planar(160), 0, 160, kCMSampleBufferError_InvalidMediaFormat},
        {"a list without room", interleaved, fitting(100), 0, 160, kCMSampleBufferError_ArrayTooSmall},
        {"frames past the end", interleaved, fitting(160), 100, 61, kCMSampleBufferError_SampleIndexOutOfRange},
        {"a negative count", interleaved, fitting(160), 0, -1, kCMSampleBufferError_SampleIndexOutOfRange},
        {"no format", CMSampleBuffer::makeWithoutFormat(160), fitting(160), 0, 160, kCMSampleBufferError_InvalidMediaFormat},
        {"no sample buffer", nullptr, fitting(160), 0, 0, kCMSampleBufferError_RequiredParameterMissing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CMSampleBufferCopyPCMDataIntoAudioBufferList(c.sample, c.offset, c.frames, &c.buffer->mutableAudioBufferList()),
                  c.status);
        c.buffer->setFrameLength(c.buffer->frameCapacity());
        for (const std::vector<float>& channel : Testing::channelsOf(*c.buffer)) {
            EXPECT_EQ(channel, std::vector<float>(160, 0.0F));
        }
    }
    EXPECT_EQ(CMSampleBufferCopyPCMDataIntoAudioBufferList(interleaved, 0, 0, nullptr),
              kCMSampleBufferError_RequiredParameterMissing);
}

TEST(AudioSampleBuffer, AFormatlessBufferHasNoDescription) {
    const auto sample = CMSampleBuffer::makeWithoutFormat(32);
    EXPECT_EQ(CMSampleBufferGetFormatDescription(sample), nullptr);
    EXPECT_EQ(CMAudioFormatDescriptionGetStreamBasicDescription(nullptr), nullptr);
    EXPECT_EQ(CMSampleBufferGetNumSamples(sample), 32);
    EXPECT_EQ(CMSampleBufferGetNumSamples(nullptr), 0);
}

TEST(AudioSampleBuffer, BlocksMustFitTheDescription) {
    const AudioStreamBasicDescription planar = AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 2, false)->streamDescription();
    const AudioStreamBasicDescription packed = AVAudioFormat::make(Common::pcmFormatInt16, 16000, 2, true)->streamDescription();
    EXPECT_THROW(CMSampleBuffer::make(planar, {std::vector<std::byte>(8)}), std::invalid_argument);
    EXPECT_THROW(CMSampleBuffer::make(planar, {std::vector<std::byte>(8), std::vector<std::byte>(4)}), std::invalid_argument);
    EXPECT_THROW(CMSampleBuffer::make(packed, {std::vector<std::byte>(6)}), std::invalid_argument);
    EXPECT_EQ(CMSampleBufferGetNumSamples(CMSampleBuffer::make(packed, {std::vector<std::byte>(8)})), 2);
}

}  // namespace
}  // namespace Tervane
