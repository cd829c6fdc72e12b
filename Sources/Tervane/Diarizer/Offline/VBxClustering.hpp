#pragma once

#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Diarizer/Offline/PLDATransform.hpp>
#include <Tervane/Platform/Signposter.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <cstdint>
#include <vector>

namespace Tervane {

/// What one VBx refinement hands back.
struct VBxOutput {
    std::vector<std::vector<double>> gamma;       // T rows of S responsibilities
    std::vector<double> pi;                       // S priors summing to 1
    std::vector<std::vector<int>> hardClusters;   // one list of T labels (none when T = 0)
    std::vector<std::vector<double>> centroids;   // always empty from refine
    int numClusters = 0;                          // S
    std::vector<double> elbos;                    // one per iteration that ran
};

/// Variational-Bayes refinement of a warm-start clustering over PLDA (rho) features, without
/// a transition term: every embedding is assigned independently, weighted by the priors.
class VBxClustering {
public:
    struct RunResult {
        std::vector<double> gamma;  // T × S, row-major
        std::vector<double> pi;     // S
        std::vector<double> elbos;
    };

    VBxClustering(OfflineDiarizerConfig config, PLDATransform pldaTransform);

    [[nodiscard]] const OfflineDiarizerConfig& config() const noexcept { return config_; }
    [[nodiscard]] const PLDATransform& pldaTransform() const noexcept { return pldaTransform_; }

    /// `rhoFeatures`: T rows of one length D. `initialClusters`: label k belongs to row k
    /// (at most T labels, expected 0 … S − 1). Never fails: a failure of the iteration is
    /// logged and the warm start returned.
    [[nodiscard]] VBxOutput refine(const std::vector<std::vector<double>>& rhoFeatures,
                                   const std::vector<int>& initialClusters) const;

    /// The iteration over flat row-major lists. Throws `ASRError::processingFailed` when a
    /// size does not fit a 32-bit signed integer.
    [[nodiscard]] RunResult runVBx(const std::vector<double>& features, std::int64_t frameCount,
                                   std::int64_t dimension, const std::vector<double>& phi,
                                   std::vector<double> initialGamma, std::int64_t speakerCount,
                                   int maxIterations, double epsilon, double Fa, double Fb,
                                   double initSmoothing) const;

    /// Cuts a flat T × S list into T rows of S values.
    [[nodiscard]] static std::vector<std::vector<double>> reshapeGamma(const std::vector<double>& gamma,
                                                                       std::int64_t frameCount,
                                                                       std::int64_t speakerCount);

private:
    OfflineDiarizerConfig config_;
    PLDATransform pldaTransform_;
    AppLogger logger_{"OfflineVBx"};
    Signposter signposter_;
};

}  // namespace Tervane
