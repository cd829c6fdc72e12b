#include "Support/CapturingLogSink.hpp"

#include <Tervane/Diarizer/Online/SpeakerManager.hpp>
#include <Tervane/Diarizer/Online/SpeakerUtilities.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr float infinity = std::numeric_limits<float>::infinity();

std::vector<float> axis(std::size_t index, float value = 1.0F) {
    std::vector<float> vector(SpeakerManager::embeddingSize, 0.0F);
    vector[index] = value;
    return vector;
}

/// A unit vector in the plane of axes 0 and 1 at `cosine` from axis 0, so its distance from
/// axis 0 is 1 − cosine.
std::vector<float> atDistanceFromAxis0(float distance) {
    std::vector<float> vector(SpeakerManager::embeddingSize, 0.0F);
    const float cosine = 1 - distance;
    vector[0] = cosine;
    vector[1] = std::sqrt(1 - cosine * cosine);
    return vector;
}

std::shared_ptr<Speaker> known(const std::string& id, std::size_t direction = 0, bool permanent = false) {
    auto speaker = std::make_shared<Speaker>(id, "Known " + id, axis(direction), 10.0F);
    speaker->setPermanent(permanent);
    return speaker;
}

// MARK: - Assignment

TEST(SpeakerManager, CreatesNumberedSpeakersAndAssignsCloseOnes) {
    LogCapture log;
    SpeakerManager manager(0.84F, 0.56F, 1.0F, 2.0F);

    const std::shared_ptr<Speaker> first = manager.assignSpeaker(axis(0, 3.0F), 2.0F);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->id(), "1");
    EXPECT_EQ(first->name(), "Speaker 1");
    EXPECT_EQ(first->currentEmbedding(), axis(0));
    EXPECT_EQ(first->duration(), 2.0F);
    EXPECT_EQ(first->rawEmbeddings().size(), 1U);

    const std::shared_ptr<Speaker> second = manager.assignSpeaker(axis(1), 1.0F);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->id(), "2");

    // Close to speaker 1: the stored object itself comes back, updated.
    const std::shared_ptr<Speaker> again = manager.assignSpeaker(atDistanceFromAxis0(0.1F), 3.0F);
    EXPECT_EQ(again, first);
    EXPECT_EQ(first->duration(), 5.0F);
    EXPECT_EQ(first->updateCount(), 2);
    EXPECT_EQ(first->rawEmbeddings().size(), 2U);

    EXPECT_EQ(manager.speakerCount(), 2);
    EXPECT_EQ(manager.nextSpeakerId(), 3);
    EXPECT_EQ(manager.highestSpeakerId(), 2);
    EXPECT_THAT(log->messages("SpeakerManager"),
                ElementsAre("Created new speaker 1 (distance to closest: inf)",
                            "Created new speaker 2 (distance to closest: 1.0)"));
}

TEST(SpeakerManager, RefusesShortSegmentsAndWrongSizes) {
    LogCapture log;
    SpeakerManager manager(0.84F, 0.56F, 1.0F, 2.0F);
    EXPECT_EQ(manager.assignSpeaker(axis(0), 0.5F), nullptr);
    EXPECT_EQ(manager.assignSpeaker(std::vector<float>(10, 1.0F), 5.0F), nullptr);
    EXPECT_EQ(manager.speakerCount(), 0);
    EXPECT_THAT(log->messages("SpeakerManager"),
                ElementsAre("Audio segment too short (0.5s) to create new speaker", "Invalid embedding size: 10"));

    // A short segment still joins a speaker it is close to.
    const auto speaker = manager.assignSpeaker(axis(0), 1.0F);
    EXPECT_EQ(manager.assignSpeaker(axis(0), 0.25F), speaker);
}

