#pragma once

// What the streaming tests share: the scripted model set, buffers, a recorder of the windows
// the models see, and a loopback hub that serves the model set to the library's loaders.

#include <Tervane/ASR/AsrModels.hpp>
#include <Tervane/ASR/Streaming/StreamingAsrManager.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Shared/ModelNames.hpp>

#include "Support/AsrFixtures.hpp"
#include "Support/AudioFixtures.hpp"
#include "Support/LoopbackHTTPServer.hpp"
#include "Support/ScopedEnvironment.hpp"
#include "Support/ScopedHubConnection.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace Tervane::Testing {

/// The scripted recognition models, written and loaded once for the whole program.
inline const AsrModels& streamingFixtureModels() {
    static const TemporaryDirectory directory("tervane-streaming-models");
    static const AsrModels models = [] {
        writeAsrFixtureModels(directory.path());
        return loadAsrModels(directory.path());
    }();
    return models;
}

/// 16 kHz mono float samples as a buffer in the recogniser's own format.
inline std::shared_ptr<AVAudioPCMBuffer> monoBuffer(std::span<const float> samples) {
    return makePCMBuffer({std::vector<float>(samples.begin(), samples.end())}, 16000);
}

/// Six 16-bit channels, interleaved: a layout the converter cannot downmix.
inline std::shared_ptr<AVAudioPCMBuffer> unconvertibleBuffer() {
    return makePCMBuffer(Channels(6, silence(0.01, 48000)), 48000, AVAudioCommonFormat::pcmFormatInt16, true);
}

/// Samples that tell their own position: sample i is (i + 0.5) × 2^-30, which no frame reads
/// as a script and which is far too quiet to count as speech.
inline std::vector<float> positionCodedAudio(std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<float>((static_cast<double>(i) + 0.5) / 1073741824.0);
    }
    return samples;
}

/// The real samples of every window the preprocessor is handed (padding left out).
class WindowRecorder {
public:
    /// `base` with its preprocessor observed.
    AsrModels observe(const AsrModels& base = streamingFixtureModels()) {
        return observedAsrModels(base, nullptr, [this](const MLFeatureProvider& input) {
            const auto signal = input.featureValue("audio_signal")->multiArrayValue();
            const auto length = static_cast<std::int64_t>(input.featureValue("audio_length")->multiArrayValue()->value(0));
            std::vector<float> window(static_cast<std::size_t>(length));
            for (std::int64_t i = 0; i < length; ++i) {
                window[static_cast<std::size_t>(i)] = static_cast<float>(signal->value(i));
            }
            const std::lock_guard lock(mutex_);
            windows_.push_back(std::move(window));
        });
    }

    [[nodiscard]] std::vector<std::vector<float>> windows() const {
        const std::lock_guard lock(mutex_);
        return windows_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<float>> windows_;
};

/// A loopback hub serving the scripted model set as the current recognition repository, with
/// the model cache in a fresh application-support directory.
class FixtureModelHub {
public:
    FixtureModelHub() {
        writeAsrFixtureModels(source_.path());
        (void)serveFolderAsHubRepository(hub_, Repo(Repo::parakeet).remotePath(), source_.path());
        environment_.set("XDG_DATA_HOME", data_.path().string());
    }

    [[nodiscard]] LoopbackHTTPServer& hub() noexcept { return hub_; }

private:
    LoopbackHTTPServer hub_;
    ScopedHubConnection connection_{hub_};
    TemporaryDirectory source_{"tervane-streaming-hub"};
    TemporaryDirectory data_{"tervane-streaming-data"};
    ScopedEnvironment environment_;
};

/// Every update of a sequence until it ends.
inline std::vector<StreamingTranscriptionUpdate> readAll(StreamingTranscriptionUpdates& updates) {
    std::vector<StreamingTranscriptionUpdate> all;
    for (const StreamingTranscriptionUpdate& update : updates) {
        all.push_back(update);
    }
    return all;
}

}  // namespace Tervane::Testing
