#include "kmeans.hpp"

#include <cblas.h>
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

#include "thread_rng.hpp"

namespace tvdb {
namespace {

constexpr float kArgminStart = std::numeric_limits<float>::max();

// The product G = X * C^T is formed a block of rows at a time, so it never needs n x k
// floats at once and each block is still in cache when its rows are reduced to an argmin.
constexpr uint64_t kProductBlockFloats = uint64_t{1} << 20;

// Assignment runs on the calling thread; an OpenBLAS pool would compete with the caller's
// own threads, so the library is told once to stay single-threaded.
void keep_blas_single_threaded() {
    static const bool configured = [] {
        openblas_set_num_threads(1);
        return true;
    }();
    (void)configured;
}

// Squared norm in the kernels' fixed summation order: the inner product with itself.
float squared_norm(const float* v, uint64_t d) {
    std::span<const float> row(v, d);
    return -distance(Metric::DotProduct, row, row);
}

// Continues an argmin over one row of the matrix form from centroid `from` on.
uint64_t argmin_l2_row_scalar(float xnorm, const float* cnorm, const float* dots, uint64_t from,
                              uint64_t k, float& best, uint64_t best_index) {
    for (uint64_t j = from; j < k; ++j) {
        float d = (xnorm + cnorm[j]) - (dots[j] + dots[j]);
        if (d < best) {
            best = d;
            best_index = j;
        }
    }
    return best_index;
}

#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
// Eight lanes, lane l walking centroids l, l + 8, ...; each lane keeps its first strict
// minimum, so the lowest-valued lane (lowest index among equal values) is the first minimum
// of the whole row, as the sequential rule gives. NaN compares false and never enters.
__attribute__((target("avx2"))) uint64_t argmin_l2_row_avx2(float xnorm, const float* cnorm,
                                                             const float* dots, uint64_t k) {
    const uint64_t blocks_end = k & ~uint64_t{7};
    __m256 x = _mm256_set1_ps(xnorm);
    __m256 best = _mm256_set1_ps(kArgminStart);
    __m256i best_index = _mm256_setzero_si256();
    __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i step = _mm256_set1_epi32(8);
    for (uint64_t j = 0; j < blocks_end; j += 8) {
        __m256 g = _mm256_loadu_ps(dots + j);
        __m256 d = _mm256_sub_ps(_mm256_add_ps(x, _mm256_loadu_ps(cnorm + j)), _mm256_add_ps(g, g));
        __m256 smaller = _mm256_cmp_ps(d, best, _CMP_LT_OQ);
        best = _mm256_blendv_ps(best, d, smaller);
        best_index = _mm256_blendv_epi8(best_index, index, _mm256_castps_si256(smaller));
        index = _mm256_add_epi32(index, step);
    }
    alignas(32) float lane_best[8];
    alignas(32) int32_t lane_index[8];
    _mm256_store_ps(lane_best, best);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane_index), best_index);
    float best_value = kArgminStart;
    uint64_t best_at = 0;
    for (int lane = 0; lane < 8; ++lane) {
        uint64_t at = static_cast<uint64_t>(lane_index[lane]);
        if (lane_best[lane] < best_value || (lane_best[lane] == best_value && at < best_at)) {
            best_value = lane_best[lane];
            best_at = at;
        }
    }
    return argmin_l2_row_scalar(xnorm, cnorm, dots, blocks_end, k, best_value, best_at);
}

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

uint64_t argmin_l2_row(float xnorm, const float* cnorm, const float* dots, uint64_t k) {
#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
    // Lane indexes are 32-bit.
    if (cpu_has_avx2() && k <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return argmin_l2_row_avx2(xnorm, cnorm, dots, k);
    }
#endif
    float best = kArgminStart;
    return argmin_l2_row_scalar(xnorm, cnorm, dots, 0, k, best, 0);
}

