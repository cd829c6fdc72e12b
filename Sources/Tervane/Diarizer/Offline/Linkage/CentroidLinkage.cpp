#include <Tervane/Diarizer/Offline/Linkage/CentroidLinkage.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define TERVANE_LINKAGE_AVX2 1
#endif

// The generic agglomerative algorithm specialised to centroid linkage on squared Euclidean
// distances: one nearest-neighbour candidate per node, kept in an indexed min-heap, repaired only
// when the candidate has been merged away. Memory is the centroids of merged clusters plus O(n).
namespace {

using Index = std::ptrdiff_t;

class nan_error final : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override { return "NaN dissimilarity"; }
};

// Distance kernels. Every sum runs over the components in order with one fused multiply-add per
// component, so a distance has the same bits however many are computed side by side; the batched
// kernels only interleave independent sums, one row per vector lane, to hide the latency.
constexpr int kLanes = 4;
constexpr int kBatch = 16;

/// out[r] = Σ_l (query[l] − rows[r][l])² for r < count ≤ kBatch.
using BatchKernel = void (*)(const double* query, const double* const* rows, int count, std::size_t dim,
                             double* out);

void squaredDistanceBatchPortable(const double* query, const double* const* rows, int count, std::size_t dim,
                                  double* out) {
    for (int r = 0; r < count; ++r) {
        double sum = 0.0;
        for (std::size_t l = 0; l < dim; ++l) {
            const double difference = query[l] - rows[r][l];
            sum = std::fma(difference, difference, sum);
        }
        out[r] = sum;
    }
}

#if TERVANE_LINKAGE_AVX2
/// `Groups` vectors of four rows. Components are read four at a time from each row and
/// transposed, so each lane still adds its row's components in order.
template <int Groups>
__attribute__((target("avx2,fma"))) void squaredDistanceGroupsAvx2(const double* query, const double* const* rows,
                                                                   std::size_t dim, double* out) {
    __m256d sums[Groups];
    #pragma GCC unroll 8
    for (int g = 0; g < Groups; ++g) {
        sums[g] = _mm256_setzero_pd();
    }
    std::size_t l = 0;
    for (; l + kLanes <= dim; l += kLanes) {
        const __m256d q0 = _mm256_broadcast_sd(query + l);
        const __m256d q1 = _mm256_broadcast_sd(query + l + 1);
        const __m256d q2 = _mm256_broadcast_sd(query + l + 2);
        const __m256d q3 = _mm256_broadcast_sd(query + l + 3);
        #pragma GCC unroll 8
        for (int g = 0; g < Groups; ++g) {
            const double* const* group = rows + g * kLanes;
            const __m256d a = _mm256_loadu_pd(group[0] + l);  // row 0, components l … l + 3
            const __m256d b = _mm256_loadu_pd(group[1] + l);
            const __m256d c = _mm256_loadu_pd(group[2] + l);
            const __m256d d = _mm256_loadu_pd(group[3] + l);
            const __m256d abLow = _mm256_unpacklo_pd(a, b);   // a0 b0 a2 b2
            const __m256d abHigh = _mm256_unpackhi_pd(a, b);  // a1 b1 a3 b3
            const __m256d cdLow = _mm256_unpacklo_pd(c, d);
            const __m256d cdHigh = _mm256_unpackhi_pd(c, d);
            const __m256d x0 = _mm256_permute2f128_pd(abLow, cdLow, 0x20);  // a0 b0 c0 d0
            const __m256d x1 = _mm256_permute2f128_pd(abHigh, cdHigh, 0x20);
            const __m256d x2 = _mm256_permute2f128_pd(abLow, cdLow, 0x31);
            const __m256d x3 = _mm256_permute2f128_pd(abHigh, cdHigh, 0x31);
            __m256d difference = _mm256_sub_pd(q0, x0);
            sums[g] = _mm256_fmadd_pd(difference, difference, sums[g]);
            difference = _mm256_sub_pd(q1, x1);
            sums[g] = _mm256_fmadd_pd(difference, difference, sums[g]);
            difference = _mm256_sub_pd(q2, x2);
            sums[g] = _mm256_fmadd_pd(difference, difference, sums[g]);
            difference = _mm256_sub_pd(q3, x3);
            sums[g] = _mm256_fmadd_pd(difference, difference, sums[g]);
        }
    }
    for (; l < dim; ++l) {
        const __m256d q = _mm256_broadcast_sd(query + l);
        #pragma GCC unroll 8
        for (int g = 0; g < Groups; ++g) {
            const double* const* group = rows + g * kLanes;
            const __m256d x = _mm256_set_pd(group[3][l], group[2][l], group[1][l], group[0][l]);
            const __m256d difference = _mm256_sub_pd(q, x);
            sums[g] = _mm256_fmadd_pd(difference, difference, sums[g]);
        }
    }
    #pragma GCC unroll 8
    for (int g = 0; g < Groups; ++g) {
        _mm256_storeu_pd(out + g * kLanes, sums[g]);
    }
}

