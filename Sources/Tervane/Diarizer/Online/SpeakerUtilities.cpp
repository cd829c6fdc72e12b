#include <Tervane/Diarizer/Online/SpeakerUtilities.hpp>

#include <Tervane/Diarizer/Offline/VDSPOperations.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>
#include <Tervane/Shared/AppLogger.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace Tervane {

namespace {

const AppLogger& logger() {
    static const AppLogger instance("SpeakerUtilities");
    return instance;
}

std::vector<float> normalized(std::span<const float> values) {
    return VDSPOperations::l2Normalize(std::vector<float>(values.begin(), values.end()));
}

}  // namespace

void SpeakerUtilities::keepNewest(std::vector<RawEmbedding>& history, std::size_t capacity) {
    if (history.size() <= capacity) {
        return;
    }
    std::ranges::stable_sort(history, std::ranges::greater{}, &RawEmbedding::timestamp);
    history.erase(history.begin() + static_cast<std::ptrdiff_t>(capacity), history.end());
    std::ranges::stable_sort(history, std::ranges::less{}, &RawEmbedding::timestamp);
}

float SpeakerUtilities::cosineDistance(std::span<const float> a, std::span<const float> b) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    if (a.empty() || b.empty() || a.size() != b.size()) {
        logger().error("Invalid embeddings: a.count=" + std::to_string(a.size()) +
                       ", b.count=" + std::to_string(b.size()));
        return infinity;
    }
    const float dot = VectorRoutines::dotpr(a, b);
    const float squaredA = VectorRoutines::svesq(a);
    const float squaredB = VectorRoutines::svesq(b);
    if (squaredA <= 0 || squaredB <= 0) {
        logger().warning("Zero magnitude embedding detected");
        return infinity;
    }
    // Unit vectors (the usual case) skip the square roots.
    const bool unitLength = std::fabs(squaredA - 1) <= 0.001F && std::fabs(squaredB - 1) <= 0.001F;
    const float similarity = unitLength ? dot : dot / (std::sqrt(squaredA) * std::sqrt(squaredB));
    if (similarity <= -1) {
        return 2;
    }
    return 1 - std::min(similarity, 1.0F);
}

bool SpeakerUtilities::validateEmbedding(std::span<const float> embedding, float minMagnitude) {
    if (embedding.empty()) {
        logger().error("Empty embedding");
        return false;
    }
    const float norm = std::sqrt(VectorRoutines::svesq(embedding));
    if (!(norm > minMagnitude)) {
        logger().warning("Low magnitude embedding: " + NumberText::shortest(norm));
        return false;
    }
    if (!std::ranges::all_of(embedding, [](float value) { return std::isfinite(value); })) {
        logger().error("Embedding contains NaN or Inf");
        return false;
    }
    return true;
}

SpeakerUtilities::AssignmentDecision SpeakerUtilities::shouldAssignSpeaker(float distance, float duration,
                                                                           const AssignmentConfig& config) {
    const float confidence = 1 - distance;
    if (distance < 0.2F) {
        return {true, duration >= config.minSpeakerDuration, confidence, "Very high confidence match"};
    }
    if (distance < config.maxDistanceForAssignment && duration >= config.minSegmentDuration) {
        return {true, duration >= config.minSpeakerDuration && distance <= config.maxDistanceForUpdate, confidence,
                "Sufficient confidence and duration"};
    }
    if (distance < config.maxDistanceForAssignment) {
        return {false, false, confidence, "Duration too short"};
    }
    return {false, false, confidence, "Distance too far"};
}

std::optional<std::pair<std::shared_ptr<Speaker>, float>> SpeakerUtilities::findClosestSpeaker(
    std::span<const float> embedding, const std::vector<std::shared_ptr<Speaker>>& candidates) {
    std::optional<std::pair<std::shared_ptr<Speaker>, float>> closest;
    for (const std::shared_ptr<Speaker>& candidate : candidates) {
        if (!candidate) {
            continue;
        }
        const float distance = cosineDistance(embedding, candidate->currentEmbedding());
        if (!closest || distance < closest->second) {
            closest.emplace(candidate, distance);
        }
    }
    return closest;
}

SpeakerUtilities::SpeakerCreationResult SpeakerUtilities::validateSpeakerCreation(
    const std::string& id, const std::optional<std::string>& name, float duration, std::span<const float> embedding,
    const AssignmentConfig& config) {
    if (duration < config.minSpeakerDuration) {
        return SpeakerCreationResult::failure("Duration " + NumberText::shortest(duration) + " < minimum " +
                                              NumberText::shortest(config.minSpeakerDuration));
    }
    if (!validateEmbedding(embedding, 0.1F)) {
        return SpeakerCreationResult::failure("Invalid embedding: failed quality checks");
    }
    const Date now = std::chrono::system_clock::now();
    return SpeakerCreationResult::success(
        {id, name.value_or("Speaker " + id), duration, normalized(embedding), now, now});
}

std::shared_ptr<Speaker> SpeakerUtilities::createSpeaker(const std::string& id, const std::optional<std::string>& name,
                                                         float duration, std::span<const float> embedding,
                                                         const AssignmentConfig& config) {
    const SpeakerCreationResult result = validateSpeakerCreation(id, name, duration, embedding, config);
    if (!result.isSuccess()) {
        logger().error("Failed to create speaker: " + result.reason());
        return nullptr;
    }
    const SpeakerCreationParams& params = *result.params();
    return std::make_shared<Speaker>(params.id, params.name, params.embedding, params.duration, params.createdAt,
                                     params.updatedAt);
}