bool fits_blas(uint64_t value) {
    return value <= static_cast<uint64_t>(std::numeric_limits<int>::max());
}

// NaN ranks after every number so that sorting keeps a strict weak order.
bool nearer(const RankedCentroid& a, const RankedCentroid& b) {
    if (std::isnan(b.distance)) return !std::isnan(a.distance);
    return a.distance < b.distance;
}

std::vector<uint64_t> random_permutation(uint64_t n) {
    std::vector<uint64_t> perm(n);
    for (uint64_t i = 0; i < n; ++i) perm[i] = i;
    auto& rng = thread_rng();
    for (uint64_t i = n; i-- > 1;) {
        std::uniform_int_distribution<uint64_t> pick(0, i);
        std::swap(perm[i], perm[pick(rng)]);
    }
    return perm;
}

// Moves every centroid that received vectors to the mean of its members.
void update_centroids(const float* vectors, uint64_t n, uint64_t d,
                      const std::vector<uint64_t>& assignment, uint64_t k,
                      std::vector<float>& centroids) {
    std::vector<float> sums(k * d, 0.0f);
    std::vector<uint64_t> counts(k, 0);
    for (uint64_t i = 0; i < n; ++i) {
        float* sum = sums.data() + assignment[i] * d;
        const float* v = vectors + i * d;
        for (uint64_t t = 0; t < d; ++t) sum[t] += v[t];
        ++counts[assignment[i]];
    }
    for (uint64_t j = 0; j < k; ++j) {
        if (counts[j] == 0) continue;
        const float count = static_cast<float>(counts[j]);
        for (uint64_t t = 0; t < d; ++t) centroids[j * d + t] = sums[j * d + t] / count;
    }
}

}  // namespace

void centroid_distances(Metric metric, std::span<const float> query, const float* centroids,
                        uint64_t n_centroids, float* out) {
    // Centroids are rows back to back: the row kernel measures several per pass over the
    // query and yields exactly what the batch-of-four kernel yields.
    distance_rows_ord(metric, query, centroids, n_centroids, out);
}

uint64_t nearest_centroid(Metric metric, std::span<const float> vector, const float* centroids,
                          uint64_t n_centroids) {
    constexpr uint64_t kGroup = 64;
    float distances[kGroup];
    float best = kArgminStart;
    uint64_t best_index = 0;
    for (uint64_t first = 0; first < n_centroids; first += kGroup) {
        const uint64_t count = std::min(kGroup, n_centroids - first);
        centroid_distances(metric, vector, centroids + first * vector.size(), count, distances);
        for (uint64_t c = 0; c < count; ++c) {
            if (distances[c] < best) {
                best = distances[c];
                best_index = first + c;
            }
        }
    }
    return best_index;
}

std::vector<RankedCentroid> nearest_centroids(Metric metric, std::span<const float> query,
                                              const float* centroids, uint64_t n_centroids,
                                              uint64_t count) {
    std::vector<float> distances(n_centroids);
    centroid_distances(metric, query, centroids, n_centroids, distances.data());
    std::vector<RankedCentroid> ranked(n_centroids);
    for (uint64_t j = 0; j < n_centroids; ++j) ranked[j] = {j, distances[j]};
    count = std::min(count, n_centroids);
    std::partial_sort(ranked.begin(), ranked.begin() + count, ranked.end(), nearer);
    ranked.resize(count);
    return ranked;
}