__attribute__((target("avx2,fma"))) void squaredDistanceBatchAvx2(const double* query, const double* const* rows,
                                                                  int count, std::size_t dim, double* out) {
    // Pad the last group with copies of the first row; their results are dropped.
    const double* padded[kBatch];
    double sums[kBatch];
    const int groups = (count + kLanes - 1) / kLanes;
    for (int r = 0; r < groups * kLanes; ++r) {
        padded[r] = r < count ? rows[r] : rows[0];
    }
    switch (groups) {
        case 1: squaredDistanceGroupsAvx2<1>(query, padded, dim, sums); break;
        case 2: squaredDistanceGroupsAvx2<2>(query, padded, dim, sums); break;
        case 3: squaredDistanceGroupsAvx2<3>(query, padded, dim, sums); break;
        default: squaredDistanceGroupsAvx2<4>(query, padded, dim, sums); break;
    }
    std::copy_n(sums, count, out);
}

#endif

/// out[q * kLanes + r] = Σ_l (queries[q][l] − rows[r][l])² for q < kQueries, r < kLanes: the
/// observations' initial search shares each transposed block of rows among several queries.
constexpr int kQueries = 8;
using MultiQueryKernel = void (*)(const double* const* queries, const double* const* rows, std::size_t dim,
                                  double* out);

void squaredDistanceMultiQueryPortable(const double* const* queries, const double* const* rows, std::size_t dim,
                                       double* out) {
    #pragma GCC unroll 8
    for (int q = 0; q < kQueries; ++q) {
        squaredDistanceBatchPortable(queries[q], rows, kLanes, dim, out + q * kLanes);
    }
}

