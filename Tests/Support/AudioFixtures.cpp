#include "Support/AudioFixtures.hpp"

#include <Tervane/Platform/AVAudioFormat.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <numbers>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Tervane::Testing {

namespace {

struct ProgramResult {
    int exitStatus = 127;  // 127: the program could not be started
    std::string output;    // standard output and standard error together
};

/// Runs a program found on PATH with no shell in between, its output gathered in a file.
ProgramResult runProgram(const std::vector<std::string>& arguments) {
    std::string logPattern = (std::filesystem::temp_directory_path() / "tervane-fixture-XXXXXX").string();
    const int logFd = ::mkstemp(logPattern.data());
    if (logFd < 0) {
        throw std::runtime_error("could not create a file for a program's output");
    }
    ::unlink(logPattern.c_str());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ProgramResult result;
    if (spawned == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ::lseek(logFd, 0, SEEK_SET);
    char chunk[4096];
    for (ssize_t n; (n = ::read(logFd, chunk, sizeof chunk)) > 0;) {
        result.output.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(logFd);
    return result;
}

const std::set<std::string>& ffmpegEncoders() {
    static const std::set<std::string> encoders = [] {
        std::set<std::string> names;
        const ProgramResult result = runProgram({"ffmpeg", "-hide_banner", "-encoders"});
        if (result.exitStatus != 0) {
            return names;
        }
        // Lines look like " A....D flac   FLAC (Free Lossless Audio Codec)".
        std::istringstream lines(result.output);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string flags;
            std::string name;
            if (words >> flags >> name && flags.size() == 6 && flags[0] == 'A') {
                names.insert(name);
            }
        }
        return names;
    }();
    return encoders;
}

bool ffmpegInstalled() {
    static const bool installed = runProgram({"ffmpeg", "-hide_banner", "-version"}).exitStatus == 0;
    return installed;
}

/// The ffmpeg encoder and its options for a kind; empty for the kinds written here.
std::vector<std::string> encoderArguments(AudioFileKind kind) {
    switch (kind) {
    case AudioFileKind::flac: return {"flac"};
    case AudioFileKind::mp3: return {"libmp3lame", "-b:a", "128k"};
    case AudioFileKind::oggOpus: return {"libopus", "-b:a", "96k"};
    case AudioFileKind::m4aAac: return {"aac", "-b:a", "128k"};
    case AudioFileKind::wavInt16:
    case AudioFileKind::wavFloat32: break;
    }
    return {};
}

void appendLittleEndian(std::string& bytes, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

std::size_t frameCountOf(const Channels& channels) {
    if (channels.empty()) {
        throw std::invalid_argument("audio needs at least one channel");
    }
    const std::size_t frames = channels.front().size();
    for (const auto& channel : channels) {
        if (channel.size() != frames) {
            throw std::invalid_argument("all channels must have the same length");
        }
    }
    return frames;
}

template <class Integer>
Integer scaledSample(float value) {
    constexpr double scale = static_cast<double>(std::numeric_limits<Integer>::max()) + 1.0;
    const double scaled = std::nearbyint(static_cast<double>(value) * scale);
    return static_cast<Integer>(std::clamp(scaled, -scale, scale - 1.0));
}

/// Each channel's samples laid out as `format` stores them: one block per channel, or one for all.
std::vector<std::vector<std::byte>> layOut(const Channels& channels, AVAudioCommonFormat format, bool interleaved) {
    const std::size_t frames = frameCountOf(channels);
    const std::size_t channelCount = channels.size();
    std::vector<std::vector<std::byte>> blocks(interleaved ? 1 : channelCount);
    const auto put = [&](auto sample, std::size_t frame, std::size_t channel) {
        constexpr std::size_t width = sizeof sample;
        std::vector<std::byte>& block = blocks[interleaved ? 0 : channel];
        const std::size_t index = interleaved ? frame * channelCount + channel : frame;
        if (block.size() < (index + 1) * width) {
            block.resize((interleaved ? frames * channelCount : frames) * width);
        }
        std::memcpy(block.data() + index * width, &sample, width);
    };
    for (std::size_t c = 0; c < channelCount; ++c) {
        for (std::size_t i = 0; i < frames; ++i) {
            const float v = channels[c][i];
            switch (format) {
            case AVAudioCommonFormat::pcmFormatFloat32: put(v, i, c); break;
            case AVAudioCommonFormat::pcmFormatFloat64: put(static_cast<double>(v), i, c); break;
            case AVAudioCommonFormat::pcmFormatInt16: put(scaledSample<std::int16_t>(v), i, c); break;
            case AVAudioCommonFormat::pcmFormatInt32: put(scaledSample<std::int32_t>(v), i, c); break;
            case AVAudioCommonFormat::otherFormat: throw std::invalid_argument("no layout for otherFormat");
            }
        }
    }
    return blocks;
}

}  // namespace

std::vector<float> tone(double frequency, double seconds, double sampleRate, float amplitude, double phase) {
    const auto count = static_cast<std::size_t>(seconds * sampleRate);
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = amplitude * static_cast<float>(
                                     std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / sampleRate + phase));
    }
    return samples;
}

