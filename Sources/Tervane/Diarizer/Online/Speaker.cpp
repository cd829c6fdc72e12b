#include <Tervane/Diarizer/Online/Speaker.hpp>

#include <Tervane/Diarizer/Offline/VDSPOperations.hpp>
#include <Tervane/Diarizer/Online/SpeakerUtilities.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace Tervane {

namespace {

// Embeddings with this little energy carry no speaker information and are not learnt from.
constexpr float minimumEnergy = 0.01F;

Date now() { return std::chrono::system_clock::now(); }

/// The double that prints as the float's shortest text, so stored files read "0.1", not
/// "0.10000000149011612", and read back as the same float.
double jsonNumber(float value, const char* what) {
    if (!std::isfinite(value)) {
        throw nlohmann::json::other_error::create(
            599, std::string(what) + " holds a value that is not a finite number", nullptr);
    }
    char text[32];
    const auto printed = std::to_chars(std::begin(text), std::end(text), value);
    double widened = value;
    std::from_chars(std::begin(text), printed.ptr, widened);
    return widened;
}

nlohmann::json jsonNumbers(const std::vector<float>& values, const char* what) {
    nlohmann::json array = nlohmann::json::array();
    array.get_ref<nlohmann::json::array_t&>().reserve(values.size());
    for (const float value : values) {
        array.push_back(jsonNumber(value, what));
    }
    return array;
}

UUID uuidFromJSON(const nlohmann::json& json) {
    const std::optional<UUID> uuid = UUID::fromString(json.get_ref<const std::string&>());
    if (!uuid) {
        throw nlohmann::json::other_error::create(599, "segmentId is not a UUID: " + json.dump(), nullptr);
    }
    return *uuid;
}

}  // namespace

// MARK: - RawEmbedding

RawEmbedding::RawEmbedding(UUID segmentId_, const std::vector<float>& embedding_, Date timestamp_)
    : segmentId(segmentId_), embedding(VDSPOperations::l2Normalize(embedding_)), timestamp(timestamp_) {}

void to_json(nlohmann::json& json, const RawEmbedding& embedding) {
    json = nlohmann::json::object();
    json["segmentId"] = embedding.segmentId.uuidString();
    json["embedding"] = jsonNumbers(embedding.embedding, "embedding");
    json["timestamp"] = secondsSinceReferenceDate(embedding.timestamp);
}

// MARK: - Speaker

Speaker::Speaker(std::optional<std::string> id, std::optional<std::string> name,
                 const std::vector<float>& currentEmbedding, float duration, std::optional<Date> createdAt,
                 std::optional<Date> updatedAt, bool isPermanent)
    : id_(id ? std::move(*id) : UUID::random().uuidString()) {
    const Date created = now();
    state_.name = name ? std::move(*name) : id_;
    state_.currentEmbedding = VDSPOperations::l2Normalize(currentEmbedding);
    state_.duration = duration;
    state_.createdAt = createdAt.value_or(created);
    state_.updatedAt = updatedAt.value_or(created);
    state_.isPermanent = isPermanent;
}

Speaker::State Speaker::snapshot() const {
    const std::lock_guard lock(mutex_);
    return state_;
}

std::string Speaker::name() const { return read(&State::name); }
void Speaker::setName(std::string name) { write(&State::name, std::move(name)); }

std::vector<float> Speaker::currentEmbedding() const { return read(&State::currentEmbedding); }
void Speaker::setCurrentEmbedding(std::vector<float> embedding) { write(&State::currentEmbedding, std::move(embedding)); }

float Speaker::duration() const { return read(&State::duration); }
void Speaker::setDuration(float duration) { write(&State::duration, duration); }

Date Speaker::createdAt() const { return read(&State::createdAt); }
void Speaker::setCreatedAt(Date date) { write(&State::createdAt, date); }

Date Speaker::updatedAt() const { return read(&State::updatedAt); }
void Speaker::setUpdatedAt(Date date) { write(&State::updatedAt, date); }

