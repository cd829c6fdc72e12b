#include <Tervane/Diarizer/Offline/OfflineSegmentationProcessor.hpp>

#include <Tervane/Diarizer/Offline/OfflineArrayAccess.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiagnostics.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>
#include <Tervane/Platform/ZeroCopyDiarizerFeatureProvider.hpp>
#include <Tervane/Shared/ElapsedTime.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>

namespace Tervane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t powersetSize = 8;
constexpr std::size_t speakers = static_cast<std::size_t>(OfflineSegmentationProcessor::localSpeakerCount);
constexpr std::array<float, 9> confidenceLevels = {0.5F, 0.7F, 0.8F, 0.9F, 0.95F, 0.98F, 0.99F, 0.995F, 0.999F};

const std::string audioInput = "audio";

using Membership = std::array<std::array<float, powersetSize>, speakers>;

/// Row s, column c: 1 when local speaker s is active in class c.
const Membership& membership() {
    static const Membership matrix = [] {
        Membership result{};
        const auto& classes = OfflineSegmentationProcessor::powerset();
        for (std::size_t c = 0; c < classes.size(); ++c) {
            for (const int speaker : classes[c]) {
                result[static_cast<std::size_t>(speaker)][c] = 1.0F;
            }
        }
        return result;
    }();
    return matrix;
}

/// `["a", "b"]`.
std::string nameList(const std::set<std::string>& names) {
    std::string text = "[";
    for (const std::string& name : names) {
        if (text.size() > 1) {
            text += ", ";
        }
        text += "\"" + name + "\"";
    }
    return text + "]";
}

/// The scores of one prediction, laid out batch × frames × classes.
struct Scores {
    std::int64_t batch = 0;
    std::int64_t frames = 0;
    std::int64_t classes = 0;
    std::vector<float> values;
};

Scores readScores(const MLFeatureProvider& result) {
    std::shared_ptr<MLMultiArray> array;
    for (const char* preferred : {"segments", "log_probs"}) {
        if (const auto value = result.featureValue(preferred); value && value->multiArrayValue()) {
            array = value->multiArrayValue();
            break;
        }
    }
    const std::set<std::string> names = result.featureNames();
    if (!array) {
        for (const std::string& name : names) {
            if (const auto value = result.featureValue(name); value && value->multiArrayValue()) {
                array = value->multiArrayValue();
                break;
            }
        }
    }
    if (!array) {
        throw OfflineDiarizationError::processingFailed(
            "Segmentation model missing expected multiarray output. Available: " + nameList(names));
    }

    Scores scores;
    const MLShape& shape = array->shape();
    if (shape.size() == 3) {
        scores.batch = shape[0];
        scores.frames = shape[1];
        scores.classes = shape[2];
    } else if (shape.size() == 2) {
        scores.batch = 1;
        scores.frames = shape[0];
        scores.classes = shape[1];
    } else {
        throw OfflineDiarizationError::processingFailed("Unexpected segmentation output shape " +
                                                        shapeDescription(shape));
    }
    scores.values.resize(static_cast<std::size_t>(array->count()));
    OfflineArrayAccess::readFloats(*array, scores.values);
    return scores;
}

/// Log-only statistics of the decoded frames.
struct Statistics {
    std::vector<std::int64_t> winners;  // per class
    std::array<std::int64_t, confidenceLevels.size()> confident{};
    std::int64_t frames = 0;
    std::int64_t speechFrames = 0;
    std::int64_t nonSilentFrames = 0;
    double winningMin = std::numeric_limits<double>::infinity();
    double winningMax = -std::numeric_limits<double>::infinity();
    double winningSum = 0;
    double silenceSum = 0;  // class-0 probability over non-silent frames
    std::array<std::int64_t, speakers> firstChunkActive{};

