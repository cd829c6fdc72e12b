#include <Tervane/Diarizer/Offline/VBxClustering.hpp>

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiagnostics.hpp>
#include <Tervane/Platform/Error.hpp>
#include <Tervane/Shared/NumberText.hpp>

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <exception>
#include <limits>
#include <map>
#include <string>
#include <utility>

namespace Tervane {

namespace {

constexpr double logTwoPi = 1.8378770664093453;
constexpr double phiFloor = 1e-12;
constexpr double precisionFloor = 1e-12;
constexpr double precisionCeiling = 1e12;
constexpr double priorFloor = 1e-8;
constexpr double warmStartSmoothing = 7.0;

bool isPositiveFinite(double value) { return value > 0.0 && std::isfinite(value); }

double maximumOf(const double* values, std::size_t count) {
    double maximum = std::numeric_limits<double>::lowest();
    for (std::size_t i = 0; i < count; ++i) {
        if (values[i] > maximum) {
            maximum = values[i];
        }
    }
    return maximum;
}

// The BLAS products with their zero-sized cases handled here: BLAS rejects a leading dimension
// of 0, and with β = 0 an empty inner dimension means an all-zero result anyway.

/// out[c] = Σ_r matrix[r][c] (rows × columns, row-major).
void columnSums(const std::vector<double>& matrix, int rows, int columns, const std::vector<double>& ones,
                std::vector<double>& out) {
    if (rows == 0 || columns == 0) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    cblas_dgemv(CblasRowMajor, CblasTrans, rows, columns, 1.0, matrix.data(), columns, ones.data(), 1, 0.0,
                out.data(), 1);
}

/// out (m × n) = op(a) × op(b), row-major, with inner dimension k.
void multiply(CBLAS_TRANSPOSE transposeA, CBLAS_TRANSPOSE transposeB, int m, int n, int k, const double* a,
              int lda, const double* b, int ldb, std::vector<double>& out) {
    if (m == 0 || n == 0 || k == 0) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    cblas_dgemm(CblasRowMajor, transposeA, transposeB, m, n, k, 1.0, a, lda, b, ldb, 0.0, out.data(), n);
}

void requireInt32(std::int64_t value, const char* name) {
    if (value < 0 || value > std::numeric_limits<std::int32_t>::max()) {
        throw ASRError::processingFailed(std::string(name) + " exceeds supported range");
    }
}

std::string histogramText(const std::map<int, std::size_t>& histogram) {
    if (histogram.empty()) {
        return "[:]";
    }
    std::string text = "[";
    for (const auto& [label, count] : histogram) {
        if (text.size() > 1) {
            text += ", ";
        }
        text += std::to_string(label) + ": " + std::to_string(count);
    }
    return text + "]";
}

std::string describe(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Error*>(&error)) {
        return own->description();
    }
    return error.what();
}

}  // namespace

VBxClustering::VBxClustering(OfflineDiarizerConfig config, PLDATransform pldaTransform)
    : config_(std::move(config)),
      pldaTransform_(std::move(pldaTransform)),
      signposter_(OfflineDiagnostics::makeSignposter()) {}

