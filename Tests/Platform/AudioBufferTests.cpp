#include <Tervane/Platform/AVAudioPCMBuffer.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace Tervane {
namespace {

using Common = AVAudioCommonFormat;

TEST(AudioPCMBuffer, ChannelDataAndBufferListFollowTheLayout) {
    struct Case {
        Common common;
        bool interleaved;
        std::uint32_t channels;
        bool hasFloat;
        bool hasInt16;
        std::uint32_t bytesPerSample;
    };
    const Case cases[] = {
        {Common::pcmFormatFloat32, false, 2, true, false, 4},
        {Common::pcmFormatFloat32, true, 2, true, false, 4},
        {Common::pcmFormatInt16, true, 6, false, true, 2},
        {Common::pcmFormatInt16, false, 3, false, true, 2},
        {Common::pcmFormatFloat64, false, 2, false, false, 8},
        {Common::pcmFormatInt32, true, 1, false, false, 4},
    };
    constexpr AVAudioFrameCount capacity = 1001;
    for (const Case& c : cases) {
        const auto format = AVAudioFormat::make(c.common, 16000, c.channels, c.interleaved);
        SCOPED_TRACE(format->description());
        const auto buffer = AVAudioPCMBuffer::make(format, capacity);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->frameCapacity(), capacity);
        EXPECT_EQ(buffer->frameLength(), 0U);
        EXPECT_EQ(buffer->format(), format);
        EXPECT_EQ(buffer->floatChannelData() != nullptr, c.hasFloat);
        EXPECT_EQ(buffer->int16ChannelData() != nullptr, c.hasInt16);
        EXPECT_EQ(buffer->stride(), c.interleaved ? c.channels : 1);

        const AudioBufferList& list = buffer->audioBufferList();
        ASSERT_EQ(list.mNumberBuffers(), c.interleaved ? 1 : c.channels);
        const std::uint32_t blockBytes = capacity * c.bytesPerSample * buffer->stride();
        for (std::uint32_t b = 0; b < list.mNumberBuffers(); ++b) {
            const AudioBuffer& block = list.mBuffers[b];
            EXPECT_EQ(block.mNumberChannels, c.interleaved ? c.channels : 1);
            EXPECT_EQ(block.mDataByteSize, 0U);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.mData) % 64, 0U);
            if (c.hasFloat) {
                EXPECT_EQ(static_cast<void*>(buffer->floatChannelData()[b]), block.mData);
            }
            // Zero-filled, and filling one block to its end leaves the next untouched.
            const auto* bytes = static_cast<const unsigned char*>(block.mData);
            for (std::uint32_t i = 0; i < blockBytes; ++i) {
                ASSERT_EQ(bytes[i], 0) << "block " << b << " byte " << i;
            }
        }
        for (std::uint32_t b = 0; b < list.mNumberBuffers(); ++b) {
            std::memset(list.mBuffers[b].mData, static_cast<int>(b + 1), blockBytes);
        }
        for (std::uint32_t b = 0; b < list.mNumberBuffers(); ++b) {
            const auto* bytes = static_cast<const unsigned char*>(list.mBuffers[b].mData);
            EXPECT_EQ(bytes[0], b + 1);
            EXPECT_EQ(bytes[blockBytes - 1], b + 1);
        }

        buffer->setFrameLength(capacity);
        for (const AudioBuffer& block : list.mBuffers) {
            EXPECT_EQ(block.mDataByteSize, blockBytes);
        }
    }
}

TEST(AudioPCMBuffer, FrameLengthCannotExceedTheCapacity) {
    const auto buffer = AVAudioPCMBuffer::make(AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 1, false), 10);
    buffer->setFrameLength(10);
    EXPECT_EQ(buffer->frameLength(), 10U);
    EXPECT_THROW(buffer->setFrameLength(11), std::out_of_range);
    EXPECT_EQ(buffer->frameLength(), 10U);
}

TEST(AudioPCMBuffer, ImpossibleBuffersAreAbsent) {
    constexpr AVAudioFrameCount most = std::numeric_limits<AVAudioFrameCount>::max();
    EXPECT_EQ(AVAudioPCMBuffer::make(nullptr, 16), nullptr);
    AudioStreamBasicDescription mp3;
    mp3.mSampleRate = 44100;
    mp3.mFormatID = kAudioFormatMPEGLayer3;
    mp3.mChannelsPerFrame = 2;
    EXPECT_EQ(AVAudioPCMBuffer::make(AVAudioFormat::make(mp3), 16), nullptr);
    // A block of 2^32 frames × 8 bytes does not fit a 32-bit byte count.
    EXPECT_EQ(AVAudioPCMBuffer::make(AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 2, true), most), nullptr);
    // 2^30 blocks of 4 GiB: no machine has that memory, and it is not asked for.
    EXPECT_EQ(AVAudioPCMBuffer::make(AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 1U << 30, false), most / 4),
              nullptr);
    // An empty buffer is a buffer.
    EXPECT_NE(AVAudioPCMBuffer::make(AVAudioFormat::make(Common::pcmFormatFloat32, 16000, 1, false), 0), nullptr);
}

}  // namespace
}  // namespace Tervane