TEST(SpeakerManager, ADistanceEqualToTheThresholdMatchesInFindButNotInAssign) {
    SpeakerManager manager;
    manager.assignSpeaker(axis(0), 2.0F);
    // Orthogonal unit vectors are exactly 1 apart.
    const auto [id, distance] = manager.findSpeaker(axis(1), 1.0F);
    EXPECT_EQ(id, "1");
    EXPECT_EQ(distance, 1.0F);
    const auto [none, far] = manager.findSpeaker(axis(1), 0.99F);
    EXPECT_EQ(none, std::nullopt);
    EXPECT_EQ(far, infinity);

    const auto assigned = manager.assignSpeaker(axis(1), 2.0F, 1.0F, 1.0F);
    ASSERT_NE(assigned, nullptr);
    EXPECT_EQ(assigned->id(), "2");
}

TEST(SpeakerManager, AMatchBeyondTheEmbeddingThresholdOnlyGainsDuration) {
    SpeakerManager manager(0.84F, 0.56F, 1.0F, 2.0F);
    const auto speaker = manager.assignSpeaker(axis(0), 2.0F);
    const std::vector<float> before = speaker->currentEmbedding();

    EXPECT_EQ(manager.assignSpeaker(atDistanceFromAxis0(0.7F), 1.5F), speaker);
    EXPECT_EQ(speaker->duration(), 3.5F);
    EXPECT_EQ(speaker->currentEmbedding(), before);
    EXPECT_EQ(speaker->rawEmbeddings().size(), 1U);
    EXPECT_EQ(speaker->updateCount(), 1);
}

TEST(SpeakerManager, FindsMatchingSpeakersClosestFirst) {
    SpeakerManager manager;
    manager.upsertSpeaker("far", atDistanceFromAxis0(0.5F), 1.0F);
    manager.upsertSpeaker("near", atDistanceFromAxis0(0.1F), 1.0F);
    manager.upsertSpeaker("off", axis(2), 1.0F);
    const auto matches = manager.findMatchingSpeakers(axis(0), 0.6F);
    ASSERT_EQ(matches.size(), 2U);
    EXPECT_EQ(matches[0].first, "near");
    EXPECT_EQ(matches[1].first, "far");
    EXPECT_THAT(manager.findSpeakers([](const Speaker& s) { return s.id().size() == 3; }), ElementsAre("far", "off"));
}

// MARK: - Seeding, upserts, numbering

TEST(SpeakerManager, SeedingContinuesNumberingAfterTheLargestNumericId) {
    LogCapture log;
    SpeakerManager manager;
    manager.initializeKnownSpeakers({known("3", 0), known("alice", 1)});
    EXPECT_EQ(manager.nextSpeakerId(), 4);
    EXPECT_EQ(manager.highestSpeakerId(), 3);
    EXPECT_THAT(manager.speakerIds(), ElementsAre("3", "alice"));
    EXPECT_EQ(log->messages("SpeakerManager").back(), "Initialized with 2 known speakers, next ID will be: 4");

    const auto created = manager.assignSpeaker(axis(5), 2.0F);
    EXPECT_EQ(created->id(), "4");
    // A speaker with an embedding of the wrong size is skipped.
    manager.initializeKnownSpeakers({std::make_shared<Speaker>("9", std::nullopt, std::vector<float>{1.0F})},
                                    SpeakerInitializationMode::merge);
    EXPECT_FALSE(manager.hasSpeaker("9"));
    EXPECT_EQ(manager.nextSpeakerId(), 5);  // speakers already held still count
}

