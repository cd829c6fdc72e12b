#include <Tervane/ASR/Streaming/StreamingAsrManager.hpp>

#include <Tervane/ASR/AsrManager.hpp>
#include <Tervane/ASR/Streaming/StreamingAsrError.hpp>
#include <Tervane/ASR/TranscriptAssembly.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <algorithm>

namespace Tervane {

namespace {

constexpr double sampleRate = 16000.0;

std::string sourceText(AudioSource source) { return std::string(audioSourceName(source)); }

/// The engine configuration every stream runs with, at start and after a rebuild.
ASRConfig engineConfig() {
    ASRConfig config;
    config.sampleRate = 16000;
    config.tdtConfig = TdtConfig::defaultConfig();
    return config;
}

/// Characters as a reader counts them: UTF-8 code points.
std::size_t characterCount(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }));
}

}  // namespace

StreamingAsrManager::StreamingAsrManager(StreamingAsrConfig config)
    : config_((config.validate(), config)),
      chunk_(config_.chunkSamples()),
      left_(config_.leftContextSamples()),
      right_(config_.rightContextSamples()) {
    logger_.info("Initialized StreamingAsrManager with config: chunk=" + NumberText::shortest(config_.chunkSeconds) +
                 "s left=" + NumberText::shortest(config_.leftContextSeconds) +
                 "s right=" + NumberText::shortest(config_.rightContextSeconds) + "s");
}

StreamingAsrManager::~StreamingAsrManager() {
    stopSource_.request_stop();
    input_->finish();
    if (recognizerTask_.joinable()) {
        recognizerTask_.join();
    }
    endUpdates();
}

void StreamingAsrManager::start(const AsrModels& models, AudioSource source) {
    const std::lock_guard lifecycle(lifecycleMutex_);
    if (started_) {
        throw StreamingAsrError::streamAlreadyExists(audioSource_.load());
    }
    logger_.info("Starting streaming ASR engine with pre-loaded models for source: " + sourceText(source));
    audioSource_ = source;

    auto manager = std::make_unique<AsrManager>(engineConfig());
    manager->initialize(models);
    manager->initializeDecoderState(manager->decoderState(source));
    {
        const std::lock_guard state(stateMutex_);
        asrManager_ = std::move(manager);
        segmentIndex_ = 0;
        lastProcessedFrame_ = 0;
        accumulatedTokens_.clear();
        startTime_ = std::chrono::steady_clock::now();
    }

    started_ = true;
    recognizerTask_ = std::jthread([this, stopToken = stopSource_.get_token()] { runRecognition(stopToken); });
    logger_.info("Streaming ASR engine started successfully");
}

void StreamingAsrManager::start(AudioSource source) {
    {
        const std::lock_guard lifecycle(lifecycleMutex_);
        if (started_) {
            throw StreamingAsrError::streamAlreadyExists(audioSource_.load());
        }
    }
    start(AsrModels::downloadAndLoad(), source);
}

void StreamingAsrManager::streamAudio(std::shared_ptr<AVAudioPCMBuffer> buffer) {
    (void)input_->yield(std::move(buffer));
}

StreamingTranscriptionUpdates StreamingAsrManager::transcriptionUpdates() {
    auto channel = std::make_shared<StreamingTranscriptionUpdates::Channel>();
    const std::lock_guard lock(updatesMutex_);
    if (updateContinuation_) {
        updateContinuation_->finish();
    }
    if (updatesEnded_) {
        channel->finish();
        updateContinuation_.reset();
    } else {
        updateContinuation_ = channel;
    }
    return StreamingTranscriptionUpdates(std::move(channel));
}

std::string StreamingAsrManager::finish() {
    const std::lock_guard lifecycle(lifecycleMutex_);
    logger_.info("Finishing streaming ASR...");
    input_->finish();
    if (recognizerTask_.joinable()) {
        recognizerTask_.join();
    }
    endUpdates();
    if (taskFailure_) {
        logger_.error("Recognition task failed: " + StreamingAsrError::describe(taskFailure_));
        std::rethrow_exception(taskFailure_);
    }

    std::string text;
    {
        const std::lock_guard state(stateMutex_);
        if (asrManager_ && !accumulatedTokens_.empty()) {
            text = asrManager_->convertTokensWithExistingTimings(accumulatedTokens_, {}).text;
        } else {
            const std::lock_guard transcripts(transcriptMutex_);
            text = confirmedTranscript_ + volatileTranscript_;
        }
    }
    logger_.info("Final transcription: " + std::to_string(characterCount(text)) + " characters");
    return text;
}

