#include "Support/AsrFixtures.hpp"

#include <Tervane/Shared/ModelNames.hpp>

#include <chrono>
#include <cmath>
#include <fstream>
#include <stdexcept>

namespace Tervane::Testing {

namespace {

using Type = MLMultiArrayDataType;

MLMultiArrayShapeConstraint ranges(std::vector<MLSizeRange> dimensions) {
    MLMultiArrayShapeConstraint constraint;
    constraint.type = MLMultiArrayShapeConstraintType::range;
    constraint.sizeRangeForDimension = std::move(dimensions);
    return constraint;
}

constexpr double codeScale = 1048576.0;  // 2^20
constexpr int tokenSpan = 8193;          // ids 0 to 8192

}  // namespace

FixtureModel asrPreprocessorFixture() {
    return {.source = R"(
        def forward(self, audio_signal, audio_length):
            n = audio_signal.size(1)
            hops = n // 160 + 1
            padded = torch.zeros([1, hops * 160])
            padded[:, 0:n] = audio_signal
            samples = padded.reshape([hops, 160])
            code = samples[:, 0]
            energy = (samples * samples).mean(1)
            mel = torch.stack([code, energy], 0).reshape([1, 2, hops])
            length = audio_length.long() // 160 + 1
            return {"mel": mel, "mel_length": length.int()}
    )",
            .inputs = {{"audio_signal", Type::float32, {1, 240000}, ranges({{1, 1}, {1, -1}})},
                       {"audio_length", Type::int32, {1}}},
            .outputs = {{"mel", Type::float32, {1, 2, 1501}, ranges({{1, 1}, {2, 2}, {1, -1}})},
                        {"mel_length", Type::int32, {1}}}};
}

FixtureModel asrEncoderFixture(const AsrFixtureOptions& options) {
    FixtureModel model{
        .source = R"(
        def forward(self, mel, mel_length):
            hops = mel.size(2)
            frames = (hops + 7) // 8
            padded = torch.zeros([2, frames * 8])
            padded[:, 0:hops] = mel[0]
            grouped = padded.reshape([2, frames, 8])
            code = grouped[0, :, 0].double() * 1048576.0
            energy = grouped[1].mean(1)
            scripted = (code > 0.0) & (code == torch.floor(code)) & (torch.remainder(code, 2.0) == 1.0)
            c = torch.floor((code - 1.0) / 2.0).long()
            token = torch.remainder(c, 8193)
            rest = torch.div(c, 8193, rounding_mode="floor")
            duration = torch.remainder(rest, 8)
            level = torch.clamp(torch.div(rest, 8, rounding_mode="floor"), 0, 3)
            probability = 1.0 - 0.25 * level.double()
            every = grouped[0].double() * 1048576.0
            coded = (every > 0.0) & (every == torch.floor(every)) & (torch.remainder(every, 2.0) == 1.0)
            untouched = coded.int().sum(1) == 0
            loud = ((energy > 0.001) & untouched).int()
            before = torch.cat([torch.zeros([1]).int(), loud[0:frames - 1]])
            onset = (loud - before) > 0
            blank = torch.full_like(token, int(self.blank[0]))
            speech = torch.full_like(token, int(self.speech[0]))
            one = torch.ones_like(token)
            unscripted = torch.where(onset, speech, blank)
            tokens = torch.where(scripted, token, unscripted)
            durations = torch.where(scripted, duration, one)
            probabilities = torch.where(scripted, probability, torch.ones_like(probability))
            encoder = torch.zeros([1, 1024, frames])
            encoder[0, 0, :] = tokens.float()
            encoder[0, 1, :] = durations.float()
            encoder[0, 2, :] = probabilities.float()
            if bool(self.timeMajor[0] > 0):
                encoder = encoder.transpose(1, 2).contiguous()
            length = (mel_length.long() + 7) // 8
            return {"encoder": encoder, "encoder_length": length.int()}
    )",
        .inputs = {{"mel", Type::float32, {1, 2, 1501}, ranges({{1, 1}, {2, 2}, {1, -1}})},
                   {"mel_length", Type::int32, {1}}},
        .outputs = {{"encoder", Type::float32, {1, 1024, 188}, ranges({{1, 1}, {1, -1}, {1, -1}})},
                    {"encoder_length", Type::int32, {1}}},
        .buffers = {{"blank", fixtureArray({1}, {double(options.blankId)}, Type::int32)},
                    {"speech", fixtureArray({1}, {double(fixtureSpeechToken)}, Type::int32)},
                    {"timeMajor", fixtureArray({1}, {options.encoderTimeMajor ? 1.0 : 0.0}, Type::int32)}}};
    if (options.encoderDeclaresAudioLength) {
        // Declared, not read: an encoder may name an input the preprocessor does not hand on.
        model.source.replace(model.source.find("def forward(self, mel, mel_length):"),
                             std::string("def forward(self, mel, mel_length):").size(),
                             "def forward(self, mel, mel_length, audio_length):");
        model.inputs.push_back({"audio_length", Type::int32, {1}});
    }
    return model;
}