VBxOutput VBxClustering::refine(const std::vector<std::vector<double>>& rhoFeatures,
                                const std::vector<int>& initialClusters) const {
    const auto frameCount = static_cast<std::int64_t>(rhoFeatures.size());
    if (frameCount == 0) {
        return {};
    }
    const auto dimension = static_cast<std::int64_t>(rhoFeatures.front().size());
    if (dimension == 0) {
        logger_.error("VBx received empty feature vectors");
        return {};
    }
    SignpostIntervalState interval = signposter_.beginInterval("VBx Clustering Algorithm");

    std::vector<double> phi = pldaTransform_.psi();
    if (static_cast<std::int64_t>(phi.size()) != dimension) {
        logger_.warning("PLDA psi dimension (" + std::to_string(phi.size()) + ") mismatches rho dimension (" +
                        std::to_string(dimension) + "); falling back to identity");
        phi.assign(static_cast<std::size_t>(dimension), 1.0);
    }

    std::map<int, std::size_t> histogram;
    for (const int label : initialClusters) {
        ++histogram[label];
    }
    const auto speakerCount = std::max<std::int64_t>(1, static_cast<std::int64_t>(histogram.size()));
    logger_.debug("VBx warm start clusters: " + std::to_string(speakerCount) +
                  " histogram: " + histogramText(histogram));

    const auto T = static_cast<std::size_t>(frameCount);
    const auto D = static_cast<std::size_t>(dimension);
    const auto S = static_cast<std::size_t>(speakerCount);
    std::vector<double> features(T * D, 0.0);
    for (std::size_t t = 0; t < T; ++t) {
        // Rows of another length are a caller error; copy what fits so none can overrun.
        const std::vector<double>& row = rhoFeatures[t];
        std::copy_n(row.begin(), std::min(row.size(), D), features.begin() + static_cast<std::ptrdiff_t>(t * D));
    }

    std::vector<double> initialGamma;
    if (initialClusters.empty()) {
        initialGamma.assign(T * S, 1.0 / static_cast<double>(S));
    } else {
        initialGamma.assign(T * S, 0.0);
        const std::size_t labelled = std::min(initialClusters.size(), T);
        for (std::size_t k = 0; k < labelled; ++k) {
            const auto column =
                static_cast<std::size_t>(std::clamp<std::int64_t>(initialClusters[k], 0, speakerCount - 1));
            initialGamma[k * S + column] = 1.0;
        }
    }

    const std::int64_t iterationLimit = std::clamp<std::int64_t>(
        config_.vbx.maxIterations, 0, std::numeric_limits<int>::max());
    RunResult run;
    try {
        run = runVBx(features, frameCount, dimension, phi, initialGamma, speakerCount,
                     static_cast<int>(iterationLimit), config_.vbx.convergenceTolerance,
                     config_.clustering.warmStartFa, config_.clustering.warmStartFb, warmStartSmoothing);
    } catch (const std::exception& error) {
        logger_.error("VBx failed to prepare BLAS arguments: " + describe(error));
        run.gamma = std::move(initialGamma);
        run.pi.assign(S, 1.0 / static_cast<double>(S));
        run.elbos.clear();
    }

    VBxOutput output;
    output.gamma = reshapeGamma(run.gamma, frameCount, speakerCount);
    std::vector<int> labels;
    labels.reserve(output.gamma.size());
    for (const std::vector<double>& row : output.gamma) {
        // max_element keeps the first of equal values: ties go to the lowest speaker.
        labels.push_back(row.empty() ? 0 : static_cast<int>(std::max_element(row.begin(), row.end()) - row.begin()));
    }
    if (run.pi.empty()) {
        logger_.debug("VBx mixture weights unavailable");
    } else {
        const auto [minimum, maximum] = std::minmax_element(run.pi.begin(), run.pi.end());
        logger_.debug("VBx mixture weights \u2013 min: " + NumberText::shortest(*minimum) +
                      ", max: " + NumberText::shortest(*maximum) + ", count: " + std::to_string(speakerCount));
    }
    output.pi = std::move(run.pi);
    output.hardClusters.push_back(std::move(labels));
    output.numClusters = static_cast<int>(speakerCount);
    output.elbos = std::move(run.elbos);
    signposter_.endInterval(interval);
    return output;
}