void StreamingAsrManager::reset() {
    const std::lock_guard lifecycle(lifecycleMutex_);
    const std::lock_guard state(stateMutex_);
    {
        const std::lock_guard transcripts(transcriptMutex_);
        volatileTranscript_.clear();
        confirmedTranscript_.clear();
    }
    processedChunks_ = 0;
    startTime_ = std::chrono::steady_clock::now();
    sampleBuffer_.clear();
    bufferStartIndex_ = 0;
    nextWindowCenterStart_ = 0;
    // All of the stream state goes before the decoder reset, which may fail: a failed reset
    // must not leave the old tokens behind to be stitched to the new audio.
    segmentIndex_ = 0;
    lastProcessedFrame_ = 0;
    accumulatedTokens_.clear();
    if (asrManager_) {
        asrManager_->resetDecoderState(audioSource_.load());
    }
    logger_.info("StreamingAsrManager reset for source: " + sourceText(audioSource_.load()));
}

void StreamingAsrManager::cancel() {
    // Stop first, without waiting for another operation, so that a `finish` draining a long
    // queue ends promptly too.
    stopSource_.request_stop();
    input_->finish();
    logger_.debug("Cancelling streaming ASR...");
    const std::lock_guard lifecycle(lifecycleMutex_);
    if (recognizerTask_.joinable()) {
        recognizerTask_.join();
    }
    endUpdates();
    logger_.info("StreamingAsrManager cancelled");
}

std::string StreamingAsrManager::volatileTranscript() const {
    const std::lock_guard lock(transcriptMutex_);
    return volatileTranscript_;
}

std::string StreamingAsrManager::confirmedTranscript() const {
    const std::lock_guard lock(transcriptMutex_);
    return confirmedTranscript_;
}

AudioSource StreamingAsrManager::source() const { return audioSource_.load(); }

void StreamingAsrManager::runRecognition(std::stop_token stopToken) {
    logger_.info("Recognition task started, waiting for audio...");
    try {
        while (!stopToken.stop_requested()) {
            std::optional<std::shared_ptr<AVAudioPCMBuffer>> buffer = input_->next(stopToken);
            if (!buffer) {
                break;
            }
            std::vector<float> samples;
            try {
                // A buffer already at 16 kHz mono float is copied, anything else converted.
                samples = audioConverter_.resampleBuffer(*buffer);
            } catch (...) {
                const StreamingAsrError error = StreamingAsrError::audioBufferProcessingFailed(std::current_exception());
                logger_.error("Audio buffer processing error: " + error.description());
                const std::lock_guard state(stateMutex_);
                attemptErrorRecovery(error);
                continue;
            }
            appendSamplesAndProcess(std::move(samples), stopToken);
        }
        if (!stopToken.stop_requested()) {
            flushRemaining(stopToken);
            logger_.info("Recognition task completed");
        }
    } catch (const CancellationError&) {
        // Cancelled while waiting for audio: nothing is left to do.
    } catch (...) {
        taskFailure_ = std::current_exception();
    }
    endUpdates();
}

void StreamingAsrManager::appendSamplesAndProcess(std::vector<float> samples, const std::stop_token& stopToken) {
    std::unique_lock state(stateMutex_);
    sampleBuffer_.insert(sampleBuffer_.end(), samples.begin(), samples.end());
    while (!stopToken.stop_requested() && bufferStartIndex_ + static_cast<std::int64_t>(sampleBuffer_.size()) >=
                                              nextWindowCenterStart_ + chunk_ + right_) {
        processAndAdvance(std::max<std::int64_t>(nextWindowCenterStart_ - left_, 0),
                          nextWindowCenterStart_ + chunk_ + right_, chunk_);
        // Let the other operations in between windows.
        state.unlock();
        state.lock();
    }
}

