#include "Support/DiarizerFixtures.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace Tervane::Testing {

namespace {

constexpr double sampleRate = 16000;

MLMultiArrayShapeConstraint ranges(std::vector<MLSizeRange> sizes) {
    MLMultiArrayShapeConstraint constraint;
    constraint.type = MLMultiArrayShapeConstraintType::range;
    constraint.sizeRangeForDimension = std::move(sizes);
    return constraint;
}

/// A Hann window over one frame.
std::shared_ptr<MLMultiArray> hannWindow(std::int64_t frameSamples) {
    std::vector<double> values(static_cast<std::size_t>(frameSamples));
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(frameSamples - 1));
    }
    return fixtureArray({frameSamples}, values);
}

/// [frameSamples, 2 × bands]: cosines of every band, then sines.
std::shared_ptr<MLMultiArray> bandBasis(const std::vector<double>& bands, std::int64_t frameSamples) {
    const std::size_t count = bands.size();
    std::vector<double> values(static_cast<std::size_t>(frameSamples) * 2 * count);
    for (std::size_t n = 0; n < static_cast<std::size_t>(frameSamples); ++n) {
        for (std::size_t b = 0; b < count; ++b) {
            const double phase = 2 * std::numbers::pi * bands[b] * static_cast<double>(n) / sampleRate;
            values[n * 2 * count + b] = std::cos(phase);
            values[n * 2 * count + count + b] = std::sin(phase);
        }
    }
    return fixtureArray({frameSamples, static_cast<std::int64_t>(2 * count)}, values);
}

// Shared by the three audio models: frames × Hann × band basis -> band energies.
constexpr const char* bandEnergySource = R"(
    def energies(self, audio, frames: int, frame_samples: int, bands: int):
        b = audio.size(0)
        x = audio[:, 0, 0:frames * frame_samples].reshape([b, frames, frame_samples]) * self.window
        proj = torch.matmul(x, self.basis)
        return proj[:, :, 0:bands] ** 2 + proj[:, :, bands:2 * bands] ** 2
)";

}  // namespace

FixtureModel segmentationFixture(const SegmentationFixtureOptions& options) {
    if (options.classes < 1 || options.classes > 8 || options.frames < 1) {
        throw std::invalid_argument("segmentation fixture: classes must be 1 to 8 and frames positive");
    }
    const std::int64_t frameSamples = fixtureWindowSamples / options.frames;
    // Membership of the powerset classes, [classes, 3].
    static const std::vector<std::vector<int>> powerset = {{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}, {0, 1, 2}};
    std::vector<double> membership;
    for (std::int64_t c = 0; c < options.classes; ++c) {
        for (int s = 0; s < 3; ++s) {
            const auto& members = powerset[static_cast<std::size_t>(c)];
            membership.push_back(std::find(members.begin(), members.end(), s) != members.end() ? 1.0 : 0.0);
        }
    }
    const std::string frames = std::to_string(options.frames);
    const std::string frameLength = std::to_string(frameSamples);
    const std::string answer = options.rankTwoOutput ? "logits[0]" : "logits";
    FixtureModel model;
    model.source = R"(
    def forward(self, audio):
        energy = self.energies(audio, )" + frames + ", " + frameLength + R"(, 3)
        active = torch.sigmoid(4.0 * torch.log(energy + 1e-8))
        active = torch.where(active < 1e-6, torch.full_like(active, 1e-30), active)
        active = torch.clamp(active, 1e-30, 1.0 - 1e-7)
        logits = 2.0 * (torch.matmul(torch.log(active), self.membership.t()) + torch.matmul(torch.log(1.0 - active), (1.0 - self.membership).t()))
        return {"segments": )" + answer + "}\n" + bandEnergySource;
    model.inputs = {{"audio", MLMultiArrayDataType::float32, {1, 1, fixtureWindowSamples},
                     ranges({{1, 32}, {1, 1}, {fixtureWindowSamples, fixtureWindowSamples}})}};
    model.outputs = {{"segments", MLMultiArrayDataType::float32,
                      options.rankTwoOutput ? MLShape{options.frames, options.classes}
                                            : MLShape{1, options.frames, options.classes}}};
    model.buffers = {{"window", hannWindow(frameSamples)},
                     {"basis", bandBasis({fixtureSpeakerPitches.begin(), fixtureSpeakerPitches.end()}, frameSamples)},
                     {"membership", fixtureArray({options.classes, 3}, membership)}};
    return model;
}

