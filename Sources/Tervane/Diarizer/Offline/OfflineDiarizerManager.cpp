#include <Tervane/Diarizer/Offline/OfflineDiarizerManager.hpp>

#include <Tervane/Audio/StreamingAudioSourceFactory.hpp>
#include <Tervane/Diarizer/Offline/AHCClustering.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiagnostics.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/OfflineEmbeddingExtractor.hpp>
#include <Tervane/Diarizer/Offline/OfflineReconstruction.hpp>
#include <Tervane/Diarizer/Offline/OfflineSegmentationProcessor.hpp>
#include <Tervane/Diarizer/Offline/PLDATransform.hpp>
#include <Tervane/Platform/AsyncChannel.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/MLFeatureProvider.hpp>
#include <Tervane/Platform/MLMultiArray.hpp>
#include <Tervane/Shared/ElapsedTime.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace Tervane {

namespace {

using Clock = std::chrono::steady_clock;

/// The repository folder a forced or fallback reload clears.
constexpr const char* cachedRepositoryFolder = "speaker-diarization-coreml";
constexpr double minimumPrior = 1e-7;

std::string describe(const std::exception& failure) {
    return failure.what();
}

bool allFinite(const std::vector<float>& values) {
    return std::all_of(values.begin(), values.end(), [](float value) { return std::isfinite(value); });
}

bool allFinite(const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double value) { return std::isfinite(value); });
}

bool isCancellation(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const CancellationError&) {
        return true;
    } catch (...) {
        return false;
    }
}

/// One plain write that replaces whatever was at `path`.
void writeBytes(const std::string& bytes, const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        throw FileError("write", path, errno);
    }
    std::string_view remaining = bytes;
    int failure = 0;
    while (!remaining.empty()) {
        const ssize_t written = ::write(descriptor, remaining.data(), remaining.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            failure = errno;
            break;
        }
        remaining.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(descriptor) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure != 0) {
        throw FileError("write", path, failure);
    }
}

std::vector<double> meanOf(const std::vector<const std::vector<double>*>& rows, std::size_t dimension) {
    std::vector<double> mean(dimension, 0.0);
    for (const std::vector<double>* row : rows) {
        for (std::size_t j = 0; j < dimension && j < row->size(); ++j) {
            mean[j] += (*row)[j];
        }
    }
    if (!rows.empty()) {
        for (double& value : mean) {
            value /= static_cast<double>(rows.size());
        }
    }
    return mean;
}

}  // namespace

OfflineDiarizerManager::OfflineDiarizerManager(OfflineDiarizerConfig config)
    : config_(std::move(config)), signposter_(OfflineDiagnostics::makeSignposter()) {}

void OfflineDiarizerManager::initialize(OfflineDiarizerModels models) {
    models_ = std::move(models);
    logger_.info("Offline diarizer models initialized");
}

// MARK: - Model preparation

void OfflineDiarizerManager::purgeCachedRepository(const std::filesystem::path& directory,
                                                   const std::string& warningPrefix) const {
    const std::filesystem::path folder = directory / cachedRepositoryFolder;
    std::error_code error;
    if (!std::filesystem::exists(folder, error)) {
        return;
    }
    std::filesystem::remove_all(folder, error);
    if (error) {
        logger_.warning(warningPrefix + FileError("remove", folder, error.value()).description());
    }
}

