// The library loader over a fake model hub on loopback.

#include <Tervane/Diarizer/Offline/OfflineDiarizerModels.hpp>

#include "Support/DiarizerFixtures.hpp"
#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ScopedHubConnection.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace Tervane {
namespace {

namespace fs = std::filesystem;

TEST(OfflineDiarizerModelsDownload, FetchesTheOfflineBundlesAndFindsThePLDAParametersInTheRepository) {
    Testing::LoopbackHTTPServer hub;
    const Testing::ScopedHubConnection connection(hub);
    const Testing::TemporaryDirectory hubSource("tervane-hub");
    const Testing::TemporaryDirectory cache("tervane-cache");
    Testing::writeDiarizerFixtureModels(hubSource.path());
    const auto served =
        Testing::serveFolderAsHubRepository(hub, Repo(Repo::diarizer).remotePath(), hubSource.path());

    const OfflineDiarizerModels models = OfflineDiarizerModels::load(cache.path());

    const fs::path folder = cache / Repo(Repo::diarizer).folderName();
    for (const auto& file : served) EXPECT_TRUE(fs::exists(folder / file)) << file;
    EXPECT_TRUE(models.segmentationModel() && models.fbankModel() && models.embeddingModel() && models.pldaRhoModel());
    const auto expected = Testing::fixturePldaPsi();
    ASSERT_EQ(models.pldaPsi().size(), expected.size());
    EXPECT_EQ(models.pldaPsi().front(), static_cast<double>(expected.front()));
    EXPECT_EQ(models.pldaPsi().back(), static_cast<double>(expected.back()));
}

}  // namespace
}  // namespace Tervane
