#include "Support/CapturingLogSink.hpp"

#include <Tervane/Diarizer/Online/Speaker.hpp>
#include <Tervane/Diarizer/Online/SpeakerUtilities.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;
using ::testing::ElementsAre;

constexpr float infinity = std::numeric_limits<float>::infinity();

/// A 256-value vector holding `value` at `index` and zeros elsewhere.
std::vector<float> axis(std::size_t index, float value = 1.0F, std::size_t size = 256) {
    std::vector<float> vector(size, 0.0F);
    vector[index] = value;
    return vector;
}

Date at(double secondsSinceReference) { return dateFromSecondsSinceReferenceDate(secondsSinceReference); }

// MARK: - Speaker

TEST(Speaker, ConstructionFillsTheMissingFieldsAndNormalisesTheEmbedding) {
    const Speaker anonymous;
    EXPECT_TRUE(UUID::fromString(anonymous.id()).has_value()) << anonymous.id();
    EXPECT_EQ(anonymous.name(), anonymous.id());
    EXPECT_EQ(anonymous.updateCount(), 1);
    EXPECT_TRUE(anonymous.rawEmbeddings().empty());
    EXPECT_FALSE(anonymous.isPermanent());
    EXPECT_EQ(anonymous.duration(), 0.0F);

    const Speaker named("7", "Ada", {3.0F, 4.0F}, 2.5F, at(10), at(20), true);
    EXPECT_EQ(named.name(), "Ada");
    EXPECT_THAT(named.currentEmbedding(), ElementsAre(0.6F, 0.8F));
    EXPECT_EQ(named.createdAt(), at(10));
    EXPECT_EQ(named.updatedAt(), at(20));
    EXPECT_TRUE(named.isPermanent());

    // Equal and hashed by id alone.
    const Speaker sameId("7", "Someone else");
    EXPECT_TRUE(named == sameId);
    EXPECT_EQ(std::hash<Speaker>{}(named), std::hash<Speaker>{}(sameId));
}

TEST(Speaker, TheFiftyFirstRawEmbeddingPushesOutTheOldest) {
    Speaker speaker("1");
    std::vector<UUID> segments;
    for (int i = 0; i < 51; ++i) {
        segments.push_back(UUID::random());
        speaker.addRawEmbedding(RawEmbedding(segments.back(), axis(static_cast<std::size_t>(i))));
    }
    const std::vector<RawEmbedding> history = speaker.rawEmbeddings();
    ASSERT_EQ(history.size(), 50U);
    EXPECT_EQ(history.front().segmentId, segments[1]);
    EXPECT_EQ(history.back().segmentId, segments[50]);

    // An entry without energy is not learnt from.
    speaker.addRawEmbedding(RawEmbedding(UUID::random(), std::vector<float>(256, 0.0F)));
    EXPECT_EQ(speaker.rawEmbeddings().back().segmentId, segments[50]);
}

TEST(Speaker, TheMainEmbeddingIsTheHistoryMeanWithTheMovingAverageOnTop) {
    Speaker speaker("1", std::nullopt, axis(0));
    speaker.addRawEmbedding(RawEmbedding(UUID::random(), axis(0)));
    EXPECT_EQ(speaker.currentEmbedding(), axis(0));

    speaker.updateMainEmbedding(1.5F, axis(1, 2.0F), UUID::random(), 0.9F);
    // History mean (1, 1)/√2 normalised, then 0.9 × that + 0.1 × (0, 1), normalised again.
    const std::vector<float> current = speaker.currentEmbedding();
    const double mean = 1 / std::sqrt(2.0);
    const double x = 0.9 * mean;
    const double y = 0.9 * mean + 0.1;
    const double norm = std::hypot(x, y);
    EXPECT_NEAR(current[0], x / norm, 1e-6);
    EXPECT_NEAR(current[1], y / norm, 1e-6);
    EXPECT_EQ(speaker.duration(), 1.5F);
    EXPECT_EQ(speaker.updateCount(), 2);
    ASSERT_EQ(speaker.rawEmbeddings().size(), 2U);
    EXPECT_EQ(speaker.rawEmbeddings().back().embedding, axis(1));

    // Too little energy changes nothing.
    speaker.updateMainEmbedding(1.0F, axis(2, 0.05F), UUID::random());
    EXPECT_EQ(speaker.updateCount(), 2);
    EXPECT_EQ(speaker.duration(), 1.5F);
}

