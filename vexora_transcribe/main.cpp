// vexora_transcribe: one recorded audio file in, one speaker-attributed transcript out.
//
//   vexora_transcribe --asr-models DIR --diarizer-models DIR --file AUDIO --output FILE
//
// The tool prints nothing on standard output. It exits 0 once the JSON document is written and
// 1 after one "vexora-transcribe: <message>" line on standard error.

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/ASR/AsrManager.hpp>
#include <Tervane/ASR/AsrModels.hpp>
#include <Tervane/Audio/AudioSampleSources.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerManager.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerModels.hpp>
#include <Tervane/Platform/AVAudioConverter.hpp>
#include <Tervane/Platform/AVAudioFile.hpp>
#include <Tervane/Platform/AVAudioFormat.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/ModelNames.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace Tervane;

// MARK: - Process-wide state

int argumentCount = 0;
char** argumentValues = nullptr;

// The four paths, set once at start-up before anything else happens.
std::filesystem::path asrDirectory;
std::filesystem::path diarizerDirectory;
std::filesystem::path audio;
std::filesystem::path destination;

// MARK: - Failing and arguments

/// Writes all of `bytes` to a file descriptor, retrying short writes and interruptions.
bool writeAll(int descriptor, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

/// Ends the run: "vexora-transcribe: " + message + line feed on standard error, status 1.
[[noreturn]] void fail(std::string_view message) {
    std::string line = "vexora-transcribe: ";
    line += message;
    line += '\n';
    writeAll(STDERR_FILENO, line);
    std::exit(1);
}

/// The argument after the first one equal to `flag`, as a file path.
std::filesystem::path argument(std::string_view flag) {
    for (int index = 0; index < argumentCount; ++index) {
        if (argumentValues[index] != flag) {
            continue;
        }
        if (index + 1 >= argumentCount) {
            break;
        }
        return std::filesystem::absolute(argumentValues[index + 1]);
    }
    fail("missing " + std::string(flag));
}

// MARK: - Audio loading

constexpr double targetSampleRate = 16000;
constexpr AVAudioFrameCount inputBlockFrames = 65536;
constexpr AVAudioFrameCount outputHeadroomFrames = 1024;

/// The whole file as 16 kHz mono 32-bit float samples, converted block by block.
std::vector<float> loadSamples(const std::filesystem::path& location) {
    AVAudioFile file(location);  // an open failure is the caller's to report
    const std::shared_ptr<AVAudioFormat> sourceFormat = file.processingFormat();

    const std::shared_ptr<AVAudioFormat> targetFormat =
        AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, targetSampleRate, 1, false);
    if (!targetFormat) {
        fail("unsupported audio format");
    }
    const std::shared_ptr<AVAudioConverter> converter = AVAudioConverter::make(sourceFormat, targetFormat);
    if (!converter) {
        fail("unsupported audio format");
    }
    const std::shared_ptr<AVAudioPCMBuffer> inputBlock = AVAudioPCMBuffer::make(sourceFormat, inputBlockFrames);
    if (!inputBlock) {
        fail("unsupported audio format");
    }

    // Room for one input block after resampling, plus headroom for the resampler's delay.
    const double ratio = targetFormat->sampleRate() / sourceFormat->sampleRate();
    const double product = ratio * static_cast<double>(inputBlock->frameCapacity());
    if (!(product < static_cast<double>(std::numeric_limits<AVAudioFrameCount>::max() - outputHeadroomFrames))) {
        fail("unsupported audio format");
    }
    const AVAudioFrameCount outputCapacity = static_cast<AVAudioFrameCount>(product) + outputHeadroomFrames;

    std::vector<float> samples;
    bool inputEnded = false;
    const AVAudioConverterInputBlock supply = [&](AVAudioPacketCount, AVAudioConverterInputStatus& status)
        -> std::shared_ptr<AVAudioPCMBuffer> {
        if (inputEnded) {
            status = AVAudioConverterInputStatus::endOfStream;
            return nullptr;
        }
        try {
            file.read(*inputBlock);
        } catch (const std::exception&) {
            // A read failure counts as the end of the file: what was converted so far stands.
            inputBlock->setFrameLength(0);
        }
        if (inputBlock->frameLength() == 0) {
            inputEnded = true;
            status = AVAudioConverterInputStatus::endOfStream;
            return nullptr;
        }
        status = AVAudioConverterInputStatus::haveData;
        return inputBlock;
    };

    std::shared_ptr<AVAudioPCMBuffer> outputBlock = AVAudioPCMBuffer::make(targetFormat, outputCapacity);
    if (!outputBlock) {
        fail("could not allocate audio buffer");
    }
    while (true) {
        std::shared_ptr<const Error> conversionError;
        const AVAudioConverterOutputStatus status = converter->convert(*outputBlock, conversionError, supply);
        if (conversionError) {
            fail(conversionError->description());
        }
        if (float* const* channels = outputBlock->floatChannelData()) {
            samples.insert(samples.end(), channels[0], channels[0] + outputBlock->frameLength());
        }
        if (status != AVAudioConverterOutputStatus::haveData) {
            return samples;
        }
        outputBlock = AVAudioPCMBuffer::make(targetFormat, outputCapacity);
        if (!outputBlock) {
            fail("could not allocate audio buffer");
        }
    }
}