    void add(const std::vector<float>& probabilities, float onset) {
        if (probabilities.empty()) {
            return;
        }
        ++frames;
        const auto best = std::max_element(probabilities.begin(), probabilities.end());
        const auto winner = static_cast<std::size_t>(best - probabilities.begin());
        if (winners.size() < probabilities.size()) {
            winners.resize(probabilities.size());
        }
        ++winners[winner];
        for (std::size_t level = 0; level < confidenceLevels.size(); ++level) {
            if (*best >= confidenceLevels[level]) {
                ++confident[level];
            }
        }
        if (1.0F - probabilities[0] >= onset) {
            ++speechFrames;
        }
        if (winner != 0) {
            ++nonSilentFrames;
            winningMin = std::min<double>(winningMin, *best);
            winningMax = std::max<double>(winningMax, *best);
            winningSum += *best;
            silenceSum += probabilities[0];
        }
    }

    [[nodiscard]] std::string describe() const {
        std::string text = "Segmentation statistics: frames=" + std::to_string(frames) + " winners=[";
        for (std::size_t c = 0; c < winners.size(); ++c) {
            text += (c > 0 ? ", " : "") + std::to_string(winners[c]);
        }
        text += "] confident={";
        for (std::size_t level = 0; level < confidenceLevels.size(); ++level) {
            text += (level > 0 ? ", " : "") + NumberText::shortest(confidenceLevels[level]) + ": " +
                    std::to_string(confident[level]);
        }
        text += "} speechFrames=" + std::to_string(speechFrames);
        if (nonSilentFrames > 0) {
            const auto count = static_cast<double>(nonSilentFrames);
            text += " nonSilent(winMin=" + NumberText::fixed(winningMin, 4) + ", winMax=" +
                    NumberText::fixed(winningMax, 4) + ", winMean=" + NumberText::fixed(winningSum / count, 4) +
                    ", meanP0=" + NumberText::fixed(silenceSum / count, 4) + ")";
        }
        text += " chunk0Active=[";
        for (std::size_t s = 0; s < speakers; ++s) {
            text += (s > 0 ? ", " : "") + std::to_string(firstChunkActive[s]);
        }
        return text + "]";
    }
};

}  // namespace

const std::vector<std::vector<int>>& OfflineSegmentationProcessor::powerset() {
    static const std::vector<std::vector<int>> classes = {{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}, {0, 1, 2}};
    return classes;
}

OfflineSegmentationProcessor::OfflineSegmentationProcessor()
    : signposter_(OfflineDiagnostics::makeSignposter()), memoryOptimizer_(std::make_shared<ANEMemoryOptimizer>()) {}

void OfflineSegmentationProcessor::performWarmup(const MLModel& model, std::int64_t windowSamples) const {
    try {
        const std::shared_ptr<MLMultiArray> zeros = memoryOptimizer_->getPooledBuffer(
            "offline_segmentation_warmup_" + std::to_string(windowSamples), {1, 1, windowSamples},
            MLMultiArrayDataType::float32);
        zeros->fill(0);
        const ZeroCopyDiarizerFeatureProvider input({{audioInput, MLFeatureValue(zeros)}});
        (void)model.compatPrediction(input, MLPredictionOptions{});
    } catch (const std::exception& failure) {
        logger_.debug(std::string("Segmentation warmup skipped due to error: ") + failure.what());
    }
}

