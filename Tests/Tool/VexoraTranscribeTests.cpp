// The tool is one source file; its functions are tested in-process by compiling it here
// without its entry point, and its whole runs by starting the built program.
#define VEXORA_TRANSCRIBE_NO_MAIN
#include "vexora_transcribe/main.cpp"

#include "Support/AsrFixtures.hpp"
#include "Support/AudioFixtures.hpp"
#include "Support/DiarizerFixtures.hpp"
#include "Support/ProcessRunner.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Platform/AVAudioFileError.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

namespace {

namespace fs = std::filesystem;
using Tervane::Testing::AudioFileKind;
using Tervane::Testing::Channels;
using Tervane::Testing::ProcessResult;
using Tervane::Testing::TemporaryDirectory;

const std::string emptyDocument = R"({"tokens":[],"speakers":[],"embeddings":{}})";

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

ProcessResult runTool(const std::vector<std::string>& arguments) {
    return Tervane::Testing::runProcess(VEXORA_TRANSCRIBE_PATH, arguments);
}

/// A 16 kHz mono WAV of `count` samples of a quiet tone.
fs::path writeSamples(const TemporaryDirectory& directory, const std::string& stem, std::size_t count) {
    std::vector<float> samples = Tervane::Testing::tone(220, static_cast<double>(count) / 16000.0, 16000, 0.1F);
    samples.resize(count);
    return Tervane::Testing::writeAudioFile(directory.path(), stem, AudioFileKind::wavFloat32, {samples}, 16000);
}

/// The line the tool writes for an audio file the platform cannot open.
std::string openFailureLine(const fs::path& path) {
    try {
        Tervane::AVAudioFile file(path);
    } catch (const Tervane::Error& error) {
        return "vexora-transcribe: " + error.description() + "\n";
    }
    ADD_FAILURE() << path << " opened";
    return {};
}

// MARK: - Whole runs

TEST(VexoraTranscribeRun, ArgumentsAreCheckedInOrderBeforeAnythingElse) {
    TemporaryDirectory directory;
    const fs::path output = directory / "out.json";
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{}, "missing --asr-models"},
        {{"--file", "a.wav", "--output", "o.json"}, "missing --asr-models"},
        {{"--asr-models", "asr", "--file", "a.wav", "--output", "o.json"}, "missing --diarizer-models"},
        {{"--asr-models", "asr", "--diarizer-models", "d", "--output", output.string()}, "missing --file"},
        // The last flag has no value; the audio file (which does not exist) is never opened.
        {{"--asr-models", "asr", "--diarizer-models", "d", "--file", "/missing.wav", "--output"}, "missing --output"},
    };
    for (const Case& c : cases) {
        const ProcessResult result = runTool(c.arguments);
        EXPECT_EQ(result.exitStatus, 1) << c.message;
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(result.standardError, "vexora-transcribe: " + c.message + "\n");
    }
    EXPECT_FALSE(fs::exists(output));
}

TEST(VexoraTranscribeRun, ShortAudioWritesTheEmptyDocumentWithoutModels) {
    TemporaryDirectory directory;
    const fs::path recording = writeSamples(directory, "short", 15999);
    const fs::path output = directory / "out.json";
    writeFile(output, "an older document that must be replaced, being longer");

    // Flags in another order, among unrelated arguments; model directories that do not exist.
    const ProcessResult result = runTool({"--verbose", "--output", output.string(), "--file", recording.string(),
                                          "extra", "--diarizer-models", "/no/such/dir", "--asr-models", "/nope"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(readFile(output), emptyDocument);
}

TEST(VexoraTranscribeRun, TheFirstOccurrenceOfAFlagCountsAndRelativePathsAreTakenFromHere) {
    TemporaryDirectory directory;
    writeSamples(directory, "short", 8000);
    const ProcessResult result = Tervane::Testing::runProcess(
        VEXORA_TRANSCRIBE_PATH,
        {"--asr-models", "a", "--diarizer-models", "d", "--file", "short.wav", "--output", "first.json",
         "--output", "/no/such/dir/second.json"},
        directory.path());
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(directory / "first.json"), emptyDocument);
}

TEST(VexoraTranscribeRun, OneSecondOfAudioGoesOnToRecognition) {
    TemporaryDirectory directory;
    const fs::path recording = writeSamples(directory, "second", 16000);
    const fs::path output = directory / "out.json";
    const fs::path models = directory / "missing";
    const ProcessResult result = runTool({"--asr-models", models.string(), "--diarizer-models", "d", "--file",
                                          recording.string(), "--output", output.string()});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardOutput, "");
    // The vocabulary is the first thing the recognition loader reads.
    EXPECT_EQ(result.standardError, "vexora-transcribe: could not read \"" + (models / "parakeet_vocab.json").string() +
                                        "\": No such file or directory\n");
    EXPECT_FALSE(fs::exists(output));
}