TEST(Speaker, RemovingARawEmbeddingRecomputesTheMainEmbedding) {
    Speaker speaker("1");
    const UUID first = UUID::random();
    speaker.addRawEmbedding(RawEmbedding(first, axis(0)));
    speaker.addRawEmbedding(RawEmbedding(UUID::random(), axis(1)));
    const std::optional<RawEmbedding> removed = speaker.removeRawEmbedding(first);
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(removed->embedding, axis(0));
    EXPECT_EQ(speaker.currentEmbedding(), axis(1));
    EXPECT_FALSE(speaker.removeRawEmbedding(first).has_value());
}

TEST(Speaker, MergingKeepsTheFiftyNewestOldestFirst) {
    Speaker a("1", "A");
    Speaker b("2", "B");
    for (int i = 0; i < 30; ++i) {
        // a holds the even seconds 0 to 58, b the odd seconds 1 to 59.
        a.addRawEmbedding(RawEmbedding(UUID::random(), axis(0), at(2.0 * i)));
        b.addRawEmbedding(RawEmbedding(UUID::random(), axis(1), at(2.0 * i + 1)));
    }
    a.setDuration(3);
    b.setDuration(4);
    b.setUpdateCount(5);

    a.mergeWith(b, "Merged");
    const std::vector<RawEmbedding> history = a.rawEmbeddings();
    ASSERT_EQ(history.size(), 50U);
    EXPECT_EQ(history.front().timestamp, at(10));
    EXPECT_EQ(history.back().timestamp, at(59));
    EXPECT_TRUE(std::ranges::is_sorted(history, std::ranges::less{}, &RawEmbedding::timestamp));
    EXPECT_EQ(a.duration(), 7.0F);
    EXPECT_EQ(a.name(), "Merged");
    EXPECT_EQ(a.updateCount(), 6);

    // The next addition still pushes out the oldest entry.
    a.addRawEmbedding(RawEmbedding(UUID::random(), axis(2), at(100)));
    EXPECT_EQ(a.rawEmbeddings().front().timestamp, at(11));

    // Merging a speaker with itself neither deadlocks nor loses entries.
    Speaker alone("3");
    alone.addRawEmbedding(RawEmbedding(UUID::random(), axis(0)));
    alone.mergeWith(alone);
    EXPECT_EQ(alone.rawEmbeddings().size(), 2U);
}

TEST(Speaker, JSONHoldsExactlyTheNineKeysAndRoundTrips) {
    Speaker speaker("alice", "Alice", {0.6F, 0.8F}, 12.25F, at(100.5), at(200.25), true);
    const UUID segment = UUID::random();
    speaker.addRawEmbedding(RawEmbedding(segment, {0.6F, 0.8F}, at(150)));
    speaker.setCurrentEmbedding({0.1F, 0.2F});

    const nlohmann::json json = speaker.toJSON();
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items()) {
        keys.push_back(key);
    }
    std::ranges::sort(keys);
    EXPECT_THAT(keys, ElementsAre("createdAt", "currentEmbedding", "duration", "id", "isPermanent", "name",
                                  "rawEmbeddings", "updateCount", "updatedAt"));
    // Floats are written by their shortest text.
    EXPECT_EQ(json["currentEmbedding"].dump(), "[0.1,0.2]");
    EXPECT_EQ(json["createdAt"], 100.5);
    EXPECT_EQ(json["rawEmbeddings"][0]["segmentId"], segment.uuidString());

    const std::shared_ptr<Speaker> decoded = Speaker::fromJSON(nlohmann::json::parse(json.dump()));
    EXPECT_EQ(decoded->id(), "alice");
    EXPECT_EQ(decoded->name(), "Alice");
    EXPECT_THAT(decoded->currentEmbedding(), ElementsAre(0.1F, 0.2F));  // kept as stored, not normalised
    EXPECT_EQ(decoded->duration(), 12.25F);
    EXPECT_EQ(decoded->createdAt(), at(100.5));
    // Stored dates are double seconds: exact to well under a microsecond.
    EXPECT_LT(std::chrono::abs(decoded->updatedAt() - speaker.updatedAt()), std::chrono::microseconds(1));
    EXPECT_EQ(decoded->updateCount(), speaker.updateCount());
    EXPECT_EQ(decoded->rawEmbeddings(), speaker.rawEmbeddings());
    EXPECT_TRUE(decoded->isPermanent());

    for (const std::string& key : keys) {
        nlohmann::json missing = json;
        missing.erase(key);
        EXPECT_THROW((void)Speaker::fromJSON(missing), nlohmann::json::exception) << key;
    }
    nlohmann::json badSegment = json;
    badSegment["rawEmbeddings"][0]["segmentId"] = "not-a-uuid";
    EXPECT_THROW((void)Speaker::fromJSON(badSegment), nlohmann::json::other_error);

    // NaN would be written as null and lost; encoding refuses it instead.
    speaker.setCurrentEmbedding({std::nanf(""), 0.0F});
    EXPECT_THROW((void)speaker.toJSON(), nlohmann::json::other_error);
}

