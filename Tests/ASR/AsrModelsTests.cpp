#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/ASR/AsrModels.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace Tervane;
using Tervane::Testing::TemporaryDirectory;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// MARK: - Records

TEST(ASRTypes, DefaultsConstantsAndDescriptions) {
    const ASRConfig config = ASRConfig::defaultConfig();
    EXPECT_EQ(config.sampleRate, 16000);
    EXPECT_EQ(config.tdtConfig.durationBins, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(config.tdtConfig.blankId, 8192);
    EXPECT_EQ(config.tdtConfig.maxSymbolsPerStep, 10);
    EXPECT_EQ(config.tdtConfig.maxTokensPerChunk, 150);
    EXPECT_EQ(config.tdtConfig.consecutiveBlankLimit, 5);
    EXPECT_EQ(config.tdtConfig.boundarySearchFrames, 20);

    const std::pair<std::int64_t, int> frames[] = {{16000, 13}, {240000, 188}, {1280, 1}, {1281, 2}, {0, 0}};
    for (const auto& [samples, expected] : frames) {
        EXPECT_EQ(ASRConstants::calculateEncoderFrames(samples), expected) << samples;
    }

    ASRResult result;
    result.duration = 30;
    result.processingTime = 1.5;
    EXPECT_FLOAT_EQ(result.rtfx(), 20.0F);

    EXPECT_EQ(ASRError::processingFailed("Invalid encoder output").description(),
              "ASR processing failed: Invalid encoder output");
    EXPECT_EQ(ASRError::notInitialized().description(), "AsrManager not initialized. Call initialize() first.");
}

// MARK: - Vocabulary

TEST(AsrModelsVocabulary, NamesMustBeSignedDecimalIntegers) {
    const AsrVocabulary vocabulary = AsrModels::vocabularyFromJSON(
        R"({"+12": "a", "-3": "b", "007": "c", "12a": "x", "": "y", " 1": "z", "1 ": "w", "+": "v",
            "99999999999999999999": "too big", "-9223372036854775808": "lowest"})");
    const AsrVocabulary expected{{12, "a"}, {-3, "b"}, {7, "c"}, {INT64_MIN, "lowest"}};
    EXPECT_EQ(vocabulary, expected);
}

TEST(AsrModelsVocabulary, AnythingButAnObjectOfStringsIsEmpty) {
    for (const char* text : {R"(["a", "b"])", R"({"1": "a", "2": 3})", R"("text")", R"({"1": null})", "{}"}) {
        EXPECT_TRUE(AsrModels::vocabularyFromJSON(text).empty()) << text;
    }
    EXPECT_ANY_THROW((void)AsrModels::vocabularyFromJSON("{not json"));
}

// MARK: - The tool's loader

TEST(LoadAsrModels, LoadsTheFourBundlesAndTheVocabulary) {
    TemporaryDirectory directory;
    Testing::writeAsrFixtureModels(directory.path());
    const AsrModels models = loadAsrModels(directory.path());
    ASSERT_TRUE(models.encoder && models.preprocessor && models.decoder && models.joint);
    EXPECT_EQ(models.version, AsrModelVersion::v3);
    EXPECT_EQ(models.configuration.computeUnits, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_TRUE(models.configuration.allowLowPrecisionAccumulationOnGPU);
    EXPECT_EQ(models.preprocessor->configuration().computeUnits, MLComputeUnits::cpuOnly);
    EXPECT_EQ(models.joint->configuration().computeUnits, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(models.vocabulary.at(1), "\u2581hel");
    EXPECT_EQ(models.vocabulary.at(7883), ".");
}

TEST(LoadAsrModels, FailsAtTheFirstMissingPieceInLoadingOrder) {
    TemporaryDirectory directory;
    // Nothing there: the vocabulary is read before any bundle is opened.
    try {
        (void)loadAsrModels(directory.path());
        FAIL() << "loaded from an empty directory";
    } catch (const FileError& error) {
        EXPECT_EQ(error.path(), directory / "parakeet_vocab.json");
    }

    // A vocabulary but no bundles at all: the encoder is the first bundle tried.
    writeFile(directory / "parakeet_vocab.json", R"({"1": "a"})");
    try {
        (void)loadAsrModels(directory.path());
        FAIL() << "loaded without bundles";
    } catch (const ModelRuntimeError& error) {
        EXPECT_NE(error.bundle().find("Encoder.mlmodelc"), std::string::npos) << error.description();
    }

    writeFile(directory / "parakeet_vocab.json", "not json");
    EXPECT_ANY_THROW((void)loadAsrModels(directory.path()));
}

// MARK: - Cache folders

TEST(AsrModelsCache, VersionsFoldersAndExistence) {
    using V = AsrModelVersion;
    EXPECT_EQ(AsrModels::inferredVersion("/x/PARAKEET-TDT-0.6B-V2-COREML/y"), V::v2);
    EXPECT_EQ(AsrModels::inferredVersion("/x/parakeet-tdt-0.6b-v3-coreml"), V::v3);
    EXPECT_EQ(AsrModels::inferredVersion("/somewhere/else"), std::nullopt);

    TemporaryDirectory root;
    const fs::path v3 = root / "parakeet-tdt-0.6b-v3-coreml";
    const fs::path unrelated = root / "models";  // no version in the name: the v3 folder beside it counts
    EXPECT_FALSE(AsrModels::modelsExist(unrelated));
    for (const std::string& name : AsrModels::requiredModelNames()) {
        fs::create_directories(v3 / name);
    }
    EXPECT_FALSE(AsrModels::modelsExist(unrelated)) << "the vocabulary is required too";
    writeFile(v3 / "parakeet_vocab.json", "{}");
    EXPECT_TRUE(AsrModels::modelsExist(unrelated));
    EXPECT_TRUE(AsrModels::modelsExist(v3, V::v3));
    EXPECT_FALSE(AsrModels::modelsExist(v3, V::v2));

    writeFile(v3 / "parakeet_vocab.json", R"({"5": "\u2581five"})");
    EXPECT_EQ(AsrModels::loadVocabulary(v3, V::v3), (AsrVocabulary{{5, "\u2581five"}}));
    writeFile(v3 / "parakeet_vocab.json", "[broken");
    try {
        (void)AsrModels::loadVocabulary(v3, V::v3);
        FAIL();
    } catch (const AsrModelsError& error) {
        EXPECT_EQ(error.description(), "Failed to load ASR models: Vocabulary parsing failed");
    }
    try {
        (void)AsrModels::loadVocabulary(v3, V::v2);
        FAIL();
    } catch (const AsrModelsError& error) {
        EXPECT_EQ(error.kind(), AsrModelsError::Kind::modelNotFound);
        EXPECT_EQ(error.description(), "ASR model 'parakeet_vocab.json' not found at: " +
                                           (root / "parakeet-tdt-0.6b-v2-coreml" / "parakeet_vocab.json").string());
    }
}

TEST(AsrModelsCache, DefaultDirectoryLiesUnderTheApplicationSupportFolder) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string previous = saved != nullptr ? saved : "";
    setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(AsrModels::defaultCacheDirectory(AsrModelVersion::v2),
              fs::path("/data/home/Tervane/Models/parakeet-tdt-0.6b-v2-coreml"));
    EXPECT_EQ(AsrModels::defaultCacheDirectory(), fs::path("/data/home/Tervane/Models/parakeet-tdt-0.6b-v3-coreml"));
    if (saved != nullptr) {
        setenv("XDG_DATA_HOME", previous.c_str(), 1);
    } else {
        unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