#if TERVANE_LINKAGE_AVX2
__attribute__((target("avx2,fma"))) void squaredDistanceMultiQueryAvx2(const double* const* queries,
                                                                       const double* const* rows, std::size_t dim,
                                                                       double* out) {
    __m256d sums[kQueries];
    #pragma GCC unroll 8
    for (int q = 0; q < kQueries; ++q) {
        sums[q] = _mm256_setzero_pd();
    }
    std::size_t l = 0;
    for (; l + kLanes <= dim; l += kLanes) {
        const __m256d a = _mm256_loadu_pd(rows[0] + l);
        const __m256d b = _mm256_loadu_pd(rows[1] + l);
        const __m256d c = _mm256_loadu_pd(rows[2] + l);
        const __m256d d = _mm256_loadu_pd(rows[3] + l);
        const __m256d abLow = _mm256_unpacklo_pd(a, b);
        const __m256d abHigh = _mm256_unpackhi_pd(a, b);
        const __m256d cdLow = _mm256_unpacklo_pd(c, d);
        const __m256d cdHigh = _mm256_unpackhi_pd(c, d);
        const __m256d x[kLanes] = {
            _mm256_permute2f128_pd(abLow, cdLow, 0x20), _mm256_permute2f128_pd(abHigh, cdHigh, 0x20),
            _mm256_permute2f128_pd(abLow, cdLow, 0x31), _mm256_permute2f128_pd(abHigh, cdHigh, 0x31)};
        #pragma GCC unroll 8
        for (int k = 0; k < kLanes; ++k) {
            #pragma GCC unroll 8
            for (int q = 0; q < kQueries; ++q) {
                const __m256d difference = _mm256_sub_pd(_mm256_broadcast_sd(queries[q] + l + k), x[k]);
                sums[q] = _mm256_fmadd_pd(difference, difference, sums[q]);
            }
        }
    }
    for (; l < dim; ++l) {
        const __m256d x = _mm256_set_pd(rows[3][l], rows[2][l], rows[1][l], rows[0][l]);
        #pragma GCC unroll 8
        for (int q = 0; q < kQueries; ++q) {
            const __m256d difference = _mm256_sub_pd(_mm256_broadcast_sd(queries[q] + l), x);
            sums[q] = _mm256_fmadd_pd(difference, difference, sums[q]);
        }
    }
    #pragma GCC unroll 8
    for (int q = 0; q < kQueries; ++q) {
        _mm256_storeu_pd(out + q * kLanes, sums[q]);
    }
}

bool hasAvx2Fma() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return supported;
}

BatchKernel batchKernel() { return hasAvx2Fma() ? &squaredDistanceBatchAvx2 : &squaredDistanceBatchPortable; }

MultiQueryKernel multiQueryKernel() {
    return hasAvx2Fma() ? &squaredDistanceMultiQueryAvx2 : &squaredDistanceMultiQueryPortable;
}
#else
BatchKernel batchKernel() { return &squaredDistanceBatchPortable; }
MultiQueryKernel multiQueryKernel() { return &squaredDistanceMultiQueryPortable; }
#endif

/// Squared Euclidean distances between observations (input rows, not copied) and the centroids
/// of the clusters merged so far (node n + k is centroid row k).
class CentroidDissimilarity {
public:
    CentroidDissimilarity(const double* data, Index n, std::size_t dim)
        : data_(data),
          n_(n),
          dim_(dim),
          centroids_(static_cast<std::size_t>(n - 1) * dim),
          members_(static_cast<std::size_t>(2 * n - 1), 1),
          kernel_(batchKernel()),
          multiQueryKernel_(multiQueryKernel()) {}

    [[nodiscard]] const double* row(Index v) const {
        return v < n_ ? data_ + static_cast<std::size_t>(v) * dim_
                      : centroids_.data() + static_cast<std::size_t>(v - n_) * dim_;
    }

    /// sqeuclidean_extended from `query` to each of `count` ≤ kBatch nodes. Throws `nan_error`
    /// for a NaN distance.
    void sqeuclidean_extended(Index query, const Index* nodes, int count, double* out) const {
        const double* rows[kBatch];
        for (int r = 0; r < count; ++r) {
            rows[r] = row(nodes[r]);
        }
        kernel_(row(query), rows, count, dim_, out);
        for (int r = 0; r < count; ++r) {
            if (std::isnan(out[r])) {
                throw nan_error();
            }
        }
    }

    /// Distances from kQueries observations `firstQuery`, … to the kLanes observations
    /// `firstRow`, …: out[q * kLanes + r]. Throws `nan_error` for a NaN distance.
    void sqeuclidean_observations(Index firstQuery, Index firstRow, double* out) const {
        const double* queries[kQueries];
        const double* rows[kLanes];
        for (int q = 0; q < kQueries; ++q) {
            queries[q] = row(firstQuery + q);
        }
        for (int r = 0; r < kLanes; ++r) {
            rows[r] = row(firstRow + r);
        }
        multiQueryKernel_(queries, rows, dim_, out);
        for (int i = 0; i < kQueries * kLanes; ++i) {
            if (std::isnan(out[i])) {
                throw nan_error();
            }
        }
    }

