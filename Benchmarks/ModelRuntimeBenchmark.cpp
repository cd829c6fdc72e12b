// Cost of one tiny prediction through the model runtime, in the joint-network pattern of the
// greedy decoder: two strided step arrays in, three one-element outputs written into
// backings. The constant program does no arithmetic, so it shows the floor that the runtime
// and the TorchScript interpreter set together; the joint-like program adds a few tensor
// operations, as a real decision head would.

#include <Tervane/Platform/MLModel.hpp>

#include "Support/ModelFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace Tervane;
using Type = MLMultiArrayDataType;

/// A provider that holds its two arrays, as the decoder's reusable joint input does.
class JointInput final : public MLFeatureProvider {
public:
    JointInput(std::shared_ptr<MLMultiArray> encoder, std::shared_ptr<MLMultiArray> decoder)
        : encoder_(std::move(encoder)), decoder_(std::move(decoder)) {}
    std::set<std::string> featureNames() const override { return {"encoder_step", "decoder_step"}; }
    std::optional<MLFeatureValue> featureValue(const std::string& name) const override {
        if (name == "encoder_step") {
            return MLFeatureValue(encoder_);
        }
        if (name == "decoder_step") {
            return MLFeatureValue(decoder_);
        }
        return std::nullopt;
    }

private:
    std::shared_ptr<MLMultiArray> encoder_;
    std::shared_ptr<MLMultiArray> decoder_;
};

/// A [1, width, 1] float32 array whose axis-1 stride is 16 elements, like the aligned,
/// tile-padded step arrays the decoder fills.
std::shared_ptr<MLMultiArray> paddedStep(std::int64_t width) {
    auto storage = MLMultiArray::make({width * 16}, Type::float32);
    void* data = storage->dataPointer();
    return MLMultiArray::make(data, {1, width, 1}, Type::float32, {width * 16, 16, 1}, [keep = storage](void*) {});
}

void predictJointDecisions(benchmark::State& state, const char* source,
                           std::map<std::string, std::shared_ptr<MLMultiArray>> buffers = {}) {
    const Testing::TemporaryDirectory directory("tervane-benchmark");
    const auto model = Testing::loadFixtureModel(
        directory.path(), "JointDecision.mlmodelc",
        {.source = source,
         .inputs = {{"encoder_step", Type::float32, {1, 1024, 1}}, {"decoder_step", Type::float32, {1, 640, 1}}},
         .outputs = {{"token_id", Type::int32, {1, 1, 1}},
                     {"token_prob", Type::float32, {1, 1, 1}},
                     {"duration", Type::int32, {1, 1, 1}}},
         .buffers = std::move(buffers)});
    const JointInput input(paddedStep(1024), paddedStep(640));
    const MLPredictionOptions options{.outputBackings = {{"token_id", MLMultiArray::make({1, 1, 1}, Type::int32)},
                                                         {"token_prob", MLMultiArray::make({1, 1, 1}, Type::float32)},
                                                         {"duration", MLMultiArray::make({1, 1, 1}, Type::int32)}}};
    for (auto _ : state) {
        benchmark::DoNotOptimize(model->prediction(input, options));
    }
    const char* policy = std::getenv("OMP_WAIT_POLICY");
    state.SetLabel(std::string("OMP_WAIT_POLICY=") + (policy != nullptr ? policy : "unset"));
}

void BM_ConstantProgramPrediction(benchmark::State& state) {
    predictJointDecisions(state, R"(
        def forward(self, encoder_step, decoder_step):
            return {"token_id": self.token, "token_prob": self.probability, "duration": self.token}
    )",
                          {{"token", Testing::fixtureArray({1, 1, 1}, {7}, Type::int32)},
                           {"probability", Testing::fixtureArray({1, 1, 1}, {0.5})}});
}
BENCHMARK(BM_ConstantProgramPrediction);

void BM_JointLikePrediction(benchmark::State& state) {
    predictJointDecisions(state, R"(
        def forward(self, encoder_step, decoder_step):
            logit = encoder_step[0, 0, 0] + decoder_step[0, 0, 0]
            token = (logit * 100.0).int().reshape([1, 1, 1])
            return {"token_id": token, "token_prob": torch.sigmoid(logit).reshape([1, 1, 1]),
                    "duration": (token % 5).reshape([1, 1, 1])}
    )");
}
BENCHMARK(BM_JointLikePrediction);

}  // namespace