VBxClustering::RunResult VBxClustering::runVBx(const std::vector<double>& features, std::int64_t frameCount,
                                               std::int64_t dimension, const std::vector<double>& phi,
                                               std::vector<double> initialGamma, std::int64_t speakerCount,
                                               int maxIterations, double epsilon, double Fa, double Fb,
                                               double initSmoothing) const {
    requireInt32(frameCount, "VBx frame count");
    requireInt32(speakerCount, "VBx speaker count");
    requireInt32(dimension, "VBx feature dimension");
    const auto T = static_cast<std::size_t>(frameCount);
    const auto S = static_cast<std::size_t>(speakerCount);
    const auto D = static_cast<std::size_t>(dimension);
    if (features.size() < T * D || initialGamma.size() != T * S || phi.size() < D) {
        throw ASRError::processingFailed("VBx inputs do not match the frame count, speaker count and dimension");
    }
    const int rowsT = static_cast<int>(T);
    const int columnsS = static_cast<int>(S);
    const int columnsD = static_cast<int>(D);
    const double uniform = S > 0 ? 1.0 / static_cast<double>(S) : 0.0;
    std::vector<double>& gamma = initialGamma;

    const auto makeRowUniform = [&](double* row) { std::fill(row, row + S, uniform); };
    // Divides a row by `sum`, or makes it uniform when the sum is degenerate.
    const auto divideRowOrMakeUniform = [&](double* row, double sum) {
        if (!isPositiveFinite(sum)) {
            makeRowUniform(row);
            return;
        }
        for (std::size_t s = 0; s < S; ++s) {
            row[s] /= sum;
        }
    };
    if (initSmoothing >= 0.0) {
        // Softmax of the scaled warm start: a one-hot row keeps most weight on its label but
        // leaves every speaker reachable.
        for (std::size_t t = 0; t < T; ++t) {
            double* row = gamma.data() + t * S;
            for (std::size_t s = 0; s < S; ++s) {
                row[s] *= initSmoothing;
            }
            const double maximum = maximumOf(row, S);
            double sum = 0.0;
            for (std::size_t s = 0; s < S; ++s) {
                row[s] = std::exp(row[s] - maximum);
                sum += row[s];
            }
            divideRowOrMakeUniform(row, sum);
        }
    }
    for (std::size_t t = 0; t < T; ++t) {
        double* row = gamma.data() + t * S;
        double sum = 0.0;
        for (std::size_t s = 0; s < S; ++s) {
            sum += row[s];
        }
        divideRowOrMakeUniform(row, sum);
    }
    std::vector<double> pi(S, uniform);

    std::vector<double> phiFloored(D);
    std::vector<double> sqrtPhi(D);
    for (std::size_t d = 0; d < D; ++d) {
        phiFloored[d] = phi[d] <= phiFloor ? phiFloor : phi[d];
        sqrtPhi[d] = std::sqrt(phiFloored[d]);
    }
    std::vector<double> rho(T * D);
    std::vector<double> G(T);
    for (std::size_t t = 0; t < T; ++t) {
        const double* x = features.data() + t * D;
        double* r = rho.data() + t * D;
        double squares = 0.0;
        for (std::size_t d = 0; d < D; ++d) {
            r[d] = x[d] * sqrtPhi[d];
            squares += x[d] * x[d];
        }
        G[t] = -0.5 * (static_cast<double>(D) * logTwoPi + squares);
    }

    // Working matrices, allocated once for all iterations.
    const std::vector<double> ones(T, 1.0);
    const double ratio = Fa / Fb;
    std::vector<double> N(S);
    std::vector<double> invL(S * D);
    std::vector<double> alpha(S * D);
    std::vector<double> q(S);
    std::vector<double> logP(T * S);
    std::vector<double> lpi(S);
    std::vector<double> rowLikelihood(T);
    std::vector<double> exponentials(S);

    RunResult result;
    double previousElbo = 0.0;
    for (int iteration = 0; iteration < maxIterations; ++iteration) {
        columnSums(gamma, rowsT, columnsS, ones, N);

        // Speaker posteriors: precision and mean per dimension.
        multiply(CblasTrans, CblasNoTrans, columnsS, columnsD, rowsT, gamma.data(), std::max(1, columnsS),
                 rho.data(), std::max(1, columnsD), alpha);
        for (std::size_t s = 0; s < S; ++s) {
            double quadratic = 0.0;
            for (std::size_t d = 0; d < D; ++d) {
                const double denominator = 1.0 + ratio * N[s] * phiFloored[d];
                const double variance = denominator <= precisionFloor ? precisionCeiling : 1.0 / denominator;
                invL[s * D + d] = variance;
                const double mean = ratio * variance * alpha[s * D + d];
                alpha[s * D + d] = mean;
                quadratic += (variance + mean * mean) * phiFloored[d];
            }
            q[s] = quadratic;
        }

        multiply(CblasNoTrans, CblasTrans, rowsT, columnsS, columnsD, rho.data(), std::max(1, columnsD),
                 alpha.data(), std::max(1, columnsD), logP);
        for (std::size_t s = 0; s < S; ++s) {
            lpi[s] = std::log(std::max(pi[s], priorFloor));
        }
        for (std::size_t t = 0; t < T; ++t) {
            double* scores = logP.data() + t * S;
            for (std::size_t s = 0; s < S; ++s) {
                scores[s] = Fa * (scores[s] - 0.5 * q[s] + G[t]) + lpi[s];
            }
            const double maximum = maximumOf(scores, S);
            double sum = 0.0;
            for (std::size_t s = 0; s < S; ++s) {
                exponentials[s] = std::exp(scores[s] - maximum);
                sum += exponentials[s];
            }
            double* row = gamma.data() + t * S;
            if (isPositiveFinite(sum)) {
                for (std::size_t s = 0; s < S; ++s) {
                    row[s] = exponentials[s] / sum;
                }
                rowLikelihood[t] = maximum + std::log(sum);
            } else {
                makeRowUniform(row);
                rowLikelihood[t] = maximum;
            }
        }

        columnSums(gamma, rowsT, columnsS, ones, pi);
        double total = 0.0;
        for (const double weight : pi) {
            total += weight;
        }
        if (isPositiveFinite(total)) {
            for (double& weight : pi) {
                weight /= total;
            }
        } else {
            std::fill(pi.begin(), pi.end(), uniform);
        }

        double likelihood = 0.0;
        for (const double value : rowLikelihood) {
            likelihood += value;
        }
        double logVariances = 0.0;
        double variances = 0.0;
        double squaredMeans = 0.0;
        for (std::size_t i = 0; i < S * D; ++i) {
            logVariances += std::log(invL[i]);
            variances += invL[i];
            squaredMeans += alpha[i] * alpha[i];
        }
        const double elbo = likelihood + (Fb / 2.0) * (logVariances - variances - squaredMeans +
                                                       static_cast<double>(S) * static_cast<double>(D));
        result.elbos.push_back(elbo);
        if (iteration > 0 && std::abs(elbo - previousElbo) < epsilon) {
            break;
        }
        previousElbo = elbo;
    }

    result.gamma = std::move(gamma);
    result.pi = std::move(pi);
    return result;
}

std::vector<std::vector<double>> VBxClustering::reshapeGamma(const std::vector<double>& gamma,
                                                             std::int64_t frameCount, std::int64_t speakerCount) {
    std::vector<std::vector<double>> rows;
    if (frameCount <= 0) {
        return rows;
    }
    const auto S = static_cast<std::size_t>(std::max<std::int64_t>(0, speakerCount));
    rows.reserve(static_cast<std::size_t>(frameCount));
    for (std::size_t t = 0; t < static_cast<std::size_t>(frameCount); ++t) {
        // A short list leaves the missing rows empty rather than reading past its end.
        const std::size_t begin = std::min(gamma.size(), t * S);
        const std::size_t end = std::min(gamma.size(), begin + S);
        rows.emplace_back(gamma.begin() + static_cast<std::ptrdiff_t>(begin),
                          gamma.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return rows;
}

}  // namespace Tervane