void StreamingAsrManager::flushRemaining(const std::stop_token& stopToken) {
    std::unique_lock state(stateMutex_);
    while (!stopToken.stop_requested() &&
           nextWindowCenterStart_ < bufferStartIndex_ + static_cast<std::int64_t>(sampleBuffer_.size())) {
        const std::int64_t remaining =
            std::min(bufferStartIndex_ + static_cast<std::int64_t>(sampleBuffer_.size()) - nextWindowCenterStart_, chunk_);
        processAndAdvance(std::max<std::int64_t>(nextWindowCenterStart_ - left_, 0), nextWindowCenterStart_ + remaining,
                          remaining);
        state.unlock();
        state.lock();
    }
}

void StreamingAsrManager::processAndAdvance(std::int64_t windowStart, std::int64_t windowEnd, std::int64_t advance) {
    const auto size = static_cast<std::int64_t>(sampleBuffer_.size());
    const std::int64_t from = std::clamp<std::int64_t>(windowStart - bufferStartIndex_, 0, size);
    const std::int64_t to = std::clamp<std::int64_t>(windowEnd - bufferStartIndex_, from, size);
    processWindow(std::span<const float>(sampleBuffer_).subspan(static_cast<std::size_t>(from),
                                                                static_cast<std::size_t>(to - from)),
                  windowStart);
    nextWindowCenterStart_ += advance;
    dropConsumedSamples();
}

void StreamingAsrManager::dropConsumedSamples() {
    // Keep what the next window's left context needs.
    const std::int64_t keepFrom = std::max<std::int64_t>(nextWindowCenterStart_ - left_, 0);
    const std::int64_t drop =
        std::min<std::int64_t>(keepFrom - bufferStartIndex_, static_cast<std::int64_t>(sampleBuffer_.size()));
    if (drop <= 0) {
        return;
    }
    sampleBuffer_.erase(sampleBuffer_.begin(), sampleBuffer_.begin() + static_cast<std::ptrdiff_t>(drop));
    bufferStartIndex_ += drop;
}

double StreamingAsrManager::receivedSeconds() const noexcept {
    return static_cast<double>(bufferStartIndex_ + static_cast<std::int64_t>(sampleBuffer_.size())) / sampleRate;
}

void StreamingAsrManager::processWindow(std::span<const float> samples, std::int64_t windowStartSample) {
    if (!asrManager_) {
        return;
    }
    const auto startTime = std::chrono::steady_clock::now();
    AsrManager::StreamingChunkResult chunk;
    try {
        chunk = asrManager_->transcribeStreamingChunk(samples, audioSource_.load(), accumulatedTokens_);
    } catch (...) {
        const StreamingAsrError error = StreamingAsrError::modelProcessingFailed(std::current_exception());
        logger_.error("Model processing error: " + error.description());
        attemptErrorRecovery(error);
        return;
    }

    const std::vector<int> frames = applyGlobalFrameOffset(std::move(chunk.timestamps), windowStartSample);
    accumulatedTokens_.insert(accumulatedTokens_.end(), chunk.tokens.begin(), chunk.tokens.end());
    if (!frames.empty()) {
        lastProcessedFrame_ = std::max<std::int64_t>(lastProcessedFrame_, *std::max_element(frames.begin(), frames.end()));
    }
    ++segmentIndex_;
    ++processedChunks_;

    const ASRResult result = TranscriptAssembly::assembleResult(
        chunk.tokens, frames, chunk.confidences, {}, static_cast<std::int64_t>(samples.size()),
        asrManager_->config().sampleRate, startTime, asrManager_->vocabulary(), logger_);
    logger_.debug("Chunk " + std::to_string(processedChunks_) + ": '" + result.text +
                  "', time: " + NumberText::fixed(result.processingTime, 3) + "s)");
    updateTranscriptionState(result);

    StreamingTranscriptionUpdate update;
    update.text = result.text;
    update.confidence = result.confidence;
    update.isConfirmed = config_.minContextForConfirmation <= receivedSeconds() &&
                         config_.confirmationThreshold <= static_cast<double>(result.confidence);
    update.timestamp = std::chrono::system_clock::now();
    update.tokenIds = std::move(chunk.tokens);
    update.tokenTimings = result.tokenTimings.value_or(std::vector<TokenTiming>{});
    publish(std::move(update));
}