TEST(SpeakerManager, SeedingModesAndPermanence) {
    struct Case {
        SpeakerInitializationMode mode;
        bool storedIsPermanent;
        bool preserve;
        const char* stored;  // "old", "new" or "merged"
    };
    const std::vector<Case> cases = {
        {SpeakerInitializationMode::skip, false, false, "old"},
        {SpeakerInitializationMode::overwrite, false, true, "new"},
        {SpeakerInitializationMode::overwrite, true, true, "old"},
        {SpeakerInitializationMode::overwrite, true, false, "new"},
        {SpeakerInitializationMode::merge, false, true, "merged"},
        {SpeakerInitializationMode::merge, true, true, "old"},
        {SpeakerInitializationMode::reset, true, true, "old"},
        {SpeakerInitializationMode::reset, false, true, "new"},
    };
    for (const Case& c : cases) {
        SpeakerManager manager;
        const auto old = known("1", 0, c.storedIsPermanent);
        old->addRawEmbedding(RawEmbedding(UUID::random(), axis(0)));
        manager.initializeKnownSpeakers({old});
        const auto incoming = known("1", 1);
        incoming->addRawEmbedding(RawEmbedding(UUID::random(), axis(1)));

        manager.initializeKnownSpeakers({incoming}, c.mode, c.preserve);
        const auto stored = manager.getSpeaker("1");
        const std::string expected = c.stored;
        const auto label = std::to_string(static_cast<int>(c.mode)) + " " + expected;
        if (expected == "new") {
            EXPECT_EQ(stored, incoming) << label;
        } else {
            EXPECT_EQ(stored, old) << label;
            EXPECT_EQ(stored->rawEmbeddings().size(), expected == "merged" ? 2U : 1U) << label;
        }
    }
}

TEST(SpeakerManager, UpsertInsertsOrUpdatesAndRaisesNumbering) {
    LogCapture log;
    SpeakerManager manager;
    manager.upsertSpeaker("7", axis(0, 2.0F), 3.0F);
    EXPECT_EQ(manager.getSpeaker("7")->name(), "7");
    EXPECT_EQ(manager.getSpeaker("7")->currentEmbedding(), axis(0));
    EXPECT_EQ(manager.nextSpeakerId(), 8);
    EXPECT_EQ(manager.highestSpeakerId(), 7);

    manager.makeSpeakerPermanent("7");
    manager.upsertSpeaker("7", axis(1, 2.0F), 4.0F, {}, 3);
    const auto updated = manager.getSpeaker("7");
    EXPECT_EQ(updated->currentEmbedding(), axis(1, 2.0F));  // an update stores the embedding as given
    EXPECT_EQ(updated->duration(), 4.0F);
    EXPECT_EQ(updated->updateCount(), 3);
    EXPECT_TRUE(updated->isPermanent());  // an update never clears permanence
    EXPECT_THAT(log->messages("SpeakerManager"),
                ElementsAre("Inserted new speaker: 7", "Marking speaker 7 as permanent.", "Updated existing speaker: 7"));
}

// MARK: - Merging, removal, reset

TEST(SpeakerManager, MergeablePairsAndMerging) {
    SpeakerManager manager(0.5F);
    manager.upsertSpeaker("1", axis(0), 1.0F);
    manager.upsertSpeaker("2", atDistanceFromAxis0(0.2F), 2.0F);
    manager.upsertSpeaker("3", axis(2), 1.0F);
    EXPECT_THAT(manager.findMergeablePairs(), ElementsAre(SpeakerManager::MergeablePair{"2", "1"}));
    manager.makeSpeakerPermanent("2");
    EXPECT_THAT(manager.findMergeablePairs(), ElementsAre(SpeakerManager::MergeablePair{"1", "2"}));
    manager.makeSpeakerPermanent("1");
    EXPECT_THAT(manager.findMergeablePairs(), IsEmpty());
    EXPECT_THAT(manager.findMergeablePairs(std::nullopt, false), ElementsAre(SpeakerManager::MergeablePair{"1", "2"}));

    // A permanent source stays put unless asked otherwise.
    manager.mergeSpeaker("2", "1", "Both");
    EXPECT_EQ(manager.speakerCount(), 3);
    manager.mergeSpeaker("2", "1", "Both", false);
    EXPECT_FALSE(manager.hasSpeaker("2"));
    EXPECT_EQ(manager.getSpeaker("1")->name(), "Both");
    EXPECT_EQ(manager.getSpeaker("1")->duration(), 3.0F);
    manager.mergeSpeaker("3", "missing");
    manager.mergeSpeaker("3", "3");
    EXPECT_TRUE(manager.hasSpeaker("3"));
}