int Speaker::updateCount() const { return read(&State::updateCount); }
void Speaker::setUpdateCount(int count) { write(&State::updateCount, count); }

std::vector<RawEmbedding> Speaker::rawEmbeddings() const { return read(&State::rawEmbeddings); }
void Speaker::setRawEmbeddings(std::vector<RawEmbedding> embeddings) { write(&State::rawEmbeddings, std::move(embeddings)); }

bool Speaker::isPermanent() const { return read(&State::isPermanent); }
void Speaker::setPermanent(bool permanent) { write(&State::isPermanent, permanent); }

void Speaker::updateMainEmbedding(float duration, const std::vector<float>& embedding, UUID segmentId, float alpha) {
    if (VectorRoutines::svesq(embedding) <= minimumEnergy) {
        return;
    }
    const std::vector<float> normalized = VDSPOperations::l2Normalize(embedding);
    const std::lock_guard lock(mutex_);
    addRawEmbeddingLocked(RawEmbedding(segmentId, normalized, now()));
    // The moving average goes on top of the history mean just computed.
    std::vector<float>& current = state_.currentEmbedding;
    if (current.size() == normalized.size()) {
        for (std::size_t i = 0; i < current.size(); ++i) {
            current[i] = alpha * current[i] + (1 - alpha) * normalized[i];
        }
        current = VDSPOperations::l2Normalize(current);
    }
    state_.duration += duration;
    state_.updatedAt = now();
    state_.updateCount += 1;
}

void Speaker::addRawEmbedding(const RawEmbedding& embedding) {
    const std::lock_guard lock(mutex_);
    addRawEmbeddingLocked(embedding);
}

void Speaker::addRawEmbeddingLocked(const RawEmbedding& embedding) {
    if (VectorRoutines::svesq(embedding.embedding) <= minimumEnergy) {
        return;
    }
    std::vector<RawEmbedding>& history = state_.rawEmbeddings;
    if (history.size() >= maxRawEmbeddings) {
        history.erase(history.begin());
    }
    history.push_back(embedding);
    recalculateMainEmbeddingLocked();
}

std::optional<RawEmbedding> Speaker::removeRawEmbedding(UUID segmentId) {
    const std::lock_guard lock(mutex_);
    std::vector<RawEmbedding>& history = state_.rawEmbeddings;
    const auto found = std::ranges::find(history, segmentId, &RawEmbedding::segmentId);
    if (found == history.end()) {
        return std::nullopt;
    }
    RawEmbedding removed = *found;
    history.erase(found);
    recalculateMainEmbeddingLocked();
    return removed;
}

void Speaker::recalculateMainEmbedding() {
    const std::lock_guard lock(mutex_);
    recalculateMainEmbeddingLocked();
}

void Speaker::recalculateMainEmbeddingLocked() {
    std::vector<std::vector<float>> embeddings;
    embeddings.reserve(state_.rawEmbeddings.size());
    for (const RawEmbedding& entry : state_.rawEmbeddings) {
        embeddings.push_back(entry.embedding);
    }
    if (std::optional<std::vector<float>> mean = SpeakerUtilities::averageEmbeddings(embeddings)) {
        state_.currentEmbedding = std::move(*mean);
        state_.updatedAt = now();
    }
}

void Speaker::mergeWith(const Speaker& other, const std::optional<std::string>& keepName) {
    // Read the other speaker first, so merging never holds two speakers' locks at once (and a
    // speaker merged with itself cannot deadlock).
    const State incoming = other.snapshot();
    const std::lock_guard lock(mutex_);
    std::vector<RawEmbedding>& history = state_.rawEmbeddings;
    history.insert(history.end(), incoming.rawEmbeddings.begin(), incoming.rawEmbeddings.end());
    SpeakerUtilities::keepNewest(history, maxRawEmbeddings);
    state_.duration += incoming.duration;
    if (keepName) {
        state_.name = *keepName;
    }
    recalculateMainEmbeddingLocked();
    state_.updatedAt = now();
    state_.updateCount += incoming.updateCount;
}

