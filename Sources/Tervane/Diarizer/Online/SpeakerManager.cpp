#include <Tervane/Diarizer/Online/SpeakerManager.hpp>

#include <Tervane/Diarizer/Offline/VDSPOperations.hpp>
#include <Tervane/Diarizer/Online/SpeakerUtilities.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>
#include <limits>
#include <mutex>

namespace Tervane {

namespace {

using ExclusiveLock = std::unique_lock<std::shared_mutex>;
using SharedLock = std::shared_lock<std::shared_mutex>;

constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr std::int64_t largestId = std::numeric_limits<std::int64_t>::max();

Date now() { return std::chrono::system_clock::now(); }

/// The number after `id`, saturating instead of overflowing.
std::int64_t successor(std::int64_t id) { return id == largestId ? largestId : id + 1; }

}  // namespace

SpeakerManager::SpeakerManager(float speakerThreshold, float embeddingThreshold, float minSpeechDuration,
                               float minEmbeddingUpdateDuration)
    : speakerThreshold_(speakerThreshold),
      embeddingThreshold_(embeddingThreshold),
      minSpeechDuration_(minSpeechDuration),
      minEmbeddingUpdateDuration_(minEmbeddingUpdateDuration) {}

std::int64_t SpeakerManager::nextSpeakerId() const {
    const SharedLock lock(lock_);
    return nextSpeakerId_;
}

std::int64_t SpeakerManager::highestSpeakerId() const {
    const SharedLock lock(lock_);
    return highestSpeakerId_;
}

// MARK: - Assignment

std::shared_ptr<Speaker> SpeakerManager::assignSpeaker(const std::vector<float>& embedding, float speechDuration,
                                                       float /*confidence*/, std::optional<float> speakerThreshold,
                                                       const std::optional<std::string>& /*newName*/) {
    if (embedding.size() != static_cast<std::size_t>(embeddingSize)) {
        logger_.error("Invalid embedding size: " + std::to_string(embedding.size()));
        return nullptr;
    }
    const std::vector<float> normalized = VDSPOperations::l2Normalize(embedding);
    const float threshold = speakerThreshold.value_or(this->speakerThreshold());

    const ExclusiveLock lock(lock_);
    std::shared_ptr<Speaker> closest;
    float closestDistance = infinity;
    for (const auto& [id, speaker] : speakerDatabase_) {
        const float distance = SpeakerUtilities::cosineDistance(normalized, speaker->currentEmbedding());
        if (!closest || distance < closestDistance) {
            closest = speaker;
            closestDistance = distance;
        }
    }

    if (closest && threshold > closestDistance) {
        updateExistingSpeakerLocked(closest->id(), normalized, speechDuration, closestDistance);
        return closest;
    }
    if (minSpeechDuration() <= speechDuration) {
        return createSpeakerLocked(normalized, speechDuration, closestDistance, std::nullopt);
    }
    logger_.debug("Audio segment too short (" + NumberText::shortest(speechDuration) + "s) to create new speaker");
    return nullptr;
}

void SpeakerManager::updateExistingSpeakerLocked(const std::string& id, const std::vector<float>& embedding,
                                                 float speechDuration, float distance) {
    const auto found = speakerDatabase_.find(id);
    if (found == speakerDatabase_.end()) {
        logger_.error("Speaker " + id + " not found in database");
        return;
    }
    Speaker& speaker = *found->second;
    if (distance < embeddingThreshold()) {
        if (VectorRoutines::svesq(embedding) > 0.01F) {
            speaker.updateMainEmbedding(speechDuration, embedding, UUID::random(), 0.9F);
        }
        return;
    }
    // A match that is not close enough to learn from still counts as this speaker's speech.
    speaker.setDuration(speaker.duration() + speechDuration);
    speaker.setUpdatedAt(now());
}

std::shared_ptr<Speaker> SpeakerManager::createSpeakerLocked(const std::vector<float>& embedding, float speechDuration,
                                                             float distanceToClosest,
                                                             const std::optional<std::string>& name) {
    const std::int64_t number = nextSpeakerId_;
    const std::string id = std::to_string(number);
    nextSpeakerId_ = successor(nextSpeakerId_);
    highestSpeakerId_ = std::max(highestSpeakerId_, number);

    auto speaker = std::make_shared<Speaker>(id, name.value_or("Speaker " + id), embedding, speechDuration, now(),
                                             now(), false);
    speaker->addRawEmbedding(RawEmbedding(UUID::random(), embedding, now()));
    speakerDatabase_[id] = speaker;
    logger_.info("Created new speaker " + id + " (distance to closest: " + NumberText::shortest(distanceToClosest) +
                 ")");
    return speaker;
}

// MARK: - Lookup

std::pair<std::optional<std::string>, float> SpeakerManager::findSpeaker(const std::vector<float>& embedding,
                                                                         std::optional<float> speakerThreshold) const {
    const float threshold = speakerThreshold.value_or(this->speakerThreshold());
    const SharedLock lock(lock_);
    std::optional<std::string> closest;
    float closestDistance = infinity;
    for (const auto& [id, speaker] : speakerDatabase_) {
        const float distance = SpeakerUtilities::cosineDistance(embedding, speaker->currentEmbedding());
        if (!closest || distance < closestDistance) {
            closest = id;
            closestDistance = distance;
        }
    }
    if (closest && closestDistance <= threshold) {
        return {closest, closestDistance};
    }
    return {std::nullopt, infinity};
}

std::vector<std::pair<std::string, float>> SpeakerManager::findMatchingSpeakers(
    const std::vector<float>& embedding, std::optional<float> speakerThreshold) const {
    const float threshold = speakerThreshold.value_or(this->speakerThreshold());
    const SharedLock lock(lock_);
    std::vector<std::pair<std::string, float>> matches;
    for (const auto& [id, speaker] : speakerDatabase_) {
        const float distance = SpeakerUtilities::cosineDistance(embedding, speaker->currentEmbedding());
        if (distance <= threshold) {
            matches.emplace_back(id, distance);
        }
    }
    std::ranges::stable_sort(matches, std::ranges::less{}, &std::pair<std::string, float>::second);
    return matches;
}

std::vector<std::string> SpeakerManager::findSpeakers(const SpeakerPredicate& predicate) const {
    const SharedLock lock(lock_);
    std::vector<std::string> ids;
    for (const auto& [id, speaker] : speakerDatabase_) {
        if (predicate(*speaker)) {
            ids.push_back(id);
        }
    }
    return ids;
}

// MARK: - Permanence

void SpeakerManager::makeSpeakerPermanent(const std::string& id) {
    const ExclusiveLock lock(lock_);
    const auto found = speakerDatabase_.find(id);
    if (found == speakerDatabase_.end()) {
        logger_.warning("Failed to mark speaker " + id + " as permanent (speaker not found).");
        return;
    }
    logger_.info("Marking speaker " + id + " as permanent.");
    found->second->setPermanent(true);
}

void SpeakerManager::revokePermanence(const std::string& id) {
    const ExclusiveLock lock(lock_);
    const auto found = speakerDatabase_.find(id);
    if (found == speakerDatabase_.end()) {
        logger_.warning("Failed to revoke permanence from speaker " + id + " (speaker not found).");
        return;
    }
    logger_.info("Revoking permanence from speaker " + id + ".");
    found->second->setPermanent(false);
}

void SpeakerManager::resetPermanentFlags() {
    const ExclusiveLock lock(lock_);
    for (const auto& [id, speaker] : speakerDatabase_) {
        speaker->setPermanent(false);
    }
}

// MARK: - Merging

void SpeakerManager::mergeSpeaker(const std::string& source, const std::string& destination,
                                  const std::optional<std::string>& mergedName, bool stopIfPermanent) {
    if (source == destination) {
        return;
    }
    const ExclusiveLock lock(lock_);
    const auto from = speakerDatabase_.find(source);
    const auto into = speakerDatabase_.find(destination);
    if (from == speakerDatabase_.end() || into == speakerDatabase_.end()) {
        return;
    }
    if (stopIfPermanent && from->second->isPermanent()) {
        return;
    }
    into->second->mergeWith(*from->second, mergedName);
    speakerDatabase_.erase(from);
}

std::vector<SpeakerManager::MergeablePair> SpeakerManager::findMergeablePairs(std::optional<float> speakerThreshold,
                                                                              bool excludeIfBothPermanent) const {
    const float threshold = speakerThreshold.value_or(this->speakerThreshold());
    const SharedLock lock(lock_);
    std::vector<std::shared_ptr<Speaker>> speakers;
    speakers.reserve(speakerDatabase_.size());
    for (const auto& [id, speaker] : speakerDatabase_) {
        speakers.push_back(speaker);
    }
    std::vector<MergeablePair> pairs;
    for (std::size_t i = 0; i < speakers.size(); ++i) {
        const Speaker& earlier = *speakers[i];
        for (std::size_t j = i + 1; j < speakers.size(); ++j) {
            const Speaker& later = *speakers[j];
            const bool laterIsPermanent = later.isPermanent();
            if (excludeIfBothPermanent && earlier.isPermanent() && laterIsPermanent) {
                logger_.info("findMergeablePairs: Skipping " + earlier.id() + " and " + later.id() +
                             " as both are permanent");
                continue;
            }
            const float distance =
                SpeakerUtilities::cosineDistance(earlier.currentEmbedding(), later.currentEmbedding());
            if (threshold > distance) {
                pairs.push_back(laterIsPermanent ? MergeablePair{earlier.id(), later.id()}
                                                 : MergeablePair{later.id(), earlier.id()});
            }
        }
    }
    return pairs;
}

// MARK: - Removal

void SpeakerManager::removeSpeaker(const std::string& id, bool keepIfPermanent) {
    const ExclusiveLock lock(lock_);
    const auto found = speakerDatabase_.find(id);
    if (found == speakerDatabase_.end()) {
        logger_.warning("Failed to remove speaker: " + id + " (Speaker not found)");
        return;
    }
    if (keepIfPermanent && found->second->isPermanent()) {
        logger_.warning("Failed to remove speaker: " + id + " (Speaker is permanent)");
        return;
    }
    speakerDatabase_.erase(found);
    logger_.info("Removing speaker: " + id);
}

void SpeakerManager::removeSpeakersInactive(Date since, bool keepIfPermanent) {
    const ExclusiveLock lock(lock_);
    removeMatchingLocked([since](const Speaker& speaker) { return speaker.updatedAt() < since; }, keepIfPermanent,
                         " due to inactivity");
}

void SpeakerManager::removeSpeakersInactive(double seconds, bool keepIfPermanent) {
    // Through seconds, so that any span (even a huge or NaN one) gives a date in the clock's range.
    removeSpeakersInactive(dateFromSecondsSinceReferenceDate(secondsSinceReferenceDate(now()) - seconds),
                           keepIfPermanent);
}

void SpeakerManager::removeSpeakers(const SpeakerPredicate& predicate, bool keepIfPermanent) {
    const ExclusiveLock lock(lock_);
    removeMatchingLocked(predicate, keepIfPermanent, " based on predicate");
}

void SpeakerManager::removeSpeakers(const SpeakerPredicate& predicate) { removeSpeakers(predicate, true); }

void SpeakerManager::removeMatchingLocked(const SpeakerPredicate& predicate, bool keepIfPermanent,
                                          const std::string& reason) {
    for (auto entry = speakerDatabase_.begin(); entry != speakerDatabase_.end();) {
        const Speaker& speaker = *entry->second;
        if (predicate(speaker) && !(keepIfPermanent && speaker.isPermanent())) {
            logger_.info("Removing speaker " + entry->first + reason);
            entry = speakerDatabase_.erase(entry);
        } else {
            ++entry;
        }
    }
}

// MARK: - Reads

bool SpeakerManager::hasSpeaker(const std::string& id) const {
    const SharedLock lock(lock_);
    return speakerDatabase_.contains(id);
}

int SpeakerManager::speakerCount() const {
    const SharedLock lock(lock_);
    return static_cast<int>(speakerDatabase_.size());
}

std::shared_ptr<Speaker> SpeakerManager::getSpeaker(const std::string& id) const {
    const SharedLock lock(lock_);
    const auto found = speakerDatabase_.find(id);
    return found == speakerDatabase_.end() ? nullptr : found->second;
}

std::map<std::string, std::shared_ptr<Speaker>> SpeakerManager::getAllSpeakers() const {
    const SharedLock lock(lock_);
    return speakerDatabase_;
}

std::vector<std::shared_ptr<Speaker>> SpeakerManager::getSpeakerList() const {
    const SharedLock lock(lock_);
    std::vector<std::shared_ptr<Speaker>> speakers;
    speakers.reserve(speakerDatabase_.size());
    for (const auto& [id, speaker] : speakerDatabase_) {
        speakers.push_back(speaker);
    }
    return speakers;
}

std::vector<std::string> SpeakerManager::speakerIds() const {
    const SharedLock lock(lock_);
    std::vector<std::string> ids;
    ids.reserve(speakerDatabase_.size());
    for (const auto& [id, speaker] : speakerDatabase_) {
        ids.push_back(id);
    }
    return ids;
}

std::vector<std::string> SpeakerManager::permanentSpeakerIds() const {
    return findSpeakers([](const Speaker& speaker) { return speaker.isPermanent(); });
}

std::vector<std::string> SpeakerManager::getCurrentSpeakerNames() const { return speakerIds(); }

SpeakerManager::GlobalSpeakerStats SpeakerManager::getGlobalSpeakerStats() const {
    const SharedLock lock(lock_);
    if (speakerDatabase_.empty()) {
        return {};
    }
    GlobalSpeakerStats stats;
    stats.totalSpeakers = static_cast<int>(speakerDatabase_.size());
    double updates = 0;
    for (const auto& [id, speaker] : speakerDatabase_) {
        stats.totalDuration += speaker->duration();
        updates += speaker->updateCount();
        if (!speaker->rawEmbeddings().empty()) {
            ++stats.speakersWithHistory;
        }
    }
    const auto confidence = static_cast<float>(updates / stats.totalSpeakers / 10.0);
    logger_.info("Global stats - Speakers: " + std::to_string(stats.totalSpeakers) +
                 ", Duration: " + NumberText::fixed(stats.totalDuration, 1) +
                 "s, Avg confidence: " + NumberText::fixed(confidence, 2) +
                 ", With history: " + std::to_string(stats.speakersWithHistory));
    stats.averageConfidence = std::min(confidence, 1.0F);
    return stats;
}

// MARK: - Upsert and seeding

void SpeakerManager::upsertSpeaker(const Speaker& speaker) {
    upsertSpeaker(speaker.id(), speaker.currentEmbedding(), speaker.duration(), speaker.rawEmbeddings(),
                  speaker.updateCount(), speaker.createdAt(), speaker.updatedAt(), speaker.isPermanent());
}

void SpeakerManager::upsertSpeaker(const std::string& id, const std::vector<float>& currentEmbedding, float duration,
                                   const std::vector<RawEmbedding>& rawEmbeddings, int updateCount,
                                   std::optional<Date> createdAt, std::optional<Date> updatedAt, bool isPermanent) {
    const ExclusiveLock lock(lock_);
    if (const auto found = speakerDatabase_.find(id); found != speakerDatabase_.end()) {
        Speaker& speaker = *found->second;
        speaker.setCurrentEmbedding(currentEmbedding);
        speaker.setDuration(duration);
        speaker.setRawEmbeddings(rawEmbeddings);
        speaker.setUpdateCount(updateCount);
        speaker.setUpdatedAt(updatedAt.value_or(now()));
        speaker.setPermanent(speaker.isPermanent() || isPermanent);
        logger_.info("Updated existing speaker: " + id);
        return;
    }
    auto speaker = std::make_shared<Speaker>(id, id, currentEmbedding, duration, createdAt.value_or(now()),
                                             updatedAt.value_or(now()), isPermanent);
    speaker->setRawEmbeddings(rawEmbeddings);
    speaker->setUpdateCount(updateCount);
    speakerDatabase_[id] = std::move(speaker);
    noteNumericIdLocked(id);
    logger_.info("Inserted new speaker: " + id);
}

void SpeakerManager::noteNumericIdLocked(const std::string& id) {
    if (const std::optional<std::int64_t> number = parseSpeakerNumber(id)) {
        highestSpeakerId_ = std::max(highestSpeakerId_, *number);
        nextSpeakerId_ = std::max(nextSpeakerId_, successor(*number));
    }
}

void SpeakerManager::initializeKnownSpeakers(const std::vector<std::shared_ptr<Speaker>>& speakers,
                                             SpeakerInitializationMode mode, bool preserveIfPermanent) {
    const ExclusiveLock lock(lock_);
    if (mode == SpeakerInitializationMode::reset) {
        resetLocked(preserveIfPermanent);
    }
    // Speakers already held count too, so numbering never hands out an id that is in use.
    std::int64_t highest = 0;
    for (const auto& [id, speaker] : speakerDatabase_) {
        highest = std::max(highest, parseSpeakerNumber(id).value_or(0));
    }

    for (const std::shared_ptr<Speaker>& speaker : speakers) {
        if (!speaker) {
            continue;
        }
        const std::string& id = speaker->id();
        const std::size_t embeddingCount = speaker->currentEmbedding().size();
        if (embeddingCount != static_cast<std::size_t>(embeddingSize)) {
            logger_.warning("Skipping speaker " + id + " - invalid embedding size: " + std::to_string(embeddingCount));
            continue;
        }
        std::shared_ptr<Speaker> kept = speaker;
        if (const auto stored = speakerDatabase_.find(id); stored == speakerDatabase_.end()) {
            speakerDatabase_[id] = speaker;
        } else if (mode == SpeakerInitializationMode::skip) {
            logger_.warning("Speaker " + id + " is already initialized. Skipping new speaker.");
            continue;
        } else if (mode == SpeakerInitializationMode::merge) {
            Speaker& existing = *stored->second;
            if (existing.isPermanent() && preserveIfPermanent) {
                logger_.warning("Failed to merge Speaker " + id + " into Speaker " + existing.id() +
                                " because the existing speaker is permanent. Skipping");
                continue;
            }
            logger_.warning("Speaker " + id + " is already initialized. Merging with old speaker.");
            existing.mergeWith(*speaker, speaker->name());
            kept = stored->second;
        } else {
            if (stored->second->isPermanent() && preserveIfPermanent) {
                logger_.warning("Failed to overwrite Speaker " + id + " because it is permanent. Skipping");
                continue;
            }
            logger_.warning("Speaker " + id + " is already initialized. Overwriting old speaker.");
            stored->second = speaker;
        }
        highest = std::max(highest, parseSpeakerNumber(id).value_or(0));
        logger_.info("Initialized known speaker: " + id + " with " + std::to_string(kept->rawEmbeddings().size()) +
                     " raw embeddings");
    }

    highestSpeakerId_ = highest;
    nextSpeakerId_ = successor(highest);
    logger_.info("Initialized with " + std::to_string(speakerDatabase_.size()) +
                 " known speakers, next ID will be: " + std::to_string(nextSpeakerId_));
}

// MARK: - Reassignment and reset

bool SpeakerManager::reassignSegment(UUID segmentId, const std::string& from, const std::string& to) {
    const ExclusiveLock lock(lock_);
    const auto source = speakerDatabase_.find(from);
    const auto target = speakerDatabase_.find(to);
    if (source == speakerDatabase_.end() || target == speakerDatabase_.end()) {
        logger_.warning("One or both speakers not found: from=" + from + ", to=" + to);
        return false;
    }
    std::vector<RawEmbedding> sourceHistory = source->second->rawEmbeddings();
    const auto entry = std::ranges::find(sourceHistory, segmentId, &RawEmbedding::segmentId);
    if (entry == sourceHistory.end()) {
        logger_.warning("Segment " + segmentId.uuidString() + " not found in speaker " + from);
        return false;
    }
    const RawEmbedding moved = *entry;
    sourceHistory.erase(entry);
    source->second->setRawEmbeddings(std::move(sourceHistory));
    std::vector<RawEmbedding> targetHistory = target->second->rawEmbeddings();
    targetHistory.push_back(moved);
    target->second->setRawEmbeddings(std::move(targetHistory));
    logger_.info("✅ Reassigned segment " + segmentId.uuidString() + " from " + from + " to " + to);
    return true;
}

void SpeakerManager::reset(bool keepIfPermanent) {
    const ExclusiveLock lock(lock_);
    resetLocked(keepIfPermanent);
}

void SpeakerManager::resetLocked(bool keepIfPermanent) {
    if (keepIfPermanent) {
        std::erase_if(speakerDatabase_, [](const auto& entry) { return !entry.second->isPermanent(); });
        std::int64_t highest = 0;
        for (const auto& [id, speaker] : speakerDatabase_) {
            highest = std::max(highest, parseSpeakerNumber(id).value_or(0));
        }
        highestSpeakerId_ = highest;
        nextSpeakerId_ = successor(highest);
    } else {
        speakerDatabase_.clear();
        nextSpeakerId_ = 1;
        highestSpeakerId_ = 0;
    }
    logger_.info("Speaker database reset");
}

}  // namespace Tervane