TEST(SpeakerManager, RemovalKeepsPermanentSpeakersWhenAsked) {
    LogCapture log;
    SpeakerManager manager;
    const Date now = std::chrono::system_clock::now();
    manager.upsertSpeaker("old", axis(0), 1.0F, {}, 1, std::nullopt, now - std::chrono::hours(2));
    manager.upsertSpeaker("kept", axis(1), 1.0F, {}, 1, std::nullopt, now - std::chrono::hours(2), true);
    manager.upsertSpeaker("fresh", axis(2), 1.0F);

    manager.removeSpeakersInactive(3600.0);
    EXPECT_THAT(manager.speakerIds(), ElementsAre("fresh", "kept"));
    manager.removeSpeaker("kept");
    manager.removeSpeaker("nobody");
    manager.removeSpeakers([](const Speaker&) { return true; });
    EXPECT_THAT(manager.speakerIds(), ElementsAre("kept"));
    manager.removeSpeakers([](const Speaker&) { return true; }, false);
    EXPECT_EQ(manager.speakerCount(), 0);

    const std::vector<std::string> messages = log->messages("SpeakerManager");
    const std::vector<std::string> removals(messages.begin() + 3, messages.end());
    EXPECT_THAT(removals, ElementsAre("Removing speaker old due to inactivity",
                                      "Failed to remove speaker: kept (Speaker is permanent)",
                                      "Failed to remove speaker: nobody (Speaker not found)",
                                      "Removing speaker fresh based on predicate",
                                      "Removing speaker kept based on predicate"));
}

TEST(SpeakerManager, ResetRestartsNumberingAfterTheKeptSpeakers) {
    SpeakerManager manager;
    for (std::size_t i = 0; i < 4; ++i) {
        manager.assignSpeaker(axis(i), 2.0F);
    }
    manager.makeSpeakerPermanent("2");
    manager.reset(true);
    EXPECT_THAT(manager.speakerIds(), ElementsAre("2"));
    EXPECT_EQ(manager.nextSpeakerId(), 3);
    EXPECT_THAT(manager.permanentSpeakerIds(), ElementsAre("2"));
    manager.resetPermanentFlags();
    EXPECT_THAT(manager.permanentSpeakerIds(), IsEmpty());
    manager.reset();
    EXPECT_EQ(manager.speakerCount(), 0);
    EXPECT_EQ(manager.nextSpeakerId(), 1);
    EXPECT_EQ(manager.highestSpeakerId(), 0);
}

TEST(SpeakerManager, ReassignsOneSegmentWithoutRecomputing) {
    LogCapture log;
    SpeakerManager manager;
    const auto one = manager.assignSpeaker(axis(0), 2.0F);
    const auto two = manager.assignSpeaker(axis(1), 2.0F);
    const UUID segment = one->rawEmbeddings().front().segmentId;

    EXPECT_TRUE(manager.reassignSegment(segment, "1", "2"));
    EXPECT_TRUE(one->rawEmbeddings().empty());
    EXPECT_EQ(two->rawEmbeddings().size(), 2U);
    EXPECT_EQ(two->currentEmbedding(), axis(1));
    EXPECT_FALSE(manager.reassignSegment(segment, "1", "2"));
    EXPECT_FALSE(manager.reassignSegment(segment, "1", "9"));
    const std::vector<std::string> messages = log->messages("SpeakerManager");
    EXPECT_EQ(messages[messages.size() - 3], "✅ Reassigned segment " + segment.uuidString() + " from 1 to 2");
    EXPECT_EQ(messages[messages.size() - 2], "Segment " + segment.uuidString() + " not found in speaker 1");
    EXPECT_EQ(messages.back(), "One or both speakers not found: from=1, to=9");
}