    /// Stores the centroid of a ∪ b as node v: the member-weighted mean of the two centroids.
    void merge(Index a, Index b, Index v) {
        const double ma = static_cast<double>(members_[static_cast<std::size_t>(a)]);
        const double mb = static_cast<double>(members_[static_cast<std::size_t>(b)]);
        const double total = ma + mb;
        const double* xa = row(a);
        const double* xb = row(b);
        double* xv = centroids_.data() + static_cast<std::size_t>(v - n_) * dim_;
        for (std::size_t l = 0; l < dim_; ++l) {
            xv[l] = std::fma(xa[l], ma, xb[l] * mb) / total;
        }
        members_[static_cast<std::size_t>(v)] =
            members_[static_cast<std::size_t>(a)] + members_[static_cast<std::size_t>(b)];
    }

private:
    const double* data_;
    Index n_;
    std::size_t dim_;
    std::vector<double> centroids_;
    std::vector<Index> members_;
    BatchKernel kernel_;
    MultiQueryKernel multiQueryKernel_;
};

/// The active nodes in increasing order. Nodes of clusters still to be made are linked from the
/// start; every walk stops at the node it searches for, so it never reaches them early.
class doubly_linked_list {
public:
    explicit doubly_linked_list(Index nodeCount)
        : next_(static_cast<std::size_t>(nodeCount + 1)), prev_(static_cast<std::size_t>(nodeCount + 1)) {
        for (Index i = 0; i < nodeCount; ++i) {
            next_[static_cast<std::size_t>(i)] = i + 1;
            prev_[static_cast<std::size_t>(i + 1)] = i;
        }
    }

    [[nodiscard]] Index first() const noexcept { return first_; }
    [[nodiscard]] Index next(Index v) const noexcept { return next_[static_cast<std::size_t>(v)]; }
    [[nodiscard]] bool isInactive(Index v) const noexcept { return next_[static_cast<std::size_t>(v)] == 0; }

    void remove(Index v) noexcept {
        const std::size_t i = static_cast<std::size_t>(v);
        if (v == first_) {
            first_ = next_[i];
        } else {
            next_[static_cast<std::size_t>(prev_[i])] = next_[i];
            prev_[static_cast<std::size_t>(next_[i])] = prev_[i];
        }
        next_[i] = 0;
    }

private:
    Index first_ = 0;
    std::vector<Index> next_;
    std::vector<Index> prev_;
};

/// Indexed binary min-heap over an external array of candidate distances.
class binary_min_heap {
public:
    /// Holds nodes 1 … count (position p holds node p + 1), heap-ordered on `values`.
    binary_min_heap(std::vector<double>& values, Index count, Index nodeCount)
        : values_(values),
          size_(count),
          P_(static_cast<std::size_t>(count)),
          Q_(static_cast<std::size_t>(nodeCount)) {
        for (Index p = 0; p < count; ++p) {
            P_[static_cast<std::size_t>(p)] = p + 1;
            Q_[static_cast<std::size_t>(p + 1)] = p;
        }
        for (Index p = size_ / 2 - 1; p >= 0; --p) {
            update_geq_(p);
        }
    }

    [[nodiscard]] Index top() const noexcept { return P_[0]; }

    void remove(Index v) noexcept {
        --size_;
        const Index last = P_[static_cast<std::size_t>(size_)];
        const Index position = Q_[static_cast<std::size_t>(v)];
        Q_[static_cast<std::size_t>(last)] = position;
        P_[static_cast<std::size_t>(position)] = last;
        if (value(last) <= value(v)) {
            update_leq_(position);
        } else {
            update_geq_(position);
        }
    }

    void replace(Index oldNode, Index newNode, double newValue) noexcept {
        const Index position = Q_[static_cast<std::size_t>(oldNode)];
        Q_[static_cast<std::size_t>(newNode)] = position;
        P_[static_cast<std::size_t>(position)] = newNode;
        values_[static_cast<std::size_t>(newNode)] = newValue;
        if (newValue <= value(oldNode)) {
            update_leq_(position);
        } else {
            update_geq_(position);
        }
    }

