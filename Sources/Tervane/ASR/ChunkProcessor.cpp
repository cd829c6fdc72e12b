#include <Tervane/ASR/ChunkProcessor.hpp>

#include <Tervane/ASR/AsrManager.hpp>
#include <Tervane/ASR/TranscriptAssembly.hpp>

#include <algorithm>
#include <cmath>

namespace Tervane {

std::int64_t ChunkProcessor::strideSamples() const noexcept {
    const auto overlap = static_cast<std::int64_t>(std::floor(overlapSeconds * sampleRate));
    return std::max<std::int64_t>(chunkSamples - std::min<std::int64_t>(overlap, chunkSamples / 2),
                                  ASRConstants::samplesPerEncoderFrame);
}

ASRResult ChunkProcessor::process(AsrManager& manager, std::chrono::steady_clock::time_point startTime) const {
    TdtDecoderState state = TdtDecoderState::make();
    std::vector<ChunkTokens> chunks;
    const auto total = static_cast<std::int64_t>(audioSamples.size());
    const std::int64_t stride = strideSamples();
    std::vector<float> window(static_cast<std::size_t>(windowSamples));

    for (std::int64_t start = 0;;) {
        const std::int64_t end = std::min(start + chunkSamples, total);
        if (start >= end) {
            break;
        }
        state.reset();  // no decoding context passes between chunks
        const std::int64_t count = end - start;
        std::fill(std::copy(audioSamples.begin() + start, audioSamples.begin() + end, window.begin()), window.end(),
                  0.0F);
        const bool isLastChunk = start + chunkSamples >= total;
        const AsrManager::InferenceResult inference = manager.executeMLInferenceWithTimings(
            window, static_cast<int>(count), ASRConstants::calculateEncoderFrames(count), state, 0, isLastChunk,
            static_cast<int>(start / ASRConstants::samplesPerEncoderFrame));

        ChunkTokens tokens;
        const TdtHypothesis& hypothesis = inference.hypothesis;
        if (!hypothesis.ySequence.empty() && inference.encoderSequenceLength != 0) {
            if (hypothesis.timestamps.size() != hypothesis.ySequence.size() ||
                hypothesis.tokenConfidences.size() != hypothesis.ySequence.size()) {
                throw ASRError::processingFailed("Token, timestamp, and confidence arrays are misaligned");
            }
            for (std::size_t index = 0; index < hypothesis.ySequence.size(); ++index) {
                tokens.push_back({hypothesis.ySequence[index], hypothesis.timestamps[index],
                                  hypothesis.tokenConfidences[index]});
            }
        }
        chunks.push_back(std::move(tokens));

        if (isLastChunk) {
            break;
        }
        start += stride;
        if (start >= total) {
            break;
        }
    }

    ChunkTokens stitched = chunks.empty() ? ChunkTokens{} : chunks.front();
    for (std::size_t index = 1; index < chunks.size(); ++index) {
        stitched = mergeChunks(stitched, chunks[index]);
    }
    if (stitched.size() > 1) {
        std::stable_sort(stitched.begin(), stitched.end(),
                         [](const TimedToken& a, const TimedToken& b) { return a.timestamp < b.timestamp; });
    }

    std::vector<int> ids;
    std::vector<int> frames;
    std::vector<float> confidences;
    for (const TimedToken& token : stitched) {
        ids.push_back(token.token);
        frames.push_back(token.timestamp);
        confidences.push_back(token.confidence);
    }
    return TranscriptAssembly::assembleResult(ids, frames, confidences, {}, total, manager.config().sampleRate,
                                              startTime, manager.vocabulary(), logger);
}

}  // namespace Tervane
