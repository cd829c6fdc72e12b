#include <Tervane/Diarizer/Offline/PLDATransform.hpp>

#include <Tervane/Diarizer/Offline/OfflineArrayAccess.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizationError.hpp>
#include <Tervane/Platform/VectorRoutines.hpp>
#include <Tervane/Platform/ZeroCopyDiarizerFeatureProvider.hpp>

#include <algorithm>
#include <cmath>
#include <string>

namespace Tervane {

namespace {

const std::string embeddingsInput = "embeddings";
const std::string rhoOutput = "rho";

}  // namespace

PLDATransform::PLDATransform(std::shared_ptr<MLModel> pldaRhoModel, std::vector<double> psi)
    : pldaRhoModel_(std::move(pldaRhoModel)),
      psi_(std::move(psi)),
      memoryOptimizer_(std::make_shared<ANEMemoryOptimizer>()) {}

std::vector<std::vector<double>> PLDATransform::transform(const std::vector<std::vector<float>>& embeddings,
                                                          std::stop_token stopToken) const {
    if (embeddings.empty()) {
        return {};
    }
    for (const std::vector<float>& embedding : embeddings) {
        if (static_cast<std::int64_t>(embedding.size()) != embeddingDimension) {
            throw OfflineDiarizationError::invalidConfiguration(
                "Expected " + std::to_string(embeddingDimension) + "-dim embeddings, got " +
                std::to_string(embedding.size()));
        }
    }
    performWarmup();

    std::vector<std::vector<double>> result;
    result.reserve(embeddings.size());
    const std::span<const std::vector<float>> all(embeddings);
    for (std::size_t start = 0; start < all.size(); start += static_cast<std::size_t>(maxBatchSize)) {
        if (stopToken.stop_requested()) {
            throw CancellationError();
        }
        const std::size_t length = std::min(all.size() - start, static_cast<std::size_t>(maxBatchSize));
        for (std::vector<double>& rho : transformBatch(all.subspan(start, length))) {
            result.push_back(std::move(rho));
        }
    }
    return result;
}

std::vector<double> PLDATransform::transform(const std::vector<float>& embedding, std::stop_token stopToken) const {
    if (static_cast<std::int64_t>(embedding.size()) != embeddingDimension) {
        throw OfflineDiarizationError::invalidConfiguration("Expected " + std::to_string(embeddingDimension) +
                                                            "-dim embedding, got " + std::to_string(embedding.size()));
    }
    std::vector<std::vector<double>> projected = transform(std::vector<std::vector<float>>{embedding}, stopToken);
    return projected.empty() ? std::vector<double>{} : std::move(projected.front());
}

double PLDATransform::score(const std::vector<double>& a, const std::vector<double>& b) const {
    if (static_cast<std::int64_t>(a.size()) != rhoDimension || b.size() != a.size()) {
        return 0;
    }
    const double dot = VectorRoutines::dotprD(a, b);
    const double normA = std::sqrt(VectorRoutines::dotprD(a, a));
    const double normB = std::sqrt(VectorRoutines::dotprD(b, b));
    const double denominator = normA * normB;
    return denominator > 0 ? dot / denominator : 0;
}

void PLDATransform::performWarmup() const {
    try {
        const std::shared_ptr<MLMultiArray> zeros = memoryOptimizer_->getPooledBuffer(
            "offline_plda_warmup_embedding_" + std::to_string(embeddingDimension), {1, embeddingDimension},
            MLMultiArrayDataType::float32);
        zeros->fill(0);
        const ZeroCopyDiarizerFeatureProvider input({{embeddingsInput, MLFeatureValue(zeros)}});
        (void)pldaRhoModel_->compatPrediction(input, MLPredictionOptions{});
    } catch (const std::exception& failure) {
        logger_.debug(std::string("PLDA warmup skipped due to error: ") + failure.what());
    }
}

std::vector<std::vector<double>> PLDATransform::transformBatch(std::span<const std::vector<float>> batch) const {
    const auto rows = static_cast<std::int64_t>(batch.size());
    if (rows == 0) {
        return {};
    }
    if (rows > maxBatchSize) {
        throw OfflineDiarizationError::invalidBatchSize("PldaRho batch size must be <= " +
                                                        std::to_string(maxBatchSize) + ", got " + std::to_string(rows));
    }
    const std::shared_ptr<MLMultiArray> input =
        ANEMemoryOptimizer::createAlignedArray({rows, embeddingDimension}, MLMultiArrayDataType::float32);
    auto* base = input->data<float>();
    for (std::int64_t row = 0; row < rows; ++row) {
        VectorRoutines::mmov(batch[static_cast<std::size_t>(row)].data(), base + input->storageOffset(row * embeddingDimension),
                             static_cast<std::size_t>(embeddingDimension));
    }

    const ZeroCopyDiarizerFeatureProvider features({{embeddingsInput, MLFeatureValue(input)}});
    const std::shared_ptr<MLFeatureProvider> output = pldaRhoModel_->compatPrediction(features, MLPredictionOptions{});
    const std::optional<MLFeatureValue> rho = output ? output->featureValue(rhoOutput) : std::nullopt;
    if (!rho || !rho->multiArrayValue()) {
        throw OfflineDiarizationError::processingFailed("PldaRho model did not produce rho output");
    }
    const MLMultiArray& values = *rho->multiArrayValue();
    const std::int64_t needed = rows * rhoDimension;
    if (values.count() < needed) {
        // Reading past the output would invent values; refuse a model that returns too few.
        throw OfflineDiarizationError::processingFailed("PldaRho model produced " + std::to_string(values.count()) +
                                                        " rho values for " + std::to_string(rows) + " embeddings");
    }
    std::vector<float> floats(static_cast<std::size_t>(needed));
    OfflineArrayAccess::readFloats(values, floats);
    std::vector<double> widened(floats.size());
    VectorRoutines::vspdp(floats, widened.data());

    std::vector<std::vector<double>> result(static_cast<std::size_t>(rows));
    for (std::int64_t row = 0; row < rows; ++row) {
        const auto begin = widened.begin() + row * rhoDimension;
        result[static_cast<std::size_t>(row)].assign(begin, begin + rhoDimension);
    }
    return result;
}

}  // namespace Tervane
