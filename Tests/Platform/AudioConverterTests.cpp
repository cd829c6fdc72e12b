#include "Support/AudioFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Platform/AVAudioConverter.hpp>
#include <Tervane/Platform/AVAudioFile.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace Tervane {
namespace {

using Common = AVAudioCommonFormat;
using InputStatus = AVAudioConverterInputStatus;
using OutputStatus = AVAudioConverterOutputStatus;
using Testing::AudioFileKind;
using Testing::Channels;

std::shared_ptr<AVAudioFormat> floatFormat(double rate, std::uint32_t channels) {
    return AVAudioFormat::make(Common::pcmFormatFloat32, rate, channels, false);
}

struct Loaded {
    std::vector<float> samples;
    std::vector<OutputStatus> statuses;
    AVAudioFrameCount outputCapacity = 0;
};

/// A file to 16 kHz mono the way the tool loads it: one 65536-frame input block refilled on
/// every request, output blocks sized for one input block plus 1024 frames, converting until
/// the status is not `haveData`.
Loaded loadLikeTheTool(const std::filesystem::path& path) {
    AVAudioFile file(path);
    const auto target = floatFormat(16000, 1);
    const auto converter = AVAudioConverter::make(file.processingFormat(), target);
    const auto input = AVAudioPCMBuffer::make(file.processingFormat(), 65536);
    EXPECT_TRUE(converter && input);
    Loaded loaded;
    const double ratio = target->sampleRate() / file.processingFormat()->sampleRate();
    loaded.outputCapacity = static_cast<AVAudioFrameCount>(ratio * input->frameCapacity()) + 1024;
    bool inputEnded = false;
    const AVAudioConverterInputBlock supply = [&](AVAudioPacketCount, InputStatus& status) -> std::shared_ptr<AVAudioPCMBuffer> {
        if (inputEnded) {
            status = InputStatus::endOfStream;
            return nullptr;
        }
        try {
            file.read(*input);
        } catch (const Error&) {
            input->setFrameLength(0);
        }
        if (input->frameLength() == 0) {
            inputEnded = true;
            status = InputStatus::endOfStream;
            return nullptr;
        }
        status = InputStatus::haveData;
        return input;
    };
    for (;;) {
        const auto output = AVAudioPCMBuffer::make(target, loaded.outputCapacity);
        std::shared_ptr<const Error> error;
        const OutputStatus status = converter->convert(*output, error, supply);
        EXPECT_EQ(error, nullptr) << error->description();
        const float* samples = output->floatChannelData()[0];
        loaded.samples.insert(loaded.samples.end(), samples, samples + output->frameLength());
        loaded.statuses.push_back(status);
        if (status != OutputStatus::haveData) {
            return loaded;
        }
    }
}

/// Supplies `buffer` once, then `then` on every later request.
AVAudioConverterInputBlock once(std::shared_ptr<AVAudioPCMBuffer> buffer, InputStatus then = InputStatus::endOfStream) {
    return [buffer, then, given = false](AVAudioPacketCount, InputStatus& status) mutable -> std::shared_ptr<AVAudioPCMBuffer> {
        if (given) {
            status = then;
            return nullptr;
        }
        given = true;
        status = InputStatus::haveData;
        return buffer;
    };
}

/// Converts all of `input` with output blocks of `capacity` frames, until the end of the stream.
Channels convertAll(AVAudioConverter& converter, std::shared_ptr<AVAudioPCMBuffer> input, AVAudioFrameCount capacity) {
    Channels result(converter.outputFormat()->channelCount());
    const AVAudioConverterInputBlock supply = once(std::move(input));
    for (int call = 0; call < 100000; ++call) {
        const auto output = AVAudioPCMBuffer::make(converter.outputFormat(), capacity);
        std::shared_ptr<const Error> error;
        const OutputStatus status = converter.convert(*output, error, supply);
        EXPECT_NE(status, OutputStatus::error) << error->description();
        const Channels block = Testing::channelsOf(*output);
        for (std::size_t c = 0; c < result.size(); ++c) {
            result[c].insert(result[c].end(), block[c].begin(), block[c].end());
        }
        if (status != OutputStatus::haveData) {
            return result;
        }
    }
    ADD_FAILURE() << "the conversion never ended";
    return result;
}

float largestDifference(const std::vector<float>& a, const std::vector<float>& b, std::size_t margin) {
    float largest = 0;
    for (std::size_t i = margin; i + margin < std::min(a.size(), b.size()); ++i) {
        largest = std::max(largest, std::abs(a[i] - b[i]));
    }
    return largest;
}

TEST(AudioConverter, TheToolsLoopYieldsEverySample) {
    struct Case {
        double rate;
        std::uint32_t channels;
        AVAudioFrameCount outputCapacity;
    };
    const Case cases[] = {{48000, 1, 22869}, {44100, 2, 24801}, {22050, 1, 48578}, {8000, 2, 132096}};
    Testing::TemporaryDirectory directory;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch");
        const Channels source(c.channels, Testing::tone(440, 3.0, c.rate));
        const auto path = Testing::writeAudioFile(directory.path(), "tone", AudioFileKind::wavFloat32, source, c.rate);
        const Loaded loaded = loadLikeTheTool(path);
        EXPECT_EQ(loaded.outputCapacity, c.outputCapacity);
        // libswresample flushes its filter delay at the end: exactly 3 s at 16 kHz, no rounding loss.
        EXPECT_EQ(loaded.samples.size(), 48000U);
        EXPECT_EQ(loaded.statuses.back(), OutputStatus::endOfStream);
        // In time with the source: the same tone sampled at 16 kHz (a stereo pair of equal
        // channels averages to that channel). The resampler's filter is that accurate away
        // from the edges.
        std::vector<float> expected = Testing::tone(440, 3.0, 16000, 0.5F);
        EXPECT_LT(largestDifference(loaded.samples, expected, 64), 0.01F);
    }
}