// MARK: - Diarization models

/// psi from the PLDA parameter file. A read or JSON failure is the caller's to report; a file
/// that is JSON but not PLDA parameters ends the run.
std::vector<double> pldaPsi(const std::filesystem::path& file) {
    try {
        return OfflineDiarizerModels::readPLDAPsi(file);
    } catch (const OfflineDiarizationError&) {
        fail("invalid PLDA parameters");
    }
}

/// The four diarization bundles and plda-parameters.json, all from `directory` itself.
OfflineDiarizerModels loadDiarizerModels(const std::filesystem::path& directory) {
    const auto start = std::chrono::steady_clock::now();
    const auto load = [&directory](const std::string& bundle, MLComputeUnits computeUnits) {
        MLModelConfiguration configuration;
        configuration.computeUnits = computeUnits;
        configuration.allowLowPrecisionAccumulationOnGPU = true;
        return MLModel::load(directory / bundle, configuration);
    };
    namespace Names = ModelNames::OfflineDiarizer;
    std::shared_ptr<MLModel> segmentation = load(Names::segmentationFile, MLComputeUnits::all);
    std::shared_ptr<MLModel> fbank = load(Names::fbankFile, MLComputeUnits::cpuOnly);
    std::shared_ptr<MLModel> embedding = load(Names::embeddingFile, MLComputeUnits::all);
    std::shared_ptr<MLModel> pldaRho = load(Names::pldaRhoFile, MLComputeUnits::all);
    std::vector<double> psi = pldaPsi(directory / "plda-parameters.json");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return OfflineDiarizerModels(std::move(segmentation), std::move(fbank), std::move(embedding), std::move(pldaRho),
                                 std::move(psi), seconds);
}

// MARK: - The output document

struct Token {
    std::string text;
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
};

struct Turn {
    std::string id;
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
};

struct Output {
    std::vector<Token> tokens;
    std::vector<Turn> speakers;
    std::map<std::string, std::vector<float>> embeddings;
};

struct Diarization {
    std::vector<Turn> turns;
    std::map<std::string, std::vector<float>> embeddings;
};

/// Seconds to whole milliseconds, halves away from zero, never negative.
std::int64_t milliseconds(double seconds) {
    const double rounded = std::round(seconds * 1000.0);
    return rounded < 0 ? 0 : static_cast<std::int64_t>(rounded);
}

/// The document's tokens: one per timing, in recognition order, text unchanged.
std::vector<Token> tokens(const ASRResult& result) {
    std::vector<Token> built;
    if (!result.tokenTimings) {
        return built;
    }
    built.reserve(result.tokenTimings->size());
    for (const TokenTiming& timing : *result.tokenTimings) {
        built.push_back({timing.token, milliseconds(timing.startTime), milliseconds(timing.endTime)});
    }
    return built;
}

/// The speakers whose vectors hold only finite numbers: JSON has no text for the others.
std::map<std::string, std::vector<float>> finiteEmbeddings(const std::map<std::string, std::vector<float>>& database) {
    std::map<std::string, std::vector<float>> kept;
    for (const auto& [speaker, vector] : database) {
        if (std::all_of(vector.begin(), vector.end(), [](float value) { return std::isfinite(value); })) {
            kept.emplace(speaker, vector);
        }
    }
    return kept;
}

/// The diarizer's settings for the tool: the community presets with a stricter clustering
/// threshold, and no export.
OfflineDiarizerConfig diarizerConfig() {
    OfflineDiarizerConfig::Clustering clustering = OfflineDiarizerConfig::Clustering::community();
    clustering.threshold = 0.7045655;
    return OfflineDiarizerConfig(OfflineDiarizerConfig::Segmentation::community(),
                                 OfflineDiarizerConfig::Embedding::community(), clustering,
                                 OfflineDiarizerConfig::VBx::community(),
                                 OfflineDiarizerConfig::PostProcessing::community(), OfflineDiarizerConfig::Export::none());
}

