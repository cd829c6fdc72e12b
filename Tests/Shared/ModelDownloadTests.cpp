#include <Tervane/Platform/Error.hpp>
#include <Tervane/Shared/AssetDownloader.hpp>
#include <Tervane/Shared/DownloadUtils.hpp>
#include <Tervane/Shared/ModelRegistry.hpp>

#include "Support/CapturingLogSink.hpp"
#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ModelFixtures.hpp"
#include "Support/ScopedEnvironment.hpp"
#include "Support/ScopedHubConnection.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace Tervane {
namespace {

namespace fs = std::filesystem;
using DownloadUtils::HuggingFaceDownloadError;
using Testing::LoopbackHTTPServer;
using Testing::ScriptedResponse;
using ::testing::HasSubstr;

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

/// Every regular file below `root`, as paths relative to it.
std::set<std::string> filesBelow(const fs::path& root) {
    std::set<std::string> files;
    if (!fs::exists(root)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), root).string());
    }
    return files;
}

nlohmann::json entry(const std::string& path, const std::string& type) { return {{"path", path}, {"type", type}}; }

/// A small model bundle that loads for real: y = 2x.
Testing::FixtureModel doublingModel() {
    return {.source = R"(
        def forward(self, x):
            return {"y": x * 2.0}
        )",
            .inputs = {{"x", MLMultiArrayDataType::float32, {1, 4}}},
            .outputs = {{"y", MLMultiArrayDataType::float32, {1, 4}}}};
}

/// A fake hub on loopback, with the library pointed at it, no token, no proxies and retries
/// that record their waits instead of sleeping.
class ModelDownloadTests : public ::testing::Test {
protected:
    void SetUp() override {
        previousSleeper = DownloadUtils::setSleeper([this](double seconds) { waits.push_back(seconds); });
    }
    void TearDown() override { DownloadUtils::setSleeper(previousSleeper); }

    static std::string treeRoute(Repo repo, const std::string& path = {}) {
        return "/api/models/" + repo.remotePath() + "/tree/main" + (path.empty() ? "" : "/" + path);
    }
    static std::string fileRoute(Repo repo, const std::string& encodedPath) {
        return "/" + repo.remotePath() + "/resolve/main/" + encodedPath;
    }
    // Entries as a vector: a braced single json value would not make a one-element array.
    void serveTree(Repo repo, const std::string& path, const std::vector<nlohmann::json>& entries) {
        hub.route(treeRoute(repo, path), ScriptedResponse::json(nlohmann::json(entries).dump()));
    }
    void serveFile(Repo repo, const std::string& path, std::string body) {
        hub.route(fileRoute(repo, path), {200, std::move(body), {}});
    }

    /// Serves a real bundle written by the fixture helper as `bundleName` of `repo`, and
    /// returns its files' bytes by hub path.
    std::map<std::string, std::string> serveFixtureBundle(Repo repo, const std::string& bundleName) {
        const Testing::TemporaryDirectory source("tervane-hub-source");
        const fs::path bundle = Testing::writeFixtureBundle(source.path(), bundleName, doublingModel());
        std::vector<nlohmann::json> listing;
        std::map<std::string, std::string> served;
        for (const auto& file : filesBelow(bundle)) {
            const std::string hubPath = bundleName + "/" + file;
            listing.push_back(entry(hubPath, "file"));
            served[hubPath] = readFile(bundle / file);
            serveFile(repo, hubPath, served[hubPath]);
        }
        serveTree(repo, "", {entry(bundleName, "directory")});
        serveTree(repo, bundleName, listing);
        return served;
    }

    /// The requests the hub saw for files (not listings).
    std::vector<std::string> fileRequests() const {
        std::vector<std::string> paths;
        for (const auto& request : hub.requests()) {
            if (request.path.find("/resolve/main/") != std::string::npos) paths.push_back(request.path);
        }
        return paths;
    }

    LoopbackHTTPServer hub;
    Testing::ScopedHubConnection connection{hub};
    Testing::ScopedEnvironment& environment = connection.environment();
    Testing::TemporaryDirectory cache{"tervane-model-cache"};
    Testing::LogCapture log;
    std::vector<double> waits;
    DownloadUtils::Sleeper previousSleeper;
};

const std::string vadBundle = ModelNames::VAD::sileroVadFile;