TEST(Speaker, SendableSnapshotsTakeNumericIds) {
    struct Case {
        std::string id;
        std::optional<std::int64_t> expected;  // none: a hash
    };
    const std::vector<Case> cases = {
        {"12", 12}, {"+12", 12}, {"-3", -3}, {"007", 7}, {"alice", std::nullopt}, {"1.5", std::nullopt},
        {"+-1", std::nullopt}, {"", std::nullopt}, {"99999999999999999999", std::nullopt},
    };
    for (const Case& c : cases) {
        const Speaker speaker(c.id, "", axis(0), 2.0F);
        const SendableSpeaker sendable = speaker.toSendable();
        if (c.expected) {
            EXPECT_EQ(sendable.id(), *c.expected) << c.id;
        } else {
            EXPECT_GE(sendable.id(), 0) << c.id;
        }
        EXPECT_EQ(sendable.duration(), 2.0F);
        EXPECT_EQ(sendable.mainEmbedding(), axis(0));
    }
    const SendableSpeaker unnamed(12, "", 0, {}, at(0), at(0));
    EXPECT_EQ(unnamed.label(), "Speaker #12");
    EXPECT_EQ(SendableSpeaker(12, "Bo", 1, {}, at(0), at(0)).label(), "Bo");
    EXPECT_TRUE(unnamed == SendableSpeaker(12, "", 5, axis(0), at(1), at(1)));
    EXPECT_FALSE(unnamed == SendableSpeaker(12, "Bo", 0, {}, at(0), at(0)));
}

// MARK: - SpeakerUtilities

TEST(SpeakerUtilities, CosineDistance) {
    LogCapture log;
    const std::vector<float> tilted = {3.0F, 4.0F};
    EXPECT_EQ(SpeakerUtilities::cosineDistance(axis(0), axis(0)), 0.0F);
    EXPECT_EQ(SpeakerUtilities::cosineDistance(axis(0), axis(0, -1.0F)), 2.0F);
    EXPECT_EQ(SpeakerUtilities::cosineDistance(axis(0), axis(1)), 1.0F);
    EXPECT_NEAR(SpeakerUtilities::cosineDistance(tilted, std::vector<float>{1.0F, 0.0F}), 0.4F, 1e-6);
    EXPECT_EQ(SpeakerUtilities::cosineDistance(axis(0), std::vector<float>(256, 0.0F)), infinity);
    EXPECT_EQ(SpeakerUtilities::cosineDistance(axis(0), axis(0, 1.0F, 255)), infinity);
    EXPECT_EQ(SpeakerUtilities::cosineDistance({}, {}), infinity);
    EXPECT_THAT(log->messages("SpeakerUtilities"),
                ElementsAre("Zero magnitude embedding detected", "Invalid embeddings: a.count=256, b.count=255",
                            "Invalid embeddings: a.count=0, b.count=0"));
}