void OfflineDiarizerManager::prepareModels(const std::optional<std::filesystem::path>& directory,
                                           const std::optional<MLModelConfiguration>& /*configuration*/,
                                           bool forceRedownload) {
    if (models_ && !forceRedownload) {
        logger_.debug("Offline diarizer models already prepared; skipping load");
        return;
    }
    const std::filesystem::path root =
        (directory ? *directory : OfflineDiarizerModels::defaultModelsDirectory()).lexically_normal();
    if (forceRedownload) {
        purgeCachedRepository(root, "Failed to purge diarizer cache during forced reload: ");
    }

    try {
        models_ = OfflineDiarizerModels::load(root);
        logger_.info("Offline diarizer models initialized");
        prewarmModelsIfNeeded();
        logger_.info("Offline diarizer models loaded from " + root.string());
        return;
    } catch (const std::exception& failure) {
        logger_.error("Initial offline diarizer model load failed: " + describe(failure));
    }

    logger_.info("Attempting fallback download and compilation");
    const Clock::time_point fallbackStart = Clock::now();
    purgeCachedRepository(root, "Failed to remove cached diarizer repo before fallback: ");
    try {
        models_ = OfflineDiarizerModels::load(root);
    } catch (const std::exception& failure) {
        logger_.error("Fallback offline diarizer model load failed: " + describe(failure));
        throw;
    }
    logger_.info("Offline diarizer models initialized");
    prewarmModelsIfNeeded();
    logger_.info("Fallback download + compile completed in " + NumberText::fixed(secondsSince(fallbackStart), 2) +
                 "s at " + root.string());
}

void OfflineDiarizerManager::prewarmModelsIfNeeded() const {
    if (!models_) {
        return;
    }
    prewarmSegmentationModel(*models_);
    prewarmEmbeddingStack(*models_);
}

void OfflineDiarizerManager::prewarmSegmentationModel(const OfflineDiarizerModels& models) const {
    const Clock::time_point start = Clock::now();
    try {
        if (!models.segmentationModel()) {
            throw OfflineDiarizationError::modelNotLoaded("segmentation");
        }
        const std::shared_ptr<MLMultiArray> audio =
            MLMultiArray::make({1, 1, config_.samplesPerWindow()}, MLMultiArrayDataType::float32);
        const MLDictionaryFeatureProvider input({{"audio", MLFeatureValue(audio)}});
        (void)models.segmentationModel()->prediction(input);
        logger_.debug("Segmentation model prewarmed in " + NumberText::fixed(secondsSince(start), 3) + "s");
    } catch (const std::exception& failure) {
        logger_.debug("Segmentation prewarm skipped: " + describe(failure));
    }
}

void OfflineDiarizerManager::prewarmEmbeddingStack(const OfflineDiarizerModels& models) const {
    const Clock::time_point start = Clock::now();
    try {
        const PLDATransform plda(models.pldaRhoModel(), models.pldaPsi());
        const OfflineEmbeddingExtractor extractor(models.fbankModel(), models.embeddingModel(), plda, config_);
        SegmentationOutput segmentation;
        segmentation.logProbs = {{{0.0F}}};
        segmentation.speakerWeights = {{{1.0F}}};
        segmentation.numChunks = 1;
        segmentation.numFrames = 1;
        segmentation.numSpeakers = 1;
        segmentation.chunkOffsets = {0.0};
        segmentation.frameDuration = std::max(config_.segmentation.windowDurationSeconds, 0.001);
        const std::vector<float> silence(static_cast<std::size_t>(std::max<std::int64_t>(config_.samplesPerWindow(), 0)),
                                         0.0F);
        (void)extractor.extractEmbeddings(silence, segmentation);
        logger_.debug("Embedding stack prewarmed in " + NumberText::fixed(secondsSince(start), 3) + "s");
    } catch (const std::exception& failure) {
        logger_.debug("Embedding prewarm skipped: " + describe(failure));
    }
}

const OfflineDiarizerModels& OfflineDiarizerManager::requireModels() const {
    if (!models_) {
        throw OfflineDiarizationError::modelNotLoaded("offline-diarizer");
    }
    return *models_;
}

// MARK: - Runs

DiarizationResult OfflineDiarizerManager::process(const std::vector<float>& audio) {
    return process(ArrayAudioSampleSource(audio), 0);
}

DiarizationResult OfflineDiarizerManager::process(const std::filesystem::path& file) {
    const StreamingAudioSourceFactory factory;
    const StreamingAudioSourceFactory::DiskBackedSource loaded =
        factory.makeDiskBackedSource(file, static_cast<double>(config_.segmentation.sampleRate));
    try {
        DiarizationResult result = process(loaded.source, loaded.loadDuration);
        loaded.source.cleanup();
        return result;
    } catch (...) {
        loaded.source.cleanup();
        throw;
    }
}