TEST(SpeakerManager, GlobalStats) {
    LogCapture log;
    SpeakerManager manager;
    EXPECT_EQ(manager.getGlobalSpeakerStats(), SpeakerManager::GlobalSpeakerStats{});
    manager.assignSpeaker(axis(0), 2.0F);
    manager.assignSpeaker(axis(0), 2.0F);
    manager.upsertSpeaker("x", axis(1), 1.25F);
    const SpeakerManager::GlobalSpeakerStats stats = manager.getGlobalSpeakerStats();
    EXPECT_EQ(stats, (SpeakerManager::GlobalSpeakerStats{2, 5.25F, 0.15F, 1}));
    EXPECT_EQ(log->messages("SpeakerManager").back(),
              "Global stats - Speakers: 2, Duration: 5.2s, Avg confidence: 0.15, With history: 1");
}

// MARK: - Concurrency

TEST(SpeakerManager, StaysConsistentUnderConcurrentAssignReadAndMerge) {
    SpeakerManager manager(0.3F, 0.2F, 0.5F, 1.0F);
    constexpr int voices = 12;
    constexpr int rounds = 400;
    std::atomic<int> assigned{0};
    std::atomic<bool> inconsistent{false};

    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            std::normal_distribution<float> noise(0.0F, 0.02F);
            for (int round = 0; round < rounds; ++round) {
                std::vector<float> embedding = axis(static_cast<std::size_t>(random() % voices));
                for (float& value : embedding) {
                    value += noise(random);
                }
                if (manager.assignSpeaker(embedding, 1.0F)) {
                    ++assigned;
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int round = 0; round < rounds; ++round) {
            for (const auto& [id, speaker] : manager.getAllSpeakers()) {
                const std::vector<float> embedding = speaker->currentEmbedding();
                const std::size_t history = speaker->rawEmbeddings().size();
                if (id != speaker->id() || embedding.size() != 256U || history > Speaker::maxRawEmbeddings) {
                    inconsistent = true;
                }
                (void)speaker->toSendable();
            }
            (void)manager.getGlobalSpeakerStats();
            (void)manager.findSpeaker(axis(0));
        }
    });
    threads.emplace_back([&] {
        for (int round = 0; round < rounds / 4; ++round) {
            for (const SpeakerManager::MergeablePair& pair : manager.findMergeablePairs(1.05F)) {
                manager.mergeSpeaker(pair.speakerToMerge, pair.destination);
            }
            if (round % 10 == 0) {
                manager.removeSpeakersInactive(3600.0);
            }
        }
    });
    threads.clear();

    EXPECT_FALSE(inconsistent);
    EXPECT_EQ(assigned.load(), 4 * rounds);
    const auto speakers = manager.getAllSpeakers();
    EXPECT_EQ(static_cast<int>(speakers.size()), manager.speakerCount());
    std::set<std::string> ids;
    for (const auto& [id, speaker] : speakers) {
        ids.insert(speaker->id());
        const std::optional<std::int64_t> number = parseSpeakerNumber(id);
        ASSERT_TRUE(number.has_value()) << id;
        EXPECT_LT(*number, manager.nextSpeakerId());
        EXPECT_LE(speaker->rawEmbeddings().size(), Speaker::maxRawEmbeddings);
        const std::vector<float> embedding = speaker->currentEmbedding();
        EXPECT_NEAR(std::sqrt(std::inner_product(embedding.begin(), embedding.end(), embedding.begin(), 0.0F)), 1.0F,
                    1e-4);
    }
    EXPECT_EQ(ids.size(), speakers.size());
    EXPECT_LE(manager.highestSpeakerId(), manager.nextSpeakerId() - 1);
    // Merging joins voices, so fewer speakers than voices may remain, but never none.
    EXPECT_GE(speakers.size(), 1U);
}

}  // namespace
