#include <Tervane/ASR/Streaming/StreamingAsrSession.hpp>

#include <Tervane/ASR/Streaming/StreamingAsrError.hpp>

#include <string>

namespace Tervane {

namespace {

std::string sourceText(AudioSource source) { return std::string(audioSourceName(source)); }

}  // namespace

StreamingAsrSession::StreamingAsrSession() { logger_.info("Created new StreamingAsrSession"); }

void StreamingAsrSession::initialize() {
    const std::lock_guard lock(mutex_);
    initializeLocked();
}

void StreamingAsrSession::initializeLocked() {
    if (loadedModels_) {
        logger_.info("Models already loaded, skipping initialization");
        return;
    }
    logger_.info("Loading ASR models for session...");
    loadedModels_ = AsrModels::downloadAndLoad(std::nullopt, AsrModels::defaultConfiguration());
    logger_.info("ASR models loaded successfully");
}

std::shared_ptr<StreamingAsrManager> StreamingAsrSession::createStream(AudioSource source,
                                                                       const StreamingAsrConfig& config) {
    const std::lock_guard lock(mutex_);
    if (const auto existing = streams_.find(source); existing != streams_.end()) {
        logger_.warning("Stream already exists for source: " + sourceText(source) + ". Returning existing stream.");
        return existing->second;
    }
    if (!loadedModels_) {
        initializeLocked();
    }
    if (!loadedModels_) {
        throw StreamingAsrError::modelsNotLoaded();
    }
    logger_.info("Creating new stream for source: " + sourceText(source));
    auto stream = std::make_shared<StreamingAsrManager>(config);
    stream->start(*loadedModels_, source);
    streams_[source] = stream;
    return stream;
}

std::shared_ptr<StreamingAsrManager> StreamingAsrSession::getStream(AudioSource source) const {
    const std::lock_guard lock(mutex_);
    const auto found = streams_.find(source);
    return found == streams_.end() ? nullptr : found->second;
}

void StreamingAsrSession::removeStream(AudioSource source) {
    const std::lock_guard lock(mutex_);
    if (streams_.erase(source) > 0) {
        logger_.info("Removed stream for source: " + sourceText(source));
    }
}

std::map<AudioSource, std::shared_ptr<StreamingAsrManager>> StreamingAsrSession::activeStreams() const {
    const std::lock_guard lock(mutex_);
    return streams_;
}

void StreamingAsrSession::cleanup() {
    const std::lock_guard lock(mutex_);
    logger_.info("Cleaning up StreamingAsrSession...");
    for (const auto& [source, stream] : streams_) {
        stream->cancel();
        logger_.info("Cancelled stream for source: " + sourceText(source));
    }
    streams_.clear();
    loadedModels_.reset();
    logger_.info("StreamingAsrSession cleanup complete");
}

}  // namespace Tervane