namespace {

// The matrix-form assignment; `xnorms`, when given, holds |x_i|^2 of every vector already
// (k-means reuses them in every round).
std::vector<uint64_t> assign_l2(const float* vectors, const float* xnorms, uint64_t n,
                                const float* centroids, uint64_t k, uint64_t d) {
    std::vector<uint64_t> assignment(n, 0);
    // Without dimensions every distance is 0 and centroid 0 wins; without centroids the
    // argmin rule answers 0 as well.
    if (n == 0 || k == 0 || d == 0) return assignment;
    if (!fits_blas(k) || !fits_blas(d)) {
        for (uint64_t i = 0; i < n; ++i) {
            assignment[i] = nearest_centroid(Metric::L2, {vectors + i * d, d}, centroids, k);
        }
        return assignment;
    }
    keep_blas_single_threaded();
    std::vector<float> cnorm(k);
    for (uint64_t j = 0; j < k; ++j) cnorm[j] = squared_norm(centroids + j * d, d);
    const uint64_t block_rows =
        std::clamp<uint64_t>(kProductBlockFloats / k, 1, std::numeric_limits<int>::max());
    // sgemm overwrites every entry (beta = 0), so the block needs no zeroing.
    std::unique_ptr<float[]> dots(new float[std::min(block_rows, n) * k]);
    for (uint64_t first = 0; first < n; first += block_rows) {
        const uint64_t rows = std::min(block_rows, n - first);
        const float* block = vectors + first * d;
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows),
                    static_cast<int>(k), static_cast<int>(d), 1.0f, block, static_cast<int>(d),
                    centroids, static_cast<int>(d), 0.0f, dots.get(), static_cast<int>(k));
        for (uint64_t r = 0; r < rows; ++r) {
            const float xnorm = xnorms ? xnorms[first + r] : squared_norm(block + r * d, d);
            assignment[first + r] = argmin_l2_row(xnorm, cnorm.data(), dots.get() + r * k, k);
        }
    }
    return assignment;
}

std::vector<uint64_t> assign_by_kernel(Metric metric, const float* vectors, uint64_t n,
                                       const float* centroids, uint64_t k, uint64_t d) {
    std::vector<uint64_t> assignment(n);
    for (uint64_t i = 0; i < n; ++i) {
        assignment[i] = nearest_centroid(metric, {vectors + i * d, d}, centroids, k);
    }
    return assignment;
}

}  // namespace

std::vector<uint64_t> batch_assign_l2_argmin(const float* vectors, uint64_t n,
                                             const float* centroids, uint64_t k, uint64_t d) {
    return assign_l2(vectors, nullptr, n, centroids, k, d);
}

std::vector<uint64_t> assign_to_centroids(Metric metric, const float* vectors, uint64_t n,
                                          const float* centroids, uint64_t k, uint64_t d) {
    if (metric == Metric::L2) return assign_l2(vectors, nullptr, n, centroids, k, d);
    return assign_by_kernel(metric, vectors, n, centroids, k, d);
}

KMeansResult train_kmeans(Metric metric, const float* vectors, uint64_t n, uint64_t dims,
                          uint64_t max_clusters, uint64_t max_iter) {
    KMeansResult result;
    result.k = std::min(n, max_clusters);
    const uint64_t k = result.k;
    std::vector<uint64_t> perm = random_permutation(n);
    result.centroids.resize(k * dims);
    for (uint64_t j = 0; j < k; ++j) {
        std::copy_n(vectors + perm[j] * dims, dims, result.centroids.begin() + j * dims);
    }
    result.assignment.assign(n, 0);
    // The vectors never change between rounds, so their norms are taken once.
    std::vector<float> xnorms;
    if (metric == Metric::L2 && max_iter > 0) {
        xnorms.resize(n);
        for (uint64_t i = 0; i < n; ++i) xnorms[i] = squared_norm(vectors + i * dims, dims);
    }
    for (uint64_t round = 0; round < max_iter; ++round) {
        const float* centroids = result.centroids.data();
        auto assignment = metric == Metric::L2
                              ? assign_l2(vectors, xnorms.data(), n, centroids, k, dims)
                              : assign_by_kernel(metric, vectors, n, centroids, k, dims);
        const bool changed = assignment != result.assignment;
        result.assignment = std::move(assignment);
        if (!changed) break;
        update_centroids(vectors, n, dims, result.assignment, k, result.centroids);
    }
    return result;
}

}  // namespace tvdb
