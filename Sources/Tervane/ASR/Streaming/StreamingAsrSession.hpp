#pragma once

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/ASR/AsrModels.hpp>
#include <Tervane/ASR/Streaming/StreamingAsrConfig.hpp>
#include <Tervane/ASR/Streaming/StreamingAsrManager.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace Tervane {

/// Loads the recognition models once and hands out one started stream per `AudioSource`, so
/// that a microphone and a system-audio stream can be recognised side by side from the same
/// model set. Operations may be called from any thread; they run one at a time.
class StreamingAsrSession {
public:
    StreamingAsrSession();
    StreamingAsrSession(const StreamingAsrSession&) = delete;
    StreamingAsrSession& operator=(const StreamingAsrSession&) = delete;

    /// Downloads (when not cached) and loads the current model set, once. Failures are passed
    /// up and leave the session without models.
    void initialize();

    /// A started stream for `source`. When one exists already it is returned as it is (with a
    /// warning; `config` is not applied). Loads the models first when needed; fails with
    /// `StreamingAsrError::modelsNotLoaded` when they are still missing, or with the stream's
    /// start failure, in which case nothing is stored.
    [[nodiscard]] std::shared_ptr<StreamingAsrManager> createStream(
        AudioSource source, const StreamingAsrConfig& config = StreamingAsrConfig::defaultConfig());
    /// The stream stored for `source`, if any.
    [[nodiscard]] std::shared_ptr<StreamingAsrManager> getStream(AudioSource source) const;
    /// Forgets the stream without stopping it; it runs on for whoever holds it.
    void removeStream(AudioSource source);
    /// A copy of the stored streams.
    [[nodiscard]] std::map<AudioSource, std::shared_ptr<StreamingAsrManager>> activeStreams() const;
    /// Cancels every stored stream, forgets them and drops the models.
    void cleanup();

private:
    void initializeLocked();

    AppLogger logger_{"StreamingSession"};
    mutable std::mutex mutex_;
    std::optional<AsrModels> loadedModels_;
    std::map<AudioSource, std::shared_ptr<StreamingAsrManager>> streams_;
};

}  // namespace Tervane
