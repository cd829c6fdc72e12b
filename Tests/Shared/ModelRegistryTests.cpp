#include <Tervane/Shared/ModelRegistry.hpp>

#include "Support/CapturingLogSink.hpp"
#include "Support/ScopedEnvironment.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace Tervane {
namespace {

class ModelRegistryTests : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"REGISTRY_URL", "MODEL_REGISTRY_URL", "https_proxy", "http_proxy"}) {
            environment.unset(name);
        }
        ModelRegistry::setBaseURL(std::nullopt);
    }
    void TearDown() override { ModelRegistry::setBaseURL(std::nullopt); }

    Testing::ScopedEnvironment environment;
};

TEST_F(ModelRegistryTests, TheProgramsBaseAddressWinsOverTheEnvironmentInOrder) {
    struct Case {
        std::optional<std::string> program, registry, modelRegistry;
        std::string expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, "https://huggingface.co"},
        {std::nullopt, std::nullopt, "http://model.example", "http://model.example"},
        {std::nullopt, "http://registry.example", "http://model.example", "http://registry.example"},
        {"http://program.example", "http://registry.example", "http://model.example", "http://program.example"},
    };
    for (const auto& [program, registry, modelRegistry, expected] : cases) {
        ModelRegistry::setBaseURL(program);
        environment.set("REGISTRY_URL", registry);
        environment.set("MODEL_REGISTRY_URL", modelRegistry);
        EXPECT_EQ(ModelRegistry::baseURL(), expected);
    }
}

TEST_F(ModelRegistryTests, AddressesJoinTheBaseRepositoryAndPath) {
    ModelRegistry::setBaseURL("http://hub.example:8080");
    const std::string repo = "Halvorix/silero-vad-coreml";
    const std::pair<std::string, std::string> cases[] = {
        {ModelRegistry::apiModels(repo, "tree/main"), "http://hub.example:8080/api/models/" + repo + "/tree/main"},
        {ModelRegistry::apiDatasets(repo, "tree/main"), "http://hub.example:8080/api/datasets/" + repo + "/tree/main"},
        {ModelRegistry::resolveModel(repo, "a/b.json"), "http://hub.example:8080/" + repo + "/resolve/main/a/b.json"},
        {ModelRegistry::resolveDataset(repo, "x.txt"),
         "http://hub.example:8080/datasets/" + repo + "/resolve/main/x.txt"},
        {ModelRegistry::resolveDatasetBase(repo), "http://hub.example:8080/datasets/" + repo + "/resolve/main"},
    };
    for (const auto& [built, expected] : cases) EXPECT_EQ(built, expected);
}

TEST_F(ModelRegistryTests, AnAddressThatDoesNotParseIsAnInvalidURL) {
    const std::pair<std::string, std::function<std::string()>> cases[] = {
        {"not an address/repo/resolve/main/x", [] {
             ModelRegistry::setBaseURL("not an address");
             return ModelRegistry::resolveModel("repo", "x");
         }},
        {"http://hub.example/api/models/repo/has space", [] {
             ModelRegistry::setBaseURL("http://hub.example");
             return ModelRegistry::apiModels("repo", "has space");
         }},
    };
    for (const auto& [text, build] : cases) {
        try {
            (void)build();
            ADD_FAILURE() << "built " << text;
        } catch (const ModelRegistry::Error& error) {
            EXPECT_EQ(error.text(), text);
            EXPECT_EQ(error.description(), "Invalid URL construction: " + text);
        }
    }
}

TEST_F(ModelRegistryTests, ProxyVariablesBecomePerSchemeSettings) {
    struct Case {
        std::optional<std::string> https, http;
        std::optional<ProxyDictionary> expected;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, {}},
        {"http://proxy.example:3128", "http://plain.example:8080",
         ProxyDictionary{{"HTTPSEnable", true}, {"HTTPSProxy", std::string("proxy.example")}, {"HTTPSPort", 3128},
                         {"HTTPEnable", true}, {"HTTPProxy", std::string("plain.example")}, {"HTTPPort", 8080}},
         {"Configured HTTPS proxy: proxy.example:3128", "Configured HTTP proxy: plain.example:8080"}},
        {"http://proxy.example", "http://plain.example:8080",
         ProxyDictionary{{"HTTPEnable", true}, {"HTTPProxy", std::string("plain.example")}, {"HTTPPort", 8080}},
         {"Invalid HTTPS proxy URL: http://proxy.example", "Configured HTTP proxy: plain.example:8080"}},
        {"proxy.example:3128", std::nullopt, std::nullopt, {"Invalid HTTPS proxy URL: proxy.example:3128"}},
    };
    for (const auto& [https, http, expected, messages] : cases) {
        const Testing::LogCapture log;
        environment.set("https_proxy", https);
        environment.set("http_proxy", http);
        EXPECT_EQ(ModelRegistry::configureProxySettings(), expected) << https.value_or("-");
        EXPECT_EQ(log->messages("ModelRegistry"), messages);
    }
}

TEST_F(ModelRegistryTests, ARejectedProxyIsLoggedAsAWarning) {
    const Testing::LogCapture log;
    environment.set("http_proxy", "http://proxy.example");
    EXPECT_EQ(ModelRegistry::configureProxySettings(), std::nullopt);
    const auto entries = log->entries("ModelRegistry");
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].level, AppLogger::Level::warning);
}

}  // namespace
}  // namespace Tervane