DiarizationResult OfflineDiarizerManager::process(const StreamingAudioSampleSource& audioSource,
                                                  double audioLoadingSeconds) {
    config_.validate();
    if (!models_) {
        prepareModels();
    }
    const OfflineDiarizerModels models = requireModels();  // copies share the models
    if (!models.segmentationModel() || !models.fbankModel() || !models.embeddingModel() || !models.pldaRhoModel()) {
        throw OfflineDiarizationError::modelNotLoaded("offline-diarizer");
    }
    const Clock::time_point runStart = Clock::now();

    // Segmentation produces chunks, embedding extraction consumes them as they come; the
    // channel never makes the producer wait. Both sides only read the source.
    AsyncChannel<SegmentationChunk> chunks;
    SegmentationOutput segmentation;
    double segmentationSeconds = 0;
    std::exception_ptr segmentationFailure;
    std::vector<TimedEmbedding> embeddings;
    double embeddingSeconds = 0;
    std::exception_ptr embeddingFailure;

    std::jthread segmentationTask([&](std::stop_token stopToken) {
        const Clock::time_point start = Clock::now();
        try {
            const OfflineSegmentationProcessor processor;
            const SegmentationChunkHandler handler = [&chunks](const SegmentationChunk& chunk) {
                return chunks.yield(chunk) == AsyncChannel<SegmentationChunk>::YieldResult::terminated
                           ? SegmentationChunkContinuation::stop
                           : SegmentationChunkContinuation::proceed;
            };
            segmentation = processor.process(audioSource, *models.segmentationModel(), config_, handler, stopToken);
            segmentationSeconds = secondsSince(start);
            chunks.finish();
        } catch (...) {
            segmentationFailure = std::current_exception();
            chunks.finish(segmentationFailure);
        }
    });
    std::jthread embeddingTask([&](std::stop_token stopToken) {
        try {
            const PLDATransform plda(models.pldaRhoModel(), models.pldaPsi());
            const OfflineEmbeddingExtractor extractor(models.fbankModel(), models.embeddingModel(), plda, config_);
            const Clock::time_point start = Clock::now();
            embeddings = extractor.extractEmbeddings(audioSource, chunks, stopToken);
            embeddingSeconds = secondsSince(start);
        } catch (...) {
            embeddingFailure = std::current_exception();
            // Nobody takes chunks any more: stop the producer instead of segmenting for nothing.
            chunks.finish(embeddingFailure);
            segmentationTask.request_stop();
        }
    });

    segmentationTask.join();
    if (segmentationFailure) {
        embeddingTask.request_stop();
    }
    embeddingTask.join();
    if (segmentationFailure && !(embeddingFailure && isCancellation(segmentationFailure))) {
        std::rethrow_exception(segmentationFailure);
    }
    if (embeddingFailure) {
        std::rethrow_exception(embeddingFailure);
    }

    logger_.debug("Segmentation completed in " + NumberText::shortest(segmentationSeconds) + "s (async)");
    logger_.debug("Embedding extraction produced " + std::to_string(embeddings.size()) + " vectors in " +
                  NumberText::shortest(embeddingSeconds) + "s (async)");
    if (embeddings.empty()) {
        throw OfflineDiarizationError::noSpeechDetected();
    }

    ClusteringOutcome outcome = clusterAndReconstruct(segmentation, embeddings);
    if (config_.exportConfig.embeddingsPath) {
        exportEmbeddings(embeddings, outcome.assignments, *config_.exportConfig.embeddingsPath);
    }

    const double totalSeconds = secondsSince(runStart);
    const double postProcessingSeconds =
        std::max(0.0, totalSeconds - segmentationSeconds - embeddingSeconds - outcome.clusteringSeconds);
    DiarizationResult result;
    result.segments = std::move(outcome.segments);
    result.speakerDatabase = std::move(outcome.speakerDatabase);
    result.timings = PipelineTimings(models.compilationDuration(), audioLoadingSeconds, segmentationSeconds,
                                     embeddingSeconds, outcome.clusteringSeconds, postProcessingSeconds);
    return result;
}

