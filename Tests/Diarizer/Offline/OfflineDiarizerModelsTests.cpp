#include "Support/DiarizerFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerModels.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Shared/Base64.hpp>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace Tervane {

/// Reaches the library loader's private PLDA search.
struct OfflineDiarizerModelsTestAccess {
    static std::vector<double> loadPLDAPsi(const std::filesystem::path& directory) {
        return OfflineDiarizerModels::loadPLDAPsi(directory);
    }
};

}  // namespace Tervane

namespace {

using namespace Tervane;
using namespace Tervane::Testing;

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string psiDocument(const std::string& base64) {
    return nlohmann::json{{"tensors", {{"psi", {{"data_base64", base64}}}}}}.dump();
}

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.description();
    }
    return "no failure";
}

TEST(OfflineDiarizerModels, PldaParametersAreSearchedInOrder) {
    const TemporaryDirectory directory("tervane-plda-search");
    const auto load = [&] { return OfflineDiarizerModelsTestAccess::loadPLDAPsi(directory.path()); };
    EXPECT_EQ(failureOf([&] { (void)load(); }),
              "Processing failed: PLDA parameters file not found in " + directory.path().string());

    writeText(directory / "speaker-diarization-offline/plda-parameters.json", pldaParametersJson({3.0F}));
    EXPECT_EQ(load(), std::vector<double>{3.0});
    writeText(directory / "speaker-diarization-coreml/plda-parameters.json", pldaParametersJson({2.0F}));
    EXPECT_EQ(load(), std::vector<double>{2.0});
    writeText(directory / "plda-parameters.json", pldaParametersJson(fixturePldaPsi()));
    const std::vector<double> psi = load();
    ASSERT_EQ(psi.size(), 128U);
    EXPECT_DOUBLE_EQ(psi[0], 1.0);
    EXPECT_DOUBLE_EQ(psi[127], 1.0 + 127.0 / 128.0);
}

TEST(OfflineDiarizerModels, DecodesPsiFromBase64) {
    std::vector<std::uint8_t> bytes(514);
    for (std::size_t i = 0; i < 128; ++i) {
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(i) * 0.5F - 3.0F);
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[4 * i + b] = static_cast<std::uint8_t>(bits >> (8 * b));
        }
    }
    bytes[512] = 0xff;
    bytes[513] = 0x7f;
    std::string text = base64Encode(bytes);
    for (std::size_t at = 60; at < text.size(); at += 61) {
        text.insert(at, at % 2 ? "\n" : " \t");  // line breaks and spaces are skipped
    }
    const std::vector<double> psi = OfflineDiarizerModels::decodePLDAPsi(nlohmann::json::parse(psiDocument(text)));
    ASSERT_EQ(psi.size(), 128U);
    EXPECT_DOUBLE_EQ(psi[0], -3.0);
    EXPECT_DOUBLE_EQ(psi[127], 60.5);
}

TEST(OfflineDiarizerModels, RefusesParametersItCannotDecode) {
    const std::string undecodable = "Processing failed: Failed to decode PLDA psi parameters";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"([1, 2])", undecodable},
        {R"({"psi": {}})", undecodable},
        {R"({"tensors": []})", undecodable},
        {R"({"tensors": {"phi": {"data_base64": "AAAAAA=="}}})", undecodable},
        {R"({"tensors": {"psi": "AAAA"}})", undecodable},
        {R"({"tensors": {"psi": {"data_base64": 5}}})", undecodable},
        {R"({"tensors": {"psi": {"data_base64": "AAAAA"}}})", undecodable},
        {R"({"tensors": {"psi": {"data_base64": "AA==AA"}}})", undecodable},
        {R"({"tensors": {"psi": {"data_base64": "AAAA"}}})", "Processing failed: PLDA psi tensor is empty"},
        {R"({"tensors": {"psi": {"data_base64": ""}}})", "Processing failed: PLDA psi tensor is empty"},
    };
    for (const auto& [document, message] : cases) {
        SCOPED_TRACE(document);
        EXPECT_EQ(failureOf([&] { (void)OfflineDiarizerModels::decodePLDAPsi(nlohmann::json::parse(document)); }), message);
    }

    const TemporaryDirectory directory("tervane-plda-bad");
    EXPECT_THROW((void)OfflineDiarizerModels::readPLDAPsi(directory / "missing.json"), FileError);
    writeText(directory / "broken.json", "{\"tensors\":");
    EXPECT_THROW((void)OfflineDiarizerModels::readPLDAPsi(directory / "broken.json"), nlohmann::json::parse_error);
}

TEST(OfflineDiarizerModels, Base64SkipsUnknownCharacters) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"", ""}, {"TWFu", "Man"}, {"TW Fu\n", "Man"}, {"TWE=", "Ma"}, {"TQ==", "M"}, {"TQ", "M"},
        {"T", std::nullopt}, {"TQ===", std::nullopt}, {"TQ=x", std::nullopt}, {"*TQ==*", "M"}};
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        const auto decoded = Base64::decodeIgnoringUnknownCharacters(text);
        ASSERT_EQ(decoded.has_value(), expected.has_value());
        if (decoded) {
            EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *expected);
        }
    }
}

TEST(OfflineDiarizerModels, DefaultDirectoryIsUnderTheUsersDataDirectory) {
    const char* previous = std::getenv("XDG_DATA_HOME");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(OfflineDiarizerModels::defaultModelsDirectory(), std::filesystem::path("/srv/data/Tervane/Models"));
    if (previous != nullptr) {
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