TEST(AudioConverter, SixteenKilohertzMonoPassesThroughUnchanged) {
    Testing::TemporaryDirectory directory;
    const Channels source = {Testing::noise(5.0, 16000, 0.9F)};
    const auto path = Testing::writeAudioFile(directory.path(), "noise", AudioFileKind::wavFloat32, source, 16000);
    const Loaded loaded = loadLikeTheTool(path);
    EXPECT_EQ(loaded.outputCapacity, 66560U);
    EXPECT_EQ(loaded.samples, source.front());
    // 80000 frames fill one 66560-frame block; the second ends the stream.
    EXPECT_EQ(loaded.statuses, (std::vector<OutputStatus>{OutputStatus::haveData, OutputStatus::endOfStream}));
}

TEST(AudioConverter, TheToolsLoopGivesNothingForAFileWithoutFrames) {
    Testing::TemporaryDirectory directory;
    const auto path = Testing::writeAudioFile(directory.path(), "empty", AudioFileKind::wavInt16, Channels{{}}, 44100);
    const Loaded loaded = loadLikeTheTool(path);
    EXPECT_TRUE(loaded.samples.empty());
    EXPECT_EQ(loaded.statuses, std::vector<OutputStatus>{OutputStatus::endOfStream});
}

// A stereo pair mixes into mono as the average (L + R) / 2; mono spreads over a stereo pair
// as x / √2 in each channel (libswresample's matrix, capped so no mix gains level).
TEST(AudioConverter, ChannelCountsAreMixedByTheDefaultMatrix) {
    const std::vector<float> left = Testing::tone(300, 0.25, 16000, 0.4F);
    const std::vector<float> right = Testing::noise(0.25, 16000, 0.3F);
    const auto stereoToMono = AVAudioConverter::make(floatFormat(16000, 2), floatFormat(16000, 1));
    const Channels mono = convertAll(*stereoToMono, Testing::makePCMBuffer({left, right}, 16000), 1024);
    ASSERT_EQ(mono.front().size(), left.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_NEAR(mono.front()[i], (left[i] + right[i]) / 2.0F, 1e-6F) << i;
    }
    const auto monoToStereo = AVAudioConverter::make(floatFormat(16000, 1), floatFormat(16000, 2));
    const Channels stereo = convertAll(*monoToStereo, Testing::makePCMBuffer({left}, 16000), 1024);
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_NEAR(stereo[0][i], left[i] / std::numbers::sqrt2_v<float>, 1e-6F) << i;
        ASSERT_EQ(stereo[0][i], stereo[1][i]) << i;
    }
}