TEST_F(ModelDownloadTests, ACacheHoldingEveryRequiredBundleMakesNoRequest) {
    Testing::writeFixtureBundle(cache / Repo(Repo::vad).folderName(), vadBundle, doublingModel());

    const auto models = DownloadUtils::loadModelsOnce(Repo::vad, {vadBundle}, cache.path(), MLComputeUnits::cpuOnly);

    EXPECT_TRUE(hub.requests().empty());
    ASSERT_EQ(models.size(), 1U);
    const auto& model = models.at(vadBundle);
    EXPECT_TRUE(model->modelDescription().inputDescriptionsByName.contains("x"));
    EXPECT_EQ(model->configuration().computeUnits, MLComputeUnits::cpuOnly);
    EXPECT_TRUE(model->configuration().allowLowPrecisionAccumulationOnGPU);
    const auto messages = log->messages("DownloadUtils");
    EXPECT_THAT(messages, ::testing::Contains("Found silero-vad-coreml locally, no download needed"));
    EXPECT_THAT(messages, ::testing::Contains(::testing::MatchesRegex(
                              "Compiled model " + vadBundle + " in [0-9]+\\.[0-9][0-9] ms :: Linux .*")));
}

TEST_F(ModelDownloadTests, BundleChecksFailWithFileSystemErrors) {
    const fs::path folder = cache / Repo(Repo::vad).folderName();
    Testing::writeFixtureBundle(folder, vadBundle, doublingModel());
    writeFile(folder / "Flat.mlmodelc", "not a bundle");
    fs::create_directories(folder / "Empty.mlmodelc");

    struct Case {
        std::string name;
        FileSystemError::Code code;
        std::string description;
    };
    const Case cases[] = {
        {"Absent.mlmodelc", FileSystemError::Code::fileNoSuchFile, "Model file not found: Absent.mlmodelc"},
        {"Flat.mlmodelc", FileSystemError::Code::fileReadCorruptFile, "Model path is not a directory: Flat.mlmodelc"},
        {"Empty.mlmodelc", FileSystemError::Code::fileReadCorruptFile,
         "Missing coremldata.bin in model: Empty.mlmodelc"},
    };
    for (const auto& [name, code, description] : cases) {
        try {
            (void)DownloadUtils::loadModelsOnce(Repo::vad, {vadBundle, name}, cache.path(), MLComputeUnits::all);
            ADD_FAILURE() << name << " loaded";
        } catch (const FileSystemError& error) {
            EXPECT_EQ(error.code(), code) << name;
            EXPECT_EQ(error.description(), description);
            EXPECT_EQ(error.path(), folder / name);
        }
    }
    EXPECT_THAT(log->messages("DownloadUtils"), ::testing::Contains("Missing coremldata.bin in Empty.mlmodelc"));
    EXPECT_TRUE(hub.requests().empty());
}

