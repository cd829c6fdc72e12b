#pragma once

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace Tervane {

/// A model repository on the hub: its name, local folder and remote id.
class Repo {
public:
    enum Value { vad, parakeet, parakeetV2, diarizer, kokoro };

    constexpr Repo(Value value) noexcept : value_(value) {}  // NOLINT: implicit like an enum case
    constexpr operator Value() const noexcept { return value_; }

    /// The repository with this remote id ("Halvorix/" + name), or none.
    [[nodiscard]] static std::optional<Repo> fromRawValue(std::string_view rawValue);
    [[nodiscard]] static const std::array<Repo, 5>& allCases();

    [[nodiscard]] std::string name() const;
    /// The folder the repository is cached in, under the model cache root.
    [[nodiscard]] std::string folderName() const;
    [[nodiscard]] std::string rawValue() const;
    [[nodiscard]] std::string remotePath() const { return rawValue(); }

private:
    Value value_;
};

/// File names of every model family's compiled bundles.
namespace ModelNames {

namespace ASR {
inline const std::string preprocessor = "Preprocessor";
inline const std::string encoder = "Encoder";
inline const std::string decoder = "Decoder";
inline const std::string joint = "JointDecision";
inline const std::string preprocessorFile = "Preprocessor.mlmodelc";
inline const std::string encoderFile = "Encoder.mlmodelc";
inline const std::string decoderFile = "Decoder.mlmodelc";
inline const std::string jointFile = "JointDecision.mlmodelc";
inline const std::string vocabularyFile = "parakeet_vocab.json";
[[nodiscard]] const std::set<std::string>& requiredModels();
/// The vocabulary file of a repository; the same for every one.
[[nodiscard]] std::string vocabulary(Repo repo);
}  // namespace ASR

namespace OfflineDiarizer {
inline const std::string segmentation = "Segmentation";
inline const std::string fbank = "FBank";
inline const std::string embedding = "Embedding";
inline const std::string pldaRho = "PldaRho";
inline const std::string segmentationFile = "Segmentation.mlmodelc";
inline const std::string fbankFile = "FBank.mlmodelc";
inline const std::string embeddingFile = "Embedding.mlmodelc";
inline const std::string pldaRhoFile = "PldaRho.mlmodelc";
inline const std::string& segmentationPath = segmentationFile;
inline const std::string& fbankPath = fbankFile;
inline const std::string& embeddingPath = embeddingFile;
inline const std::string& pldaRhoPath = pldaRhoFile;
[[nodiscard]] const std::set<std::string>& requiredModels();
}  // namespace OfflineDiarizer

namespace Diarizer {
inline const std::string segmentation = "pyannote_segmentation";
inline const std::string embedding = "wespeaker_v2";
inline const std::string segmentationFile = "pyannote_segmentation.mlmodelc";
inline const std::string embeddingFile = "wespeaker_v2.mlmodelc";
[[nodiscard]] const std::set<std::string>& requiredModels();
}  // namespace Diarizer

namespace VAD {
inline const std::string sileroVad = "silero-vad-unified-256ms-v6.0.0";
inline const std::string sileroVadFile = "silero-vad-unified-256ms-v6.0.0.mlmodelc";
[[nodiscard]] const std::set<std::string>& requiredModels();
}  // namespace VAD

namespace TTS {
enum class Variant { fiveSecond, fifteenSecond };
[[nodiscard]] int maxDurationSeconds(Variant variant) noexcept;
inline constexpr Variant defaultVariant = Variant::fifteenSecond;
[[nodiscard]] std::string bundle(Variant variant);
inline const std::string defaultBundle = "kokoro_21_15s.mlmodelc";
[[nodiscard]] const std::set<std::string>& requiredModels();
}  // namespace TTS

/// The bundles a repository must hold before it counts as cached. For the diarizer the
/// variant "offline" selects the offline pipeline's bundles; anything else the online ones.
[[nodiscard]] const std::set<std::string>& getRequiredModelNames(
    Repo repo, const std::optional<std::string>& variant = std::nullopt);

}  // namespace ModelNames

}  // namespace Tervane
