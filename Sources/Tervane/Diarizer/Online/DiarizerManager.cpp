#include <Tervane/Diarizer/Online/DiarizerManager.hpp>

#include <Tervane/Diarizer/Offline/VDSPOperations.hpp>
#include <Tervane/Diarizer/Online/DiarizerError.hpp>
#include <Tervane/Shared/ElapsedTime.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <numeric>
#include <string>

namespace Tervane {

namespace {

using Clock = std::chrono::steady_clock;

/// Speech duration the database is told per active frame.
constexpr float frameSeconds = static_cast<float>(SlidingWindow::frameStep);

/// Chunk length and the distance between chunk starts, in samples.
struct ChunkGeometry {
    std::int64_t chunkSize = 0;
    std::int64_t step = 0;
};

/// The geometry `config` gives at `sampleRate`, for a recording of `sampleCount` samples.
/// Refuses what would give chunks the models cannot take or no progress from chunk to chunk.
ChunkGeometry chunkGeometry(const DiarizerConfig& config, int sampleRate, std::int64_t sampleCount) {
    if (sampleRate <= 0) {
        throw DiarizerError::processingFailed("Sample rate must be positive, got " + std::to_string(sampleRate));
    }
    if (!std::isfinite(config.chunkDuration) || !std::isfinite(config.chunkOverlap)) {
        throw DiarizerError::processingFailed("Chunk duration and overlap must be finite, got " +
                                              NumberText::shortest(config.chunkDuration) + "s and " +
                                              NumberText::shortest(config.chunkOverlap) + "s");
    }
    // Whole seconds, halves away from zero; in double so that no product can overflow.
    const double rate = sampleRate;
    const double chunkSize = rate * std::round(static_cast<double>(config.chunkDuration));
    const double overlap = rate * std::round(static_cast<double>(config.chunkOverlap));
    const auto window = static_cast<double>(SegmentationProcessor::modelWindowSamples);
    if (chunkSize < 1 || chunkSize > window) {
        throw DiarizerError::processingFailed(
            "Chunk size must be 1 to " + std::to_string(SegmentationProcessor::modelWindowSamples) +
            " samples, got " + NumberText::shortest(chunkSize) + " (" + NumberText::shortest(config.chunkDuration) +
            "s at " + std::to_string(sampleRate) + " Hz)");
    }
    const double step = chunkSize - overlap;
    if (step < 1) {
        throw DiarizerError::processingFailed("Chunk overlap must be shorter than the chunk, got " +
                                              NumberText::shortest(config.chunkOverlap) + "s overlap for " +
                                              NumberText::shortest(config.chunkDuration) + "s chunks");
    }
    ChunkGeometry geometry;
    geometry.chunkSize = static_cast<std::int64_t>(chunkSize);
    // A step past the end means one chunk; capping it keeps the offsets from overflowing.
    geometry.step = step >= static_cast<double>(sampleCount) ? std::max<std::int64_t>(sampleCount, 1)
                                                             : static_cast<std::int64_t>(step);
    return geometry;
}

float euclideanNorm(const std::vector<float>& values) {
    double squares = 0;
    for (const float value : values) {
        squares += static_cast<double>(value) * static_cast<double>(value);
    }
    return static_cast<float>(std::sqrt(squares));
}

}  // namespace

DiarizerManager::DiarizerManager(DiarizerConfig config)
    : config_(config),
      memoryOptimizer_(std::make_shared<ANEMemoryOptimizer>()),
      speakerManager_(std::make_shared<SpeakerManager>(1.2F * config.clusteringThreshold,
                                                       0.8F * config.clusteringThreshold, config.minSpeechDuration,
                                                       config.minEmbeddingUpdateDuration)) {}

void DiarizerManager::initialize(DiarizerModels models) {
    logger_.info("Initializing diarization system");
    embeddingExtractor_ = std::make_shared<EmbeddingExtractor>(models.embeddingModel());
    logger_.info("EmbeddingExtractor initialized with embedding model");
    models_ = std::move(models);
}

void DiarizerManager::cleanup() {
    models_.reset();
    embeddingExtractor_.reset();
    logger_.info("Diarization resources cleaned up");
}

std::shared_ptr<MLModel> DiarizerManager::segmentationModel() const {
    return models_ ? models_->segmentationModel() : nullptr;
}

void DiarizerManager::initializeKnownSpeakers(const std::vector<std::shared_ptr<Speaker>>& speakers) {
    speakerManager_->initializeKnownSpeakers(speakers, SpeakerInitializationMode::skip, true);
}

DiarizationResult DiarizerManager::performCompleteDiarization(std::span<const float> samples, int sampleRate,
                                                              double atTime) {
    if (!models_ || !models_->segmentationModel()) {
        throw DiarizerError::notInitialized();
    }
    const auto sampleCount = static_cast<std::int64_t>(samples.size());
    const ChunkGeometry geometry = chunkGeometry(config_, sampleRate, sampleCount);
    std::vector<float> chunkBuffer(static_cast<std::size_t>(std::max<std::int64_t>(1, geometry.chunkSize)));

    std::vector<TimedSpeakerSegment> segments;
    ChunkTimings totals;
    for (std::int64_t offset = 0; offset < sampleCount; offset += geometry.step) {
        const std::int64_t end = std::min(offset + geometry.chunkSize, sampleCount);
        const double chunkOffset = atTime + static_cast<double>(offset) / static_cast<double>(sampleRate);
        ChunkResult chunk = processChunkWithSpeakerTracking(
            samples.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(end - offset)), chunkOffset,
            chunkBuffer);
        segments.insert(segments.end(), std::make_move_iterator(chunk.segments.begin()),
                        std::make_move_iterator(chunk.segments.end()));
        totals.segmentationTime += chunk.timings.segmentationTime;
        totals.embeddingTime += chunk.timings.embeddingTime;
        totals.clusteringTime += chunk.timings.clusteringTime;
    }

