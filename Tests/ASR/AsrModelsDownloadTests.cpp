// The library loaders over a fake model hub on loopback: what they fetch, what they load and
// how they recover from a broken cache.

#include <Tervane/ASR/AsrModels.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/CapturingLogSink.hpp"
#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ScopedHubConnection.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace Tervane {
namespace {

namespace fs = std::filesystem;

class AsrModelsDownload : public ::testing::Test {
protected:
    void SetUp() override {
        Testing::writeAsrFixtureModels(hubSource.path());
        served = Testing::serveFolderAsHubRepository(hub, Repo(Repo::parakeet).remotePath(), hubSource.path());
    }

    static void expectComplete(const AsrModels& models) {
        EXPECT_TRUE(models.preprocessor && models.encoder && models.decoder && models.joint);
        EXPECT_EQ(models.version, AsrModelVersion::v3);
        EXPECT_EQ(models.vocabulary.at(1), "\u2581hel");
    }

    Testing::LoopbackHTTPServer hub;
    Testing::ScopedHubConnection connection{hub};
    Testing::TemporaryDirectory hubSource{"tervane-hub"};
    Testing::TemporaryDirectory cache{"tervane-cache"};
    std::vector<std::string> served;
    fs::path directory = cache / Repo(Repo::parakeet).folderName();
};

TEST_F(AsrModelsDownload, DownloadAndLoadFetchesTheRepositoryOnceThenLoadsFromTheCache) {
    const AsrModels models = AsrModels::downloadAndLoad(directory);

    expectComplete(models);
    for (const auto& file : served) EXPECT_TRUE(fs::exists(directory / file)) << file;
    EXPECT_TRUE(AsrModels::modelsExist(directory, AsrModelVersion::v3));

    const auto requestsAfterDownload = hub.requests().size();
    expectComplete(AsrModels::load(directory));
    EXPECT_EQ(hub.requests().size(), requestsAfterDownload);
}

TEST_F(AsrModelsDownload, ABrokenCachedBundleIsDeletedAndFetchedAgain) {
    fs::create_directories(directory);
    fs::copy(hubSource.path(), directory, fs::copy_options::recursive);
    std::ofstream(directory / "Encoder.mlmodelc" / "coremldata.bin") << "not a manifest";
    const Testing::LogCapture log;

    expectComplete(AsrModels::load(directory));

    EXPECT_GT(hub.requests("/" + Repo(Repo::parakeet).remotePath() + "/resolve/main/Encoder.mlmodelc/coremldata.bin")
                  .size(),
              0U);
    EXPECT_THAT(log->messages("AsrModels"), ::testing::Contains("Deleting cache and re-downloading\u2026"));
}

}  // namespace
}  // namespace Tervane