OfflineDiarizerManager::ClusteringOutcome OfflineDiarizerManager::clusterAndReconstruct(
    const SegmentationOutput& segmentation, const std::vector<TimedEmbedding>& embeddings) const {
    const OfflineDiarizerModels& models = requireModels();
    const PLDATransform vbxTransform(models.pldaRhoModel(), models.pldaPsi());

    const Clock::time_point clusteringStart = Clock::now();
    SignpostIntervalState clusteringInterval = signposter_.beginInterval("Speaker Clustering");
    std::vector<std::vector<double>> features;
    std::vector<std::vector<double>> rho;
    features.reserve(embeddings.size());
    rho.reserve(embeddings.size());
    for (const TimedEmbedding& embedding : embeddings) {
        features.emplace_back(embedding.embedding256.begin(), embedding.embedding256.end());
        rho.push_back(embedding.rho128);
    }

    const std::vector<std::size_t> training = selectTrainingEmbeddings(embeddings);
    std::vector<std::vector<double>> trainingFeatures;
    std::vector<std::vector<double>> trainingRho;
    trainingFeatures.reserve(training.size());
    trainingRho.reserve(training.size());
    for (const std::size_t index : training) {
        trainingFeatures.push_back(features[index]);
        trainingRho.push_back(rho[index]);
    }
    logger_.debug("Clustering will use " + std::to_string(training.size()) + "/" + std::to_string(embeddings.size()) +
                  " embeddings (NaN filtered)");

    std::vector<int> labels;
    if (trainingFeatures.size() == 1) {
        labels = {0};
    } else if (trainingFeatures.size() > 1) {
        labels = AHCClustering().cluster(trainingFeatures, config_.clustering.threshold);
    }
    VBxOutput vbx;
    if (!trainingRho.empty() && !labels.empty()) {
        vbx = VBxClustering(config_, vbxTransform).refine(trainingRho, labels);
    }

    ClusteringOutcome outcome;
    outcome.centroids = computeCentroids(trainingFeatures, vbx, labels).centroids;
    if (outcome.centroids.empty()) {
        outcome.centroids = computeFallbackCentroids(features);
    }
    outcome.assignments = assignEmbeddings(features, outcome.centroids);
    const std::vector<std::vector<int>> hardClusters =
        buildChunkAssignments(segmentation, embeddings, outcome.assignments, outcome.centroids.size());
    outcome.clusteringSeconds = secondsSince(clusteringStart);
    signposter_.endInterval(clusteringInterval);

    if (outcome.assignments.empty()) {
        logger_.debug("Clustering completed in " + NumberText::shortest(outcome.clusteringSeconds) +
                      "s with no assignments");
    } else {
        std::map<int, std::size_t> histogram;
        for (const int cluster : outcome.assignments) {
            ++histogram[cluster];
        }
        std::string text;
        for (const auto& [cluster, count] : histogram) {
            text += (text.empty() ? "" : ", ") + std::to_string(cluster) + ": " + std::to_string(count);
        }
        logger_.debug("Clustering completed in " + NumberText::shortest(outcome.clusteringSeconds) + "s with " +
                      std::to_string(outcome.centroids.size()) + " centroids (assignment histogram: [" + text + "])");
    }

    SignpostIntervalState reconstructionInterval = signposter_.beginInterval("Segment Reconstruction");
    const OfflineReconstruction reconstruction(config_);
    outcome.segments = reconstruction.buildSegments(segmentation, hardClusters, outcome.centroids);
    outcome.speakerDatabase = reconstruction.buildSpeakerDatabase(outcome.segments);
    signposter_.endInterval(reconstructionInterval);
    return outcome;
}

// MARK: - Clustering steps

