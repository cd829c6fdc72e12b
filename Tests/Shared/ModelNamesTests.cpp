#include <Tervane/Shared/ModelNames.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

namespace Tervane {
namespace {

TEST(ModelNamesTests, RepositoriesHaveTheirNamesFoldersAndRemoteIds) {
    struct Case {
        Repo repo;
        std::string name;
        std::string folderName;
    };
    const Case cases[] = {
        {Repo::vad, "silero-vad-coreml", "silero-vad-coreml"},
        {Repo::parakeet, "parakeet-tdt-0.6b-v3-coreml", "parakeet-tdt-0.6b-v3-coreml"},
        {Repo::parakeetV2, "parakeet-tdt-0.6b-v2-coreml", "parakeet-tdt-0.6b-v2-coreml"},
        {Repo::diarizer, "speaker-diarization-coreml", "speaker-diarization-coreml"},
        {Repo::kokoro, "kokoro-82m-coreml", "kokoro"},
    };
    ASSERT_EQ(Repo::allCases().size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [repo, name, folderName] = cases[i];
        EXPECT_EQ(Repo::allCases()[i], repo) << name;
        EXPECT_EQ(repo.name(), name);
        EXPECT_EQ(repo.folderName(), folderName);
        EXPECT_EQ(repo.rawValue(), "Halvorix/" + name);
        EXPECT_EQ(repo.remotePath(), repo.rawValue());
        EXPECT_EQ(Repo::fromRawValue(repo.rawValue()), repo);
    }
}

TEST(ModelNamesTests, OnlyTheExactRemoteIdsNameARepository) {
    for (const char* text : {"silero-vad-coreml", "halvorix/silero-vad-coreml", "Halvorix/kokoro", "Halvorix/",
                             "Halvorix/silero-vad-coreml/", ""}) {
        EXPECT_EQ(Repo::fromRawValue(text), std::nullopt) << text;
    }
}

TEST(ModelNamesTests, RequiredModelsFollowTheRepositoryAndVariant) {
    using Names = std::set<std::string>;
    const Names asr{"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecision.mlmodelc"};
    const Names offline{"Segmentation.mlmodelc", "FBank.mlmodelc", "Embedding.mlmodelc", "PldaRho.mlmodelc"};
    const Names online{"pyannote_segmentation.mlmodelc", "wespeaker_v2.mlmodelc"};
    struct Case {
        Repo repo;
        std::optional<std::string> variant;
        Names expected;
    };
    const Case cases[] = {
        {Repo::parakeet, std::nullopt, asr},
        {Repo::parakeetV2, "offline", asr},
        {Repo::vad, std::nullopt, {"silero-vad-unified-256ms-v6.0.0.mlmodelc"}},
        {Repo::diarizer, "offline", offline},
        {Repo::diarizer, std::nullopt, online},
        {Repo::diarizer, "Offline", online},
        {Repo::diarizer, "online", online},
        {Repo::kokoro, std::nullopt, {"kokoro_21_5s.mlmodelc", "kokoro_21_15s.mlmodelc"}},
    };
    for (const auto& [repo, variant, expected] : cases) {
        EXPECT_EQ(ModelNames::getRequiredModelNames(repo, variant), expected)
            << repo.name() << " / " << variant.value_or("none");
    }
}

TEST(ModelNamesTests, SpeechBundlesMatchTheirVariants) {
    using ModelNames::TTS::Variant;
    EXPECT_EQ(ModelNames::TTS::bundle(Variant::fiveSecond), "kokoro_21_5s.mlmodelc");
    EXPECT_EQ(ModelNames::TTS::bundle(ModelNames::TTS::defaultVariant), ModelNames::TTS::defaultBundle);
    EXPECT_EQ(ModelNames::TTS::maxDurationSeconds(Variant::fiveSecond), 5);
    EXPECT_EQ(ModelNames::TTS::maxDurationSeconds(Variant::fifteenSecond), 15);
    EXPECT_EQ(ModelNames::ASR::vocabulary(Repo::parakeetV2), "parakeet_vocab.json");
}

}  // namespace
}  // namespace Tervane