SendableSpeaker Speaker::toSendable() const { return SendableSpeaker(*this); }

nlohmann::json Speaker::toJSON() const {
    const State state = snapshot();
    nlohmann::json json = nlohmann::json::object();
    json["id"] = id_;
    json["name"] = state.name;
    json["currentEmbedding"] = jsonNumbers(state.currentEmbedding, "currentEmbedding");
    json["duration"] = jsonNumber(state.duration, "duration");
    json["createdAt"] = secondsSinceReferenceDate(state.createdAt);
    json["updatedAt"] = secondsSinceReferenceDate(state.updatedAt);
    json["updateCount"] = state.updateCount;
    json["rawEmbeddings"] = state.rawEmbeddings;
    json["isPermanent"] = state.isPermanent;
    return json;
}

std::shared_ptr<Speaker> Speaker::fromJSON(const nlohmann::json& json) {
    State state;
    std::string id = json.at("id").get<std::string>();
    state.name = json.at("name").get<std::string>();
    state.currentEmbedding = json.at("currentEmbedding").get<std::vector<float>>();
    state.duration = json.at("duration").get<float>();
    state.createdAt = dateFromSecondsSinceReferenceDate(json.at("createdAt").get<double>());
    state.updatedAt = dateFromSecondsSinceReferenceDate(json.at("updatedAt").get<double>());
    state.updateCount = json.at("updateCount").get<int>();
    state.rawEmbeddings = json.at("rawEmbeddings").get<std::vector<RawEmbedding>>();
    state.isPermanent = json.at("isPermanent").get<bool>();
    return std::shared_ptr<Speaker>(new Speaker(std::move(id), std::move(state)));
}

void to_json(nlohmann::json& json, const Speaker& speaker) { json = speaker.toJSON(); }

// MARK: - SendableSpeaker

namespace {

std::int64_t sendableId(const std::string& id) {
    if (const std::optional<std::int64_t> number = parseSpeakerNumber(id)) {
        return *number;
    }
    const auto hash = static_cast<std::int64_t>(std::hash<std::string>{}(id));
    // The absolute value, without the overflow of the most negative hash.
    return hash == std::numeric_limits<std::int64_t>::min() ? std::numeric_limits<std::int64_t>::max()
                                                            : (hash < 0 ? -hash : hash);
}

}  // namespace

SendableSpeaker::SendableSpeaker(std::int64_t id, std::string name, float duration, std::vector<float> mainEmbedding,
                                 Date createdAt, Date updatedAt)
    : id_(id),
      name_(std::move(name)),
      duration_(duration),
      mainEmbedding_(std::move(mainEmbedding)),
      createdAt_(createdAt),
      updatedAt_(updatedAt) {}

SendableSpeaker::SendableSpeaker(const Speaker& speaker)
    : id_(sendableId(speaker.id())),
      name_(speaker.name()),
      duration_(speaker.duration()),
      mainEmbedding_(speaker.currentEmbedding()),
      createdAt_(speaker.createdAt()),
      updatedAt_(speaker.updatedAt()) {}

std::string SendableSpeaker::label() const { return name_.empty() ? "Speaker #" + std::to_string(id_) : name_; }

std::optional<std::int64_t> parseSpeakerNumber(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace Tervane

Tervane::RawEmbedding nlohmann::adl_serializer<Tervane::RawEmbedding>::from_json(const nlohmann::json& json) {
    Tervane::RawEmbedding embedding(Tervane::uuidFromJSON(json.at("segmentId")), {},
                                    Tervane::dateFromSecondsSinceReferenceDate(json.at("timestamp").get<double>()));
    embedding.embedding = json.at("embedding").get<std::vector<float>>();
    return embedding;
}
