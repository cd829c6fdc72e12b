#include "Support/AudioFixtures.hpp"
#include "Support/DiarizerFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Audio/StreamingAudioSourceFactory.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerModels.hpp>
#include <Tervane/Diarizer/Offline/OfflineEmbeddingExtractor.hpp>
#include <Tervane/Diarizer/Offline/OfflineSegmentationProcessor.hpp>

#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;

struct StageResults {
    SegmentationOutput segmentation;
    std::vector<TimedEmbedding> embeddings;
    std::string standardError;
};

StageResults runStages(const StreamingAudioSampleSource& source, const OfflineDiarizerModels& models) {
    const OfflineDiarizerConfig config;
    StageResults results;
    ::testing::internal::CaptureStderr();
    results.segmentation = OfflineSegmentationProcessor().process(source, *models.segmentationModel(), config);
    const OfflineEmbeddingExtractor extractor(models.fbankModel(), models.embeddingModel(),
                                              PLDATransform(models.pldaRhoModel(), models.pldaPsi()), config);
    results.embeddings = extractor.extractEmbeddings(source, results.segmentation);
    results.standardError = ::testing::internal::GetCapturedStderr();
    return results;
}

TEST(SampleSourceParity, DiskBackedAndInMemorySourcesGiveTheSameSegmentsAndEmbeddings) {
    const TemporaryDirectory directory("tervane-parity");
    writeDiarizerFixtureModels(directory.path());
    const OfflineDiarizerModels models(MLModel::load(directory / "Segmentation.mlmodelc"),
                                       MLModel::load(directory / "FBank.mlmodelc"),
                                       MLModel::load(directory / "Embedding.mlmodelc"),
                                       MLModel::load(directory / "PldaRho.mlmodelc"), std::vector<double>(128, 1.0), 0);

    // 60 s of two speakers in turns, stored as 32-bit float WAV so both sources hold the same samples.
    const std::vector<float> samples = twoSpeakerRecording(60, 7);
    const auto file = writeAudioFile(directory.path(), "talk", AudioFileKind::wavFloat32, {samples}, 16000);
    const auto [disk, loadDuration] = StreamingAudioSourceFactory().makeDiskBackedSource(file, 16000);
    ASSERT_EQ(disk.sampleCount(), static_cast<std::int64_t>(samples.size()));

    const StageResults fromDisk = runStages(disk, models);
    const StageResults fromMemory = runStages(ArrayAudioSampleSource(samples), models);
    disk.cleanup();

    EXPECT_EQ(fromDisk.segmentation.numChunks, 30);
    EXPECT_EQ(fromDisk.segmentation.speakerWeights, fromMemory.segmentation.speakerWeights);
    EXPECT_EQ(fromDisk.segmentation.logProbs, fromMemory.segmentation.logProbs);
    ASSERT_EQ(fromDisk.embeddings.size(), fromMemory.embeddings.size());
    EXPECT_GE(fromDisk.embeddings.size(), 30U);
    for (std::size_t i = 0; i < fromDisk.embeddings.size(); ++i) {
        EXPECT_EQ(fromDisk.embeddings[i].chunkIndex, fromMemory.embeddings[i].chunkIndex);
        EXPECT_EQ(fromDisk.embeddings[i].speakerIndex, fromMemory.embeddings[i].speakerIndex);
        EXPECT_EQ(fromDisk.embeddings[i].embedding256, fromMemory.embeddings[i].embedding256);
        EXPECT_EQ(fromDisk.embeddings[i].rho128, fromMemory.embeddings[i].rho128);
    }

    // Standard error carries the two profiling lines and nothing else.
    const std::regex twoLines(R"(\[Profiling\] Segmentation timings: windows=30 [^\n]*\n)"
                              R"(\[Profiling\] Embedding timings: [^\n]*\n)");
    EXPECT_TRUE(std::regex_match(fromDisk.standardError, twoLines)) << fromDisk.standardError;
    EXPECT_TRUE(std::regex_match(fromMemory.standardError, twoLines)) << fromMemory.standardError;
}

}  // namespace
