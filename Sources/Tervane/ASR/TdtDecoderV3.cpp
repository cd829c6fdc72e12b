#include <Tervane/ASR/TdtDecoderV3.hpp>

#include <Tervane/ASR/EncoderFrameView.hpp>
#include <Tervane/ASR/ReusableJointInput.hpp>
#include <Tervane/Platform/ANEOptimizer.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace Tervane {

namespace {

constexpr std::int64_t decoderWidth = ASRConstants::decoderHiddenSize;

/// Tokens after which the next window feeds the token to the prediction network again
/// instead of trusting the cached output.
bool isPunctuation(int token) {
    return token == 7883 || token == 7952 || token == 7948;
}

bool fitsInt32(std::int64_t value) {
    return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

std::shared_ptr<MLMultiArray> extractFeatureValue(const MLFeatureProvider& result, const std::string& key,
                                                  const char* errorMessage) {
    const std::optional<MLFeatureValue> value = result.featureValue(key);
    if (!value || !value->multiArrayValue()) {
        throw ASRError::processingFailed(errorMessage);
    }
    return value->multiArrayValue();
}

struct JointDecision {
    int token = 0;
    float confidence = 0;
    int duration = 0;
};

/// Everything one decoding call allocates once and refills.
class DecodingCall {
public:
    DecodingCall(const TdtConfig& config, const EncoderFrameView& view, const MLModel& decoderModel,
                 const MLModel& jointModel, TdtDecoderState& state)
        : config_(config),
          view_(view),
          decoderModel_(decoderModel),
          jointModel_(jointModel),
          state_(state),
          targets_(MLMultiArray::make({1, 1}, MLMultiArrayDataType::int32)),
          targetLength_(MLMultiArray::make({1}, MLMultiArrayDataType::int32)),
          jointInput_(ANEOptimizer::createANEAlignedArray({1, ASRConstants::encoderHiddenSize, 1},
                                                          MLMultiArrayDataType::float32),
                      ANEOptimizer::createANEAlignedArray({1, decoderWidth, 1}, MLMultiArrayDataType::float32)) {
        targetLength_->setValue(0, 1);
        jointInput_.encoderStep()->fill(0);
        jointInput_.decoderStep()->fill(0);
        tokenId_ = MLMultiArray::make({1, 1, 1}, MLMultiArrayDataType::int32);
        tokenProbability_ = MLMultiArray::make({1, 1, 1}, MLMultiArrayDataType::float32);
        duration_ = MLMultiArray::make({1, 1, 1}, MLMultiArrayDataType::int32);
        jointOptions_.outputBackings = {
            {"token_id", tokenId_}, {"token_prob", tokenProbability_}, {"duration", duration_}};
    }

    /// Feeds one token to the prediction network; the LSTM state is written in place.
    std::shared_ptr<MLMultiArray> runPredictor(int token) {
        targets_->setValue(0, token);
        const MLDictionaryFeatureProvider input({{"targets", MLFeatureValue(targets_)},
                                                 {"target_length", MLFeatureValue(targetLength_)},
                                                 {"h_in", MLFeatureValue(state_.hiddenState)},
                                                 {"c_in", MLFeatureValue(state_.cellState)}});
        MLPredictionOptions options;
        options.outputBackings = {{"h_out", state_.hiddenState}, {"c_out", state_.cellState}};
        const std::shared_ptr<MLFeatureProvider> result = decoderModel_.prediction(input, options);
        state_.update(*result);
        return extractFeatureValue(*result, "decoder", "Invalid decoder output");
    }

    JointDecision evaluateJoint(std::int64_t frame, const std::shared_ptr<MLMultiArray>& prediction) {
        // The same prediction output is often evaluated against many frames in a row.
        if (prediction != projected_) {
            TdtDecoderV3::populatePreparedDecoderProjection(*prediction, *jointInput_.decoderStep());
            projected_ = prediction;
        }
        const MLMultiArray& encoderStep = *jointInput_.encoderStep();
        view_.copyFrame(frame, encoderStep.data<float>(), encoderStep.strides()[1]);

        const std::shared_ptr<MLFeatureProvider> result = jointModel_.prediction(jointInput_, jointOptions_);
        const auto token = extractFeatureValue(*result, "token_id", "Joint decision output missing token_id");
        const auto probability =
            extractFeatureValue(*result, "token_prob", "Joint decision output missing token_prob");
        const auto duration = extractFeatureValue(*result, "duration", "Joint decision output missing duration");
        if (token->count() != 1 || probability->count() != 1 || duration->count() != 1) {
            throw ASRError::processingFailed("Joint decision returned unexpected tensor shapes");
        }
        JointDecision decision;
        decision.token = static_cast<int>(token->value(0));
        const float p = static_cast<float>(probability->value(0));
        decision.confidence = std::isfinite(p) ? std::clamp(p, 0.0F, 1.0F) : 0.0F;
        decision.duration = TdtDecoderV3::mapDurationBin(static_cast<int>(duration->value(0)), config_.durationBins);
        return decision;
    }

private:
    const TdtConfig& config_;
    const EncoderFrameView& view_;
    const MLModel& decoderModel_;
    const MLModel& jointModel_;
    TdtDecoderState& state_;
    std::shared_ptr<MLMultiArray> targets_;
    std::shared_ptr<MLMultiArray> targetLength_;
    ReusableJointInput jointInput_;
    std::shared_ptr<MLMultiArray> tokenId_;
    std::shared_ptr<MLMultiArray> tokenProbability_;
    std::shared_ptr<MLMultiArray> duration_;
    MLPredictionOptions jointOptions_;
    std::shared_ptr<MLMultiArray> projected_;
};

void emit(TdtHypothesis& hypothesis, int token, int frame, float confidence) {
    hypothesis.ySequence.push_back(token);
    hypothesis.timestamps.push_back(frame);
    hypothesis.tokenConfidences.push_back(confidence);
    hypothesis.score += confidence;
    hypothesis.lastToken = token;
}

}  // namespace

TdtDecoderV3::TdtDecoderV3(ASRConfig config) : logger_("TDT"), config_(std::move(config)) {}

int TdtDecoderV3::mapDurationBin(int binIndex, const std::vector<int>& durationBins) {
    if (binIndex < 0 || static_cast<std::size_t>(binIndex) >= durationBins.size()) {
        throw ASRError::processingFailed("Duration bin index out of range: " + std::to_string(binIndex));
    }
    return durationBins[static_cast<std::size_t>(binIndex)];
}

void TdtDecoderV3::populatePreparedDecoderProjection(const MLMultiArray& projection, MLMultiArray& destination) {
    const MLShape& shape = projection.shape();
    if (shape.size() != 3) {
        throw ASRError::processingFailed("Invalid decoder projection rank: " + shapeDescription(shape));
    }
    if (shape[0] != 1) {
        throw ASRError::processingFailed("Unsupported decoder batch dimension: " + std::to_string(shape[0]));
    }
    if (projection.dataType() != MLMultiArrayDataType::float32) {
        throw ASRError::processingFailed("Unsupported decoder projection type: " +
                                         std::string(toString(projection.dataType())));
    }
    if (destination.dataType() != MLMultiArrayDataType::float32 || destination.shape() != MLShape{1, decoderWidth, 1}) {
        throw ASRError::processingFailed("Prepared decoder step shape mismatch: " + destination.shapeString());
    }
    std::size_t hiddenAxis = 0;
    std::size_t timeAxis = 0;
    if (shape[2] == decoderWidth) {
        hiddenAxis = 2;
        timeAxis = 1;
    } else if (shape[1] == decoderWidth) {
        hiddenAxis = 1;
        timeAxis = 2;
    } else {
        throw ASRError::processingFailed("Decoder projection hidden size mismatch: " + shapeDescription(shape));
    }
    if (shape[timeAxis] != 1) {
        throw ASRError::processingFailed("Decoder projection time axis must be 1: " + shapeDescription(shape));
    }
    const std::int64_t destinationStride = destination.strides()[1];
    if (!fitsInt32(destinationStride)) {
        throw ASRError::processingFailed("Decoder destination stride exceeds supported range");
    }
    const MLShape& strides = projection.strides();
    const std::int64_t batchStride = strides[0];
    const std::int64_t timeStride = strides[timeAxis];
    const std::int64_t hiddenStride = strides[hiddenAxis];
    const std::int64_t start = (batchStride < 0 ? batchStride * (shape[0] - 1) : 0) +
                               (timeStride < 0 ? timeStride * (shape[timeAxis] - 1) : 0);
    const std::int64_t span = (decoderWidth - 1) * hiddenStride;
    const std::int64_t lowest = start + std::min<std::int64_t>(span, 0);
    const std::int64_t highest = start + std::max<std::int64_t>(span, 0);
    if (lowest < 0 || highest >= projection.count()) {
        throw ASRError::processingFailed("Decoder projection stride exceeds buffer bounds");
    }
    const float* source = projection.data<float>() + start;
    float* target = destination.data<float>();
    if (hiddenStride == 1 && destinationStride == 1) {
        if (source != target) {
            VectorRoutines::mmov(source, target, static_cast<std::size_t>(decoderWidth));
        }
        return;
    }
    if (!fitsInt32(hiddenStride)) {
        throw ASRError::processingFailed("Decoder projection stride exceeds supported range");
    }
    const float* lowestSource = hiddenStride < 0 ? source + span : source;
    cblas_scopy(static_cast<int>(decoderWidth), lowestSource, static_cast<int>(hiddenStride), target,
                static_cast<int>(destinationStride));
}

TdtHypothesis TdtDecoderV3::decodeWithTimings(const std::shared_ptr<MLMultiArray>& encoderOutput,
                                              int encoderSequenceLength, int actualAudioFrames,
                                              const MLModel& decoderModel, const MLModel& jointModel,
                                              TdtDecoderState& decoderState, int contextFrameAdjustment,
                                              bool isLastChunk, int globalFrameOffset) {
    const TdtConfig& tdt = config_.tdtConfig;
    TdtHypothesis hypothesis;
    if (encoderSequenceLength < 2) {
        hypothesis.decState = decoderState;
        return hypothesis;
    }
    const EncoderFrameView view(encoderOutput, encoderSequenceLength);

    int t = contextFrameAdjustment;
    if (decoderState.timeJump) {
        // A zero jump with no adjustment means the previous window ended exactly at its
        // length: skip the frames this window shares with it.
        t = (*decoderState.timeJump == 0 && contextFrameAdjustment == 0)
                ? 25
                : std::max(0, *decoderState.timeJump + contextFrameAdjustment);
    }
    const int length = std::min(actualAudioFrames, encoderSequenceLength);
    const int lastFrame = length - 1;
    int s = std::min(lastFrame, t);
    if (t >= length) {
        hypothesis.decState = decoderState;
        return hypothesis;
    }

    DecodingCall call(tdt, view, decoderModel, jointModel, decoderState);
    if (!decoderState.lastToken && !decoderState.predictorOutput) {
        decoderState.hiddenState->fill(0);
        decoderState.cellState->fill(0);
        decoderState.predictorOutput = call.runPredictor(tdt.blankId);
    }

    std::shared_ptr<MLMultiArray> prediction = decoderState.predictorOutput;
    int label = decoderState.lastToken.value_or(tdt.blankId);
    int lastEmissionFrame = -1;
    int symbolsAtFrame = 0;
    int emitted = 0;

    while (t < length) {
        if (!prediction) {
            prediction = call.runPredictor(label);
        }
        int stepStart = t;
        JointDecision decision = call.evaluateJoint(s, prediction);
        if (decision.token == tdt.blankId && decision.duration == 0) {
            decision.duration = 1;
        }
        t = stepStart + decision.duration;
        s = std::min(lastFrame, t);
        while (t < length && decision.token == tdt.blankId) {
            stepStart = t;
            decision = call.evaluateJoint(s, prediction);
            if (decision.token == tdt.blankId && decision.duration == 0) {
                decision.duration = 1;
            }
            t = stepStart + decision.duration;
            s = std::min(lastFrame, t);
        }
        if (t >= length) {
            break;  // a token whose duration runs past the window belongs to the next one
        }
        if (++emitted > tdt.maxTokensPerChunk) {
            break;
        }
        emit(hypothesis, decision.token, stepStart + globalFrameOffset, decision.confidence);
        label = decision.token;
        prediction = call.runPredictor(decision.token);
        decoderState.predictorOutput = prediction;

        if (stepStart == lastEmissionFrame) {
            if (++symbolsAtFrame < tdt.maxSymbolsPerStep) {
                continue;
            }
        } else if (tdt.maxSymbolsPerStep > 1) {
            lastEmissionFrame = stepStart;
            symbolsAtFrame = 1;
            continue;
        }
        t = std::min(lastFrame, t + 1);
        s = t;
        symbolsAtFrame = 0;
        lastEmissionFrame = -1;
    }

    if (isLastChunk && tdt.maxSymbolsPerStep >= 1) {
        // The stream ends here: look once more at the final frames for tokens the main loop
        // could not emit because their durations ran past the end.
        int u = t;
        int blankRun = 0;
        const std::int64_t lastViewFrame = view.count - 1;
        for (int step = 0; step < tdt.maxSymbolsPerStep && blankRun < tdt.consecutiveBlankLimit; ++step) {
            const std::int64_t candidates[] = {std::min<std::int64_t>(lastViewFrame, u),
                                               std::min<std::int64_t>(lastViewFrame, lastFrame),
                                               std::min<std::int64_t>(lastViewFrame, std::max(length - 2, 0))};
            if (!prediction) {
                prediction = call.runPredictor(label);
            }
            const JointDecision decision = call.evaluateJoint(candidates[step % 3], prediction);
            if (decision.token == tdt.blankId) {
                ++blankRun;
            } else {
                emit(hypothesis, decision.token, std::min(lastFrame, u) + globalFrameOffset, decision.confidence);
                label = decision.token;
                prediction = call.runPredictor(decision.token);
                decoderState.predictorOutput = prediction;
                blankRun = 0;
            }
            u = std::min(length, u + std::max(decision.duration, 1));
        }
    }

    decoderState.predictorOutput = isLastChunk ? nullptr : prediction;
    if (hypothesis.lastToken) {
        decoderState.lastToken = hypothesis.lastToken;
    }
    if (decoderState.lastToken && isPunctuation(*decoderState.lastToken)) {
        decoderState.predictorOutput = nullptr;
    }
    decoderState.timeJump = isLastChunk ? std::nullopt : std::optional<int>(t - length);
    hypothesis.decState = decoderState;
    return hypothesis;
}

}  // namespace Tervane
