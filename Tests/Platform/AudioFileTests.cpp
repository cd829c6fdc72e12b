#include "Support/AudioFixtures.hpp"
#include "Support/CapturingLogSink.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Platform/AVAudioFile.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <fstream>
#include <mutex>
#include <random>

#include <fcntl.h>
#include <unistd.h>

namespace Tervane {
namespace {

using Testing::AudioFileKind;
using Testing::Channels;
using ::testing::HasSubstr;

/// Reads the rest of a file in blocks of `blockFrames`, checking the position as it goes.
Channels readAll(AVAudioFile& file, AVAudioFrameCount blockFrames) {
    const auto buffer = AVAudioPCMBuffer::make(file.processingFormat(), blockFrames);
    Channels result(file.processingFormat()->channelCount());
    for (;;) {
        const AVAudioFramePosition before = file.framePosition();
        file.read(*buffer);
        EXPECT_EQ(file.framePosition(), before + buffer->frameLength());
        if (buffer->frameLength() == 0) {
            return result;
        }
        const Channels block = Testing::channelsOf(*buffer);
        for (std::size_t c = 0; c < result.size(); ++c) {
            result[c].insert(result[c].end(), block[c].begin(), block[c].end());
        }
    }
}

/// Normalised correlation of two signals over their common length.
double correlation(const std::vector<float>& a, const std::vector<float>& b) {
    double ab = 0;
    double aa = 0;
    double bb = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        ab += double{a[i]} * b[i];
        aa += double{a[i]} * a[i];
        bb += double{b[i]} * b[i];
    }
    return ab / std::sqrt(aa * bb);
}

/// Everything written on file descriptor 2 while it lives.
class CapturedStandardError {
public:
    CapturedStandardError() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO)) {
        std::fflush(stderr);
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~CapturedStandardError() {
        restore();
        std::fclose(file_);
    }
    std::string text() {
        restore();
        std::string text;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) {
            text.push_back(static_cast<char>(c));
        }
        return text;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }
    std::FILE* file_;
    int saved_;
};

// Every container and codec opens in the processing format and yields its audio. A different
// tone per channel shows the channels stay in order.
class AudioFileKinds : public ::testing::TestWithParam<AudioFileKind> {};

TEST_P(AudioFileKinds, OpenWithTheProcessingFormatAndYieldTheirAudio) {
    const AudioFileKind kind = GetParam();
    TERVANE_SKIP_UNLESS_CAN_WRITE(kind);
    Testing::TemporaryDirectory directory;
    for (const double rate : {8000.0, 16000.0, 44100.0, 48000.0}) {
        for (const std::uint32_t channelCount : {1U, 2U}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channelCount) + " ch");
            Channels source;
            for (std::uint32_t c = 0; c < channelCount; ++c) {
                source.push_back(Testing::tone(300.0 + 200.0 * c, 1.0, rate));
            }
            const auto path = Testing::writeAudioFile(directory.path(), "tone", kind, source, rate);
            AVAudioFile file(path);
            // Opus always decodes at 48 kHz.
            const double decodedRate = kind == AudioFileKind::oggOpus ? 48000 : rate;
            EXPECT_EQ(*file.processingFormat(),
                      *AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, decodedRate, channelCount, false));
            const auto frames = static_cast<AVAudioFramePosition>(decodedRate);
            const AVAudioFramePosition length = file.length();
            const Channels decoded = readAll(file, 65536);
            ASSERT_EQ(static_cast<AVAudioFramePosition>(decoded.front().size()), length);
            switch (kind) {
            case AudioFileKind::wavFloat32: EXPECT_EQ(decoded, source); break;
            case AudioFileKind::wavInt16:
            case AudioFileKind::flac: EXPECT_EQ(decoded, Testing::quantizedToInt16(source)); break;
            case AudioFileKind::mp3:
            case AudioFileKind::oggOpus:
                // The encoder's delay and padding are trimmed: exactly one second comes back.
                EXPECT_EQ(length, frames);
                break;
            case AudioFileKind::m4aAac:
                // Trimmed at the start, but the end is padded to a whole 1024-frame packet.
                EXPECT_EQ(length, (frames + 1023) / 1024 * 1024);
                break;
            }
            if (decodedRate == rate) {
                for (std::uint32_t c = 0; c < channelCount; ++c) {
                    EXPECT_GT(correlation(decoded[c], source[c]), 0.95) << "channel " << c;
                }
            }
        }
    }
}