FixtureModel asrDecoderFixture(const AsrFixtureOptions& options) {
    FixtureModel model{
        .source = R"(
        def forward(self, targets, target_length, h_in, c_in):
            decoder = torch.zeros([1, 640, 1])
            decoder[0, 0, 0] = targets[0, 0].float()
            decoder[0, 1, 0] = h_in[0, 0, 0] + 1.0
            h_out = h_in.clone()
            h_out[0, 0, 0] = h_in[0, 0, 0] + 1.0
            c_out = c_in.clone()
            c_out[0, 0, 0] = targets[0, 0].float()
            if bool(self.hiddenLast[0] > 0):
                decoder = decoder.reshape([1, 1, 640])
            return {"decoder": decoder, "h_out": h_out, "c_out": c_out}
    )",
        .inputs = {{"targets", Type::int32, {1, 1}},
                   {"target_length", Type::int32, {1}},
                   {"h_in", Type::float32, {2, 1, 640}},
                   {"c_in", Type::float32, {2, 1, 640}}},
        .outputs = {{"decoder", Type::float32, options.decoderHiddenLast ? MLShape{1, 1, 640} : MLShape{1, 640, 1}},
                    {"h_out", Type::float32, {2, 1, 640}},
                    {"c_out", Type::float32, {2, 1, 640}}},
        .buffers = {{"hiddenLast", fixtureArray({1}, {options.decoderHiddenLast ? 1.0 : 0.0}, Type::int32)}}};
    return model;
}

FixtureModel asrJointFixture() {
    return {.source = R"(
        def forward(self, encoder_step, decoder_step):
            return {"token_id": encoder_step[0, 0, 0].int().reshape([1, 1, 1]),
                    "token_prob": encoder_step[0, 2, 0].reshape([1, 1, 1]),
                    "duration": encoder_step[0, 1, 0].int().reshape([1, 1, 1])}
    )",
            .inputs = {{"encoder_step", Type::float32, {1, 1024, 1}}, {"decoder_step", Type::float32, {1, 640, 1}}},
            .outputs = {{"token_id", Type::int32, {1, 1, 1}},
                        {"token_prob", Type::float32, {1, 1, 1}},
                        {"duration", Type::int32, {1, 1, 1}}}};
}

nlohmann::json asrFixtureVocabulary() {
    nlohmann::json vocabulary = nlohmann::json::object();
    const char* words[] = {"\u2581hel",   "lo",      "\u2581world", "\u2581the", "\u2581quick",
                           "\u2581brown", "\u2581fox", "\u2581jumps", "\u2581over"};
    for (int id = 1; id <= 9; ++id) {
        vocabulary[std::to_string(id)] = words[id - 1];
    }
    for (int id = 10; id < 1000; ++id) {
        vocabulary[std::to_string(id)] = "\u2581w" + std::to_string(id);
    }
    vocabulary[std::to_string(fixtureSpeechToken)] = "\u2581[speech]";
    vocabulary["7883"] = ".";
    vocabulary["7948"] = ",";
    vocabulary["7952"] = "?";
    vocabulary["8191"] = "";
    return vocabulary;
}

