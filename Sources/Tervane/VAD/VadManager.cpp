#include <Tervane/VAD/VadManager.hpp>

#include <Tervane/Shared/DownloadUtils.hpp>
#include <Tervane/Shared/ElapsedTime.hpp>
#include <Tervane/Shared/FileLocations.hpp>
#include <Tervane/Shared/ModelNames.hpp>
#include <Tervane/Shared/NumberText.hpp>
#include <Tervane/Shared/TextCase.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace Tervane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t contextLength = static_cast<std::int64_t>(VadState::contextLength);
constexpr std::int64_t stateSize = static_cast<std::int64_t>(VadState::stateSize);
constexpr std::int64_t modelInputLength = contextLength + VadManager::chunkSize;

/// The first `count` values of `values` (fewer when it is shorter).
std::span<const float> prefix(std::span<const float> values, std::int64_t count) {
    return values.first(std::min(values.size(), static_cast<std::size_t>(count)));
}

}  // namespace

VadManager::VadManager(VadConfig config) : config_(config) {
    const Clock::time_point start = Clock::now();
    loadUnifiedModel(std::nullopt);
    logger_.info("VAD system initialized in " + NumberText::fixed(secondsSince(start), 2) + "s");
}

VadManager::VadManager(VadConfig config, const std::filesystem::path& modelDirectory) : config_(config) {
    const Clock::time_point start = Clock::now();
    loadUnifiedModel(modelDirectory);
    logger_.info("VAD system initialized in " + NumberText::fixed(secondsSince(start), 2) + "s");
}

VadManager::VadManager(VadConfig config, std::shared_ptr<MLModel> vadModel)
    : config_(config), vadModel_(std::move(vadModel)) {
    logger_.info("VAD initialized with provided model");
}

void VadManager::loadUnifiedModel(const std::optional<std::filesystem::path>& directory) {
    const std::filesystem::path root = directory ? *directory : applicationSupportDirectory() / "Tervane";
    // The download service logs the host line and, after a failed first load, purges the
    // repository's cache folder and tries once more.
    const auto models = DownloadUtils::loadModels(Repo::vad, {ModelNames::VAD::sileroVadFile}, root / "Models",
                                                  config_.computeUnits);
    const auto found = models.find(ModelNames::VAD::sileroVadFile);
    if (found == models.end() || !found->second) {
        logger_.error("Failed to load VAD model from downloaded models");
        throw VadError::modelLoadingFailed();
    }
    vadModel_ = found->second;
    logger_.info("VAD model loaded successfully");
}

std::optional<MLFeatureValue> VadManager::featureValue(const MLFeatureProvider& outputs,
                                                       std::initializer_list<std::string> matchingSubstrings) {
    for (const std::string& name : matchingSubstrings) {
        if (auto value = outputs.featureValue(name); value && value->multiArrayValue()) return value;
    }
    const std::set<std::string> names = outputs.featureNames();
    for (const std::string& wanted : matchingSubstrings) {
        const std::string needle = asciiLowercased(wanted);
        const auto match = std::ranges::find_if(
            names, [&](const std::string& name) { return asciiLowercased(name).find(needle) != std::string::npos; });
        if (match == names.end()) continue;
        if (auto value = outputs.featureValue(*match); value && value->multiArrayValue()) return value;
    }
    return std::nullopt;
}

VadResult VadManager::processChunk(std::span<const float> chunk, const std::optional<VadState>& inputState) {
    const std::lock_guard lock(operationLock_);
    return processChunkLocked(chunk, inputState);
}