TEST_P(AudioFileKinds, StateHowTheyStoreTheirAudio) {
    const AudioFileKind kind = GetParam();
    TERVANE_SKIP_UNLESS_CAN_WRITE(kind);
    Testing::TemporaryDirectory directory;
    const auto path = Testing::writeAudioFile(directory.path(), "tone", kind, {Testing::tone(440, 0.1, 48000)}, 48000);
    const AVAudioFile file(path);
    const AVAudioFormat& stored = *file.fileFormat();
    EXPECT_EQ(stored.sampleRate(), 48000);
    EXPECT_EQ(stored.channelCount(), 1U);
    switch (kind) {
    case AudioFileKind::wavInt16: EXPECT_EQ(stored.commonFormat(), AVAudioCommonFormat::pcmFormatInt16); break;
    case AudioFileKind::wavFloat32: EXPECT_EQ(stored.commonFormat(), AVAudioCommonFormat::pcmFormatFloat32); break;
    case AudioFileKind::flac: EXPECT_EQ(stored.streamDescription().mFormatID, kAudioFormatFLAC); break;
    case AudioFileKind::mp3: EXPECT_EQ(stored.streamDescription().mFormatID, kAudioFormatMPEGLayer3); break;
    case AudioFileKind::oggOpus: EXPECT_EQ(stored.streamDescription().mFormatID, kAudioFormatOpus); break;
    case AudioFileKind::m4aAac: EXPECT_EQ(stored.streamDescription().mFormatID, kAudioFormatMPEG4AAC); break;
    }
}

INSTANTIATE_TEST_SUITE_P(AudioFile, AudioFileKinds,
                         ::testing::Values(AudioFileKind::wavInt16, AudioFileKind::wavFloat32, AudioFileKind::flac,
                                           AudioFileKind::mp3, AudioFileKind::oggOpus, AudioFileKind::m4aAac),
                         [](const auto& kindInfo) { return Testing::kindName(kindInfo.param); });

TEST(AudioFile, ReadsInAnyBlockSizeReassembleTheFile) {
    Testing::TemporaryDirectory directory;
    const Channels source = {Testing::noise(0.5, 44100, 0.5F, 1), Testing::noise(0.5, 44100, 0.5F, 2)};
    for (const AudioFileKind kind : {AudioFileKind::wavFloat32, AudioFileKind::flac}) {
        if (!Testing::canWrite(kind)) {
            continue;
        }
        const auto path = Testing::writeAudioFile(directory.path(), "noise", kind, source, 44100);
        const Channels expected = kind == AudioFileKind::flac ? Testing::quantizedToInt16(source) : source;
        for (const AVAudioFrameCount block : {1U, 1000U, 4096U, 65536U, 100000U}) {
            SCOPED_TRACE(Testing::kindName(kind) + ", blocks of " + std::to_string(block));
            AVAudioFile file(path);
            EXPECT_EQ(readAll(file, block), expected);
            EXPECT_EQ(file.length(), 22050);
            EXPECT_EQ(file.framePosition(), 22050);
        }
    }
}