std::optional<std::vector<float>> SpeakerUtilities::updateEmbedding(std::span<const float> current,
                                                                    std::span<const float> newEmbedding, float alpha) {
    if (current.empty() || newEmbedding.empty() || current.size() != newEmbedding.size() ||
        !validateEmbedding(newEmbedding, 0.1F)) {
        logger().error("Invalid embeddings for update");
        return std::nullopt;
    }
    const std::vector<float> old = normalized(current);
    const std::vector<float> incoming = normalized(newEmbedding);
    std::vector<float> blended(old.size());
    for (std::size_t i = 0; i < blended.size(); ++i) {
        blended[i] = alpha * old[i] + (1 - alpha) * incoming[i];
    }
    return VDSPOperations::l2Normalize(blended);
}

std::optional<std::pair<std::vector<RawEmbedding>, bool>> SpeakerUtilities::addRawEmbedding(
    std::vector<RawEmbedding> to, UUID segmentId, std::span<const float> embedding, Date timestamp,
    std::size_t maxCapacity) {
    if (!validateEmbedding(embedding, 0.1F)) {
        logger().warning("Invalid embedding for segment " + segmentId.uuidString());
        return std::nullopt;
    }
    if (!to.empty() && to.size() >= maxCapacity) {
        to.erase(to.begin());
    }
    to.emplace_back(segmentId, std::vector<float>(embedding.begin(), embedding.end()), timestamp);
    const bool shouldRecalculate = to.size() > 2;
    return std::make_pair(std::move(to), shouldRecalculate);
}

std::pair<std::vector<RawEmbedding>, bool> SpeakerUtilities::removeRawEmbedding(std::vector<RawEmbedding> from,
                                                                                UUID segmentId) {
    const auto found = std::ranges::find(from, segmentId, &RawEmbedding::segmentId);
    if (found == from.end()) {
        return {std::move(from), false};
    }
    from.erase(found);
    const bool remaining = !from.empty();
    return {std::move(from), remaining};
}

std::optional<SpeakerUtilities::SpeakerUpdateResult> SpeakerUtilities::updateSpeakerWithSegment(
    std::span<const float> currentMainEmbedding, const std::vector<RawEmbedding>& currentRawEmbeddings,
    float currentDuration, float segmentDuration, std::span<const float> segmentEmbedding, UUID segmentId, float alpha,
    float minSegmentDuration) {
    if (segmentDuration < minSegmentDuration || !validateEmbedding(segmentEmbedding, 0.1F)) {
        return std::nullopt;
    }
    SpeakerUpdateResult result;
    result.updatedRawEmbeddings = currentRawEmbeddings;
    if (result.updatedRawEmbeddings.size() >= Speaker::maxRawEmbeddings) {
        result.updatedRawEmbeddings.erase(result.updatedRawEmbeddings.begin());
    }
    result.updatedRawEmbeddings.emplace_back(
        segmentId, std::vector<float>(segmentEmbedding.begin(), segmentEmbedding.end()),
        std::chrono::system_clock::now());
    result.updatedMainEmbedding = updateEmbedding(currentMainEmbedding, segmentEmbedding, alpha);
    result.updatedDuration = currentDuration + segmentDuration;
    result.shouldRecalculate = result.updatedRawEmbeddings.size() > 2;
    return result;
}

SpeakerUtilities::MergedSpeakers SpeakerUtilities::mergeSpeakers(const std::vector<RawEmbedding>& speaker1Raw,
                                                                 float speaker1Duration,
                                                                 const std::vector<RawEmbedding>& speaker2Raw,
                                                                 float speaker2Duration, std::size_t maxCapacity) {
    MergedSpeakers merged;
    merged.rawEmbeddings = speaker1Raw;
    merged.rawEmbeddings.insert(merged.rawEmbeddings.end(), speaker2Raw.begin(), speaker2Raw.end());
    keepNewest(merged.rawEmbeddings, maxCapacity);
    merged.duration = speaker1Duration + speaker2Duration;
    std::vector<std::vector<float>> embeddings;
    embeddings.reserve(merged.rawEmbeddings.size());
    for (const RawEmbedding& entry : merged.rawEmbeddings) {
        embeddings.push_back(entry.embedding);
    }
    merged.mainEmbedding = averageEmbeddings(embeddings);
    return merged;
}

std::optional<std::vector<float>> SpeakerUtilities::averageEmbeddings(const std::vector<std::vector<float>>& embeddings) {
    if (embeddings.empty() || embeddings.front().empty()) {
        return std::nullopt;
    }
    const std::size_t dimension = embeddings.front().size();
    std::vector<float> sum(dimension, 0.0F);
    std::size_t averaged = 0;
    for (const std::vector<float>& embedding : embeddings) {
        if (embedding.size() != dimension) {
            continue;
        }
        for (std::size_t i = 0; i < dimension; ++i) {
            sum[i] += embedding[i];
        }
        ++averaged;
    }
    if (averaged == 0) {
        return std::nullopt;
    }
    for (float& value : sum) {
        value /= static_cast<float>(averaged);
    }
    return VDSPOperations::l2Normalize(sum);
}

}  // namespace Tervane