/// The scripted recognition models, written once for the whole program.
const fs::path& fixtureModelDirectory() {
    static TemporaryDirectory directory("tervane-tool-models");
    static const bool written = (Tervane::Testing::writeAsrFixtureModels(directory.path()), true);
    (void)written;
    return directory.path();
}

/// The line a run writes when its diarization models are missing from `directory`.
std::string diarizationFailureLine(const fs::path& directory) {
    try {
        (void)loadDiarizerModels(directory);
    } catch (const std::exception& failure) {
        return std::string("vexora-transcribe: speaker diarization failed: ") + failure.what() + "\n";
    }
    ADD_FAILURE() << directory << " loaded";
    return {};
}

ProcessResult transcribe(const TemporaryDirectory& directory, const std::vector<float>& samples,
                         const fs::path& output) {
    const fs::path recording = Tervane::Testing::writeAudioFile(directory.path(), "scripted",
                                                                AudioFileKind::wavFloat32, {samples}, 16000);
    return runTool({"--asr-models", fixtureModelDirectory().string(), "--diarizer-models",
                    (directory / "no-diarizer").string(), "--file", recording.string(), "--output", output.string()});
}

TEST(VexoraTranscribeRun, OneSecondIsRecognisedIntoTimedTokens) {
    TemporaryDirectory directory;
    const fs::path output = directory / "out.json";
    const ProcessResult result = transcribe(
        directory, Tervane::Testing::scriptedAudio(16000, {{2, 1}, {3, 2}, {7, 3}}), output);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    // Without diarization models the document still comes, with its tokens and no speakers.
    EXPECT_EQ(result.standardError, diarizationFailureLine(directory / "no-diarizer"));
    EXPECT_EQ(readFile(output),
              R"({"tokens":[{"text":" hel","startMs":160,"endMs":240},{"text":"lo","startMs":240,"endMs":560},)"
              R"({"text":" world","startMs":560,"endMs":640}],"speakers":[],"embeddings":{}})");
}

TEST(VexoraTranscribeRun, FortySecondsAcrossChunkSeamsLoseAndDoubleNothing) {
    // A token every seven frames, each with its own id, over 40 s: three chunks, two seams
    // (frames 162 to 187 and 324 to 349 lie in two chunks each). The last frames stay blank.
    std::vector<Tervane::Testing::ScriptedToken> script;
    for (int frame = 3; frame < 495; frame += 7) {
        script.push_back({frame, 10 + frame});
    }
    TemporaryDirectory directory;
    const fs::path output = directory / "out.json";
    const ProcessResult result = transcribe(directory, Tervane::Testing::scriptedAudio(640000, script), output);
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(result.standardError, diarizationFailureLine(directory / "no-diarizer"));

    const nlohmann::json document = nlohmann::json::parse(readFile(output));
    const nlohmann::json& tokens = document["tokens"];
    ASSERT_EQ(tokens.size(), script.size());
    for (std::size_t i = 0; i < script.size(); ++i) {
        const std::int64_t start = script[i].frame * 80;
        const std::int64_t end = i + 1 < script.size() ? script[i + 1].frame * 80 : start + 80;
        EXPECT_EQ(tokens[i]["text"], " w" + std::to_string(10 + script[i].frame)) << i;
        EXPECT_EQ(tokens[i]["startMs"], start) << i;
        EXPECT_EQ(tokens[i]["endMs"], end) << i;
    }
    EXPECT_EQ(document["speakers"], nlohmann::json::array());
    EXPECT_EQ(document["embeddings"], nlohmann::json::object());
}

/// The scripted diarization models, written once for the whole program.
const fs::path& diarizerModelDirectory() {
    static TemporaryDirectory directory("tervane-tool-diarizer-models");
    static const bool written = (Tervane::Testing::writeDiarizerFixtureModels(directory.path()), true);
    (void)written;
    return directory.path();
}