    const Clock::time_point assemblyStart = Clock::now();
    DiarizationResult result;
    result.segments = std::move(segments);
    if (!config_.debugMode) {
        return result;
    }
    std::map<std::string, std::vector<float>> database;
    for (const auto& [id, speaker] : speakerManager_->getAllSpeakers()) {
        database.emplace(id, speaker->currentEmbedding());
    }
    result.speakerDatabase = std::move(database);
    result.timings = PipelineTimings(models_->compilationDuration(), 0, totals.segmentationTime,
                                     totals.embeddingTime, totals.clusteringTime, secondsSince(assemblyStart));
    return result;
}

DiarizerManager::ChunkResult DiarizerManager::processChunkWithSpeakerTracking(std::span<const float> chunk,
                                                                              double chunkOffset,
                                                                              std::vector<float>& chunkBuffer) {
    ChunkResult result;
    std::fill(chunkBuffer.begin(), chunkBuffer.end(), 0.0F);
    const std::span<const float> audio = chunk.first(std::min(chunk.size(), chunkBuffer.size()));
    std::copy(audio.begin(), audio.end(), chunkBuffer.begin());

    Clock::time_point stageStart = Clock::now();
    const std::vector<std::vector<float>> activity = segmentationProcessor_.getSegments(
        chunkBuffer, *models_->segmentationModel(), SegmentationProcessor::modelWindowSamples);
    result.timings.segmentationTime = secondsSince(stageStart);

    stageStart = Clock::now();
    if (!embeddingExtractor_ || !embeddingExtractor_->embeddingModel()) {
        throw DiarizerError::notInitialized();
    }
    const auto frames = activity.size();
    const auto speakers = static_cast<std::size_t>(SegmentationProcessor::localSpeakerCount);
    // Overlapped frames would mix voices into an embedding, so masks leave them out.
    std::vector<std::vector<float>> masks(speakers, std::vector<float>(frames, 0.0F));
    for (std::size_t f = 0; f < frames; ++f) {
        const auto active = std::count_if(activity[f].begin(), activity[f].end(), [](float v) { return v > 0; });
        if (active >= 2) {
            continue;
        }
        for (std::size_t s = 0; s < speakers && s < activity[f].size(); ++s) {
            masks[s][f] = activity[f][s];
        }
    }
    const std::vector<std::vector<float>> embeddings =
        embeddingExtractor_->getEmbeddings(audio, masks, config_.minActiveFramesCount);
    result.timings.embeddingTime = secondsSince(stageStart);

    stageStart = Clock::now();
    std::vector<float> activities(speakers, 0.0F);
    for (const std::vector<float>& frame : activity) {
        for (std::size_t s = 0; s < speakers && s < frame.size(); ++s) {
            activities[s] += frame[s];
        }
    }
    std::vector<std::string> speakerIds(speakers);
    for (std::size_t s = 0; s < speakers && s < embeddings.size(); ++s) {
        if (activities[s] <= config_.minActiveFramesCount || !audioValidation_.validateEmbedding(embeddings[s])) {
            continue;
        }
        if (embeddings[s].size() != static_cast<std::size_t>(EmbeddingExtractor::embeddingSize)) {
            logger_.error("Invalid embedding size: " + std::to_string(embeddings[s].size()));
            continue;
        }
        const std::vector<float> normalized = VDSPOperations::l2Normalize(embeddings[s]);
        const std::shared_ptr<Speaker> speaker = speakerManager_->assignSpeaker(
            normalized, activities[s] * frameSeconds, 1.0F, speakerManager_->speakerThreshold());
        if (speaker) {
            speakerIds[s] = speaker->id();
        }
    }
    result.timings.clusteringTime = secondsSince(stageStart);

    result.segments =
        createTimedSegments(activity, SlidingWindow{chunkOffset}, embeddings, speakerIds, activities);
    return result;
}

