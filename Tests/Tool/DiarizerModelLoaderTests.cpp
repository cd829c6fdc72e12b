// The tool's diarization model loader, tested in-process like the rest of the tool.
#define VEXORA_TRANSCRIBE_NO_MAIN
#include "vexora_transcribe/main.cpp"

#include "Support/DiarizerFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace {

namespace fs = std::filesystem;
using Tervane::Testing::TemporaryDirectory;

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(DiarizerModelLoader, LoadsTheFourBundlesAndPsiFromTheDirectory) {
    const TemporaryDirectory directory("tervane-tool-diarizer");
    Tervane::Testing::writeDiarizerFixtureModels(directory.path());
    const OfflineDiarizerModels models = loadDiarizerModels(directory.path());
    for (const auto& [model, units] : {std::pair{models.segmentationModel(), MLComputeUnits::all},
                                       std::pair{models.fbankModel(), MLComputeUnits::cpuOnly},
                                       std::pair{models.embeddingModel(), MLComputeUnits::all},
                                       std::pair{models.pldaRhoModel(), MLComputeUnits::all}}) {
        ASSERT_TRUE(model);
        EXPECT_EQ(model->configuration().computeUnits, units);
        EXPECT_TRUE(model->configuration().allowLowPrecisionAccumulationOnGPU);
    }
    EXPECT_TRUE(models.segmentationModel()->modelDescription().inputDescriptionsByName.count("audio"));
    EXPECT_TRUE(models.fbankModel()->modelDescription().outputDescriptionsByName.count("fbank_features"));
    ASSERT_EQ(models.pldaPsi().size(), 128U);
    EXPECT_DOUBLE_EQ(models.pldaPsi()[64], 1.5);
    EXPECT_GE(models.compilationDuration(), 0);
}

TEST(DiarizerModelLoader, ReportsWhatIsMissingToItsCaller) {
    const TemporaryDirectory directory("tervane-tool-diarizer-missing");
    Tervane::Testing::writeDiarizerFixtureModels(directory.path());

    // Only the top level counts: a copy in a repository folder is not looked at.
    fs::create_directories(directory / "speaker-diarization-offline");
    fs::rename(directory / "plda-parameters.json", directory / "speaker-diarization-offline" / "plda-parameters.json");
    EXPECT_THROW((void)loadDiarizerModels(directory.path()), FileError);

    writeText(directory / "plda-parameters.json", "{\"tensors\": ");
    EXPECT_THROW((void)loadDiarizerModels(directory.path()), nlohmann::json::parse_error);

    fs::remove_all(directory / "Embedding.mlmodelc");
    EXPECT_THROW((void)loadDiarizerModels(directory.path()), ModelRuntimeError);
}

TEST(DiarizerModelLoader, ParametersThatAreNotPldaEndTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const TemporaryDirectory directory("tervane-tool-plda");
    const std::vector<std::string> documents = {
        R"({"tensors": {"psi": {"data_base64": "AAAA"}}})",  // 3 bytes
        R"({"tensors": {"phi": {}}})",
        R"({"tensors": {"psi": {"data_base64": "A"}}})",
        R"([])",
    };
    for (std::size_t i = 0; i < documents.size(); ++i) {
        SCOPED_TRACE(documents[i]);
        const fs::path file = directory / ("plda" + std::to_string(i) + ".json");
        writeText(file, documents[i]);
        EXPECT_EXIT((void)pldaPsi(file), ::testing::ExitedWithCode(1), "^vexora-transcribe: invalid PLDA parameters\n$");
    }
    const fs::path good = directory / "good.json";
    writeText(good, Tervane::Testing::pldaParametersJson({0.25F, 4.0F}));
    EXPECT_EQ(pldaPsi(good), (std::vector<double>{0.25, 4.0}));
}

}  // namespace