TEST_F(ModelDownloadTests, ListingDescendsOnlyIntoRequiredBundlesAndKeepsTopLevelTextFiles) {
    const Repo repo = Repo::diarizer;  // no variant: the online bundles
    serveTree(repo, "",
              {entry("pyannote_segmentation.mlmodelc", "directory"), entry("wespeaker_v2.mlmodelc", "directory"),
               entry("Segmentation.mlmodelc", "directory"), entry("config.json", "file"),
               entry("README.txt", "file"), entry("notes.md", "file"), entry("weights.bin", "file"),
               entry("cached.json", "file"), {{"path", 7}, {"type", "file"}}, {{"path", "no-type.json"}}});
    serveTree(repo, "pyannote_segmentation.mlmodelc",
              {entry("pyannote_segmentation.mlmodelc/coremldata.bin", "file"),
               entry("pyannote_segmentation.mlmodelc/model.pt", "file"),
               entry("pyannote_segmentation.mlmodelc/weights", "directory")});
    serveTree(repo, "pyannote_segmentation.mlmodelc/weights",
              {entry("pyannote_segmentation.mlmodelc/weights/layer 1.bin", "file")});
    serveTree(repo, "wespeaker_v2.mlmodelc",
              {entry("wespeaker_v2.mlmodelc/coremldata.bin", "file"), entry("wespeaker_v2.mlmodelc", "directory"),
               entry("pyannote_segmentation.mlmodelc", "directory")});  // loops back: not followed
    serveTree(repo, "Segmentation.mlmodelc", {entry("Segmentation.mlmodelc/coremldata.bin", "file")});

    const std::map<std::string, std::string> served = {
        {"config.json", "{}"},
        {"README.txt", "read me"},
        {"pyannote_segmentation.mlmodelc/coremldata.bin", "manifest one"},
        {"pyannote_segmentation.mlmodelc/model.pt", "program one"},
        {"pyannote_segmentation.mlmodelc/weights/layer%201.bin", "weights"},
        {"wespeaker_v2.mlmodelc/coremldata.bin", "manifest two"},
    };
    for (const auto& [path, body] : served) serveFile(repo, path, body);
    serveFile(repo, "notes.md", "unwanted");
    serveFile(repo, "weights.bin", "unwanted");
    const fs::path folder = cache / repo.folderName();
    writeFile(folder / "cached.json", "kept");

    std::vector<double> progress;
    DownloadUtils::downloadRepo(repo, cache.path(), std::nullopt, [&](double fraction) { progress.push_back(fraction); });

    EXPECT_EQ(filesBelow(folder),
              (std::set<std::string>{"cached.json", "config.json", "README.txt",
                                     "pyannote_segmentation.mlmodelc/coremldata.bin",
                                     "pyannote_segmentation.mlmodelc/model.pt",
                                     "pyannote_segmentation.mlmodelc/weights/layer 1.bin",
                                     "wespeaker_v2.mlmodelc/coremldata.bin"}));
    EXPECT_EQ(readFile(folder / "pyannote_segmentation.mlmodelc/weights/layer 1.bin"), "weights");
    EXPECT_EQ(readFile(folder / "cached.json"), "kept");
    EXPECT_TRUE(hub.requests(treeRoute(repo, "Segmentation.mlmodelc")).empty());
    EXPECT_EQ(hub.requests(treeRoute(repo, "wespeaker_v2.mlmodelc")).size(), 1U);
    EXPECT_EQ(hub.requests(treeRoute(repo, "pyannote_segmentation.mlmodelc")).size(), 1U);
    EXPECT_EQ(fileRequests().size(), served.size());  // nothing unwanted, nothing already cached

    const auto messages = log->messages("DownloadUtils");
    EXPECT_THAT(messages, ::testing::Contains("Downloading speaker-diarization-coreml from HuggingFace..."));
    EXPECT_THAT(messages, ::testing::Contains("Found 7 files to download"));
    EXPECT_THAT(messages, ::testing::Contains("Downloaded 7/7 files"));
    EXPECT_THAT(messages, ::testing::Contains("Downloaded all required models for speaker-diarization-coreml"));
    ASSERT_EQ(progress.size(), 7U);
    EXPECT_DOUBLE_EQ(progress.back(), 1.0);
}

TEST_F(ModelDownloadTests, ARequiredBundleMissingFromTheHubIsModelNotFound) {
    serveTree(Repo::vad, "", {entry("config.json", "file")});
    serveFile(Repo::vad, "config.json", "{}");
    try {
        DownloadUtils::downloadRepo(Repo::vad, cache.path());
        FAIL() << "downloaded";
    } catch (const HuggingFaceDownloadError& error) {
        EXPECT_EQ(error.kind(), HuggingFaceDownloadError::Kind::modelNotFound);
        EXPECT_EQ(error.description(), "Model file not found: " + vadBundle);
    }
}

TEST_F(ModelDownloadTests, LoadModelsReplacesACorruptCacheFromTheHub) {
    const auto served = serveFixtureBundle(Repo::vad, vadBundle);
    const fs::path folder = cache / Repo(Repo::vad).folderName();
    fs::create_directories(folder / vadBundle);  // present, so no download, but not loadable
    writeFile(folder / "stale.txt", "left over");

    const auto models = DownloadUtils::loadModels(Repo::vad, {vadBundle}, cache.path(), MLComputeUnits::cpuOnly);

    ASSERT_TRUE(models.contains(vadBundle));
    const auto input = Testing::fixtureArray({1, 4}, {1, 2, 3, 4});
    const auto result = models.at(vadBundle)->prediction(*Testing::fixtureInputs({{"x", input}}));
    EXPECT_EQ(Testing::fixtureValues(*Testing::fixtureOutput(*result, "y")), (std::vector<double>{2, 4, 6, 8}));

    std::set<std::string> expected;
    for (const auto& [path, bytes] : served) {
        expected.insert(path);
        EXPECT_EQ(readFile(folder / path), bytes) << path;
    }
    EXPECT_EQ(filesBelow(folder), expected);  // the old folder went, stale file and all
    const auto messages = log->messages("DownloadUtils");
    EXPECT_THAT(messages, ::testing::Contains("First load failed: Missing coremldata.bin in model: " + vadBundle));
    EXPECT_THAT(messages, ::testing::Contains("Deleting cache and re-downloading\u2026"));
    EXPECT_THAT(messages, ::testing::Contains("Models not found in cache at " + folder.string()));
}