std::vector<float> silence(double seconds, double sampleRate) {
    return std::vector<float>(static_cast<std::size_t>(seconds * sampleRate), 0.0F);
}

std::vector<float> noise(double seconds, double sampleRate, float amplitude, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-amplitude, amplitude);
    std::vector<float> samples(static_cast<std::size_t>(seconds * sampleRate));
    for (float& sample : samples) {
        sample = distribution(generator);
    }
    return samples;
}

void writeWav(const std::filesystem::path& path, const Channels& channels, double sampleRate, WavEncoding encoding) {
    const bool isFloat = encoding == WavEncoding::float32;
    const std::vector<std::vector<std::byte>> data = layOut(
        channels, isFloat ? AVAudioCommonFormat::pcmFormatFloat32 : AVAudioCommonFormat::pcmFormatInt16, true);
    const std::uint64_t sampleBytes = isFloat ? 4 : 2;
    const std::uint64_t blockAlign = sampleBytes * channels.size();
    const auto rate = static_cast<std::uint32_t>(sampleRate);
    const std::uint64_t dataBytes = data.front().size();
    std::string bytes = "RIFF";
    appendLittleEndian(bytes, 36 + dataBytes, 4);
    bytes += "WAVEfmt ";
    appendLittleEndian(bytes, 16, 4);
    appendLittleEndian(bytes, isFloat ? 3 : 1, 2);
    appendLittleEndian(bytes, channels.size(), 2);
    appendLittleEndian(bytes, rate, 4);
    appendLittleEndian(bytes, rate * blockAlign, 4);
    appendLittleEndian(bytes, blockAlign, 2);
    appendLittleEndian(bytes, sampleBytes * 8, 2);
    bytes += "data";
    appendLittleEndian(bytes, dataBytes, 4);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.write(reinterpret_cast<const char*>(data.front().data()), static_cast<std::streamsize>(dataBytes));
    if (!file) {
        throw std::runtime_error("could not write " + path.string());
    }
}

Channels quantizedToInt16(const Channels& channels) {
    Channels result = channels;
    for (auto& channel : result) {
        for (float& sample : channel) {
            sample = static_cast<float>(scaledSample<std::int16_t>(sample)) / 32768.0F;
        }
    }
    return result;
}

std::string fileExtension(AudioFileKind kind) {
    switch (kind) {
    case AudioFileKind::wavInt16:
    case AudioFileKind::wavFloat32: return ".wav";
    case AudioFileKind::flac: return ".flac";
    case AudioFileKind::mp3: return ".mp3";
    case AudioFileKind::oggOpus: return ".opus";
    case AudioFileKind::m4aAac: return ".m4a";
    }
    return ".bin";
}

std::string kindName(AudioFileKind kind) {
    switch (kind) {
    case AudioFileKind::wavInt16: return "wav16";
    case AudioFileKind::wavFloat32: return "wavFloat32";
    case AudioFileKind::flac: return "flac";
    case AudioFileKind::mp3: return "mp3";
    case AudioFileKind::oggOpus: return "oggOpus";
    case AudioFileKind::m4aAac: return "m4aAac";
    }
    return "unknown";
}

bool canWrite(AudioFileKind kind) {
    const std::vector<std::string> encoder = encoderArguments(kind);
    return encoder.empty() || ffmpegEncoders().contains(encoder.front());
}

std::string cannotWriteReason(AudioFileKind kind) {
    if (canWrite(kind)) {
        return {};
    }
    if (!ffmpegInstalled()) {
        return "the ffmpeg program is not installed, so no " + kindName(kind) + " file can be made";
    }
    return "ffmpeg has no " + encoderArguments(kind).front() + " encoder, so no " + kindName(kind) + " file can be made";
}