TEST(VexoraTranscribeRun, TwoSpeakersBecomeTimedTurnsWithOneVectorEach) {
    TemporaryDirectory directory;
    const fs::path recording = Tervane::Testing::writeAudioFile(
        directory.path(), "turns", AudioFileKind::wavFloat32, {Tervane::Testing::twoSpeakerRecording(20.0, 5.0)}, 16000);
    const fs::path output = directory / "out.json";
    const ProcessResult result = runTool({"--asr-models", fixtureModelDirectory().string(), "--diarizer-models",
                                          diarizerModelDirectory().string(), "--file", recording.string(), "--output",
                                          output.string()});
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    // Only the segmentation and embedding stages' two timing lines.
    std::size_t lines = 0;
    for (std::size_t at = result.standardError.find('\n'); at != std::string::npos;
         at = result.standardError.find('\n', at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 2U) << result.standardError;
    EXPECT_TRUE(result.standardError.starts_with("[Profiling] ")) << result.standardError;

    const nlohmann::json document = nlohmann::json::parse(readFile(output));
    EXPECT_FALSE(document["tokens"].empty());  // each burst of tone is " [speech]"
    const nlohmann::json& speakers = document["speakers"];
    ASSERT_EQ(speakers.size(), 4U) << speakers;
    constexpr std::int64_t frameMs = 17;  // one segmentation frame, 10 s / 589
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(speakers[i]["id"], i % 2 == 0 ? "S1" : "S2") << i;
        EXPECT_NEAR(speakers[i]["startMs"].get<std::int64_t>(), static_cast<std::int64_t>(i) * 5000, frameMs) << i;
        EXPECT_NEAR(speakers[i]["endMs"].get<std::int64_t>(), static_cast<std::int64_t>(i + 1) * 5000, frameMs) << i;
    }
    const nlohmann::json& embeddings = document["embeddings"];
    ASSERT_EQ(embeddings.size(), 2U) << embeddings.dump().substr(0, 200);
    for (const char* speaker : {"S1", "S2"}) {
        ASSERT_TRUE(embeddings.contains(speaker)) << speaker;
        EXPECT_EQ(embeddings[speaker].size(), 256U);
        for (const auto& value : embeddings[speaker]) {
            ASSERT_TRUE(value.is_number()) << speaker;
        }
    }
}

TEST(VexoraTranscribeRun, PldaParametersOfTheWrongStructureEndTheRunWithoutADocument) {
    TemporaryDirectory directory;
    const fs::path models = directory / "diarizer";
    fs::create_directories(models);
    for (const char* bundle : {"Segmentation.mlmodelc", "FBank.mlmodelc", "Embedding.mlmodelc", "PldaRho.mlmodelc"}) {
        fs::create_directory_symlink(diarizerModelDirectory() / bundle, models / bundle);
    }
    writeFile(models / "plda-parameters.json", R"({"tensors": {"phi": {}}})");
    const fs::path recording = writeSamples(directory, "tone", 32000);
    const fs::path output = directory / "out.json";
    const ProcessResult result = runTool({"--asr-models", fixtureModelDirectory().string(), "--diarizer-models",
                                          models.string(), "--file", recording.string(), "--output", output.string()});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardError, "vexora-transcribe: invalid PLDA parameters\n");
    EXPECT_FALSE(fs::exists(output));
}

TEST(VexoraTranscribeRun, AudioThatCannotBeOpenedEndsWithThePlatformsDescription) {
    TemporaryDirectory directory;
    const fs::path text = directory / "notes.txt";
    writeFile(text, "These are meeting notes, not a recording.\n");
    const fs::path output = directory / "out.json";
    writeFile(output, "kept");

    for (const fs::path& recording : {text, directory / "absent.wav"}) {
        const ProcessResult result = runTool({"--asr-models", "a", "--diarizer-models", "d", "--file",
                                              recording.string(), "--output", output.string()});
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(result.standardError, openFailureLine(recording));
        EXPECT_NE(result.standardError.find(recording.filename().string()), std::string::npos);
        EXPECT_EQ(readFile(output), "kept");  // a fatal failure leaves the destination alone
    }
}

TEST(VexoraTranscribeRun, AnUnwritableDestinationFailsWithTheWriteFailure) {
    TemporaryDirectory directory;
    const fs::path recording = writeSamples(directory, "short", 4000);
    const fs::path output = directory / "no-such-folder" / "out.json";
    const ProcessResult result = runTool({"--asr-models", "a", "--diarizer-models", "d", "--file",
                                          recording.string(), "--output", output.string()});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError,
              "vexora-transcribe: could not write \"" + output.string() + "\": No such file or directory\n");
}