/// Who spoke when. Never fails: a failure is reported on standard error and gives no turns.
/// Takes the samples over, so an hour of audio is not held twice.
Diarization diarize(std::vector<float> samples, const std::filesystem::path& models) {
    try {
        OfflineDiarizerManager manager(diarizerConfig());
        manager.initialize(loadDiarizerModels(models));
        const DiarizationResult result = manager.process(ArrayAudioSampleSource(std::move(samples)), 0);
        Diarization diarization;
        diarization.turns.reserve(result.segments.size());
        for (const TimedSpeakerSegment& segment : result.segments) {
            diarization.turns.push_back({segment.speakerId, milliseconds(static_cast<double>(segment.startTimeSeconds)),
                                         milliseconds(static_cast<double>(segment.endTimeSeconds))});
        }
        if (result.speakerDatabase) {
            diarization.embeddings = finiteEmbeddings(*result.speakerDatabase);
        }
        return diarization;
    } catch (const std::exception& failure) {
        std::string line = "vexora-transcribe: speaker diarization failed: ";
        line += failure.what();
        line += '\n';
        writeAll(STDERR_FILENO, line);
        return {};
    }
}

void appendString(std::string& json, const std::string& text) {
    json += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

template <class Number>
void appendNumber(std::string& json, Number value) {
    if constexpr (std::is_floating_point_v<Number>) {
        if (value == 0 && std::signbit(value)) {
            json += "-0.0";  // "-0" would read back as the integer 0 and lose the sign
            return;
        }
    }
    char digits[64];
    // Shortest form that reads back as the same value: each float survives a round trip.
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    json.append(digits, end);
}

template <class Record>
void appendTimedRecords(std::string& json, const std::vector<Record>& records, const std::string Record::*label,
                        const char* labelKey) {
    json += '[';
    for (std::size_t index = 0; index < records.size(); ++index) {
        const Record& record = records[index];
        if (index > 0) {
            json += ',';
        }
        json += "{\"";
        json += labelKey;
        json += "\":";
        appendString(json, record.*label);
        json += ",\"startMs\":";
        appendNumber(json, record.startMs);
        json += ",\"endMs\":";
        appendNumber(json, record.endMs);
        json += '}';
    }
    json += ']';
}

/// The document as compact JSON, members in the order "tokens", "speakers", "embeddings".
std::string encode(const Output& output) {
    std::string json = "{\"tokens\":";
    appendTimedRecords(json, output.tokens, &Token::text, "text");
    json += ",\"speakers\":";
    appendTimedRecords(json, output.speakers, &Turn::id, "id");
    json += ",\"embeddings\":{";
    bool first = true;
    for (const auto& [speaker, vector] : output.embeddings) {
        if (!first) {
            json += ',';
        }
        first = false;
        appendString(json, speaker);
        json += ":[";
        for (std::size_t index = 0; index < vector.size(); ++index) {
            if (index > 0) {
                json += ',';
            }
            appendNumber(json, vector[index]);
        }
        json += ']';
    }
    json += "}}";
    return json;
}

/// One plain write that replaces whatever was at `location`.
void write(const std::string& bytes, const std::filesystem::path& location) {
    const int descriptor = ::open(location.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        throw FileError("write", location, errno);
    }
    const bool written = writeAll(descriptor, bytes);
    const int writeErrno = errno;
    if (::close(descriptor) != 0 && written) {
        throw FileError("write", location, errno);
    }
    if (!written) {
        throw FileError("write", location, writeErrno);
    }
}

[[noreturn]] void writeAndExit(const Output& output) {
    try {
        write(encode(output), destination);
    } catch (const std::exception& failure) {
        fail(failure.what());
    }
    std::exit(0);
}

// MARK: - The run

[[noreturn, maybe_unused]] void run() {  // unused only where the tests compile this file
    asrDirectory = argument("--asr-models");
    diarizerDirectory = argument("--diarizer-models");
    audio = argument("--file");
    destination = argument("--output");

    std::vector<float> samples;
    try {
        samples = loadSamples(audio);
    } catch (const std::exception& failure) {
        fail(failure.what());
    }

    Output output;
    if (samples.size() < 16000) {
        writeAndExit(output);
    }

    AsrManager manager(ASRConfig::defaultConfig());
    ASRResult result;
    try {
        const AsrModels models = loadAsrModels(asrDirectory);
        manager.initialize(models);
        result = manager.transcribe(std::span<const float>(samples), AudioSource::system);
    } catch (const std::exception& failure) {
        fail(failure.what());
    }
    output.tokens = tokens(result);

    // The samples are not needed after this.
    Diarization diarization = diarize(std::move(samples), diarizerDirectory);
    output.speakers = std::move(diarization.turns);
    output.embeddings = std::move(diarization.embeddings);
    writeAndExit(output);
}

}  // namespace

#ifndef VEXORA_TRANSCRIBE_NO_MAIN
int main(int argc, char** argv) {
    argumentCount = argc;
    argumentValues = argv;
    run();
}
#endif