void writeAsrFixtureModels(const std::filesystem::path& directory, const AsrFixtureOptions& options) {
    std::filesystem::create_directories(directory);
    writeFixtureBundle(directory, ModelNames::ASR::preprocessorFile, asrPreprocessorFixture());
    writeFixtureBundle(directory, ModelNames::ASR::encoderFile, asrEncoderFixture(options));
    writeFixtureBundle(directory, ModelNames::ASR::decoderFile, asrDecoderFixture(options));
    writeFixtureBundle(directory, ModelNames::ASR::jointFile, asrJointFixture());
    std::ofstream file(directory / ModelNames::ASR::vocabularyFile, std::ios::binary | std::ios::trunc);
    file << asrFixtureVocabulary().dump();
    if (!file) {
        throw std::runtime_error("could not write the fixture vocabulary in " + directory.string());
    }
}

float scriptedFrameValue(int token, int durationIndex, int probabilityLevel) {
    if (token < 0 || token >= tokenSpan || durationIndex < 0 || durationIndex > 7 || probabilityLevel < 0 ||
        probabilityLevel > 3) {
        throw std::invalid_argument("scriptedFrameValue: no code for this frame");
    }
    const std::int64_t code = token + tokenSpan * (durationIndex + 8 * probabilityLevel);
    return static_cast<float>(static_cast<double>(2 * code + 1) / codeScale);
}

std::vector<float> scriptedAudio(std::size_t sampleCount, const std::vector<ScriptedToken>& tokens) {
    std::vector<float> samples(sampleCount, 0.0F);
    for (const ScriptedToken& token : tokens) {
        const float level = scriptedFrameValue(token.token, token.durationIndex, token.probabilityLevel);
        const std::size_t begin = static_cast<std::size_t>(token.frame) * 1280;
        for (std::size_t index = begin; index < std::min(begin + 1280, sampleCount); ++index) {
            samples[index] = level;
        }
    }
    return samples;
}

std::shared_ptr<MLMultiArray> scriptedEncoderOutput(std::int64_t frames, const std::vector<EncoderFrame>& scripted,
                                                    bool timeMajor, int blankId) {
    auto array = MLMultiArray::make(timeMajor ? MLShape{1, frames, 1024} : MLShape{1, 1024, frames}, Type::float32);
    const auto set = [&](std::int64_t frame, std::int64_t channel, double value) {
        array->setValue(timeMajor ? frame * 1024 + channel : channel * frames + frame, value);
    };
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        set(frame, 0, blankId);
        set(frame, 1, 1);
        set(frame, 2, 1);
    }
    for (const EncoderFrame& frame : scripted) {
        set(frame.frame, 0, frame.token);
        set(frame.frame, 1, frame.durationIndex);
        set(frame.frame, 2, frame.probability);
    }
    return array;
}

}  // namespace Tervane::Testing

namespace Tervane::Testing {

ObservedModel::ObservedModel(std::shared_ptr<MLModel> model, Observer observer)
    : model_(std::move(model)), observer_(std::move(observer)) {}

std::shared_ptr<MLFeatureProvider> ObservedModel::prediction(const MLFeatureProvider& input,
                                                             const MLPredictionOptions& options) const {
    if (observer_) {
        observer_(input);
    }
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<MLFeatureProvider> result = model_->prediction(input, options);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    predictionNanoseconds_ += std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    ++predictionCount_;
    return result;
}

AsrModels observedAsrModels(const AsrModels& models, std::vector<std::shared_ptr<ObservedModel>>* observed,
                            const ObservedModel::Observer& preprocessorObserver) {
    AsrModels wrapped = models;
    const auto wrap = [&](std::shared_ptr<MLModel>& model, ObservedModel::Observer observer) {
        auto observedModel = std::make_shared<ObservedModel>(model, std::move(observer));
        if (observed != nullptr) {
            observed->push_back(observedModel);
        }
        model = observedModel;
    };
    wrap(wrapped.preprocessor, preprocessorObserver);
    wrap(wrapped.encoder, {});
    wrap(wrapped.decoder, {});
    wrap(wrapped.joint, {});
    return wrapped;
}

}  // namespace Tervane::Testing
