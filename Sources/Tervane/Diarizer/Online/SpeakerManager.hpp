#pragma once

#include <Tervane/Diarizer/Online/Speaker.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

namespace Tervane {

/// The online diarizer's speaker database: speaker id -> `Speaker`. It assigns an embedding to
/// the closest known speaker or creates a new one with the next numeric id ("1", "2", ...),
/// keeps each speaker's embedding up to date, and merges, removes and seeds speakers.
///
/// Safe to share between threads: every operation that changes the database holds it
/// exclusively, reads share it, and each call returns when its work is done. The speakers it
/// hands out are the stored objects themselves. Invalid input is logged and ignored; nothing
/// throws.
class SpeakerManager {
public:
    /// Length of every embedding the database accepts.
    static constexpr int embeddingSize = 256;

    /// Predicates run while the database is held, so they must not call back into it.
    using SpeakerPredicate = std::function<bool(const Speaker&)>;

    struct MergeablePair {
        std::string speakerToMerge;
        std::string destination;

        friend bool operator==(const MergeablePair&, const MergeablePair&) = default;
    };

    struct GlobalSpeakerStats {
        int totalSpeakers = 0;
        float totalDuration = 0;
        float averageConfidence = 0;
        int speakersWithHistory = 0;

        friend bool operator==(const GlobalSpeakerStats&, const GlobalSpeakerStats&) = default;
    };

    /// `speakerThreshold`: largest distance at which an embedding joins a speaker;
    /// `embeddingThreshold`: largest distance at which it also updates the speaker's embedding;
    /// `minSpeechDuration`: shortest speech (seconds) that creates a speaker. The defaults are
    /// what the online diarizer's default configuration passes.
    explicit SpeakerManager(float speakerThreshold = 0.84F, float embeddingThreshold = 0.56F,
                            float minSpeechDuration = 1.0F, float minEmbeddingUpdateDuration = 2.0F);

    SpeakerManager(const SpeakerManager&) = delete;
    SpeakerManager& operator=(const SpeakerManager&) = delete;

    [[nodiscard]] float speakerThreshold() const noexcept { return speakerThreshold_.load(); }
    void setSpeakerThreshold(float value) noexcept { speakerThreshold_.store(value); }
    [[nodiscard]] float embeddingThreshold() const noexcept { return embeddingThreshold_.load(); }
    void setEmbeddingThreshold(float value) noexcept { embeddingThreshold_.store(value); }
    [[nodiscard]] float minSpeechDuration() const noexcept { return minSpeechDuration_.load(); }
    void setMinSpeechDuration(float value) noexcept { minSpeechDuration_.store(value); }
    [[nodiscard]] float minEmbeddingUpdateDuration() const noexcept { return minEmbeddingUpdateDuration_.load(); }
    void setMinEmbeddingUpdateDuration(float value) noexcept { minEmbeddingUpdateDuration_.store(value); }

    /// The numeric id the next created speaker gets, and the largest numeric id seen.
    [[nodiscard]] std::int64_t nextSpeakerId() const;
    [[nodiscard]] std::int64_t highestSpeakerId() const;

    /// The closest speaker when strictly closer than the threshold (given, else
    /// `speakerThreshold`), updated with the embedding; otherwise a new speaker when
    /// `speechDuration` reaches `minSpeechDuration`; otherwise none. The embedding must hold
    /// `embeddingSize` values. `confidence` and `newName` have no effect.
    std::shared_ptr<Speaker> assignSpeaker(const std::vector<float>& embedding, float speechDuration,
                                           float confidence = 1.0F,
                                           std::optional<float> speakerThreshold = std::nullopt,
                                           const std::optional<std::string>& newName = std::nullopt);

    /// The closest speaker and its distance when the distance is at most the threshold, else
    /// (none, +infinity).
    [[nodiscard]] std::pair<std::optional<std::string>, float> findSpeaker(
        const std::vector<float>& embedding, std::optional<float> speakerThreshold = std::nullopt) const;
    /// Every speaker within the threshold, closest first (ties in database order).
    [[nodiscard]] std::vector<std::pair<std::string, float>> findMatchingSpeakers(
        const std::vector<float>& embedding, std::optional<float> speakerThreshold = std::nullopt) const;
    [[nodiscard]] std::vector<std::string> findSpeakers(const SpeakerPredicate& predicate) const;

    void makeSpeakerPermanent(const std::string& id);
    void revokePermanence(const std::string& id);
    void resetPermanentFlags();

