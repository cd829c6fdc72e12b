// Clustering cost for about an hour of audio: ~5400 embeddings (one per active local speaker
// per 2 s hop). Agglomerative clustering of 256-value embeddings and VBx refinement of their
// 128-value rho features, on synthetic speakers (a random centre each plus per-embedding noise).

#include <Tervane/Diarizer/Offline/AHCClustering.hpp>
#include <Tervane/Diarizer/Offline/OfflineDiarizerConfig.hpp>
#include <Tervane/Diarizer/Offline/PLDATransform.hpp>
#include <Tervane/Diarizer/Offline/VBxClustering.hpp>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <vector>

namespace {

constexpr std::size_t embeddingCount = 5400;
constexpr std::size_t speakerCount = 8;

std::vector<std::vector<double>> speakerRows(std::size_t dimension, double noise, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<std::vector<double>> centres(speakerCount, std::vector<double>(dimension));
    for (auto& centre : centres) {
        for (double& value : centre) {
            value = normal(generator);
        }
    }
    std::vector<std::vector<double>> rows(embeddingCount, std::vector<double>(dimension));
    for (std::size_t i = 0; i < embeddingCount; ++i) {
        const auto& centre = centres[(i / 7) % speakerCount];  // speakers take turns in runs
        for (std::size_t d = 0; d < dimension; ++d) {
            rows[i][d] = centre[d] + noise * normal(generator);
        }
    }
    return rows;
}

void BM_AgglomerativeClustering(benchmark::State& state) {
    const auto rows = speakerRows(256, static_cast<double>(state.range(0)) / 10.0, 1);
    const Tervane::AHCClustering clustering;
    std::size_t clusters = 0;
    for (auto _ : state) {
        const std::vector<int> labels = clustering.cluster(rows, 0.7045655);
        clusters = labels.empty() ? 0 : static_cast<std::size_t>(*std::max_element(labels.begin(), labels.end()) + 1);
        benchmark::DoNotOptimize(labels.data());
    }
    state.counters["clusters"] = static_cast<double>(clusters);
}
// Noise ×10: 5 keeps the speakers apart; at 20 the noise swamps them and the cut leaves every
// embedding alone. The linkage does the same number of merges either way.
BENCHMARK(BM_AgglomerativeClustering)->Arg(5)->Arg(20)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_VBxRefinement(benchmark::State& state) {
    const auto rho = speakerRows(128, 1.0, 2);
    std::vector<int> warmStart(embeddingCount);
    for (std::size_t i = 0; i < embeddingCount; ++i) {
        warmStart[i] = static_cast<int>(i % (speakerCount + 2));  // a warm start with spurious clusters
    }
    const Tervane::VBxClustering vbx(Tervane::OfflineDiarizerConfig{},
                                     Tervane::PLDATransform(nullptr, std::vector<double>(128, 1.0)));
    std::size_t iterations = 0;
    for (auto _ : state) {
        const Tervane::VBxOutput output = vbx.refine(rho, warmStart);
        iterations = output.elbos.size();
        benchmark::DoNotOptimize(output.gamma.data());
    }
    state.counters["iterations"] = static_cast<double>(iterations);
}
BENCHMARK(BM_VBxRefinement)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
