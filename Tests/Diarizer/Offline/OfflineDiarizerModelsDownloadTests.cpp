// The library loader over a fake model hub on loopback.

#include <Tervane/Diarizer/Offline/OfflineDiarizerModels.hpp>
#include <Tervane/Shared/DownloadUtils.hpp>
#include <Tervane/Shared/ModelRegistry.hpp>

#include "Support/DiarizerFixtures.hpp"
#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ScopedEnvironment.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace Tervane {
namespace {

namespace fs = std::filesystem;

TEST(OfflineDiarizerModelsDownload, FetchesTheOfflineBundlesAndFindsThePLDAParametersInTheRepository) {
    Testing::ScopedEnvironment environment;
    for (const char* name : {"REGISTRY_URL", "MODEL_REGISTRY_URL", "https_proxy", "http_proxy", "HF_TOKEN",
                             "HUGGING_FACE_HUB_TOKEN", "HUGGINGFACEHUB_API_TOKEN"}) {
        environment.unset(name);
    }
    Testing::LoopbackHTTPServer hub;
    ModelRegistry::setBaseURL(hub.baseURL());
    DownloadUtils::resetSharedSession();
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

    DownloadUtils::resetSharedSession();
    ModelRegistry::setBaseURL(std::nullopt);
}

}  // namespace
}  // namespace Tervane
