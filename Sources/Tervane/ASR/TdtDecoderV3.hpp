#pragma once

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/ASR/TdtDecoderState.hpp>
#include <Tervane/ASR/TdtHypothesis.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <memory>
#include <vector>

namespace Tervane {

/// Greedy label-looping decoder of the token-and-duration transducer: time advances by the
/// duration the joint network picks, blanks never re-run the prediction network, and several
/// tokens may be emitted at one frame up to `maxSymbolsPerStep`. Made per call by the engine;
/// the stream's state is the caller's and is carried across windows.
class TdtDecoderV3 {
public:
    explicit TdtDecoderV3(ASRConfig config);

    /// Decodes one encoder output ([1, 1024, T] or [1, T, 1024], float32). `decoderState` is
    /// read and written in place. Fails with `ASRError::processingFailed` for an output, a
    /// prediction or a joint decision it cannot use, or with the runtime's own failure.
    [[nodiscard]] TdtHypothesis decodeWithTimings(const std::shared_ptr<MLMultiArray>& encoderOutput,
                                                  int encoderSequenceLength, int actualAudioFrames,
                                                  const MLModel& decoderModel, const MLModel& jointModel,
                                                  TdtDecoderState& decoderState, int contextFrameAdjustment,
                                                  bool isLastChunk, int globalFrameOffset);

    /// Frames to advance for a duration index; fails for an index outside the bins.
    [[nodiscard]] static int mapDurationBin(int binIndex, const std::vector<int>& durationBins);

    /// Copies a prediction-network output ([1, 640, 1] or [1, 1, 640], float32) into the joint's
    /// [1, 640, 1] decoder step, checking layout and bounds first.
    static void populatePreparedDecoderProjection(const MLMultiArray& projection, MLMultiArray& destination);

    [[nodiscard]] const ASRConfig& config() const noexcept { return config_; }

private:
    AppLogger logger_;
    ASRConfig config_;
    MLPredictionOptions predictionOptions_;
};

}  // namespace Tervane