std::vector<std::size_t> OfflineDiarizerManager::selectTrainingEmbeddings(
    const std::vector<TimedEmbedding>& timedEmbeddings) {
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < timedEmbeddings.size(); ++i) {
        if (allFinite(timedEmbeddings[i].embedding256)) {
            indices.push_back(i);
        }
    }
    if (indices.empty()) {
        // Better some clustering on damaged vectors than none at all.
        for (std::size_t i = 0; i < timedEmbeddings.size(); ++i) {
            indices.push_back(i);
        }
    }
    return indices;
}

OfflineDiarizerManager::Centroids OfflineDiarizerManager::computeCentroids(
    const std::vector<std::vector<double>>& trainingEmbeddings, const VBxOutput& vbxOutput,
    const std::vector<int>& initialClusters) {
    if (trainingEmbeddings.empty()) {
        return {};
    }
    if (!vbxOutput.gamma.empty() && !vbxOutput.pi.empty()) {
        const std::size_t dimension = trainingEmbeddings.front().size();
        const std::size_t rows = std::min(trainingEmbeddings.size(), vbxOutput.gamma.size());
        Centroids result;
        for (std::size_t k = 0; k < vbxOutput.pi.size(); ++k) {
            if (!(vbxOutput.pi[k] > minimumPrior)) {
                continue;
            }
            std::vector<double> centroid(dimension, 0.0);
            double weight = 0;
            for (std::size_t n = 0; n < rows; ++n) {
                const double g = k < vbxOutput.gamma[n].size() ? vbxOutput.gamma[n][k] : 0.0;
                if (!(g > 0)) {
                    continue;
                }
                const std::vector<double>& x = trainingEmbeddings[n];
                for (std::size_t j = 0; j < dimension && j < x.size(); ++j) {
                    centroid[j] += g * x[j];
                }
                weight += g;
            }
            if (weight > 0) {
                for (double& value : centroid) {
                    value /= weight;
                }
            } else {
                std::fill(centroid.begin(), centroid.end(), 0.0);
            }
            result.clusterToCentroid[static_cast<int>(k)] = result.centroids.size();
            result.centroids.push_back(std::move(centroid));
        }
        if (!result.centroids.empty()) {
            return result;
        }
    }
    return computeCentroidsFromClusters(trainingEmbeddings, initialClusters);
}

OfflineDiarizerManager::Centroids OfflineDiarizerManager::computeCentroidsFromClusters(
    const std::vector<std::vector<double>>& embeddings, const std::vector<int>& clusters) {
    if (embeddings.empty() || clusters.size() != embeddings.size()) {
        return {};
    }
    std::map<int, std::vector<const std::vector<double>*>> members;
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        members[clusters[i]].push_back(&embeddings[i]);
    }
    Centroids result;
    for (const auto& [label, rows] : members) {
        result.clusterToCentroid[label] = result.centroids.size();
        result.centroids.push_back(meanOf(rows, rows.front()->size()));
    }
    return result;
}

std::vector<std::vector<double>> OfflineDiarizerManager::computeFallbackCentroids(
    const std::vector<std::vector<double>>& embeddings) {
    if (embeddings.empty()) {
        return {};
    }
    std::vector<const std::vector<double>*> rows;
    rows.reserve(embeddings.size());
    for (const std::vector<double>& embedding : embeddings) {
        rows.push_back(&embedding);
    }
    return {meanOf(rows, embeddings.front().size())};
}

std::vector<double> OfflineDiarizerManager::normalize(const std::vector<double>& vector) {
    double squaredNorm = 0;
    for (const double value : vector) {
        squaredNorm += value * value;
    }
    if (vector.empty() || !(squaredNorm > 0)) {
        return vector;
    }
    const double norm = std::sqrt(squaredNorm);
    std::vector<double> result(vector.size());
    for (std::size_t i = 0; i < vector.size(); ++i) {
        result[i] = vector[i] / norm;
    }
    return result;
}