TEST_F(ModelDownloadTests, HubErrorsFailTheDownloadWithTheirDescriptions) {
    const std::string file = vadBundle + "/coremldata.bin";
    struct Case {
        std::string failingRoute;
        int status;
        HuggingFaceDownloadError::Kind kind;
        std::string description;
    };
    const Case cases[] = {
        {fileRoute(Repo::vad, file), 503, HuggingFaceDownloadError::Kind::rateLimited,
         "Hugging Face rate limit encountered: Rate limited while downloading " + file},
        {fileRoute(Repo::vad, file), 429, HuggingFaceDownloadError::Kind::rateLimited,
         "Hugging Face rate limit encountered: Rate limited while downloading " + file},
        {fileRoute(Repo::vad, file), 404, HuggingFaceDownloadError::Kind::downloadFailed,
         "Failed to download " + file + ": HTTP error 404"},
        {treeRoute(Repo::vad, vadBundle), 503, HuggingFaceDownloadError::Kind::rateLimited,
         "Hugging Face rate limit encountered: Rate limited while listing files"},
        {treeRoute(Repo::vad), 500, HuggingFaceDownloadError::Kind::downloadFailed,
         "Failed to download tree/main: HTTP error 500"},
    };
    for (const auto& [route, status, kind, description] : cases) {
        const Testing::TemporaryDirectory root("tervane-model-cache");
        serveFixtureBundle(Repo::vad, vadBundle);
        hub.route(route, {status, "{\"error\": \"no\"}", {}});
        try {
            DownloadUtils::downloadRepo(Repo::vad, root.path());
            ADD_FAILURE() << route << " " << status << " succeeded";
        } catch (const HuggingFaceDownloadError& error) {
            EXPECT_EQ(error.kind(), kind) << route << " " << status;
            EXPECT_EQ(error.description(), description);
            if (kind == HuggingFaceDownloadError::Kind::rateLimited) {
                EXPECT_EQ(error.statusCode(), status);
            }
            if (kind == HuggingFaceDownloadError::Kind::downloadFailed) {
                try {
                    std::rethrow_exception(error.underlying());
                } catch (const DomainError& underlying) {
                    EXPECT_EQ(underlying.domain(), "HTTP");
                    EXPECT_EQ(underlying.code(), status);
                }
            }
        }
        EXPECT_FALSE(filesBelow(root.path()).contains(Repo(Repo::vad).folderName() + "/" + file));
        for (const auto& left : filesBelow(root.path())) EXPECT_THAT(left, ::testing::Not(HasSubstr(".tervane-")));
    }
}

TEST_F(ModelDownloadTests, AnInterruptedDownloadLeavesNoFileAndKeepsEarlierOnes) {
    serveFixtureBundle(Repo::vad, vadBundle);
    const std::string interrupted = vadBundle + "/model.pt";
    ScriptedResponse cut{200, std::string(64 * 1024, 'x'), {}};
    cut.closeAfterBodyBytes = 32 * 1024;
    hub.route(fileRoute(Repo::vad, interrupted), cut);

    try {
        DownloadUtils::downloadRepo(Repo::vad, cache.path());
        FAIL() << "downloaded";
    } catch (const HuggingFaceDownloadError& error) {
        EXPECT_EQ(error.kind(), HuggingFaceDownloadError::Kind::downloadFailed);
        EXPECT_EQ(error.path(), interrupted);
        EXPECT_THAT(error.description(), ::testing::StartsWith("Failed to download " + interrupted + ": "));
        EXPECT_THROW(std::rethrow_exception(error.underlying()), URLError);
    }
    // The listing comes in order: the manifest before the program.
    EXPECT_EQ(filesBelow(cache / Repo(Repo::vad).folderName()),
              (std::set<std::string>{vadBundle + "/coremldata.bin"}));
}