TEST(AudioConverter, AcceptsInterleavedIntegerAndSurroundInput) {
    struct Case {
        Common common;
        bool interleaved;
        std::uint32_t channels;
    };
    const Case cases[] = {
        {Common::pcmFormatFloat32, false, 2}, {Common::pcmFormatFloat32, true, 2}, {Common::pcmFormatInt16, true, 2},
        {Common::pcmFormatInt16, true, 1},    {Common::pcmFormatInt32, true, 2},   {Common::pcmFormatFloat32, false, 6},
        {Common::pcmFormatInt16, true, 6},    {Common::pcmFormatFloat64, false, 2},
    };
    // The same signal in every channel, exactly representable in 16 bits: whatever the layout,
    // each output channel is then the plain mono conversion scaled by the mix's gain.
    const std::vector<float> signal = Testing::quantizedToInt16({Testing::tone(440, 0.5, 48000, 0.25F)}).front();
    const auto reference = AVAudioConverter::make(floatFormat(48000, 1), floatFormat(16000, 1));
    const std::vector<float> plain = convertAll(*reference, Testing::makePCMBuffer({signal}, 48000), 4096).front();
    ASSERT_EQ(plain.size(), 8000U);
    const std::size_t peak = static_cast<std::size_t>(std::max_element(plain.begin(), plain.end()) - plain.begin());
    for (const Case& c : cases) {
        const auto input = Testing::makePCMBuffer(Channels(c.channels, signal), 48000, c.common, c.interleaved);
        for (const std::uint32_t outputChannels : {1U, 2U}) {
            SCOPED_TRACE(input->format()->description() + " to " + std::to_string(outputChannels) + " ch");
            const auto converter = AVAudioConverter::make(input->format(), floatFormat(16000, outputChannels));
            ASSERT_NE(converter, nullptr);
            const Channels output = convertAll(*converter, input, 4096);
            ASSERT_EQ(output.size(), outputChannels);
            for (const std::vector<float>& channel : output) {
                ASSERT_EQ(channel.size(), plain.size());
                const float gain = channel[peak] / plain[peak];
                EXPECT_GT(gain, 0.5F);
                std::vector<float> scaled = plain;
                for (float& sample : scaled) {
                    sample *= gain;
                }
                EXPECT_LT(largestDifference(channel, scaled, 0), 1e-5F);
            }
        }
    }
}

TEST(AudioConverter, StatusesRunFromHaveDataToEndOfStreamAndStayThere) {
    const auto converter = AVAudioConverter::make(floatFormat(48000, 1), floatFormat(16000, 1));
    const auto input = Testing::makePCMBuffer({Testing::tone(440, 0.1, 48000)}, 48000);  // 4800 frames
    int requests = 0;
    const AVAudioConverterInputBlock counted = [&, supply = once(input)](AVAudioPacketCount packets, InputStatus& status) mutable {
        ++requests;
        EXPECT_GE(packets, 1U);
        return supply(packets, status);
    };
    const auto output = AVAudioPCMBuffer::make(converter->outputFormat(), 500);
    std::vector<OutputStatus> statuses;
    std::vector<AVAudioFrameCount> lengths;
    for (int call = 0; call < 6; ++call) {
        std::shared_ptr<const Error> error;
        statuses.push_back(converter->convert(*output, error, counted));
        lengths.push_back(output->frameLength());
        EXPECT_EQ(error, nullptr);
    }
    using enum OutputStatus;
    EXPECT_EQ(statuses, (std::vector<OutputStatus>{haveData, haveData, haveData, endOfStream, endOfStream, endOfStream}));
    EXPECT_EQ(lengths, (std::vector<AVAudioFrameCount>{500, 500, 500, 100, 0, 0}));
    EXPECT_EQ(requests, 2);  // the buffer, then the end; never again after the end

    // After a reset the converter takes a new stream.
    converter->reset();
    const Channels again = convertAll(*converter, input, 4096);
    EXPECT_EQ(again.front().size(), 1600U);
}

TEST(AudioConverter, NoDataNowReturnsWhatThereIsAndLosesNothing) {
    const std::vector<float> signal = Testing::noise(0.5, 44100);
    const auto reference = AVAudioConverter::make(floatFormat(44100, 1), floatFormat(16000, 1));
    const std::vector<float> expected = convertAll(*reference, Testing::makePCMBuffer({signal}, 44100), 4096).front();

    // The same signal in three pieces with a dry spell after each.
    const auto converter = AVAudioConverter::make(floatFormat(44100, 1), floatFormat(16000, 1));
    std::vector<float> gathered;
    std::vector<OutputStatus> statuses;
    const std::size_t piece = signal.size() / 3 + 1;
    for (std::size_t start = 0; start < signal.size(); start += piece) {
        const std::vector<float> part(signal.begin() + static_cast<std::ptrdiff_t>(start),
                                      signal.begin() + static_cast<std::ptrdiff_t>(std::min(start + piece, signal.size())));
        const bool last = start + piece >= signal.size();
        const auto supply = once(Testing::makePCMBuffer({part}, 44100), last ? InputStatus::endOfStream : InputStatus::noDataNow);
        for (OutputStatus status = OutputStatus::haveData; status == OutputStatus::haveData;) {
            const auto output = AVAudioPCMBuffer::make(converter->outputFormat(), 3000);
            std::shared_ptr<const Error> error;
            status = converter->convert(*output, error, supply);
            statuses.push_back(status);
            const float* samples = output->floatChannelData()[0];
            gathered.insert(gathered.end(), samples, samples + output->frameLength());
        }
    }
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), OutputStatus::inputRanDry), 2);
    EXPECT_EQ(statuses.back(), OutputStatus::endOfStream);
    EXPECT_EQ(gathered, expected);
}

