#pragma once

#include <Tervane/Platform/ANEMemoryOptimizer.hpp>
#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstdint>
#include <memory>
#include <stop_token>
#include <vector>

namespace Tervane {

/// Projects 256-value speaker embeddings into the 128-value PLDA space that VBx works in,
/// through the rho model, and carries the PLDA prior psi. Copies share the model and the
/// buffer pool, so two projections on one transform (or its copies) must not overlap.
class PLDATransform {
public:
    static constexpr std::int64_t embeddingDimension = 256;
    static constexpr std::int64_t rhoDimension = 128;
    static constexpr std::int64_t maxBatchSize = 32;

    PLDATransform(std::shared_ptr<MLModel> pldaRhoModel, std::vector<double> psi);

    [[nodiscard]] const std::shared_ptr<MLModel>& pldaRhoModel() const noexcept { return pldaRhoModel_; }
    [[nodiscard]] const std::vector<double>& psi() const noexcept { return psi_; }
    [[nodiscard]] const std::vector<double>& phiParameters() const noexcept { return psi_; }
    [[nodiscard]] const std::shared_ptr<ANEMemoryOptimizer>& memoryOptimizer() const noexcept {
        return memoryOptimizer_;
    }

    /// One rho vector per embedding, in input order, projected `maxBatchSize` at a time after
    /// one warm-up prediction. An empty list costs nothing. Throws
    /// `OfflineDiarizationError::invalidConfiguration` before any model call when an embedding
    /// does not hold 256 values, `invalidBatchSize` / `processingFailed` from a batch, the
    /// model's own failures, and `CancellationError` when `stopToken` is set before a batch.
    [[nodiscard]] std::vector<std::vector<double>> transform(const std::vector<std::vector<float>>& embeddings,
                                                             std::stop_token stopToken = {}) const;
    /// One embedding; the same failures ("-dim embedding" in the singular message).
    [[nodiscard]] std::vector<double> transform(const std::vector<float>& embedding,
                                                std::stop_token stopToken = {}) const;

    /// Cosine similarity of two rho vectors; 0 unless `a` has 128 values and `b` as many, and 0
    /// for a zero vector.
    [[nodiscard]] double score(const std::vector<double>& a, const std::vector<double>& b) const;

private:
    void performWarmup() const;
    [[nodiscard]] std::vector<std::vector<double>> transformBatch(std::span<const std::vector<float>> batch) const;

    std::shared_ptr<MLModel> pldaRhoModel_;
    std::vector<double> psi_;
    std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_;
    AppLogger logger_{"OfflinePLDA"};
};

}  // namespace Tervane
