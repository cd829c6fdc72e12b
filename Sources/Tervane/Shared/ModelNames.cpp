#include <Tervane/Shared/ModelNames.hpp>

namespace Tervane {

std::optional<Repo> Repo::fromRawValue(std::string_view rawValue) {
    for (Repo repo : allCases()) {
        if (repo.rawValue() == rawValue) return repo;
    }
    return std::nullopt;
}

const std::array<Repo, 5>& Repo::allCases() {
    static const std::array<Repo, 5> cases{vad, parakeet, parakeetV2, diarizer, kokoro};
    return cases;
}

std::string Repo::name() const {
    switch (value_) {
        case vad: return "silero-vad-coreml";
        case parakeet: return "parakeet-tdt-0.6b-v3-coreml";
        case parakeetV2: return "parakeet-tdt-0.6b-v2-coreml";
        case diarizer: return "speaker-diarization-coreml";
        case kokoro: return "kokoro-82m-coreml";
    }
    return {};
}

std::string Repo::folderName() const {
    return value_ == kokoro ? std::string("kokoro") : name();
}

std::string Repo::rawValue() const { return "Halvorix/" + name(); }

namespace ModelNames {

const std::set<std::string>& ASR::requiredModels() {
    static const std::set<std::string> names{preprocessorFile, encoderFile, decoderFile, jointFile};
    return names;
}

std::string ASR::vocabulary(Repo) { return vocabularyFile; }

const std::set<std::string>& OfflineDiarizer::requiredModels() {
    static const std::set<std::string> names{segmentationFile, fbankFile, embeddingFile, pldaRhoFile};
    return names;
}

const std::set<std::string>& Diarizer::requiredModels() {
    static const std::set<std::string> names{segmentationFile, embeddingFile};
    return names;
}

const std::set<std::string>& VAD::requiredModels() {
    static const std::set<std::string> names{sileroVadFile};
    return names;
}

int TTS::maxDurationSeconds(Variant variant) noexcept {
    return variant == Variant::fiveSecond ? 5 : 15;
}

std::string TTS::bundle(Variant variant) {
    return variant == Variant::fiveSecond ? "kokoro_21_5s.mlmodelc" : "kokoro_21_15s.mlmodelc";
}

const std::set<std::string>& TTS::requiredModels() {
    static const std::set<std::string> names{bundle(Variant::fiveSecond), bundle(Variant::fifteenSecond)};
    return names;
}

const std::set<std::string>& getRequiredModelNames(Repo repo, const std::optional<std::string>& variant) {
    switch (repo) {
        case Repo::parakeet:
        case Repo::parakeetV2: return ASR::requiredModels();
        case Repo::vad: return VAD::requiredModels();
        case Repo::diarizer:
            return variant == std::string("offline") ? OfflineDiarizer::requiredModels()
                                                     : Diarizer::requiredModels();
        case Repo::kokoro: return TTS::requiredModels();
    }
    return ASR::requiredModels();
}

}  // namespace ModelNames

}  // namespace Tervane