TEST(AudioFile, ReadsAtMostTheFrameCountAndTheCapacity) {
    Testing::TemporaryDirectory directory;
    const Channels source = {Testing::noise(0.1, 16000)};
    const auto path = directory / "noise.wav";
    Testing::writeWav(path, source, 16000, Testing::WavEncoding::float32);
    AVAudioFile file(path);
    const auto buffer = AVAudioPCMBuffer::make(file.processingFormat(), 1000);
    std::vector<float> gathered;
    const auto readAndKeep = [&](AVAudioFrameCount frameCount) {
        file.read(*buffer, frameCount);
        const float* samples = buffer->floatChannelData()[0];
        gathered.insert(gathered.end(), samples, samples + buffer->frameLength());
        return buffer->frameLength();
    };
    EXPECT_EQ(readAndKeep(333), 333U);
    EXPECT_EQ(readAndKeep(5000), 1000U);  // no more than the capacity
    EXPECT_EQ(file.framePosition(), 1333);
    while (readAndKeep(777) != 0) {
    }
    EXPECT_EQ(gathered, source.front());
    EXPECT_EQ(readAndKeep(777), 0U);  // and so on at the end
    EXPECT_EQ(file.framePosition(), 1600);
}

TEST(AudioFile, ReadingIntoAnotherFormatFails) {
    Testing::TemporaryDirectory directory;
    const auto path = directory / "tone.wav";
    Testing::writeWav(path, {Testing::tone(440, 0.1, 44100)}, 44100);
    AVAudioFile file(path);
    const auto wrongRate = AVAudioPCMBuffer::make(AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, 16000, 1, false), 100);
    try {
        file.read(*wrongRate);
        FAIL() << "read into a 16 kHz buffer";
    } catch (const AVAudioFileError& error) {
        EXPECT_EQ(error.kind(), AVAudioFileError::Kind::bufferFormatMismatch);
        EXPECT_THAT(error.description(), HasSubstr("1 ch, 16000 Hz"));
    }
    EXPECT_EQ(file.framePosition(), 0);
}

TEST(AudioFile, FilesThatAreNotAudioFailAtOpenNamingThemselves) {
    Testing::TemporaryDirectory directory;
    std::ofstream(directory / "notes.txt") << "Meeting notes: nothing here is audio.\n";
    std::ofstream(directory / "notes.nfo") << "FFmpeg reads this as a video of text.\n";
    std::ofstream(directory / "empty.wav");
    std::ofstream(directory / "fake.mp3") << "not an mp3 at all, only text\n";
    struct Case {
        std::filesystem::path path;
        AVAudioFileError::Kind kind;
        std::string reason;
    };
    const Case cases[] = {
        {directory / "missing.wav", AVAudioFileError::Kind::openFailed, "No such file or directory"},
        {directory.path(), AVAudioFileError::Kind::openFailed, "Is a directory"},
        {directory / "notes.txt", AVAudioFileError::Kind::openFailed, "not a media file"},
        {directory / "notes.nfo", AVAudioFileError::Kind::noAudioStream, "no audio stream"},
        {directory / "empty.wav", AVAudioFileError::Kind::openFailed, "not a media file"},
        {directory / "fake.mp3", AVAudioFileError::Kind::openFailed, "not a media file"},
    };
    CapturedStandardError standardError;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            AVAudioFile file(c.path);
            ADD_FAILURE() << "opened";
        } catch (const AVAudioFileError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_THAT(error.description(), HasSubstr("\"" + c.path.string() + "\""));
            EXPECT_THAT(error.description(), HasSubstr(c.reason));
            EXPECT_EQ(error.path(), c.path);
        }
    }
    EXPECT_EQ(standardError.text(), "");  // FFmpeg's doubts about the text files went to the log
}

TEST(AudioFile, AnUnreadableFileFailsWithTheSystemsReason) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not stop root";
    }
    Testing::TemporaryDirectory directory;
    const auto path = directory / "locked.wav";
    Testing::writeWav(path, {Testing::tone(440, 0.1, 16000)}, 16000);
    std::filesystem::permissions(path, std::filesystem::perms::none);
    try {
        AVAudioFile file(path);
        FAIL() << "opened";
    } catch (const AVAudioFileError& error) {
        EXPECT_EQ(error.errorNumber(), EACCES);
        EXPECT_EQ(error.description(), "could not open audio file \"" + path.string() + "\": Permission denied");
    }
}