SegmentationOutput OfflineSegmentationProcessor::process(const StreamingAudioSampleSource& audioSource,
                                                         const MLModel& segmentationModel,
                                                         const OfflineDiarizerConfig& config,
                                                         const SegmentationChunkHandler& chunkHandler,
                                                         std::stop_token stopToken) const {
    const std::int64_t totalSamples = audioSource.sampleCount();
    if (totalSamples <= 0) {
        throw OfflineDiarizationError::noSpeechDetected();
    }
    const std::int64_t windowSamples = config.samplesPerWindow();
    const std::int64_t step = config.samplesPerStep();
    if (windowSamples < 1) {
        throw OfflineDiarizationError::invalidConfiguration("segmentation window must hold at least one sample, got " +
                                                            std::to_string(windowSamples));
    }
    logger_.debug("Offline segmentation: chunkSize=" + std::to_string(windowSamples) +
                  ", stepSize=" + std::to_string(step) + ", totalSamples=" + std::to_string(totalSamples));
    performWarmup(segmentationModel, windowSamples);

    // Every start below the end; the last window is padded, none is aligned to the end.
    const std::int64_t windowTotal = (totalSamples - 1) / step + 1;
    if (windowTotal <= 0) {
        throw OfflineDiarizationError::processingFailed("Segmentation produced no analysis windows");
    }

    const Membership& speakerOfClass = membership();
    const auto sampleRate = static_cast<double>(config.segmentation.sampleRate);
    const float onset = config.segmentation.speechOnsetThreshold;
    const auto windowLength = static_cast<std::size_t>(windowSamples);
    const auto stepLength = static_cast<std::size_t>(step);
    std::vector<float> window(windowLength);

    SegmentationOutput output;
    Statistics statistics;
    std::int64_t windowsPrepared = 0;
    double prepareMilliseconds = 0;
    double predictionMilliseconds = 0;
    bool handlerStopped = false;

    for (std::int64_t first = 0; first < windowTotal; first += maxWindowsPerBatch) {
        if (stopToken.stop_requested()) {
            throw CancellationError();
        }
        const std::int64_t batchSize = std::min(maxWindowsPerBatch, windowTotal - first);
        const Clock::time_point prepareStart = Clock::now();
        const std::shared_ptr<MLMultiArray> input = memoryOptimizer_->getPooledBuffer(
            "offline_segmentation_audio_" + std::to_string(batchSize) + "_" + std::to_string(windowSamples),
            {batchSize, 1, windowSamples}, MLMultiArrayDataType::float32);
        auto* rows = input->data<float>();
        std::int64_t previousStart = -1;
        for (std::int64_t b = 0; b < batchSize; ++b) {
            const std::int64_t start = (first + b) * step;
            if (step < windowSamples && b > 0 && start == previousStart + step) {
                // Overlapping neighbour: keep the shared samples and read only the new step.
                const std::size_t kept = windowLength - stepLength;
                VectorRoutines::mmov(window.data() + stepLength, window.data(), kept);
                std::fill(window.begin() + static_cast<std::ptrdiff_t>(kept), window.end(), 0.0F);
                audioSource.copySamples(std::span<float>(window).subspan(kept), start + static_cast<std::int64_t>(kept),
                                        step);
            } else {
                std::fill(window.begin(), window.end(), 0.0F);
                audioSource.copySamples(window, start, std::min(totalSamples - start, windowSamples));
            }
            VectorRoutines::mmov(window.data(), rows + input->storageOffset(b * windowSamples), windowLength);
            previousStart = start;
        }
        windowsPrepared += batchSize;
        const double batchPrepare = millisecondsSince(prepareStart);
        prepareMilliseconds += batchPrepare;

        if (stopToken.stop_requested()) {
            throw CancellationError();
        }
        const Clock::time_point predictionStart = Clock::now();
        SignpostIntervalState interval = signposter_.beginInterval("Segmentation Model Prediction");
        std::shared_ptr<MLFeatureProvider> result;
        try {
            const ZeroCopyDiarizerFeatureProvider features({{audioInput, MLFeatureValue(input)}});
            result = segmentationModel.compatPrediction(features, MLPredictionOptions{});
        } catch (...) {
            signposter_.endInterval(interval);
            throw;
        }
        signposter_.endInterval(interval);
        const double batchPrediction = millisecondsSince(predictionStart);
        predictionMilliseconds += batchPrediction;
        logger_.debug("Segmentation batch " + std::to_string(first / maxWindowsPerBatch) + ": windows=" +
                      std::to_string(batchSize) + " prepare=" + NumberText::fixed(batchPrepare, 2) +
                      "ms prediction=" + NumberText::fixed(batchPrediction, 2) + "ms");

        const Scores scores = readScores(*result);
        if (scores.classes > static_cast<std::int64_t>(powersetSize)) {
            logger_.error("Segmentation model returned " + std::to_string(scores.classes) + " classes but only " +
                          std::to_string(powersetSize) + " powerset entries available");
        }
        const auto frames = static_cast<std::size_t>(scores.frames);
        const auto classes = static_cast<std::size_t>(scores.classes);
        const double frameDuration = config.segmentation.windowDurationSeconds / static_cast<double>(scores.frames);
        const std::int64_t decoded = std::min(batchSize, scores.batch);

        std::vector<float> probabilities(classes);
        for (std::int64_t b = 0; b < decoded; ++b) {
            SegmentationChunk chunk;
            chunk.chunkIndex = output.numChunks;
            chunk.chunkOffsetSeconds = static_cast<double>((first + b) * step) / sampleRate;
            chunk.frameDuration = frameDuration;
            chunk.logProbs.resize(frames);
            chunk.speakerWeights.resize(frames);
            for (std::size_t f = 0; f < frames; ++f) {
                const float* x = scores.values.data() + (static_cast<std::size_t>(b) * frames + f) * classes;
                float maximum = -std::numeric_limits<float>::infinity();
                for (std::size_t k = 0; k < classes; ++k) {
                    maximum = std::max(maximum, x[k]);
                }
                float sum = 0;
                for (std::size_t k = 0; k < classes; ++k) {
                    sum += std::exp(x[k] - maximum);
                }
                const float logSumExp = classes == 0 ? -std::numeric_limits<float>::infinity() : maximum + std::log(sum);

                std::vector<float>& logProbs = chunk.logProbs[f];
                logProbs.resize(classes);
                std::array<float, powersetSize> powersetProbabilities{};
                for (std::size_t k = 0; k < classes; ++k) {
                    logProbs[k] = x[k] - logSumExp;
                    probabilities[k] = std::exp(logProbs[k]);
                    if (k < powersetSize) {
                        powersetProbabilities[k] = probabilities[k];
                    }
                }

                std::vector<float>& weights = chunk.speakerWeights[f];
                weights.resize(speakers);
                for (std::size_t s = 0; s < speakers; ++s) {
                    float activity = 0;
                    for (std::size_t c = 0; c < powersetSize; ++c) {
                        activity += speakerOfClass[s][c] * powersetProbabilities[c];
                    }
                    weights[s] = std::clamp(activity, 0.0F, 1.0F);
                    if (chunk.chunkIndex == 0 && weights[s] >= onset) {
                        ++statistics.firstChunkActive[s];
                    }
                }
                statistics.add(probabilities, onset);
            }

            if (chunkHandler && !handlerStopped) {
                handlerStopped = chunkHandler(chunk) == SegmentationChunkContinuation::stop;
            }
            output.chunkOffsets.push_back(chunk.chunkOffsetSeconds);
            output.logProbs.push_back(std::move(chunk.logProbs));
            output.speakerWeights.push_back(std::move(chunk.speakerWeights));
            ++output.numChunks;
        }
        output.numFrames = scores.frames;
        output.frameDuration = frameDuration;
    }
    output.numSpeakers = localSpeakerCount;

    logger_.debug(statistics.describe());
    const auto windows = static_cast<double>(windowsPrepared);
    const std::string timings =
        "Segmentation timings: windows=" + std::to_string(windowsPrepared) +
        " prepareTotal=" + NumberText::fixed(prepareMilliseconds, 2) +
        "ms (perWindow=" + NumberText::fixed(prepareMilliseconds / windows, 4) +
        "ms) predictionTotal=" + NumberText::fixed(predictionMilliseconds, 2) +
        "ms (perWindow=" + NumberText::fixed(predictionMilliseconds / windows, 4) + "ms)";
    logger_.debug(timings);
    OfflineDiagnostics::writeProfilingLine(timings);
    return output;
}

}  // namespace Tervane
