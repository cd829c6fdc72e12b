#pragma once

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/ASR/AsrModels.hpp>
#include <Tervane/ASR/Streaming/StreamingAsrConfig.hpp>
#include <Tervane/ASR/Streaming/StreamingTranscriptionUpdate.hpp>
#include <Tervane/Audio/AudioConverter.hpp>
#include <Tervane/Platform/AsyncChannel.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace Tervane {

class AsrManager;
class AVAudioPCMBuffer;

/// Recognises one live audio stream while it is captured. Buffers pushed with `streamAudio`
/// are converted to 16 kHz mono, cut into overlapping windows (centre plus left and right
/// context) and recognised on the manager's own worker thread, strictly in arrival order,
/// with the decoder state carried from window to window. Each window yields an update: its
/// text is the volatile transcript, and a window that is confident enough and backed by
/// enough received audio first promotes the previous volatile text into the confirmed one.
///
/// Failures inside the stream (a buffer that does not convert, a window the models reject)
/// are logged and answered by resetting or rebuilding the recogniser; they never end it.
///
/// Thread safety: every operation may be called from any thread; they run one at a time.
/// `streamAudio` only enqueues and never waits for recognition. Held by `std::shared_ptr`;
/// dropping the last reference cancels the stream and joins its worker.
class StreamingAsrManager {
public:
    explicit StreamingAsrManager(StreamingAsrConfig config = StreamingAsrConfig::defaultConfig());
    StreamingAsrManager(const StreamingAsrManager&) = delete;
    StreamingAsrManager& operator=(const StreamingAsrManager&) = delete;
    ~StreamingAsrManager();

    /// Starts recognition with a loaded model set: builds and initialises the recognition
    /// engine, then the worker. Fails with the engine's failures, or with
    /// `StreamingAsrError::streamAlreadyExists` when this manager was started before.
    void start(const AsrModels& models, AudioSource source = AudioSource::microphone);
    /// Downloads (when not cached) and loads the current model set first.
    void start(AudioSource source = AudioSource::microphone);

    /// Queues a buffer in any PCM format. Never blocks and never fails; buffers pushed after
    /// `finish` or `cancel` are dropped. Buffers pushed before `start` wait for it.
    void streamAudio(std::shared_ptr<AVAudioPCMBuffer> buffer);

    /// A new sequence of updates for the windows recognised from now on. Only one listener is
    /// served: each call ends the sequence handed out before. After the stream has ended, the
    /// sequence is already at its end.
    [[nodiscard]] StreamingTranscriptionUpdates transcriptionUpdates();

    /// Ends the input, waits until every queued buffer is recognised and the rest of the audio
    /// is flushed as a last window, and returns the text of all tokens kept. Fails with the
    /// worker's own failure, should it have had one. Listeners' sequences end.
    [[nodiscard]] std::string finish();
    /// Clears transcripts, buffered audio, positions and tokens and re-initialises the
    /// decoder state, keeping the models; the stream goes on. A failure of the decoder reset
    /// is passed up (the stream state is cleared already).
    void reset();
    /// Stops at once without a result: queued audio is dropped, a window being recognised is
    /// the last, and listeners' sequences end.
    void cancel();

    [[nodiscard]] std::string volatileTranscript() const;
    [[nodiscard]] std::string confirmedTranscript() const;
    [[nodiscard]] AudioSource source() const;
    [[nodiscard]] const StreamingAsrConfig& config() const noexcept { return config_; }

private:
    using Input = AsyncChannel<std::shared_ptr<AVAudioPCMBuffer>>;

    void runRecognition(std::stop_token stopToken);
    void appendSamplesAndProcess(std::vector<float> samples, const std::stop_token& stopToken);
    void processWindow(std::span<const float> samples, std::int64_t windowStartSample);
    void flushRemaining(const std::stop_token& stopToken);
    /// Recognises absolute samples [start, end) of the buffer, then moves the centre on.
    void processAndAdvance(std::int64_t windowStart, std::int64_t windowEnd, std::int64_t advance);
    void dropConsumedSamples();
    [[nodiscard]] double receivedSeconds() const noexcept;
    void updateTranscriptionState(const ASRResult& result);
    void publish(StreamingTranscriptionUpdate update);
    void endUpdates();
    void attemptErrorRecovery(const std::exception& error);
    void resetDecoderForRecovery();
    [[nodiscard]] static std::vector<int> applyGlobalFrameOffset(std::vector<int> frames,
                                                                 std::int64_t windowStartSample);

    AppLogger logger_{"StreamingASR"};
    AudioConverter audioConverter_;
    const StreamingAsrConfig config_;
    const std::int64_t chunk_;
    const std::int64_t left_;
    const std::int64_t right_;
    const std::shared_ptr<Input> input_ = std::make_shared<Input>();
    std::stop_source stopSource_;

    // Serialises start, finish, reset and cancel; taken before `stateMutex_`.
    mutable std::mutex lifecycleMutex_;
    bool started_ = false;
    std::jthread recognizerTask_;
    std::exception_ptr taskFailure_;  // written by the worker before it ends

    // The listener; set while someone reads `transcriptionUpdates`.
    std::mutex updatesMutex_;
    std::shared_ptr<StreamingTranscriptionUpdates::Channel> updateContinuation_;
    bool updatesEnded_ = false;

    // The stream state, shared by the worker and the public operations.
    mutable std::mutex stateMutex_;
    std::unique_ptr<AsrManager> asrManager_;
    std::atomic<AudioSource> audioSource_{AudioSource::microphone};  // set by start only
    std::int64_t segmentIndex_ = 0;
    std::int64_t lastProcessedFrame_ = 0;
    std::vector<int> accumulatedTokens_;
    std::vector<float> sampleBuffer_;
    std::int64_t bufferStartIndex_ = 0;
    std::int64_t nextWindowCenterStart_ = 0;
    std::optional<std::chrono::steady_clock::time_point> startTime_;
    std::int64_t processedChunks_ = 0;

    // The transcripts have a lock of their own, so readers never wait for a window.
    mutable std::mutex transcriptMutex_;
    std::string volatileTranscript_;
    std::string confirmedTranscript_;
};

}  // namespace Tervane