std::vector<int> StreamingAsrManager::applyGlobalFrameOffset(std::vector<int> frames, std::int64_t windowStartSample) {
    const auto offset = static_cast<int>(windowStartSample / ASRConstants::samplesPerEncoderFrame);
    if (frames.empty() || offset == 0) {
        return frames;
    }
    for (int& frame : frames) {
        frame += offset;
    }
    return frames;
}

void StreamingAsrManager::updateTranscriptionState(const ASRResult& result) {
    const double received = receivedSeconds();
    const std::string confidence = NumberText::shortest(result.confidence);
    const std::lock_guard transcripts(transcriptMutex_);
    const bool enoughContext = received >= config_.minContextForConfirmation;
    if (static_cast<double>(result.confidence) >= config_.confirmationThreshold && enoughContext) {
        if (!volatileTranscript_.empty()) {
            confirmedTranscript_ = confirmedTranscript_.empty() ? volatileTranscript_
                                                                : confirmedTranscript_ + " " + volatileTranscript_;
        }
        volatileTranscript_ = result.text;
        logger_.debug("CONFIRMED (" + confidence + ", " + NumberText::fixed(received, 1) +
                      "s context): promoted to confirmed; new volatile '" + result.text + "'");
        return;
    }
    volatileTranscript_ = result.text;
    const std::string reason =
        enoughContext ? std::string("low confidence") : "insufficient context (" + NumberText::fixed(received, 1) + "s)";
    logger_.debug("VOLATILE (" + confidence + "): " + reason + " - updated volatile '" + result.text + "'");
}

void StreamingAsrManager::publish(StreamingTranscriptionUpdate update) {
    const std::lock_guard lock(updatesMutex_);
    if (!updateContinuation_) {
        return;
    }
    // A listener that dropped its sequence has ended it; stop serving it.
    if (updateContinuation_->yield(std::move(update)) == StreamingTranscriptionUpdates::Channel::YieldResult::terminated) {
        updateContinuation_.reset();
    }
}

void StreamingAsrManager::endUpdates() {
    const std::lock_guard lock(updatesMutex_);
    updatesEnded_ = true;
    if (updateContinuation_) {
        updateContinuation_->finish();
        updateContinuation_.reset();
    }
}

void StreamingAsrManager::attemptErrorRecovery(const std::exception& error) {
    const auto* streamingError = dynamic_cast<const StreamingAsrError*>(&error);
    logger_.warning("Attempting error recovery for: " +
                    (streamingError != nullptr ? streamingError->description() : std::string(error.what())));
    if (streamingError == nullptr) {
        resetDecoderForRecovery();
        return;
    }
    using Kind = StreamingAsrError::Kind;
    switch (streamingError->kind()) {
        case Kind::streamAlreadyExists:
            logger_.error("Stream already exists - cannot recover automatically");
            return;
        case Kind::audioBufferProcessingFailed: logger_.info("Recovering from audio buffer error"); return;
        case Kind::audioConversionFailed: logger_.info("Recovering from audio conversion error"); return;
        case Kind::modelProcessingFailed:
            logger_.info("Recovering from model processing error - resetting decoder state");
            resetDecoderForRecovery();
            return;
        case Kind::invalidConfiguration:
            logger_.error("Configuration error cannot be recovered automatically");
            return;
        case Kind::modelsNotLoaded: logger_.error("Models not loaded - cannot recover automatically"); return;
        case Kind::bufferOverflow: logger_.info("Buffer overflow handled automatically"); return;
    }
}

void StreamingAsrManager::resetDecoderForRecovery() {
    if (!asrManager_) {
        return;
    }
    try {
        asrManager_->resetDecoderState(audioSource_.load());
        logger_.info("Successfully reset decoder state during error recovery");
        return;
    } catch (...) {
        logger_.error("Failed to reset decoder state during recovery: " +
                      StreamingAsrError::describe(std::current_exception()));
    }
    // The engine itself is suspect: build a new one from a freshly loaded model set.
    try {
        const AsrModels models = AsrModels::downloadAndLoad();
        auto manager = std::make_unique<AsrManager>(engineConfig());
        manager->initialize(models);
        asrManager_ = std::move(manager);
        logger_.info("Successfully reinitialized ASR manager during error recovery");
    } catch (...) {
        logger_.error("Failed to reinitialize ASR manager during recovery: " +
                      StreamingAsrError::describe(std::current_exception()));
    }
}

}  // namespace Tervane