std::vector<TimedSpeakerSegment> DiarizerManager::createTimedSegments(
    const std::vector<std::vector<float>>& binarizedSegments, const SlidingWindow& slidingWindow,
    const std::vector<std::vector<float>>& embeddings, const std::vector<std::string>& speakerIds,
    const std::vector<float>& speakerActivities) const {
    const std::size_t frames = binarizedSegments.size();
    const auto isSpeech = [&](std::size_t f, std::size_t s) {
        const std::vector<float>& frame = binarizedSegments[f];
        if (s >= frame.size()) {
            return false;
        }
        if (frame[s] > 0.3F) {
            return true;
        }
        if (frame[s] <= 0.15F) {
            return false;
        }
        for (std::size_t other = 0; other < frame.size(); ++other) {
            if (other != s && frame[other] > 0.3F) {
                return true;
            }
        }
        return false;
    };

    std::vector<TimedSpeakerSegment> segments;
    for (std::size_t s = 0; s < speakerActivities.size(); ++s) {
        const float activity = speakerActivities[s];
        if (activity < config_.minActiveFramesCount || s >= speakerIds.size() || speakerIds[s].empty() ||
            s >= embeddings.size()) {
            continue;
        }
        const float norm = euclideanNorm(embeddings[s]);
        std::size_t f = 0;
        while (f < frames) {
            if (!isSpeech(f, s)) {
                ++f;
                continue;
            }
            const std::size_t runStart = f;
            while (f < frames && isSpeech(f, s)) {
                ++f;
            }
            const auto length = static_cast<double>(f - runStart);
            if (length * slidingWindow.step < static_cast<double>(config_.minSpeechDuration)) {
                continue;
            }
            // The formula can pass 1 for a speaker with several runs; the record promises [0, 1].
            const float quality = std::clamp(
                activity / static_cast<float>(length) * std::min(1.0F, norm / 10.0F), 0.0F, 1.0F);
            segments.emplace_back(speakerIds[s], embeddings[s],
                                  static_cast<float>(slidingWindow.frameStart(static_cast<std::int64_t>(runStart))),
                                  static_cast<float>(slidingWindow.frameStart(static_cast<std::int64_t>(f))), quality);
        }
    }
    std::stable_sort(segments.begin(), segments.end(), [](const TimedSpeakerSegment& a, const TimedSpeakerSegment& b) {
        return a.startTimeSeconds < b.startTimeSeconds;
    });
    return segments;
}

}  // namespace Tervane