TEST_F(ModelDownloadTests, ListedPathsThatLeaveTheFolderAreRefusedAndNothingIsWritten) {
    const Testing::TemporaryDirectory sandbox("tervane-sandbox");
    const fs::path root = sandbox / "cache";
    const fs::path folder = root / Repo(Repo::vad).folderName();
    const fs::path outside = sandbox / "outside";
    fs::create_directories(outside);

    struct Case {
        std::string path;
        std::string type;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"../escape.json", "file", {}},
        {"../../escape.json", "file", {}},
        {vadBundle + "/../../escape.json", "file", {}},
        {"/tmp/escape.json", "file", {}},
        {vadBundle + "\\..\\..\\escape.json", "file", {}},
        {vadBundle + std::string("/esc\0ape.json", 13), "file", {}},
        {"..", "directory", {}},
        {vadBundle + "/..", "directory", {}},
        // A link already in the cache must not carry a write out of it.
        {"linked/escape.json", "file", [&] {
             fs::create_directories(folder);
             fs::create_directory_symlink(outside, folder / "linked");
         }},
    };
    for (const auto& [path, type, prepare] : cases) {
        fs::remove_all(root);
        if (prepare) prepare();
        std::vector<nlohmann::json> bundleListing = {entry(vadBundle + "/coremldata.bin", "file")};
        std::vector<nlohmann::json> topListing = {entry(vadBundle, "directory")};
        (path.rfind(vadBundle, 0) == 0 ? bundleListing : topListing).push_back(entry(path, type));
        serveTree(Repo::vad, "", topListing);
        serveTree(Repo::vad, vadBundle, bundleListing);
        serveFile(Repo::vad, vadBundle + "/coremldata.bin", "manifest");
        hub.route(fileRoute(Repo::vad, "escape.json"), {200, "escaped", {}});
        try {
            DownloadUtils::downloadRepo(Repo::vad, root);
            ADD_FAILURE() << path << " was accepted";
        } catch (const HuggingFaceDownloadError& error) {
            EXPECT_EQ(error.kind(), HuggingFaceDownloadError::Kind::downloadFailed) << path;
            EXPECT_EQ(error.path(), path);
            EXPECT_THAT(error.description(), HasSubstr(path));
        }
        for (const auto& request : fileRequests()) EXPECT_THAT(request, ::testing::Not(HasSubstr("esc"))) << path;
        EXPECT_TRUE(filesBelow(outside).empty()) << path;
        for (const auto& file : filesBelow(sandbox.path())) EXPECT_THAT(file, ::testing::Not(HasSubstr("escape")));
        fs::remove_all(root);
    }
}

TEST_F(ModelDownloadTests, RetriesWaitWithDoublingBackOff) {
    const std::string path = "/files/config.json";
    struct Case {
        std::vector<int> statuses;
        int maxAttempts;
        std::optional<HuggingFaceDownloadError::Kind> failure;
        std::vector<double> waits;
    };
    const Case cases[] = {
        {{503, 429, 200}, 3, std::nullopt, {1, 2}},
        {{503, 503, 503, 200}, 3, HuggingFaceDownloadError::Kind::rateLimited, {1, 2}},
        {{404}, 2, HuggingFaceDownloadError::Kind::invalidResponse, {1}},
        {{200}, 3, std::nullopt, {}},
        {{503}, 0, HuggingFaceDownloadError::Kind::rateLimited, {}},  // at least one attempt
    };
    for (const auto& [statuses, maxAttempts, failure, expectedWaits] : cases) {
        waits.clear();
        LoopbackHTTPServer server;
        std::vector<ScriptedResponse> answers;
        for (const int status : statuses) answers.push_back({status, "body " + std::to_string(status), {}});
        server.routeSequence(path, answers);
        try {
            const auto [body, response] =
                DownloadUtils::fetchHuggingFaceFile(server.baseURL() + path, "config", maxAttempts, 1.0);
            EXPECT_FALSE(failure) << "succeeded after " << server.requests().size();
            EXPECT_EQ(body, "body 200");
            EXPECT_EQ(response.statusCode, 200);
        } catch (const HuggingFaceDownloadError& error) {
            ASSERT_TRUE(failure) << error.description();
            EXPECT_EQ(error.kind(), *failure);
        }
        EXPECT_EQ(waits, expectedWaits);
        EXPECT_EQ(server.requests().size(), expectedWaits.size() + 1);
    }
    EXPECT_THAT(log->messages("DownloadUtils"),
                ::testing::Contains("Download attempt 1 for config failed: Hugging Face rate limit encountered: "
                                    "HTTP 503. Retrying in 1.0s."));
    EXPECT_THAT(log->messages("DownloadUtils"),
                ::testing::Contains("Download attempt 1 for config failed: Received an invalid response from "
                                    "Hugging Face.. Retrying in 1.0s."));
}

