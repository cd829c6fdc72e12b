#pragma once

#include <Tervane/Diarizer/Online/Speaker.hpp>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace Tervane {

/// The speaker database's decisions as stateless functions: distances, embedding checks, the
/// assignment decision, speaker creation, embedding updates and merging. Invalid input is
/// logged and gives an empty result; nothing throws.
struct SpeakerUtilities {
    struct AssignmentConfig {
        float maxDistanceForAssignment = 0.65F;
        float maxDistanceForUpdate = 0.45F;
        float minSpeakerDuration = 4.0F;
        float minSegmentDuration = 1.0F;

        [[nodiscard]] static AssignmentConfig macOS() noexcept { return {0.65F, 0.45F, 4.0F, 1.0F}; }
        [[nodiscard]] static AssignmentConfig iOS() noexcept { return {0.55F, 0.45F, 4.0F, 1.0F}; }
        /// The desktop preset (`macOS`), which is what this platform is.
        [[nodiscard]] static AssignmentConfig current() noexcept { return macOS(); }

        friend bool operator==(const AssignmentConfig&, const AssignmentConfig&) = default;
    };

    struct AssignmentDecision {
        bool shouldAssign = false;
        bool shouldUpdate = false;
        float confidence = 0;
        std::string reason;

        friend bool operator==(const AssignmentDecision&, const AssignmentDecision&) = default;
    };

    struct SpeakerCreationParams {
        std::string id;
        std::string name;
        float duration = 0;
        std::vector<float> embedding;
        Date createdAt;
        Date updatedAt;
    };

    /// `success` with the parameters, or `failure` with the reason.
    class SpeakerCreationResult {
    public:
        [[nodiscard]] static SpeakerCreationResult success(SpeakerCreationParams params) {
            return SpeakerCreationResult(std::move(params), {});
        }
        [[nodiscard]] static SpeakerCreationResult failure(std::string reason) {
            return SpeakerCreationResult(std::nullopt, std::move(reason));
        }

        [[nodiscard]] bool isSuccess() const noexcept { return params_.has_value(); }
        /// The parameters of a success; none for a failure.
        [[nodiscard]] const std::optional<SpeakerCreationParams>& params() const noexcept { return params_; }
        /// The reason of a failure; empty for a success.
        [[nodiscard]] const std::string& reason() const noexcept { return reason_; }

    private:
        SpeakerCreationResult(std::optional<SpeakerCreationParams> params, std::string reason)
            : params_(std::move(params)), reason_(std::move(reason)) {}

        std::optional<SpeakerCreationParams> params_;
        std::string reason_;
    };

    struct SpeakerUpdateResult {
        std::optional<std::vector<float>> updatedMainEmbedding;
        std::vector<RawEmbedding> updatedRawEmbeddings;
        float updatedDuration = 0;
        bool shouldRecalculate = false;
    };

    /// What `mergeSpeakers` produces.
    struct MergedSpeakers {
        std::vector<RawEmbedding> rawEmbeddings;
        float duration = 0;
        std::optional<std::vector<float>> mainEmbedding;
    };

    /// 1 − cosine similarity, in [0, 2]; +infinity for empty, unequal-length or zero vectors.
    [[nodiscard]] static float cosineDistance(std::span<const float> a, std::span<const float> b);
    /// Non-empty, norm above `minMagnitude`, and every value finite.
    [[nodiscard]] static bool validateEmbedding(std::span<const float> embedding, float minMagnitude = 0.1F);

    [[nodiscard]] static AssignmentDecision shouldAssignSpeaker(float distance, float duration,
                                                                const AssignmentConfig& config = AssignmentConfig::current());
    /// The closest candidate (the first on ties) and its distance; none without candidates.
    [[nodiscard]] static std::optional<std::pair<std::shared_ptr<Speaker>, float>> findClosestSpeaker(
        std::span<const float> embedding, const std::vector<std::shared_ptr<Speaker>>& candidates);

    [[nodiscard]] static SpeakerCreationResult validateSpeakerCreation(
        const std::string& id, const std::optional<std::string>& name, float duration,
        std::span<const float> embedding, const AssignmentConfig& config = AssignmentConfig::current());
    /// The speaker `validateSpeakerCreation` allows, or none (logged).
    [[nodiscard]] static std::shared_ptr<Speaker> createSpeaker(
        const std::string& id, const std::optional<std::string>& name, float duration,
        std::span<const float> embedding, const AssignmentConfig& config = AssignmentConfig::current());

    /// normalise(alpha × normalise(current) + (1 − alpha) × normalise(new)).
    [[nodiscard]] static std::optional<std::vector<float>> updateEmbedding(std::span<const float> current,
                                                                           std::span<const float> newEmbedding,
                                                                           float alpha = 0.9F);
    /// The history with a new normalised entry (dropping the oldest at `maxCapacity`) and
    /// whether the main embedding should be recomputed; none for an invalid embedding.
    [[nodiscard]] static std::optional<std::pair<std::vector<RawEmbedding>, bool>> addRawEmbedding(
        std::vector<RawEmbedding> to, UUID segmentId, std::span<const float> embedding, Date timestamp,
        std::size_t maxCapacity = Speaker::maxRawEmbeddings);
    /// The history without the first entry of `segmentId`, and whether anything is left; the
    /// history unchanged and false when there is no such entry.
    [[nodiscard]] static std::pair<std::vector<RawEmbedding>, bool> removeRawEmbedding(std::vector<RawEmbedding> from,
                                                                                       UUID segmentId);
    [[nodiscard]] static std::optional<SpeakerUpdateResult> updateSpeakerWithSegment(
        std::span<const float> currentMainEmbedding, const std::vector<RawEmbedding>& currentRawEmbeddings,
        float currentDuration, float segmentDuration, std::span<const float> segmentEmbedding, UUID segmentId,
        float alpha = 0.9F, float minSegmentDuration = 1.0F);
    /// Both histories (cut to the `maxCapacity` newest), the summed duration and the average of
    /// the history as the main embedding.
    [[nodiscard]] static MergedSpeakers mergeSpeakers(const std::vector<RawEmbedding>& speaker1Raw,
                                                      float speaker1Duration,
                                                      const std::vector<RawEmbedding>& speaker2Raw,
                                                      float speaker2Duration,
                                                      std::size_t maxCapacity = Speaker::maxRawEmbeddings);
    /// `history` cut to its `capacity` newest entries (by timestamp; equal times keep their
    /// order), still oldest first, so that later additions go on pushing out the oldest.
    static void keepNewest(std::vector<RawEmbedding>& history, std::size_t capacity);
    /// The normalised mean of the vectors as long as the first; none when there is nothing to
    /// average.
    [[nodiscard]] static std::optional<std::vector<float>> averageEmbeddings(
        const std::vector<std::vector<float>>& embeddings);
};

}  // namespace Tervane