TEST(SpeakerUtilities, ValidateEmbedding) {
    LogCapture log;
    EXPECT_TRUE(SpeakerUtilities::validateEmbedding(axis(0, 0.2F)));
    EXPECT_FALSE(SpeakerUtilities::validateEmbedding(std::vector<float>{}));
    EXPECT_FALSE(SpeakerUtilities::validateEmbedding(axis(0, 0.1F)));
    EXPECT_FALSE(SpeakerUtilities::validateEmbedding(std::vector<float>{1.0F, infinity}));
    EXPECT_THAT(log->messages("SpeakerUtilities"),
                ElementsAre("Empty embedding", "Low magnitude embedding: 0.1", "Embedding contains NaN or Inf"));
}

TEST(SpeakerUtilities, AssignmentDecisions) {
    using Decision = SpeakerUtilities::AssignmentDecision;
    struct Case {
        float distance;
        float duration;
        Decision expected;
    };
    const std::vector<Case> cases = {
        {0.1F, 2.0F, {true, false, 1 - 0.1F, "Very high confidence match"}},
        {0.1F, 4.0F, {true, true, 1 - 0.1F, "Very high confidence match"}},
        {0.45F, 4.0F, {true, true, 1 - 0.45F, "Sufficient confidence and duration"}},
        {0.5F, 4.0F, {true, false, 0.5F, "Sufficient confidence and duration"}},
        {0.5F, 1.0F, {true, false, 0.5F, "Sufficient confidence and duration"}},
        {0.5F, 0.5F, {false, false, 0.5F, "Duration too short"}},
        {0.65F, 9.0F, {false, false, 1 - 0.65F, "Distance too far"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SpeakerUtilities::shouldAssignSpeaker(c.distance, c.duration), c.expected)
            << c.distance << " " << c.duration;
    }
    // The mobile preset assigns less eagerly.
    EXPECT_FALSE(SpeakerUtilities::shouldAssignSpeaker(0.6F, 4.0F, SpeakerUtilities::AssignmentConfig::iOS()).shouldAssign);
    EXPECT_EQ(SpeakerUtilities::AssignmentConfig::current(), SpeakerUtilities::AssignmentConfig::macOS());
}

TEST(SpeakerUtilities, CreationChecksDurationAndEmbedding) {
    LogCapture log;
    const auto tooShort = SpeakerUtilities::validateSpeakerCreation("4", std::nullopt, 3.5F, axis(0));
    EXPECT_FALSE(tooShort.isSuccess());
    EXPECT_EQ(tooShort.reason(), "Duration 3.5 < minimum 4.0");
    const auto weak = SpeakerUtilities::validateSpeakerCreation("4", std::nullopt, 5.0F, axis(0, 0.01F));
    EXPECT_EQ(weak.reason(), "Invalid embedding: failed quality checks");

    const auto made = SpeakerUtilities::createSpeaker("4", std::nullopt, 5.0F, axis(0, 3.0F));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->name(), "Speaker 4");
    EXPECT_EQ(made->currentEmbedding(), axis(0));
    EXPECT_EQ(made->duration(), 5.0F);
    EXPECT_EQ(SpeakerUtilities::createSpeaker("5", "Eve", 1.0F, axis(0)), nullptr);
    EXPECT_EQ(log->messages("SpeakerUtilities").back(), "Failed to create speaker: Duration 1.0 < minimum 4.0");
}