    void raise(Index v, double newValue) noexcept {
        values_[static_cast<std::size_t>(v)] = newValue;
        update_geq_(Q_[static_cast<std::size_t>(v)]);
    }

private:
    [[nodiscard]] double value(Index node) const noexcept { return values_[static_cast<std::size_t>(node)]; }
    [[nodiscard]] double H(Index p) const noexcept { return value(P_[static_cast<std::size_t>(p)]); }

    void swap(Index p, Index q) noexcept {
        std::swap(P_[static_cast<std::size_t>(p)], P_[static_cast<std::size_t>(q)]);
        Q_[static_cast<std::size_t>(P_[static_cast<std::size_t>(p)])] = p;
        Q_[static_cast<std::size_t>(P_[static_cast<std::size_t>(q)])] = q;
    }

    void update_geq_(Index p) noexcept {
        while (2 * p + 1 < size_) {
            Index j = 2 * p + 1;
            if (H(j) >= H(p)) {
                ++j;
                if (j >= size_ || H(j) >= H(p)) {
                    break;
                }
            } else if (j + 1 < size_ && H(j + 1) < H(j)) {
                ++j;
            }
            swap(p, j);
            p = j;
        }
    }

    void update_leq_(Index p) noexcept {
        while (p > 0 && H(p) < H((p - 1) / 2)) {
            swap(p, (p - 1) / 2);
            p = (p - 1) / 2;
        }
    }

    std::vector<double>& values_;
    Index size_;
    std::vector<Index> P_;
    std::vector<Index> Q_;
};

struct MergeRecord {
    Index node1;
    Index node2;
    double distance;
};

/// The node nearest to `query` among `first`, next(first), … up to (not including) `limit`, in
/// that order; only a strictly smaller distance replaces the candidate. `first` < `limit`.
struct Nearest {
    Index node;
    double distance;
};

template <typename Next>
Nearest nearestBelow(const CentroidDissimilarity& dissimilarity, Index query, Index first, Index limit, Next next) {
    Nearest best{first, 0.0};
    Index nodes[kBatch];
    double distances[kBatch];
    bool isFirst = true;
    for (Index j = first; j < limit;) {
        int count = 0;
        for (; count < kBatch && j < limit; ++count, j = next(j)) {
            nodes[count] = j;
        }
        dissimilarity.sqeuclidean_extended(query, nodes, count, distances);
        for (int r = 0; r < count; ++r) {
            if (isFirst || distances[r] < best.distance) {
                best = {nodes[r], distances[r]};
                isFirst = false;
            }
        }
    }
    return best;
}

Nearest nearestActiveBelow(const CentroidDissimilarity& dissimilarity, const doubly_linked_list& active,
                           Index query) {
    return nearestBelow(dissimilarity, query, active.first(), query, [&](Index j) { return active.next(j); });
}

/// cand[i] and dist[i] for every observation i ≥ 1: the nearest observation below it, the
/// first of equals. Blocks of kQueries observations share the rows every one of them compares
/// with; each observation still meets its rows in increasing order.
void initialCandidates(const CentroidDissimilarity& dissimilarity, Index n, std::vector<Index>& cand,
                       std::vector<double>& dist) {
    const auto plainNext = [](Index j) { return j + 1; };
    Index i = 1;
    for (; i + kQueries <= n; i += kQueries) {
        Nearest best[kQueries] = {};
        double distances[kQueries * kLanes];
        Index j = 0;
        for (; j + kLanes <= i; j += kLanes) {
            dissimilarity.sqeuclidean_observations(i, j, distances);
            for (int q = 0; q < kQueries; ++q) {
                for (int r = 0; r < kLanes; ++r) {
                    const double distance = distances[q * kLanes + r];
                    if (j + r == 0 || distance < best[q].distance) {
                        best[q] = {j + r, distance};
                    }
                }
            }
        }
        for (int q = 0; q < kQueries; ++q) {
            const Index query = i + q;
            if (j < query) {
                const Nearest rest = nearestBelow(dissimilarity, query, j, query, plainNext);
                if (j == 0 || rest.distance < best[q].distance) {
                    best[q] = rest;
                }
            }
            cand[static_cast<std::size_t>(query)] = best[q].node;
            dist[static_cast<std::size_t>(query)] = best[q].distance;
        }
    }
    for (; i < n; ++i) {
        const Nearest nearest = nearestBelow(dissimilarity, i, 0, i, plainNext);
        cand[static_cast<std::size_t>(i)] = nearest.node;
        dist[static_cast<std::size_t>(i)] = nearest.distance;
    }
}