// A supplier may read only as many frames as it is asked for; it must never be asked for none.
TEST(AudioConverter, ASupplierThatReadsWhatIsAskedLosesNothing) {
    Testing::TemporaryDirectory directory;
    const Channels source = {Testing::noise(2.0, 44100)};
    const auto path = Testing::writeAudioFile(directory.path(), "noise", AudioFileKind::wavFloat32, source, 44100);
    AVAudioFile file(path);
    const auto input = AVAudioPCMBuffer::make(file.processingFormat(), 16384);
    const auto converter = AVAudioConverter::make(file.processingFormat(), floatFormat(16000, 1));
    const auto output = AVAudioPCMBuffer::make(converter->outputFormat(), 5944);
    bool ended = false;
    const AVAudioConverterInputBlock supply = [&](AVAudioPacketCount packets, InputStatus& status) -> std::shared_ptr<AVAudioPCMBuffer> {
        const AVAudioFramePosition remaining = file.length() - file.framePosition();
        const auto frames = static_cast<AVAudioFrameCount>(std::min<AVAudioFramePosition>(packets, remaining));
        if (ended || frames == 0) {
            ended = true;
            status = InputStatus::endOfStream;
            return nullptr;
        }
        file.read(*input, frames);
        status = InputStatus::haveData;
        return input;
    };
    std::size_t total = 0;
    for (OutputStatus status = OutputStatus::haveData; status != OutputStatus::endOfStream;) {
        std::shared_ptr<const Error> error;
        status = converter->convert(*output, error, supply);
        ASSERT_NE(status, OutputStatus::error);
        total += output->frameLength();
    }
    EXPECT_EQ(file.framePosition(), 88200);
    EXPECT_EQ(total, 32000U);
}

TEST(AudioConverter, MisfitBuffersAreErrors) {
    const auto converter = AVAudioConverter::make(floatFormat(48000, 2), floatFormat(16000, 1));
    const auto rightInput = Testing::makePCMBuffer(Channels(2, Testing::tone(440, 0.1, 48000)), 48000);
    const auto output = AVAudioPCMBuffer::make(converter->outputFormat(), 100);
    struct Case {
        const char* name;
        std::shared_ptr<AVAudioPCMBuffer> output;
        AVAudioConverterInputBlock input;
        AVAudioConverterError::Kind kind;
    };
    const Case cases[] = {
        {"output in another format", AVAudioPCMBuffer::make(floatFormat(16000, 2), 100), once(rightInput),
         AVAudioConverterError::Kind::formatMismatch},
        {"input in another format", output, once(Testing::makePCMBuffer({Testing::tone(440, 0.1, 48000)}, 48000)),
         AVAudioConverterError::Kind::formatMismatch},
        {"data without a buffer", output, once(nullptr), AVAudioConverterError::Kind::missingInputBuffer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<const Error> error;
        EXPECT_EQ(converter->convert(*c.output, error, c.input), OutputStatus::error);
        const auto* converterError = dynamic_cast<const AVAudioConverterError*>(error.get());
        ASSERT_NE(converterError, nullptr);
        EXPECT_EQ(converterError->kind(), c.kind);
        EXPECT_THAT(converterError->description(), ::testing::StartsWith("audio conversion failed: "));
        converter->reset();
    }
}

TEST(AudioConverter, ImpossibleConversionsGiveNoConverter) {
    AudioStreamBasicDescription pcm24 = AVAudioFormat::make(Common::pcmFormatInt16, 16000, 1, true)->streamDescription();
    pcm24.mBitsPerChannel = 24;
    pcm24.mBytesPerFrame = pcm24.mBytesPerPacket = 3;
    AudioStreamBasicDescription aac;
    aac.mSampleRate = 44100;
    aac.mFormatID = kAudioFormatMPEG4AAC;
    aac.mChannelsPerFrame = 2;
    const auto mono = floatFormat(16000, 1);
    EXPECT_EQ(AVAudioConverter::make(nullptr, mono), nullptr);
    EXPECT_EQ(AVAudioConverter::make(AVAudioFormat::make(pcm24), mono), nullptr);
    EXPECT_EQ(AVAudioConverter::make(AVAudioFormat::make(aac), mono), nullptr);
    EXPECT_EQ(AVAudioConverter::make(floatFormat(22050.5, 1), mono), nullptr);
    // Equal rates need no resampling, whole or not.
    EXPECT_NE(AVAudioConverter::make(floatFormat(22050.5, 2), floatFormat(22050.5, 1)), nullptr);
    const auto converter = AVAudioConverter::make(floatFormat(44100, 2), mono);
    EXPECT_EQ(converter->inputFormat()->sampleRate(), 44100);
    EXPECT_EQ(converter->outputFormat(), mono);
}

}  // namespace
}  // namespace Tervane