FixtureModel fbankFixture() {
    FixtureModel model;
    model.source = R"(
    def forward(self, audio):
        return {"fbank_features": self.energies(audio, 589, 271, 8)}
)" + std::string(bandEnergySource);
    model.inputs = {{"audio", MLMultiArrayDataType::float32, {1, 1, fixtureWindowSamples}}};
    model.outputs = {{"fbank_features", MLMultiArrayDataType::float32, {1, fixtureFrames, 8}}};
    model.buffers = {{"window", hannWindow(fixtureFrameSamples)},
                     {"basis", bandBasis({fixtureFbankBands.begin(), fixtureFbankBands.end()}, fixtureFrameSamples)}};
    return model;
}

FixtureModel embeddingFixture(const EmbeddingFixtureOptions& options) {
    std::vector<double> spread(8 * 256, 0.0);
    for (std::size_t band = 0; band < 8; ++band) {
        for (std::size_t j = 0; j < 32; ++j) {
            spread[band * 256 + band * 32 + j] = 1.0;
        }
    }
    // The bands of the damaged speakers' pitches.
    std::vector<double> damagedBands(8, 0.0);
    for (const int speaker : options.nanSpeakers) {
        const double pitch = fixtureSpeakerPitches.at(static_cast<std::size_t>(speaker));
        const auto band = std::find(fixtureFbankBands.begin(), fixtureFbankBands.end(), pitch);
        damagedBands[static_cast<std::size_t>(band - fixtureFbankBands.begin())] = 1.0;
    }
    FixtureModel model;
    model.source = R"(
    def forward(self, fbank_features, weights):
        profile = fbank_features / (fbank_features.sum(dim=2, keepdim=True) + 1e-6)
        weighted = (profile * weights.unsqueeze(2)).sum(dim=1)
        mean = weighted / torch.clamp(weights.sum(dim=1, keepdim=True), min=1e-6)
        embedding = torch.matmul(mean, self.spread)
        damaged = (mean * self.damaged_bands).sum(dim=1, keepdim=True) > 0.5
        first = torch.where(damaged, self.nan_value.expand_as(embedding[:, 0:1]), embedding[:, 0:1])
        return {"embedding": torch.cat([first, embedding[:, 1:]], dim=1)}
)";
    model.inputs = {{"fbank_features", MLMultiArrayDataType::float32, {1, fixtureFrames, 8}},
                    {"weights", MLMultiArrayDataType::float32, {1, fixtureFrames}}};
    model.outputs = {{"embedding", MLMultiArrayDataType::float32, {1, 256}}};
    model.buffers = {{"spread", fixtureArray({8, 256}, spread)},
                     {"damaged_bands", fixtureArray({8}, damagedBands)},
                     {"nan_value", fixtureArray({1}, {std::numeric_limits<double>::quiet_NaN()})}};
    return model;
}

FixtureModel pldaRhoFixture() {
    std::vector<double> projection(256 * 128, 0.0);
    for (std::size_t i = 0; i < 128; ++i) {
        projection[(2 * i) * 128 + i] = fixtureRhoGain;
        projection[(2 * i + 1) * 128 + i] = fixtureRhoGain / 2;
    }
    FixtureModel model;
    model.source = R"(
    def forward(self, embeddings):
        return {"rho": torch.matmul(embeddings, self.projection)}
)";
    model.inputs = {{"embeddings", MLMultiArrayDataType::float32, {1, 256}, ranges({{1, 32}, {256, 256}})}};
    model.outputs = {{"rho", MLMultiArrayDataType::float32, {1, 128}}};
    model.buffers = {{"projection", fixtureArray({256, 128}, projection)}};
    return model;
}

std::vector<double> fixtureRho(const std::vector<float>& embedding) {
    std::vector<double> rho(128);
    for (std::size_t i = 0; i < 128 && 2 * i + 1 < embedding.size(); ++i) {
        rho[i] = static_cast<double>(static_cast<float>(fixtureRhoGain) * embedding[2 * i] +
                                     static_cast<float>(fixtureRhoGain / 2) * embedding[2 * i + 1]);
    }
    return rho;
}

std::vector<float> fixturePldaPsi() {
    std::vector<float> psi(128);
    for (std::size_t i = 0; i < psi.size(); ++i) {
        psi[i] = 1.0F + static_cast<float>(i) / 128.0F;
    }
    return psi;
}