void computeLinkage(const double* data, Index n, std::size_t dim, double* output) {
    CentroidDissimilarity dissimilarity(data, n, dim);
    doubly_linked_list active(2 * n - 1);
    std::vector<Index> cand(static_cast<std::size_t>(2 * n - 2));
    std::vector<double> dist(static_cast<std::size_t>(2 * n - 2));
    std::vector<MergeRecord> merges;
    merges.reserve(static_cast<std::size_t>(n - 1));

    // Every observation's nearest lower-numbered observation; all are active, so the walk is
    // plain counting.
    initialCandidates(dissimilarity, n, cand, dist);
    binary_min_heap heap(dist, n - 1, 2 * n - 2);

    for (Index k = 0; k < n - 1; ++k) {
        const Index v = n + k;
        Index a = heap.top();
        while (active.isInactive(cand[static_cast<std::size_t>(a)])) {
            const Nearest repaired = nearestActiveBelow(dissimilarity, active, a);
            cand[static_cast<std::size_t>(a)] = repaired.node;
            heap.raise(a, repaired.distance);
            a = heap.top();
        }
        const Index b = cand[static_cast<std::size_t>(a)];
        active.remove(a);
        active.remove(b);
        merges.push_back({a, b, dist[static_cast<std::size_t>(a)]});
        if (k == n - 2) {
            break;
        }

        dissimilarity.merge(a, b, v);
        const Nearest nearest = nearestActiveBelow(dissimilarity, active, v);
        cand[static_cast<std::size_t>(v)] = nearest.node;
        heap.remove(b < active.first() ? active.first() : b);
        heap.replace(a, v, nearest.distance);
    }

    for (std::size_t k = 0; k < merges.size(); ++k) {
        const MergeRecord& merge = merges[k];
        const auto size = [&](Index u) { return u < n ? 1.0 : output[static_cast<std::size_t>(u - n) * 4 + 3]; };
        double* row = output + k * 4;
        row[0] = static_cast<double>(std::min(merge.node1, merge.node2));
        row[1] = static_cast<double>(std::max(merge.node1, merge.node2));
        row[2] = std::sqrt(merge.distance);
        row[3] = size(merge.node1) + size(merge.node2);
    }
}

}  // namespace

extern "C" uint32_t fastcluster_compute_centroid_linkage(const double* data, size_t n, size_t dim, double* output,
                                                         size_t outputLength) {
    constexpr size_t sizeLimit = size_t{1} << 31;
    if (data == nullptr || output == nullptr) {
        return 1;
    }
    if (n == 0) {
        return 0;
    }
    if (dim == 0) {
        return 1;
    }
    if (n >= sizeLimit || dim >= sizeLimit) {
        return 2;
    }
    if (outputLength < 4 * n - 4) {
        return 3;
    }
    if (n == 1) {
        return 0;
    }
    try {
        computeLinkage(data, static_cast<Index>(n), dim, output);
        return 0;
    } catch (const std::bad_alloc&) {
        return 4;
    } catch (const std::exception&) {
        return 5;
    } catch (...) {
        return 255;
    }
}