TEST(AudioFile, AFileWithoutFramesIsEmpty) {
    Testing::TemporaryDirectory directory;
    const auto path = directory / "empty.wav";
    Testing::writeWav(path, Channels{{}}, 16000);
    AVAudioFile file(path);
    EXPECT_EQ(file.length(), 0);
    EXPECT_EQ(readAll(file, 4096), Channels{{}});
}

TEST(AudioFile, ATruncatedWavYieldsWhatItHolds) {
    Testing::TemporaryDirectory directory;
    const auto path = directory / "cut.wav";
    const Channels source = {Testing::noise(1.0, 16000)};
    Testing::writeWav(path, source, 16000);
    // The header still promises 16000 frames; 10000 and half a frame remain.
    std::filesystem::resize_file(path, 44 + 20001);
    AVAudioFile file(path);
    EXPECT_EQ(file.length(), 10000);
    const Channels decoded = readAll(file, 4096);
    const Channels expected = Testing::quantizedToInt16(source);
    EXPECT_EQ(decoded.front(), std::vector<float>(expected.front().begin(), expected.front().begin() + 10000));
}

// Damage in the middle of a compressed file costs the packets it hits, not the rest of the file,
// and FFmpeg's complaints go to the log, never to the console.
TEST(AudioFile, DamagedPacketsAreSkippedQuietly) {
    Testing::TemporaryDirectory directory;
    for (const AudioFileKind kind : {AudioFileKind::mp3, AudioFileKind::flac, AudioFileKind::m4aAac}) {
        if (!Testing::canWrite(kind)) {
            continue;
        }
        SCOPED_TRACE(Testing::kindName(kind));
        const auto path = Testing::writeAudioFile(directory.path(), "damaged", kind,
                                                  {Testing::tone(440, 3.0, 44100), Testing::tone(660, 3.0, 44100)}, 44100);
        {
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(static_cast<std::streamoff>(std::filesystem::file_size(path) / 2));
            std::mt19937 garbage(7);
            for (int i = 0; i < 2000; ++i) {
                file.put(static_cast<char>(garbage()));
            }
        }
        Testing::LogCapture log;
        CapturedStandardError standardError;
        AVAudioFile file(path);
        const Channels decoded = readAll(file, 65536);
        EXPECT_EQ(standardError.text(), "");
        // 2000 bytes hold well under a tenth of the three seconds.
        EXPECT_GT(decoded.front().size(), 132300 * 9 / 10);
        EXPECT_LT(decoded.front().size(), 132300);
        const auto entries = log->entries();
        const auto warned = std::any_of(entries.begin(), entries.end(), [](const auto& entry) {
            return entry.category == "AVAudioFile" && entry.level == AppLogger::Level::warning &&
                   entry.message.find("skipped a damaged packet") != std::string::npos;
        });
        EXPECT_TRUE(warned);
        const auto ffmpegEntries = std::count_if(entries.begin(), entries.end(), [](const auto& entry) {
            return entry.category == "FFmpeg";
        });
        EXPECT_GT(ffmpegEntries, 0);
        for (const auto& entry : entries) {
            if (entry.category == "FFmpeg") {
                EXPECT_EQ(entry.level, AppLogger::Level::debug) << entry.message;
            }
        }
    }
}

TEST(AudioFile, OpensSynthesisedSpeech) {
    if (!Testing::canSpeak()) {
        GTEST_SKIP() << "espeak-ng is not installed";
    }
    Testing::TemporaryDirectory directory;
    const auto path = directory / "speech.wav";
    Testing::writeSpeechWav(path, "The quick brown fox jumps over the lazy dog.");
    AVAudioFile file(path);
    EXPECT_EQ(file.processingFormat()->sampleRate(), 22050);
    EXPECT_EQ(file.processingFormat()->channelCount(), 1U);
    const Channels decoded = readAll(file, 65536);
    EXPECT_EQ(static_cast<AVAudioFramePosition>(decoded.front().size()), file.length());
    EXPECT_GT(decoded.front().size(), 22050U);  // more than a second of speech
    EXPECT_GT(*std::max_element(decoded.front().begin(), decoded.front().end()), 0.1F);
}

}  // namespace
}  // namespace Tervane