// OpenMP reads its wait policy once, as the program starts; the program makes sure it starts
// passive (OpenMP shows what it read when OMP_DISPLAY_ENV is set) and leaves a chosen one alone.
TEST(VexoraTranscribeRun, OpenMPStartsWithPassiveWaitingUnlessTheEnvironmentChose) {
    using Tervane::Testing::environmentWith;
    const ProcessResult unset = Tervane::Testing::runProcess(
        VEXORA_TRANSCRIBE_PATH, {}, {}, environmentWith({"OMP_DISPLAY_ENV=verbose"}, {"OMP_WAIT_POLICY"}));
    EXPECT_NE(unset.standardError.find("OMP_WAIT_POLICY = 'PASSIVE'"), std::string::npos) << unset.standardError;
    EXPECT_NE(unset.standardError.find("GOMP_SPINCOUNT = '0'"), std::string::npos) << unset.standardError;
    EXPECT_TRUE(unset.standardError.ends_with("vexora-transcribe: missing --asr-models\n"));
    EXPECT_EQ(unset.exitStatus, 1);

    const ProcessResult active = Tervane::Testing::runProcess(
        VEXORA_TRANSCRIBE_PATH, {}, {}, environmentWith({"OMP_DISPLAY_ENV=verbose", "OMP_WAIT_POLICY=ACTIVE"}));
    EXPECT_NE(active.standardError.find("OMP_WAIT_POLICY = 'ACTIVE'"), std::string::npos) << active.standardError;
}

// MARK: - Audio loading

TEST(VexoraTranscribeLoading, FilesOfEveryContainerBecomeSixteenKilohertzMono) {
    struct Case {
        AudioFileKind kind;
        double rate;
        std::size_t channels;
    };
    const Case cases[] = {
        {AudioFileKind::wavInt16, 8000, 1},   {AudioFileKind::wavInt16, 16000, 2},
        {AudioFileKind::wavFloat32, 44100, 1}, {AudioFileKind::wavFloat32, 48000, 2},
        {AudioFileKind::flac, 44100, 2},      {AudioFileKind::mp3, 44100, 1},
        {AudioFileKind::oggOpus, 48000, 2},   {AudioFileKind::m4aAac, 48000, 1},
    };
    constexpr double seconds = 2.5;
    TemporaryDirectory directory;
    for (const Case& c : cases) {
        const std::string name = Tervane::Testing::kindName(c.kind) + "-" + std::to_string(int(c.rate)) + "-" +
                                 std::to_string(c.channels);
        SCOPED_TRACE(name);
        if (!Tervane::Testing::canWrite(c.kind)) {
            ADD_FAILURE() << Tervane::Testing::cannotWriteReason(c.kind);
            continue;
        }
        const Channels source(c.channels, Tervane::Testing::tone(440, seconds, c.rate, 0.3F));
        const fs::path path = Tervane::Testing::writeAudioFile(directory.path(), name, c.kind, source, c.rate);
        const std::vector<float> samples = loadSamples(path);
        // Lossy codecs pad or trim by up to a packet; nothing may go missing beyond that, and
        // no block's worth may be lost or repeated.
        const double expected = seconds * 16000;
        EXPECT_NEAR(static_cast<double>(samples.size()), expected, 1024) << samples.size();
        double energy = 0;
        for (const float sample : samples) {
            energy += double(sample) * sample;
        }
        // A 0.3 tone has a mean square of 0.045: equal channels mix to the same tone.
        EXPECT_NEAR(energy / static_cast<double>(samples.size()), 0.045, 0.006);
    }
}

TEST(VexoraTranscribeLoading, StereoIsMixedToTheAverageOfItsChannels) {
    TemporaryDirectory directory;
    const std::vector<float> left = Tervane::Testing::tone(300, 1.0, 16000, 0.4F);
    const std::vector<float> right = Tervane::Testing::tone(500, 1.0, 16000, 0.2F);
    const fs::path path =
        Tervane::Testing::writeAudioFile(directory.path(), "pair", AudioFileKind::wavFloat32, {left, right}, 16000);
    const std::vector<float> samples = loadSamples(path);
    ASSERT_EQ(samples.size(), left.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        ASSERT_NEAR(samples[i], (left[i] + right[i]) / 2, 1e-6F) << i;
    }
}

TEST(VexoraTranscribeLoading, SixteenKilohertzMonoIsReturnedAsItIs) {
    TemporaryDirectory directory;
    const std::vector<float> source = Tervane::Testing::noise(5.0, 16000, 0.8F);
    const fs::path path =
        Tervane::Testing::writeAudioFile(directory.path(), "noise", AudioFileKind::wavFloat32, {source}, 16000);
    EXPECT_EQ(loadSamples(path), source);
}