std::vector<int> OfflineDiarizerManager::assignEmbeddings(const std::vector<std::vector<double>>& embeddingFeatures,
                                                          const std::vector<std::vector<double>>& centroids) {
    if (embeddingFeatures.empty()) {
        return {};
    }
    if (centroids.empty()) {
        return std::vector<int>(embeddingFeatures.size(), 0);
    }
    std::vector<std::vector<double>> units;
    units.reserve(centroids.size());
    for (const std::vector<double>& centroid : centroids) {
        units.push_back(normalize(centroid));
    }
    std::vector<int> assignments;
    assignments.reserve(embeddingFeatures.size());
    for (const std::vector<double>& features : embeddingFeatures) {
        const std::vector<double> unit = normalize(features);
        double best = -std::numeric_limits<double>::infinity();
        int bestIndex = 0;
        for (std::size_t c = 0; c < units.size(); ++c) {
            double similarity = 0;
            if (units[c].size() == unit.size()) {
                for (std::size_t j = 0; j < unit.size(); ++j) {
                    similarity += unit[j] * units[c][j];
                }
            }
            if (similarity > best) {  // NaN never wins
                best = similarity;
                bestIndex = static_cast<int>(c);
            }
        }
        assignments.push_back(bestIndex);
    }
    return assignments;
}

std::vector<std::vector<int>> OfflineDiarizerManager::buildChunkAssignments(
    const SegmentationOutput& segmentation, const std::vector<TimedEmbedding>& timedEmbeddings,
    const std::vector<int>& assignments, std::size_t clusterCount) {
    const auto chunkCount = static_cast<std::size_t>(std::max<std::int64_t>(segmentation.numChunks, 0));
    const auto speakerCount = static_cast<std::size_t>(std::max<std::int64_t>(segmentation.numSpeakers, 0));
    std::vector<std::vector<int>> table(chunkCount, std::vector<int>(speakerCount, -2));
    for (std::size_t i = 0; i < timedEmbeddings.size() && i < assignments.size(); ++i) {
        const TimedEmbedding& embedding = timedEmbeddings[i];
        const int cluster = assignments[i];
        if (embedding.chunkIndex < 0 || static_cast<std::size_t>(embedding.chunkIndex) >= chunkCount ||
            embedding.speakerIndex < 0 || static_cast<std::size_t>(embedding.speakerIndex) >= speakerCount ||
            cluster < 0 || static_cast<std::size_t>(cluster) >= clusterCount) {
            continue;
        }
        table[static_cast<std::size_t>(embedding.chunkIndex)][static_cast<std::size_t>(embedding.speakerIndex)] =
            cluster;
    }
    return table;
}

// MARK: - Export

void OfflineDiarizerManager::exportEmbeddings(const std::vector<TimedEmbedding>& embeddings,
                                              const std::vector<int>& assignments,
                                              const std::filesystem::path& path) const {
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < embeddings.size(); ++i) {
        const TimedEmbedding& embedding = embeddings[i];
        // JSON has no text for NaN or infinity; writing null would pass off damage as data.
        if (!std::isfinite(embedding.startTime) || !std::isfinite(embedding.endTime) ||
            !allFinite(embedding.embedding256) || !allFinite(embedding.rho128)) {
            throw OfflineDiarizationError::exportFailed("embedding " + std::to_string(i) +
                                                        " holds a value that is not a finite number");
        }
        nlohmann::ordered_json record;
        record["chunkIndex"] = embedding.chunkIndex;
        record["speakerIndex"] = embedding.speakerIndex;
        record["startFrame"] = embedding.startFrame;
        record["endFrame"] = embedding.endFrame;
        record["startTime"] = embedding.startTime;
        record["endTime"] = embedding.endTime;
        record["embedding256"] = embedding.embedding256;
        record["rho128"] = embedding.rho128;
        record["cluster"] = i < assignments.size() ? assignments[i] : -1;
        records.push_back(std::move(record));
    }
    writeBytes(records.dump(), path);
    logger_.info("Exported " + std::to_string(embeddings.size()) + " embeddings to " + path.string());
}

}  // namespace Tervane