std::string base64Encode(const std::vector<std::uint8_t>& bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t chunk = (static_cast<std::uint32_t>(bytes[i]) << 16) |
                                    (i + 1 < bytes.size() ? static_cast<std::uint32_t>(bytes[i + 1]) << 8 : 0) |
                                    (i + 2 < bytes.size() ? static_cast<std::uint32_t>(bytes[i + 2]) : 0);
        text += alphabet[(chunk >> 18) & 63];
        text += alphabet[(chunk >> 12) & 63];
        text += i + 1 < bytes.size() ? alphabet[(chunk >> 6) & 63] : '=';
        text += i + 2 < bytes.size() ? alphabet[chunk & 63] : '=';
    }
    return text;
}

std::string pldaParametersJson(const std::vector<float>& psi) {
    std::vector<std::uint8_t> bytes;
    for (const float value : psi) {
        const auto bits = std::bit_cast<std::uint32_t>(value);
        for (int b = 0; b < 4; ++b) {
            bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * b)));
        }
    }
    const nlohmann::json document = {
        {"tensors",
         {{"psi", {{"shape", {psi.size()}}, {"dtype", "float32"}, {"data_base64", base64Encode(bytes)}}}}}};
    return document.dump();
}

void writeDiarizerFixtureModels(const std::filesystem::path& directory, const SegmentationFixtureOptions& segmentation,
                                const EmbeddingFixtureOptions& embedding) {
    std::filesystem::create_directories(directory);
    writeFixtureBundle(directory, "Segmentation.mlmodelc", segmentationFixture(segmentation));
    writeFixtureBundle(directory, "FBank.mlmodelc", fbankFixture());
    writeFixtureBundle(directory, "Embedding.mlmodelc", embeddingFixture(embedding));
    writeFixtureBundle(directory, "PldaRho.mlmodelc", pldaRhoFixture());
    std::ofstream(directory / "plda-parameters.json", std::ios::binary) << pldaParametersJson(fixturePldaPsi());
}

std::vector<float> scriptedRecording(const std::vector<SpeakerTurn>& turns, double seconds, float amplitude,
                                     double rate) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * rate), 0.0F);
    for (const SpeakerTurn& turn : turns) {
        const double pitch = fixtureSpeakerPitches.at(static_cast<std::size_t>(turn.speaker));
        const auto first = static_cast<std::size_t>(std::max(0.0, turn.start * rate));
        const auto last = std::min(samples.size(), static_cast<std::size_t>(std::max(0.0, turn.end * rate)));
        // Raised-cosine ramps at both ends: a hard step would splatter energy over every band.
        const double ramp = fixtureTurnRampSeconds * rate;
        for (std::size_t i = first; i < last; ++i) {
            const double fromEdge = std::min(static_cast<double>(i - first), static_cast<double>(last - 1 - i));
            const double gain = fromEdge >= ramp ? 1.0 : 0.5 - 0.5 * std::cos(std::numbers::pi * fromEdge / ramp);
            samples[i] += static_cast<float>(amplitude * gain *
                                             std::sin(2 * std::numbers::pi * pitch * static_cast<double>(i) / rate));
        }
    }
    return samples;
}

std::vector<float> twoSpeakerRecording(double seconds, double turnSeconds) {
    std::vector<SpeakerTurn> turns;
    int speaker = 0;
    for (double start = 0; start < seconds; start += turnSeconds) {
        turns.push_back({speaker, start, std::min(seconds, start + turnSeconds)});
        speaker = 1 - speaker;
    }
    return scriptedRecording(turns, seconds);
}

std::shared_ptr<MLFeatureProvider> RecordingModel::prediction(const MLFeatureProvider& input,
                                                              const MLPredictionOptions& options) const {
    Inputs shapes;
    for (const std::string& name : input.featureNames()) {
        if (const auto value = input.featureValue(name); value && value->multiArrayValue()) {
            shapes[name] = value->multiArrayValue()->shape();
        }
    }
    std::function<bool(const Inputs&)> failWhen;
    {
        const std::lock_guard lock(mutex_);
        calls_.push_back(shapes);
        failWhen = failWhen_;
    }
    if (failWhen && failWhen(shapes)) {
        throw std::runtime_error("scripted failure");
    }
    return inner_->prediction(input, options);
}

std::vector<RecordingModel::Inputs> RecordingModel::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

void RecordingModel::setFailWhen(std::function<bool(const Inputs&)> failWhen) {
    const std::lock_guard lock(mutex_);
    failWhen_ = std::move(failWhen);
}

}  // namespace Tervane::Testing
