#include <Tervane/Platform/URLSession.hpp>

#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ScopedEnvironment.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace Tervane {
namespace {

namespace fs = std::filesystem;
using Testing::LoopbackHTTPServer;
using Testing::ScriptedResponse;

TEST(URLSessionTests, AddressesParseIntoSchemeHostAndPort) {
    struct Case {
        std::string text;
        std::optional<URLComponents> expected;
    };
    const Case cases[] = {
        {"https://huggingface.co", URLComponents{"https", "huggingface.co", std::nullopt}},
        {"HTTP://Proxy.Example:3128/", URLComponents{"http", "Proxy.Example", 3128}},
        {"socks5://[::1]:1080", URLComponents{"socks5", "[::1]", 1080}},
        {"proxy.example:3128", std::nullopt},
        {"http://exa mple.com", std::nullopt},
        {"http://host:notaport", std::nullopt},
        {"/just/a/path", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const auto parsed = URLComponents::parse(text);
        ASSERT_EQ(parsed.has_value(), expected.has_value()) << text;
        if (!parsed) continue;
        EXPECT_EQ(parsed->scheme, expected->scheme) << text;
        EXPECT_EQ(parsed->host, expected->host) << text;
        EXPECT_EQ(parsed->port, expected->port) << text;
    }
    const auto a = URLComponents::parse("https://Hub.example/x");
    EXPECT_TRUE(a->sameOrigin(*URLComponents::parse("https://hub.example:443/y")));
    EXPECT_FALSE(a->sameOrigin(*URLComponents::parse("http://hub.example/x")));
    EXPECT_FALSE(a->sameOrigin(*URLComponents::parse("https://hub.example:8443/x")));
}

TEST(URLSessionTests, ASlowButSteadyAnswerArrivesWhole) {
    LoopbackHTTPServer server;
    ScriptedResponse slow{200, std::string(4000, 's'), {}};
    slow.chunkSize = 1000;
    slow.delayBetweenChunks = std::chrono::milliseconds(300);
    server.route("/slow", slow);

    URLSession session;
    const auto [body, response] = session.data({server.baseURL() + "/slow", {}, 1.0});
    EXPECT_EQ(body, slow.body);
    EXPECT_EQ(response.statusCode, 200);
}

TEST(URLSessionTests, AnAnswerThatStallsTimesOut) {
    LoopbackHTTPServer server;
    ScriptedResponse stalled{200, "late", {}};
    stalled.delayBeforeResponse = std::chrono::seconds(30);
    server.route("/stalled", stalled);

    URLSession session;
    try {
        (void)session.data({server.baseURL() + "/stalled", {}, 1.0});
        FAIL() << "answered";
    } catch (const URLError& error) {
        EXPECT_EQ(error.code(), 28);
        EXPECT_THAT(error.description(), ::testing::HasSubstr("timed out"));
    }
}

TEST(URLSessionTests, ADownloadStreamsToAFileAndACutOneLeavesNothing) {
    LoopbackHTTPServer server;
    server.route("/whole", {200, "whole body", {{"X-Kind", "test"}}});
    ScriptedResponse cut{200, std::string(10000, 'c'), {}};
    cut.closeAfterBodyBytes = 5000;
    server.route("/cut", cut);
    const Testing::TemporaryDirectory directory;
    URLSession session;

    const auto [file, response] = session.download({server.baseURL() + "/whole"}, directory.path());
    EXPECT_EQ(file.parent_path(), directory.path());
    EXPECT_EQ(response.headerFields.at("x-kind"), "test");
    std::ostringstream contents;
    contents << std::ifstream(file).rdbuf();
    EXPECT_EQ(contents.str(), "whole body");
    fs::remove(file);

    EXPECT_THROW((void)session.download({server.baseURL() + "/cut"}, directory.path()), URLError);
    EXPECT_TRUE(fs::is_empty(directory.path()));
}

TEST(URLSessionTests, ProxiesComeFromTheConfigurationAlone) {
    LoopbackHTTPServer proxy;
    proxy.route("/file", {200, "via proxy", {}});
    LoopbackHTTPServer origin;
    origin.route("/file", {200, "direct", {}});
    Testing::ScopedEnvironment environment;
    environment.set("http_proxy", "http://127.0.0.1:1");  // libcurl must not pick this up
    environment.set("HTTP_PROXY", "http://127.0.0.1:1");

    URLSession proxied(URLSessionConfiguration{ProxyDictionary{
        {ProxyKeys::httpEnable, true}, {ProxyKeys::httpProxy, std::string("127.0.0.1")},
        {ProxyKeys::httpPort, static_cast<int>(proxy.port())}}});
    EXPECT_EQ(proxied.data({"http://hub.invalid/file"}).first, "via proxy");
    EXPECT_EQ(proxy.requests().back().target, "http://hub.invalid/file");

    URLSession httpsOnly(URLSessionConfiguration{ProxyDictionary{
        {ProxyKeys::httpsEnable, true}, {ProxyKeys::httpsProxy, std::string("127.0.0.1")},
        {ProxyKeys::httpsPort, static_cast<int>(proxy.port())}}});
    URLSession direct;
    for (URLSession* session : {&httpsOnly, &direct}) {
        EXPECT_EQ(session->data({origin.baseURL() + "/file"}).first, "direct");
        EXPECT_EQ(origin.requests().back().target, "/file");
    }
    EXPECT_EQ(proxy.requests().size(), 1U);
}

}  // namespace
}  // namespace Tervane