TEST(VexoraTranscribeLoading, AFileWithoutFramesGivesNoSamples) {
    TemporaryDirectory directory;
    const fs::path path =
        Tervane::Testing::writeAudioFile(directory.path(), "empty", AudioFileKind::wavInt16, Channels{{}}, 44100);
    EXPECT_TRUE(loadSamples(path).empty());
}

TEST(VexoraTranscribeLoading, ATextFileFailsAtOpenWithThePlatformsError) {
    TemporaryDirectory directory;
    const fs::path text = directory / "notes.txt";
    writeFile(text, "not audio\n");
    EXPECT_THROW((void)loadSamples(text), Tervane::AVAudioFileError);
}

// MARK: - The document

TEST(VexoraTranscribeDocument, MillisecondsRoundHalfAwayFromZeroAndNeverGoNegative) {
    const std::pair<double, std::int64_t> cases[] = {
        {1.2345, 1235}, {1.5, 1500}, {0.0004, 0}, {0.0005, 1}, {-0.0004, 0}, {-2.5, 0}, {3600.0, 3600000},
    };
    for (const auto& [seconds, expected] : cases) {
        EXPECT_EQ(milliseconds(seconds), expected) << seconds;
    }
}

TEST(VexoraTranscribeDocument, EncodesCompactlyInMemberOrder) {
    EXPECT_EQ(encode(Output{}), emptyDocument);

    Output output;
    output.tokens = {{" hel", 1235, 1500}, {"lo \"quoted\"\n", 1500, 1600}};
    output.speakers = {{"S1", 0, 1200}, {"S1", 1300, 2000}, {"S2", 2000, 2500}};
    output.embeddings = {{"S1", {0.5f, -1.0f}}, {"S2", {}}};
    EXPECT_EQ(encode(output),
              R"({"tokens":[{"text":" hel","startMs":1235,"endMs":1500},{"text":"lo \"quoted\"\n","startMs":1500,"endMs":1600}],)"
              R"("speakers":[{"id":"S1","startMs":0,"endMs":1200},{"id":"S1","startMs":1300,"endMs":2000},{"id":"S2","startMs":2000,"endMs":2500}],)"
              R"("embeddings":{"S1":[0.5,-1],"S2":[]}})");
}

TEST(VexoraTranscribeDocument, OnlySpeakersWithFiniteVectorsKeepTheirEmbedding) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const std::map<std::string, std::vector<float>> database = {
        {"S1", {0.5F, -1.0F}}, {"S2", {0.5F, nan}}, {"S3", {}}, {"S4", {-infinity}}};
    EXPECT_EQ(finiteEmbeddings(database), (std::map<std::string, std::vector<float>>{{"S1", {0.5F, -1.0F}}, {"S3", {}}}));
}

TEST(VexoraTranscribeDocument, TheDiarizerRunsWithTheToolsClusteringThreshold) {
    const OfflineDiarizerConfig config = diarizerConfig();
    EXPECT_EQ(config.clustering.threshold, 0.7045655);
    EXPECT_EQ(config.clustering.warmStartFa, OfflineDiarizerConfig::Clustering::community().warmStartFa);
    EXPECT_EQ(config.clustering.warmStartFb, OfflineDiarizerConfig::Clustering::community().warmStartFb);
    EXPECT_FALSE(config.exportConfig.embeddingsPath);
}

TEST(VexoraTranscribeDocument, EveryFloatReadsBackUnchanged) {
    std::mt19937 generator(7);
    std::uniform_int_distribution<std::uint32_t> bits;
    Output output;
    std::vector<float>& vector = output.embeddings["S1"];
    vector = {std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
              std::numeric_limits<float>::max(), -0.0f, 0.1f, 1e-5f, 16777217.0f};
    while (vector.size() < 5000) {
        const float value = std::bit_cast<float>(bits(generator));
        if (std::isfinite(value)) {
            vector.push_back(value);
        }
    }
    const nlohmann::json parsed = nlohmann::json::parse(encode(output));
    const auto& numbers = parsed["embeddings"]["S1"];
    ASSERT_EQ(numbers.size(), vector.size());
    for (std::size_t i = 0; i < vector.size(); ++i) {
        const float readBack = static_cast<float>(numbers[i].get<double>());
        ASSERT_EQ(std::bit_cast<std::uint32_t>(readBack), std::bit_cast<std::uint32_t>(vector[i]))
            << i << ": " << vector[i] << " came back as " << readBack;
    }
}

}  // namespace