VadResult VadManager::processChunkLocked(std::span<const float> chunk, const std::optional<VadState>& inputState) {
    if (!vadModel_) throw VadError::notInitialized();
    const Clock::time_point start = Clock::now();
    const VadState state = inputState ? *inputState : VadState::initial();

    // The model takes whole blocks: a short one is held at its last sample, which continues a
    // stream more smoothly than a drop to silence.
    std::vector<float> fitted;
    std::span<const float> block = chunk;
    if (chunk.size() > static_cast<std::size_t>(chunkSize)) {
        block = chunk.first(static_cast<std::size_t>(chunkSize));
    } else if (chunk.size() < static_cast<std::size_t>(chunkSize)) {
        fitted.assign(static_cast<std::size_t>(chunkSize), chunk.empty() ? 0.0F : chunk.back());
        std::ranges::copy(chunk, fitted.begin());
        block = fitted;
    }
    std::vector<float> context(block.end() - contextLength, block.end());

    const auto audioInput =
        memoryOptimizer_->getPooledBuffer("vad_audio_input", {1, modelInputLength}, MLMultiArrayDataType::float32);
    const auto hiddenInput =
        memoryOptimizer_->getPooledBuffer("vad_hidden_state", {1, stateSize}, MLMultiArrayDataType::float32);
    const auto cellInput =
        memoryOptimizer_->getPooledBuffer("vad_cell_state", {1, stateSize}, MLMultiArrayDataType::float32);
    for (const auto& array : {audioInput, hiddenInput, cellInput}) array->fill(0);
    ANEMemoryOptimizer::optimizedCopy(prefix(state.context, contextLength), *audioInput, 0);
    ANEMemoryOptimizer::optimizedCopy(prefix(block, chunkSize), *audioInput, contextLength);
    ANEMemoryOptimizer::optimizedCopy(prefix(state.hiddenState, stateSize), *hiddenInput, 0);
    ANEMemoryOptimizer::optimizedCopy(prefix(state.cellState, stateSize), *cellInput, 0);

    const MLDictionaryFeatureProvider inputs({{"audio_input", MLFeatureValue(audioInput)},
                                              {"hidden_state", MLFeatureValue(hiddenInput)},
                                              {"cell_state", MLFeatureValue(cellInput)}});
    std::shared_ptr<MLFeatureProvider> outputs;
    try {
        outputs = vadModel_->prediction(inputs);
    } catch (const std::exception& failure) {
        logger_.error(std::string("Model processing failed: ") + failure.what());
        throw VadError::modelProcessingFailed(failure.what());
    }

    struct Wanted {
        const char* name;
        const char* missingLog;
        const char* missingMessage;
        std::int64_t count;
    };
    static constexpr Wanted wanted[] = {
        {"vad_output", "No vad output found", "No VAD output", 1},
        {"new_hidden_state", "No new hidden state output found", "No new hidden state output", stateSize},
        {"new_cell_state", "No new cell state output found", "No new cell state output", stateSize},
    };
    std::vector<float> values[3];
    for (std::size_t k = 0; k < 3; ++k) {
        const auto value = featureValue(*outputs, {wanted[k].name});
        if (!value) {
            logger_.error(wanted[k].missingLog);
            throw VadError::modelProcessingFailed(wanted[k].missingMessage);
        }
        const MLMultiArray& array = *value->multiArrayValue();
        // A model that answers with fewer values than the state holds is the wrong model;
        // reading past its output would hand garbage on to the next block.
        if (array.count() < wanted[k].count) {
            const std::string message = std::string("Output ") + wanted[k].name + " holds " +
                                        std::to_string(array.count()) + " values, expected " +
                                        std::to_string(wanted[k].count);
            logger_.error("Model processing failed: " + message);
            throw VadError::modelProcessingFailed(message);
        }
        values[k].resize(static_cast<std::size_t>(wanted[k].count));
        for (std::int64_t i = 0; i < wanted[k].count; ++i) {
            values[k][static_cast<std::size_t>(i)] = static_cast<float>(array.value(i));
        }
    }

    VadResult result;
    result.probability = values[0][0];
    result.isVoiceActive = result.probability >= config_.defaultThreshold;
    result.outputState = VadState{std::move(values[1]), std::move(values[2]), std::move(context)};
    result.processingTime = secondsSince(start);
    return result;
}

std::vector<VadResult> VadManager::processAudioSamples(std::span<const float> samples) {
    const std::lock_guard lock(operationLock_);
    return processAudioSamplesLocked(samples);
}

std::vector<VadResult> VadManager::processAudioSamplesLocked(std::span<const float> samples) {
    std::vector<VadResult> results;
    if (samples.empty()) return results;
    const std::size_t block = static_cast<std::size_t>(chunkSize);
    results.reserve((samples.size() + block - 1) / block);
    std::optional<VadState> state = VadState::initial();
    for (std::size_t offset = 0; offset < samples.size(); offset += block) {
        results.push_back(processChunkLocked(samples.subspan(offset, std::min(block, samples.size() - offset)), state));
        state = results.back().outputState;
    }
    return results;
}

std::vector<VadResult> VadManager::process(std::span<const float> samples) {
    return processAudioSamples(samples);
}

std::vector<VadResult> VadManager::process(const std::filesystem::path& file) {
    // The converter keeps no state, so conversion need not hold up other operations.
    const std::vector<float> samples = audioConverter_.resampleAudioFile(file);
    return processAudioSamples(samples);
}

std::vector<VadResult> VadManager::process(const std::shared_ptr<AVAudioPCMBuffer>& buffer) {
    const std::vector<float> samples = audioConverter_.resampleBuffer(buffer);
    return processAudioSamples(samples);
}

}  // namespace Tervane