TEST_F(ModelDownloadTests, TheTokenGoesToTheHubOnlyAsABearer) {
    struct Case {
        std::optional<std::string> hfToken, hubToken, apiToken;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"first", "second", "third", "Bearer first"},
        {std::nullopt, "second", "third", "Bearer second"},
        {std::nullopt, std::nullopt, "third", "Bearer third"},
        {"", "second", std::nullopt, "Bearer second"},
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    hub.route("/file", {200, "ok", {}});
    for (const auto& [hfToken, hubToken, apiToken, expected] : cases) {
        environment.set("HF_TOKEN", hfToken);
        environment.set("HUGGING_FACE_HUB_TOKEN", hubToken);
        environment.set("HUGGINGFACEHUB_API_TOKEN", apiToken);
        (void)DownloadUtils::fetchWithAuth(hub.baseURL() + "/file");
        const auto headers = hub.requests().back().headers;
        const auto authorization = headers.find("authorization");
        EXPECT_EQ(authorization == headers.end() ? std::nullopt : std::optional(authorization->second), expected);
    }
}

TEST_F(ModelDownloadTests, TheTokenStaysOnTheHubAcrossRedirects) {
    environment.set("HF_TOKEN", "secret");
    LoopbackHTTPServer elsewhere;
    elsewhere.route("/blob", {200, "from elsewhere", {}});
    hub.route("/away", ScriptedResponse::redirect(302, elsewhere.baseURL() + "/blob"));
    hub.route("/within", ScriptedResponse::redirect(307, "/file"));
    hub.route("/file", {200, "from the hub", {}});

    EXPECT_EQ(DownloadUtils::fetchWithAuth(hub.baseURL() + "/away").first, "from elsewhere");
    EXPECT_EQ(DownloadUtils::fetchWithAuth(hub.baseURL() + "/within").first, "from the hub");
    EXPECT_EQ(DownloadUtils::fetchWithAuth(elsewhere.baseURL() + "/blob").first, "from elsewhere");

    for (const auto& request : elsewhere.requests()) EXPECT_FALSE(request.headers.contains("authorization"));
    ASSERT_EQ(hub.requests("/file").size(), 1U);
    EXPECT_EQ(hub.requests("/file")[0].headers.at("authorization"), "Bearer secret");
}

TEST_F(ModelDownloadTests, AssetDownloaderFetchesOnceAndReportsBadAnswers) {
    hub.route("/asset.bin", {200, "asset bytes", {}});
    hub.route("/missing.bin", {404, "gone", {}});
    const auto session = std::make_shared<URLSession>();
    const AppLogger assetLogger("AssetTests");

    for (const auto& mode : {AssetDownloader::TransferMode::file(), AssetDownloader::TransferMode::data()}) {
        const fs::path destination = cache / "assets" / "asset.bin";
        fs::remove_all(cache / "assets");
        const AssetDownloader::Descriptor descriptor{"the asset", hub.baseURL() + "/asset.bin", destination, true, mode};
        const auto requestsBefore = hub.requests().size();

        EXPECT_EQ(AssetDownloader::ensure(descriptor, session, assetLogger), destination);
        EXPECT_EQ(readFile(destination), "asset bytes");
        EXPECT_EQ(AssetDownloader::ensure(descriptor, session, assetLogger), destination);  // cached: no request
        EXPECT_EQ(hub.requests().size(), requestsBefore + 1);
        EXPECT_EQ(filesBelow(cache / "assets"), (std::set<std::string>{"asset.bin"}));

        auto missing = descriptor;
        missing.remoteURL = hub.baseURL() + "/missing.bin";
        missing.destinationURL = cache / "assets" / "missing.bin";
        try {
            AssetDownloader::ensure(missing, session, assetLogger);
            ADD_FAILURE() << "a 404 was cached";
        } catch (const AssetDownloader::Error& error) {
            EXPECT_EQ(error.statusCode(), 404);
            EXPECT_EQ(error.description(), "Unexpected response (status 404) while downloading the asset");
        }
        EXPECT_EQ(filesBelow(cache / "assets"), (std::set<std::string>{"asset.bin"}));
    }
    EXPECT_THAT(log->messages("AssetTests"),
                ::testing::Contains("Cached the asset at " + (cache / "assets" / "asset.bin").string()));
    EXPECT_THAT(log->messages("AssetTests"), ::testing::Contains("Downloading the asset\u2026"));
}

}  // namespace
}  // namespace Tervane
