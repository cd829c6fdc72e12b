#include <Tervane/Platform/AVAudioFormat.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace Tervane {
namespace {

using Common = AVAudioCommonFormat;

TEST(AudioFormat, CommonFormatsHaveTheirStreamDescription) {
    struct Case {
        Common common;
        bool interleaved;
        std::uint32_t channels;
        AudioFormatFlags flags;
        std::uint32_t bytesPerFrame;
        std::uint32_t bits;
        const char* description;
    };
    constexpr AudioFormatFlags floatPacked = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    constexpr AudioFormatFlags intPacked = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    const Case cases[] = {
        {Common::pcmFormatFloat32, false, 2, floatPacked | kAudioFormatFlagIsNonInterleaved, 4, 32, "2 ch, 44100 Hz, Float32, non-interleaved"},
        {Common::pcmFormatFloat32, true, 2, floatPacked, 8, 32, "2 ch, 44100 Hz, Float32, interleaved"},
        {Common::pcmFormatFloat64, true, 3, floatPacked, 24, 64, "3 ch, 44100 Hz, Float64, interleaved"},
        {Common::pcmFormatInt16, true, 6, intPacked, 12, 16, "6 ch, 44100 Hz, Int16, interleaved"},
        {Common::pcmFormatInt32, false, 1, intPacked | kAudioFormatFlagIsNonInterleaved, 4, 32, "1 ch, 44100 Hz, Int32, non-interleaved"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        const auto format = AVAudioFormat::make(c.common, 44100, c.channels, c.interleaved);
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(format->commonFormat(), c.common);
        EXPECT_EQ(format->sampleRate(), 44100);
        EXPECT_EQ(format->channelCount(), c.channels);
        EXPECT_EQ(format->isInterleaved(), c.interleaved);
        const AudioStreamBasicDescription& d = format->streamDescription();
        EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM);
        EXPECT_EQ(d.mFormatFlags, c.flags);
        EXPECT_EQ(d.mBytesPerFrame, c.bytesPerFrame);
        EXPECT_EQ(d.mBytesPerPacket, c.bytesPerFrame);
        EXPECT_EQ(d.mFramesPerPacket, 1U);
        EXPECT_EQ(d.mBitsPerChannel, c.bits);
        EXPECT_EQ(format->description(), c.description);
        // The description round-trips to an equal format.
        const auto again = AVAudioFormat::make(d);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(*again, *format);
    }
}

TEST(AudioFormat, ImpossibleValuesGiveNoFormat) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    for (const double rate : {0.0, -16000.0, nan, infinity}) {
        EXPECT_EQ(AVAudioFormat::make(Common::pcmFormatFloat32, rate, 1, false), nullptr) << rate;
    }
    EXPECT_EQ(AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 0, false), nullptr);
    EXPECT_EQ(AVAudioFormat::make(Common::otherFormat, 16000, 1, false), nullptr);
    // One interleaved frame of 2^30 float64 channels needs 2^33 bytes.
    EXPECT_EQ(AVAudioFormat::make(Common::pcmFormatFloat64, 16000, 1U << 30, true), nullptr);
    EXPECT_NE(AVAudioFormat::make(Common::pcmFormatFloat64, 16000, 1U << 30, false), nullptr);
}

TEST(AudioFormat, StreamDescriptionsAreJudgedByTheirLayout) {
    const AudioStreamBasicDescription int16Stereo = AVAudioFormat::make(Common::pcmFormatInt16, 8000, 2, true)->streamDescription();
    const auto modified = [&](auto change) {
        AudioStreamBasicDescription d = int16Stereo;
        change(d);
        return AVAudioFormat::make(d);
    };
    using D = AudioStreamBasicDescription&;
    // Inconsistent or unsupported layouts.
    EXPECT_EQ(modified([](D d) { d.mBytesPerFrame = 3; d.mBytesPerPacket = 3; }), nullptr);
    EXPECT_EQ(modified([](D d) { d.mFramesPerPacket = 2; }), nullptr);
    EXPECT_EQ(modified([](D d) { d.mBitsPerChannel = 24; }), nullptr);
    EXPECT_EQ(modified([](D d) { d.mFormatFlags |= kAudioFormatFlagIsBigEndian; }), nullptr);
    EXPECT_EQ(modified([](D d) { d.mFormatFlags |= kAudioFormatFlagIsFloat; }), nullptr);
    EXPECT_EQ(modified([](D d) { d.mSampleRate = 0; }), nullptr);
    EXPECT_EQ(modified([](D d) { d.mChannelsPerFrame = 0; }), nullptr);
    EXPECT_EQ(modified([](D d) { d.mFormatID = 0; }), nullptr);

    // A missing "packed" flag changes nothing about 16-bit samples in 2 bytes.
    const auto unflagged = modified([](D d) { d.mFormatFlags &= ~kAudioFormatFlagIsPacked; });
    ASSERT_NE(unflagged, nullptr);
    EXPECT_EQ(*unflagged, *AVAudioFormat::make(int16Stereo));

    // Valid PCM outside the common layouts, and compressed formats, are `otherFormat`.
    const auto pcm24 = modified([](D d) { d.mBitsPerChannel = 24; d.mBytesPerFrame = 6; d.mBytesPerPacket = 6; });
    ASSERT_NE(pcm24, nullptr);
    EXPECT_EQ(pcm24->commonFormat(), Common::otherFormat);
    EXPECT_EQ(pcm24->description(), "2 ch, 8000 Hz, 24-bit signed integer, interleaved");
    AudioStreamBasicDescription flac;
    flac.mSampleRate = 44100;
    flac.mFormatID = kAudioFormatFLAC;
    flac.mChannelsPerFrame = 2;
    const auto compressed = AVAudioFormat::make(flac);
    ASSERT_NE(compressed, nullptr);
    EXPECT_EQ(compressed->commonFormat(), Common::otherFormat);
    EXPECT_EQ(compressed->description(), "2 ch, 44100 Hz, 'flac'");
}

TEST(AudioFormat, EqualityComparesEveryProperty) {
    const auto base = AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 1, false);
    EXPECT_EQ(*base, *AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 1, false));
    EXPECT_FALSE(*base == *AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 1, true));
    EXPECT_FALSE(*base == *AVAudioFormat::make(Common::pcmFormatFloat32, 16001, 1, false));
    EXPECT_FALSE(*base == *AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 2, false));
    EXPECT_FALSE(*base == *AVAudioFormat::make(Common::pcmFormatInt32, 16000, 1, false));
    EXPECT_EQ(AVAudioFormat::make(Common::pcmFormatFloat32, 22050.5, 1, false)->description(),
              "1 ch, 22050.5 Hz, Float32, non-interleaved");
}

}  // namespace
}  // namespace Tervane