TEST(SpeakerUtilities, EmbeddingUpdatesAndHistories) {
    LogCapture log;
    const std::optional<std::vector<float>> blended = SpeakerUtilities::updateEmbedding(axis(0, 2.0F), axis(1, 5.0F), 0.75F);
    ASSERT_TRUE(blended.has_value());
    EXPECT_NEAR((*blended)[0], 0.75 / std::hypot(0.75, 0.25), 1e-6);
    EXPECT_NEAR((*blended)[1], 0.25 / std::hypot(0.75, 0.25), 1e-6);
    EXPECT_FALSE(SpeakerUtilities::updateEmbedding(axis(0), axis(1, 1.0F, 10)).has_value());
    EXPECT_FALSE(SpeakerUtilities::updateEmbedding(axis(0), axis(1, 0.05F)).has_value());

    std::vector<RawEmbedding> history;
    for (int i = 0; i < 3; ++i) {
        auto added = SpeakerUtilities::addRawEmbedding(history, UUID::random(), axis(0, 2.0F), at(i), 2);
        ASSERT_TRUE(added.has_value());
        history = added->first;
        EXPECT_EQ(added->second, false);  // never more than 2 entries with capacity 2
    }
    EXPECT_EQ(history.size(), 2U);
    EXPECT_EQ(history.front().timestamp, at(1));
    EXPECT_EQ(history.front().embedding, axis(0));
    EXPECT_FALSE(SpeakerUtilities::addRawEmbedding(history, UUID::random(), axis(0, 0.0F), at(9)).has_value());

    const auto [withoutFirst, remaining] = SpeakerUtilities::removeRawEmbedding(history, history.front().segmentId);
    EXPECT_EQ(withoutFirst.size(), 1U);
    EXPECT_TRUE(remaining);
    const auto [unchanged, found] = SpeakerUtilities::removeRawEmbedding(history, UUID::random());
    EXPECT_EQ(unchanged, history);
    EXPECT_FALSE(found);

    const auto update = SpeakerUtilities::updateSpeakerWithSegment(axis(0), history, 3.0F, 1.5F, axis(1, 2.0F),
                                                                    UUID::random());
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->updatedRawEmbeddings.size(), 3U);
    EXPECT_EQ(update->updatedDuration, 4.5F);
    EXPECT_TRUE(update->shouldRecalculate);
    EXPECT_TRUE(update->updatedMainEmbedding.has_value());
    EXPECT_FALSE(SpeakerUtilities::updateSpeakerWithSegment(axis(0), history, 3.0F, 0.5F, axis(1), UUID::random()));
}

TEST(SpeakerUtilities, MergingAndAveraging) {
    std::vector<RawEmbedding> first;
    std::vector<RawEmbedding> second;
    for (int i = 0; i < 3; ++i) {
        first.emplace_back(UUID::random(), axis(0), at(2 * i));
        second.emplace_back(UUID::random(), axis(1), at(2 * i + 1));
    }
    const SpeakerUtilities::MergedSpeakers merged = SpeakerUtilities::mergeSpeakers(first, 1.0F, second, 2.0F, 4);
    ASSERT_EQ(merged.rawEmbeddings.size(), 4U);
    EXPECT_EQ(merged.rawEmbeddings.front().timestamp, at(2));
    EXPECT_EQ(merged.rawEmbeddings.back().timestamp, at(5));
    EXPECT_EQ(merged.duration, 3.0F);
    ASSERT_TRUE(merged.mainEmbedding.has_value());
    EXPECT_NEAR((*merged.mainEmbedding)[0], 1 / std::sqrt(2.0), 1e-6);

    // Vectors of another length than the first are left out.
    const auto mean = SpeakerUtilities::averageEmbeddings({{2.0F, 0.0F}, {0.0F, 2.0F}, {5.0F, 5.0F, 5.0F}});
    ASSERT_TRUE(mean.has_value());
    EXPECT_NEAR((*mean)[0], 1 / std::sqrt(2.0), 1e-6);
    EXPECT_EQ(mean->size(), 2U);
    EXPECT_FALSE(SpeakerUtilities::averageEmbeddings({}).has_value());
    EXPECT_FALSE(SpeakerUtilities::averageEmbeddings({{}, {1.0F}}).has_value());
}

TEST(SpeakerUtilities, ClosestSpeakerPrefersTheFirstOnTies) {
    const auto a = std::make_shared<Speaker>("a", std::nullopt, axis(1));
    const auto b = std::make_shared<Speaker>("b", std::nullopt, axis(2));
    const auto c = std::make_shared<Speaker>("c", std::nullopt, axis(0));
    const auto closest = SpeakerUtilities::findClosestSpeaker(axis(0), {a, b, c});
    ASSERT_TRUE(closest.has_value());
    EXPECT_EQ(closest->first->id(), "c");
    EXPECT_EQ(closest->second, 0.0F);
    EXPECT_EQ(SpeakerUtilities::findClosestSpeaker(axis(3), {a, b})->first->id(), "a");
    EXPECT_FALSE(SpeakerUtilities::findClosestSpeaker(axis(0), {}).has_value());
}

}  // namespace