std::filesystem::path writeAudioFile(const std::filesystem::path& directory, const std::string& stem,
                                     AudioFileKind kind, const Channels& channels, double sampleRate) {
    const std::filesystem::path path = directory / (stem + fileExtension(kind));
    if (kind == AudioFileKind::wavInt16 || kind == AudioFileKind::wavFloat32) {
        writeWav(path, channels, sampleRate, kind == AudioFileKind::wavFloat32 ? WavEncoding::float32 : WavEncoding::int16);
        return path;
    }
    if (!canWrite(kind)) {
        throw std::runtime_error(cannotWriteReason(kind));
    }
    const std::filesystem::path source = directory / (stem + ".source.wav");
    writeWav(source, channels, sampleRate, WavEncoding::int16);
    std::vector<std::string> arguments = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                                          "-i", source.string(), "-map_metadata", "-1", "-fflags", "+bitexact",
                                          "-c:a"};
    const std::vector<std::string> encoder = encoderArguments(kind);
    arguments.insert(arguments.end(), encoder.begin(), encoder.end());
    arguments.push_back(path.string());
    const ProgramResult result = runProgram(arguments);
    std::filesystem::remove(source);
    if (result.exitStatus != 0) {
        throw std::runtime_error("ffmpeg could not make " + path.string() + " (status " +
                                 std::to_string(result.exitStatus) + "): " + result.output);
    }
    return path;
}

bool canSpeak() {
    static const bool available = runProgram({"espeak-ng", "--version"}).exitStatus == 0;
    return available;
}

void writeSpeechWav(const std::filesystem::path& path, const std::string& text) {
    const ProgramResult result = runProgram({"espeak-ng", "-w", path.string(), text});
    if (result.exitStatus != 0) {
        throw std::runtime_error("espeak-ng could not write " + path.string() + " (status " +
                                 std::to_string(result.exitStatus) + "): " + result.output);
    }
}

std::shared_ptr<AVAudioPCMBuffer> makePCMBuffer(const Channels& channels, double sampleRate, AVAudioCommonFormat format,
                                                bool interleaved) {
    const std::size_t frames = frameCountOf(channels);
    auto audioFormat = AVAudioFormat::make(format, sampleRate, static_cast<std::uint32_t>(channels.size()), interleaved);
    auto buffer = audioFormat ? AVAudioPCMBuffer::make(audioFormat, static_cast<AVAudioFrameCount>(frames)) : nullptr;
    if (!buffer) {
        throw std::invalid_argument("no buffer for this format and length");
    }
    const std::vector<std::vector<std::byte>> blocks = layOut(channels, format, interleaved);
    AudioBufferList& list = buffer->mutableAudioBufferList();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::memcpy(list.mBuffers[i].mData, blocks[i].data(), blocks[i].size());
    }
    buffer->setFrameLength(static_cast<AVAudioFrameCount>(frames));
    return buffer;
}

Channels channelsOf(const AVAudioPCMBuffer& buffer) {
    const std::uint32_t channelCount = buffer.format()->channelCount();
    const std::uint32_t stride = buffer.stride();
    Channels result(channelCount, std::vector<float>(buffer.frameLength()));
    for (std::uint32_t c = 0; c < channelCount; ++c) {
        const std::uint32_t block = stride == 1 ? c : 0;
        const std::uint32_t first = stride == 1 ? 0 : c;
        for (AVAudioFrameCount i = 0; i < buffer.frameLength(); ++i) {
            const std::size_t index = std::size_t{i} * stride + first;
            if (float* const* data = buffer.floatChannelData()) {
                result[c][i] = data[block][index];
            } else if (std::int16_t* const* samples = buffer.int16ChannelData()) {
                result[c][i] = static_cast<float>(samples[block][index]) / 32768.0F;
            } else {
                throw std::invalid_argument("channelsOf reads float32 and int16 buffers only");
            }
        }
    }
    return result;
}

std::shared_ptr<CMSampleBuffer> makeSampleBuffer(const Channels& channels, double sampleRate, AVAudioCommonFormat format,
                                                 bool interleaved) {
    auto audioFormat = AVAudioFormat::make(format, sampleRate, static_cast<std::uint32_t>(channels.size()), interleaved);
    if (!audioFormat) {
        throw std::invalid_argument("no format for this sample buffer");
    }
    return CMSampleBuffer::make(audioFormat->streamDescription(), layOut(channels, format, interleaved));
}

}  // namespace Tervane::Testing
