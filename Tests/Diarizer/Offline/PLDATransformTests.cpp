#include "Support/DiarizerFixtures.hpp"
#include "Support/TemporaryDirectory.hpp"

#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Diarizer/Offline/PLDATransform.hpp>

#include <gtest/gtest.h>

namespace {

using namespace Tervane;
using namespace Tervane::Testing;

class PLDATransformTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = std::make_unique<TemporaryDirectory>("tervane-plda");
        rho = loadFixtureModel(directory->path(), "PldaRho.mlmodelc", pldaRhoFixture());
    }
    static void TearDownTestSuite() {
        rho.reset();
        directory.reset();
    }

    /// Embedding k: value (k + 1) × (j + 1) ÷ 1000 at position j.
    static std::vector<std::vector<float>> embeddings(std::size_t count, std::size_t size = 256) {
        std::vector<std::vector<float>> result(count, std::vector<float>(size));
        for (std::size_t k = 0; k < count; ++k) {
            for (std::size_t j = 0; j < size; ++j) {
                result[k][j] = static_cast<float>((k + 1) * (j + 1)) / 1000.0F;
            }
        }
        return result;
    }

    static std::vector<std::int64_t> batchRows(const RecordingModel& model) {
        std::vector<std::int64_t> rows;
        for (const auto& call : model.calls()) {
            rows.push_back(call.at("embeddings")[0]);
        }
        return rows;
    }

    inline static std::unique_ptr<TemporaryDirectory> directory;
    inline static std::shared_ptr<MLModel> rho;
};

TEST_F(PLDATransformTest, ProjectsInBatchesOfThirtyTwoInInputOrder) {
    for (const auto& [count, rows] : std::vector<std::pair<std::size_t, std::vector<std::int64_t>>>{
             {0, {}}, {1, {1, 1}}, {33, {1, 32, 1}}, {64, {1, 32, 32}}}) {
        SCOPED_TRACE(count);
        const auto recording = std::make_shared<RecordingModel>(rho);
        const PLDATransform transform(recording, {1.0, 2.0});
        const auto input = embeddings(count);
        const auto projected = transform.transform(input);
        EXPECT_EQ(batchRows(*recording), rows);
        ASSERT_EQ(projected.size(), count);
        for (std::size_t k = 0; k < count; ++k) {
            const std::vector<double> expected = fixtureRho(input[k]);
            ASSERT_EQ(projected[k].size(), 128U);
            for (std::size_t i = 0; i < 128; ++i) {
                EXPECT_NEAR(projected[k][i], expected[i], 1e-4 * std::abs(expected[i]) + 1e-6);
            }
        }
        EXPECT_EQ(transform.phiParameters(), (std::vector<double>{1.0, 2.0}));
    }
}

TEST_F(PLDATransformTest, RefusesEmbeddingsOfTheWrongSizeBeforeAnyModelCall) {
    const auto recording = std::make_shared<RecordingModel>(rho);
    const PLDATransform transform(recording, {});
    auto input = embeddings(40);
    input[35].resize(255);
    try {
        (void)transform.transform(input);
        ADD_FAILURE() << "projected";
    } catch (const OfflineDiarizationError& error) {
        EXPECT_EQ(error.description(), "Invalid configuration: Expected 256-dim embeddings, got 255");
    }
    try {
        (void)transform.transform(std::vector<float>(257));
        ADD_FAILURE() << "projected";
    } catch (const OfflineDiarizationError& error) {
        EXPECT_EQ(error.description(), "Invalid configuration: Expected 256-dim embedding, got 257");
    }
    EXPECT_TRUE(recording->calls().empty());
    EXPECT_EQ(transform.transform(embeddings(1)[0]).size(), 128U);
}

TEST_F(PLDATransformTest, AFailedWarmUpChangesNothingButAFailedBatchFailsTheCall) {
    const auto input = embeddings(3);
    const auto expected = PLDATransform(rho, {}).transform(input);

    const auto warmUpFails = std::make_shared<RecordingModel>(rho);
    warmUpFails->setFailWhen([](const RecordingModel::Inputs& inputs) { return inputs.at("embeddings")[0] == 1; });
    EXPECT_EQ(PLDATransform(warmUpFails, {}).transform(input), expected);

    const auto batchFails = std::make_shared<RecordingModel>(rho);
    batchFails->setFailWhen([](const RecordingModel::Inputs& inputs) { return inputs.at("embeddings")[0] == 3; });
    EXPECT_THROW((void)PLDATransform(batchFails, {}).transform(input), std::runtime_error);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW((void)PLDATransform(rho, {}).transform(input, stop.get_token()), CancellationError);
}

TEST_F(PLDATransformTest, ARhoModelWithoutRhoOrWithTooFewValuesFails) {
    const TemporaryDirectory bundles("tervane-plda-broken");
    FixtureModel renamed = pldaRhoFixture();
    renamed.source = R"(
    def forward(self, embeddings):
        return {"projection": torch.matmul(embeddings, self.projection)}
)";
    renamed.outputs[0].name = "projection";
    FixtureModel shortOutput = pldaRhoFixture();
    shortOutput.source = R"(
    def forward(self, embeddings):
        return {"rho": torch.matmul(embeddings, self.projection)[:, 0:64]}
)";
    for (const auto& [model, message] : std::vector<std::pair<FixtureModel, std::string>>{
             {renamed, "Processing failed: PldaRho model did not produce rho output"},
             {shortOutput, "Processing failed: PldaRho model produced 128 rho values for 2 embeddings"}}) {
        const PLDATransform transform(loadFixtureModel(bundles.path(), "Rho" + std::to_string(message.size()), model), {});
        try {
            (void)transform.transform(embeddings(2));
            ADD_FAILURE() << "projected";
        } catch (const OfflineDiarizationError& error) {
            EXPECT_EQ(error.description(), message);
        }
    }
}

TEST_F(PLDATransformTest, ScoreIsTheCosineOfTwoRhoVectors) {
    const PLDATransform transform(rho, {});
    std::vector<double> a(128);
    std::vector<double> b(128, 0.0);
    double squaredNorm = 0;
    for (std::size_t i = 0; i < 128; ++i) {
        a[i] = static_cast<double>(i) - 60;
        squaredNorm += a[i] * a[i];
    }
    b[3] = 2;
    EXPECT_NEAR(transform.score(a, a), 1.0, 1e-12);
    EXPECT_NEAR(transform.score(a, b), -57.0 / std::sqrt(squaredNorm), 1e-12);
    EXPECT_EQ(transform.score(std::vector<double>(127, 1.0), std::vector<double>(127, 1.0)), 0.0);
    EXPECT_EQ(transform.score(a, std::vector<double>(127, 1.0)), 0.0);
    EXPECT_EQ(transform.score(std::vector<double>(128, 0.0), a), 0.0);
}

}  // namespace
