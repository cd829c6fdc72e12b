#pragma once

#include <Tervane/Shared/Date.hpp>
#include <Tervane/Shared/UUID.hpp>

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tervane {

class SendableSpeaker;

/// One audio segment's embedding in a speaker's history.
struct RawEmbedding {
    /// Stores `embedding` length-normalised (an all-zero vector stays as it is).
    RawEmbedding(UUID segmentId, const std::vector<float>& embedding,
                 Date timestamp = std::chrono::system_clock::now());

    UUID segmentId;
    std::vector<float> embedding;
    Date timestamp;

    friend bool operator==(const RawEmbedding&, const RawEmbedding&) = default;
};

/// {"segmentId": UUID text, "embedding": [numbers], "timestamp": seconds since 2001-01-01 UTC}.
/// Encoding a value that is not a finite number throws `nlohmann::json::other_error` rather than
/// writing `null`.
void to_json(nlohmann::json& json, const RawEmbedding& embedding);

/// A speaker of the online database. Shared by reference: the database hands out the objects
/// it stores, so a change through one holder is seen by all. Every accessor and operation is
/// atomic on its own (each speaker has its own lock), so holders may read a speaker while the
/// database updates it; a sequence of calls is not atomic as a whole.
///
/// Equal and hashed by `id` alone.
class Speaker {
public:
    /// Longest history the speaker's own operations keep.
    static constexpr std::size_t maxRawEmbeddings = 50;

    /// A missing id becomes a new UUID's text, a missing name the id, missing dates now; the
    /// embedding is length-normalised. `updateCount` starts at 1 and the history empty.
    explicit Speaker(std::optional<std::string> id = std::nullopt, std::optional<std::string> name = std::nullopt,
                     const std::vector<float>& currentEmbedding = {}, float duration = 0,
                     std::optional<Date> createdAt = std::nullopt, std::optional<Date> updatedAt = std::nullopt,
                     bool isPermanent = false);

    Speaker(const Speaker&) = delete;
    Speaker& operator=(const Speaker&) = delete;

    [[nodiscard]] const std::string& id() const noexcept { return id_; }

    [[nodiscard]] std::string name() const;
    void setName(std::string name);
    /// The main embedding (unit length when set by the operations; the setter stores as given).
    [[nodiscard]] std::vector<float> currentEmbedding() const;
    void setCurrentEmbedding(std::vector<float> embedding);
    /// Accumulated speech in seconds.
    [[nodiscard]] float duration() const;
    void setDuration(float duration);
    [[nodiscard]] Date createdAt() const;
    void setCreatedAt(Date date);
    [[nodiscard]] Date updatedAt() const;
    void setUpdatedAt(Date date);
    [[nodiscard]] int updateCount() const;
    void setUpdateCount(int count);
    /// The history, oldest first.
    [[nodiscard]] std::vector<RawEmbedding> rawEmbeddings() const;
    void setRawEmbeddings(std::vector<RawEmbedding> embeddings);
    /// A permanent speaker is protected from removal and merging where the caller asks.
    [[nodiscard]] bool isPermanent() const;
    void setPermanent(bool permanent);

    /// Adds a segment's embedding: appended to the history (which recomputes the main
    /// embedding), then blended in as alpha × main + (1 − alpha) × new and normalised; the
    /// duration grows and `updateCount` rises. An embedding whose sum of squares is at most
    /// 0.01 changes nothing.
    void updateMainEmbedding(float duration, const std::vector<float>& embedding, UUID segmentId,
                             float alpha = 0.9F);
    /// Appends an entry whose sum of squares exceeds 0.01 (dropping the oldest at 50) and
    /// recomputes the main embedding; ignores any other.
    void addRawEmbedding(const RawEmbedding& embedding);
    /// Removes the first entry of this segment and recomputes the main embedding.
    std::optional<RawEmbedding> removeRawEmbedding(UUID segmentId);
    /// The main embedding becomes the normalised mean of the history entries that have the
    /// first entry's length; nothing happens for an empty history.
    void recalculateMainEmbedding();
    /// Takes the other speaker's history (the 50 newest when both hold more), duration and
    /// update count, and `keepName` as the name when given.
    void mergeWith(const Speaker& other, const std::optional<std::string>& keepName = std::nullopt);

    [[nodiscard]] SendableSpeaker toSendable() const;

    /// Encodes the nine fields under their names (dates as in `RawEmbedding`).
    [[nodiscard]] nlohmann::json toJSON() const;
    /// Decodes the nine fields, all required, without normalising anything. Missing keys and
    /// values of the wrong type throw `nlohmann::json::exception`; a segment id that is not a
    /// UUID throws `nlohmann::json::other_error`.
    [[nodiscard]] static std::shared_ptr<Speaker> fromJSON(const nlohmann::json& json);

    friend bool operator==(const Speaker& a, const Speaker& b) noexcept { return a.id_ == b.id_; }

private:
    struct State {
        std::string name;
        std::vector<float> currentEmbedding;
        float duration = 0;
        Date createdAt;
        Date updatedAt;
        int updateCount = 1;
        std::vector<RawEmbedding> rawEmbeddings;
        bool isPermanent = false;
    };

    Speaker(std::string id, State state) : id_(std::move(id)), state_(std::move(state)) {}

    [[nodiscard]] State snapshot() const;
    template <typename Field>
    [[nodiscard]] Field read(Field State::*field) const {
        const std::lock_guard lock(mutex_);
        return state_.*field;
    }
    template <typename Field>
    void write(Field State::*field, Field value) {
        const std::lock_guard lock(mutex_);
        state_.*field = std::move(value);
    }
    // Callers hold `mutex_`.
    void addRawEmbeddingLocked(const RawEmbedding& embedding);
    void recalculateMainEmbeddingLocked();

    const std::string id_;
    mutable std::mutex mutex_;
    State state_;
};

void to_json(nlohmann::json& json, const Speaker& speaker);

/// An immutable snapshot of a speaker with a numeric id. Equal when id and name are; hashed by id.
class SendableSpeaker {
public:
    SendableSpeaker(std::int64_t id, std::string name, float duration, std::vector<float> mainEmbedding,
                    Date createdAt, Date updatedAt);
    /// The speaker's id as a decimal integer (an optional leading "+" or "-") when it is one,
    /// otherwise a non-negative hash of the id text (not stable between runs).
    explicit SendableSpeaker(const Speaker& speaker);

    [[nodiscard]] std::int64_t id() const noexcept { return id_; }
    [[nodiscard]] const std::string& name() const noexcept { return name_; }
    [[nodiscard]] float duration() const noexcept { return duration_; }
    [[nodiscard]] const std::vector<float>& mainEmbedding() const noexcept { return mainEmbedding_; }
    [[nodiscard]] Date createdAt() const noexcept { return createdAt_; }
    [[nodiscard]] Date updatedAt() const noexcept { return updatedAt_; }
    /// The name, or "Speaker #" + id when the name is empty.
    [[nodiscard]] std::string label() const;

    friend bool operator==(const SendableSpeaker& a, const SendableSpeaker& b) noexcept {
        return a.id_ == b.id_ && a.name_ == b.name_;
    }

private:
    std::int64_t id_;
    std::string name_;
    float duration_;
    std::vector<float> mainEmbedding_;
    Date createdAt_;
    Date updatedAt_;
};

/// How `SpeakerManager::initializeKnownSpeakers` treats a speaker whose id is already stored.
enum class SpeakerInitializationMode { reset, merge, overwrite, skip };

/// `text` as a decimal integer with an optional leading sign, when it is exactly that and fits.
[[nodiscard]] std::optional<std::int64_t> parseSpeakerNumber(std::string_view text) noexcept;

}  // namespace Tervane

template <>
struct std::hash<Tervane::Speaker> {
    std::size_t operator()(const Tervane::Speaker& speaker) const noexcept {
        return std::hash<std::string>{}(speaker.id());
    }
};

template <>
struct std::hash<Tervane::SendableSpeaker> {
    std::size_t operator()(const Tervane::SendableSpeaker& speaker) const noexcept {
        return std::hash<std::int64_t>{}(speaker.id());
    }
};

template <>
struct nlohmann::adl_serializer<Tervane::RawEmbedding> {
    /// The three keys, all required; the embedding is kept exactly as stored.
    static Tervane::RawEmbedding from_json(const nlohmann::json& json);
    static void to_json(nlohmann::json& json, const Tervane::RawEmbedding& embedding) {
        Tervane::to_json(json, embedding);
    }
};