    /// Merges `source` into `destination` and removes `source`; nothing when the ids are equal,
    /// either is missing, or `stopIfPermanent` is set and `source` is permanent.
    void mergeSpeaker(const std::string& source, const std::string& destination,
                      const std::optional<std::string>& mergedName = std::nullopt, bool stopIfPermanent = true);
    /// Pairs whose main embeddings are closer than the threshold; the later id (in database
    /// order) merges into the earlier, unless the later one is permanent.
    [[nodiscard]] std::vector<MergeablePair> findMergeablePairs(std::optional<float> speakerThreshold = std::nullopt,
                                                                bool excludeIfBothPermanent = true) const;

    void removeSpeaker(const std::string& id, bool keepIfPermanent = true);
    /// Removes speakers last updated before `date`.
    void removeSpeakersInactive(Date since, bool keepIfPermanent = true);
    /// Removes speakers not updated during the last `seconds`.
    void removeSpeakersInactive(double seconds, bool keepIfPermanent = true);
    void removeSpeakers(const SpeakerPredicate& predicate, bool keepIfPermanent);
    /// Removes matching speakers except permanent ones.
    void removeSpeakers(const SpeakerPredicate& predicate);

    [[nodiscard]] bool hasSpeaker(const std::string& id) const;
    [[nodiscard]] int speakerCount() const;
    [[nodiscard]] std::shared_ptr<Speaker> getSpeaker(const std::string& id) const;
    /// The database in its order (ids ascending as text).
    [[nodiscard]] std::map<std::string, std::shared_ptr<Speaker>> getAllSpeakers() const;
    [[nodiscard]] std::vector<std::shared_ptr<Speaker>> getSpeakerList() const;
    /// Ids ascending as text.
    [[nodiscard]] std::vector<std::string> speakerIds() const;
    [[nodiscard]] std::vector<std::string> permanentSpeakerIds() const;
    /// The ids, as `speakerIds`.
    [[nodiscard]] std::vector<std::string> getCurrentSpeakerNames() const;

    /// Updates the stored speaker of that id from the speaker's fields, or stores a new one.
    void upsertSpeaker(const Speaker& speaker);
    void upsertSpeaker(const std::string& id, const std::vector<float>& currentEmbedding, float duration,
                       const std::vector<RawEmbedding>& rawEmbeddings = {}, int updateCount = 1,
                       std::optional<Date> createdAt = std::nullopt, std::optional<Date> updatedAt = std::nullopt,
                       bool isPermanent = false);

    /// Seeds the database with known speakers (stored as given, not copied); numbering then
    /// continues after the largest numeric id among them.
    void initializeKnownSpeakers(const std::vector<std::shared_ptr<Speaker>>& speakers,
                                 SpeakerInitializationMode mode = SpeakerInitializationMode::skip,
                                 bool preserveIfPermanent = true);

    /// Moves the first history entry of `segmentId` from one speaker to the other.
    bool reassignSegment(UUID segmentId, const std::string& from, const std::string& to);

    /// Empties the database (keeping permanent speakers when asked) and restarts numbering.
    void reset(bool keepIfPermanent = false);

    [[nodiscard]] GlobalSpeakerStats getGlobalSpeakerStats() const;

private:
    using Database = std::map<std::string, std::shared_ptr<Speaker>>;

    // The helpers below expect `lock_` to be held by the caller.
    std::shared_ptr<Speaker> createSpeakerLocked(const std::vector<float>& embedding, float speechDuration,
                                                 float distanceToClosest, const std::optional<std::string>& name);
    void updateExistingSpeakerLocked(const std::string& id, const std::vector<float>& embedding,
                                     float speechDuration, float distance);
    void removeMatchingLocked(const SpeakerPredicate& predicate, bool keepIfPermanent, const std::string& reason);
    void resetLocked(bool keepIfPermanent);
    /// Raises the numbering past `id` when it is numeric.
    void noteNumericIdLocked(const std::string& id);

    AppLogger logger_{"SpeakerManager"};
    Database speakerDatabase_;
    std::int64_t nextSpeakerId_ = 1;
    mutable std::shared_mutex lock_;
    std::int64_t highestSpeakerId_ = 0;
    std::atomic<float> speakerThreshold_;
    std::atomic<float> embeddingThreshold_;
    std::atomic<float> minSpeechDuration_;
    std::atomic<float> minEmbeddingUpdateDuration_;
};

}  // namespace Tervane
