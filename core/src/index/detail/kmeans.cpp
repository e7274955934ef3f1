#include "kmeans.hpp"

#include <cblas.h>
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>

#include "detail/single_threaded_blas.hpp"
#include "detail/thread_rng.hpp"
#include "simd_level.hpp"

namespace tvdb {
namespace {

constexpr float kArgminStart = std::numeric_limits<float>::max();

// The product G = X * C^T is formed a block of rows at a time, so it never needs n x k
// floats at once, each block is still in cache when its rows are reduced to an argmin, and
// rows gathered for a block are still in cache when sgemm packs them.
constexpr uint64_t kProductBlockFloats = uint64_t{1} << 19;

// Squared norm in the kernels' fixed summation order: the inner product with itself.
float squared_norm(const float* v, uint64_t d) {
    std::span<const float> row(v, d);
    return -distance(Metric::DotProduct, row, row);
}

// The nearest centroid of one row of the matrix form, with the smallest value of the row
// and the smallest among the other centroids (kArgminStart when there is none).
struct RowArgmin {
    uint64_t index = 0;
    float best = kArgminStart;
    float second = kArgminStart;
};

// Continues an argmin over one row of the matrix form from centroid `from` on.
void argmin_l2_row_scalar(float xnorm, const float* cnorm, const float* dots, uint64_t from,
                          uint64_t k, RowArgmin& row) {
    for (uint64_t j = from; j < k; ++j) {
        float d = (xnorm + cnorm[j]) - (dots[j] + dots[j]);
        if (d < row.best) {
            row.second = row.best;
            row.best = d;
            row.index = j;
        } else if (d < row.second) {
            row.second = d;
        }
    }
}

#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
// Eight lanes, lane l walking centroids l, l + 8, ...; each lane keeps its first strict
// minimum, so the lowest-valued lane (lowest index among equal values) is the first minimum
// of the whole row, as the sequential rule gives. NaN compares false and never enters.
TVDB_TARGET_AVX2 RowArgmin argmin_l2_row_avx2(float xnorm, const float* cnorm,
                                              const float* dots, uint64_t k) {
    const uint64_t blocks_end = k & ~uint64_t{7};
    __m256 x = _mm256_set1_ps(xnorm);
    __m256 best = _mm256_set1_ps(kArgminStart);
    __m256 second = best;
    __m256i best_index = _mm256_setzero_si256();
    __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i step = _mm256_set1_epi32(8);
    for (uint64_t j = 0; j < blocks_end; j += 8) {
        __m256 g = _mm256_loadu_ps(dots + j);
        __m256 d = _mm256_sub_ps(_mm256_add_ps(x, _mm256_loadu_ps(cnorm + j)), _mm256_add_ps(g, g));
        __m256 smaller = _mm256_cmp_ps(d, best, _CMP_LT_OQ);
        // min_ps answers its second operand when the first is NaN.
        second = _mm256_blendv_ps(_mm256_min_ps(d, second), best, smaller);
        best = _mm256_blendv_ps(best, d, smaller);
        best_index = _mm256_blendv_epi8(best_index, index, _mm256_castps_si256(smaller));
        index = _mm256_add_epi32(index, step);
    }
    alignas(32) float lane_best[8];
    alignas(32) float lane_second[8];
    alignas(32) int32_t lane_index[8];
    _mm256_store_ps(lane_best, best);
    _mm256_store_ps(lane_second, second);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane_index), best_index);
    int winner = 0;
    for (int lane = 1; lane < 8; ++lane) {
        if (lane_best[lane] < lane_best[winner] ||
            (lane_best[lane] == lane_best[winner] && lane_index[lane] < lane_index[winner])) {
            winner = lane;
        }
    }
    RowArgmin row{static_cast<uint64_t>(lane_index[winner]), lane_best[winner], kArgminStart};
    for (int lane = 0; lane < 8; ++lane) {
        row.second = std::min(row.second, lane_second[lane]);
        if (lane != winner) row.second = std::min(row.second, lane_best[lane]);
    }
    argmin_l2_row_scalar(xnorm, cnorm, dots, blocks_end, k, row);
    return row;
}

// The same rule on 32 lanes held in two registers, lane l walking centroids l, l + 32, ...:
// two independent chains of compares and blends overlap, and the lanes are combined in
// registers (a scalar pass over 32 lanes would cost more than the row).
TVDB_TARGET_AVX512 RowArgmin argmin_l2_row_avx512(float xnorm, const float* cnorm,
                                                  const float* dots, uint64_t k) {
    const uint64_t blocks_end = k & ~uint64_t{31};
    const __m512 x = _mm512_set1_ps(xnorm);
    __m512 best[2] = {_mm512_set1_ps(kArgminStart), _mm512_set1_ps(kArgminStart)};
    __m512 second[2] = {best[0], best[0]};
    __m512i best_index[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
    __m512i index[2] = {_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                        _mm512_setr_epi32(16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31)};
    const __m512i step = _mm512_set1_epi32(32);
    for (uint64_t j = 0; j < blocks_end; j += 32) {
        for (int h = 0; h < 2; ++h) {
            const __m512 g = _mm512_loadu_ps(dots + j + 16 * h);
            const __m512 d = _mm512_sub_ps(_mm512_add_ps(x, _mm512_loadu_ps(cnorm + j + 16 * h)),
                                           _mm512_add_ps(g, g));
            const __mmask16 smaller = _mm512_cmp_ps_mask(d, best[h], _CMP_LT_OQ);
            second[h] = _mm512_mask_blend_ps(smaller, _mm512_min_ps(d, second[h]), best[h]);
            best[h] = _mm512_mask_blend_ps(smaller, best[h], d);
            best_index[h] = _mm512_mask_blend_epi32(smaller, best_index[h], index[h]);
            index[h] = _mm512_add_epi32(index[h], step);
        }
    }
    // The winner is the lowest index among the lanes holding the smallest value; the second
    // value is the smallest of every lane's second and of the other lanes' best.
    const __m512 lowest = _mm512_min_ps(best[0], best[1]);
    const float winner_value = _mm512_reduce_min_ps(lowest);
    const __m512 winner_splat = _mm512_set1_ps(winner_value);
    const __m512i no_index = _mm512_set1_epi32(std::numeric_limits<int32_t>::max());
    __m512i candidates = no_index;
    for (int h = 0; h < 2; ++h) {
        const __mmask16 holds = _mm512_cmp_ps_mask(best[h], winner_splat, _CMP_EQ_OQ);
        candidates = _mm512_min_epi32(candidates, _mm512_mask_blend_epi32(holds, no_index, best_index[h]));
    }
    const int32_t winner_index = _mm512_reduce_min_epi32(candidates);
    const __m512i winner_index_splat = _mm512_set1_epi32(winner_index);
    __m512 others = _mm512_min_ps(second[0], second[1]);
    for (int h = 0; h < 2; ++h) {
        const __mmask16 is_winner = _mm512_cmp_ps_mask(best[h], winner_splat, _CMP_EQ_OQ) &
                                    _mm512_cmpeq_epi32_mask(best_index[h], winner_index_splat);
        others = _mm512_mask_min_ps(others, static_cast<__mmask16>(~is_winner), others, best[h]);
    }
    RowArgmin row{static_cast<uint64_t>(winner_index), winner_value, _mm512_reduce_min_ps(others)};
    argmin_l2_row_scalar(xnorm, cnorm, dots, blocks_end, k, row);
    return row;
}
#endif

RowArgmin argmin_l2_row(float xnorm, const float* cnorm, const float* dots, uint64_t k) {
#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
    // Lane indexes are 32-bit.
    if (k <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        const SimdLevel level = simd_level();
        if (level == SimdLevel::Avx512) return argmin_l2_row_avx512(xnorm, cnorm, dots, k);
        if (level == SimdLevel::Avx2) return argmin_l2_row_avx2(xnorm, cnorm, dots, k);
    }
#endif
    RowArgmin row;
    argmin_l2_row_scalar(xnorm, cnorm, dots, 0, k, row);
    return row;
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

// Adds every vector to the sum of its cluster, in vector order: each component of a sum is
// a chain of single additions, whatever width the loop runs at.
[[gnu::always_inline]] inline void add_members(const float* vectors, uint64_t n, uint64_t d,
                                               const uint64_t* assignment, float* sums) {
    for (uint64_t i = 0; i < n; ++i) {
        float* sum = sums + assignment[i] * d;
        const float* v = vectors + i * d;
        for (uint64_t t = 0; t < d; ++t) sum[t] += v[t];
    }
}

#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
TVDB_TARGET_AVX512 void add_members_avx512(const float* vectors, uint64_t n, uint64_t d,
                                           const uint64_t* assignment, float* sums) {
    add_members(vectors, n, d, assignment, sums);
}
TVDB_TARGET_AVX2 void add_members_avx2(const float* vectors, uint64_t n, uint64_t d,
                                       const uint64_t* assignment, float* sums) {
    add_members(vectors, n, d, assignment, sums);
}
#endif

// Moves every centroid that received vectors to the mean of its members.
void update_centroids(const float* vectors, uint64_t n, uint64_t d,
                      const std::vector<uint64_t>& assignment, uint64_t k,
                      std::vector<float>& centroids) {
    std::vector<float> sums(k * d, 0.0f);
    std::vector<uint64_t> counts(k, 0);
    for (uint64_t i = 0; i < n; ++i) ++counts[assignment[i]];
#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
    const SimdLevel level = simd_level();
    if (level == SimdLevel::Avx512) {
        add_members_avx512(vectors, n, d, assignment.data(), sums.data());
    } else if (level == SimdLevel::Avx2) {
        add_members_avx2(vectors, n, d, assignment.data(), sums.data());
    } else
#endif
    {
        add_members(vectors, n, d, assignment.data(), sums.data());
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

// Buffers of the matrix form, kept by a caller that runs it round after round.
struct ProductScratch {
    std::vector<float> cnorm;
    std::vector<float> dots;
    std::vector<float> gathered;
};

// The matrix-form argmin of n vectors: rows `which[0..n)` of `vectors` when `which` is given,
// else rows 0..n. `xnorms`, when given, holds |x|^2 of every row of `vectors` (k-means reuses
// them in every round). Results go to `out[0..n)`.
void argmin_l2_rows(const float* vectors, const float* xnorms, const uint64_t* which, uint64_t n,
                    const float* centroids, uint64_t k, uint64_t d, ProductScratch& scratch,
                    RowArgmin* out) {
    // Without dimensions every distance is 0 and centroid 0 wins; without centroids the
    // argmin rule answers 0 as well.
    if (n == 0 || k == 0 || d == 0) {
        for (uint64_t i = 0; i < n; ++i) out[i] = {0, k == 0 ? kArgminStart : 0.0f, k > 1 ? 0.0f : kArgminStart};
        return;
    }
    auto row_of = [which](uint64_t i) { return which ? which[i] : i; };
    if (!fits_blas(k) || !fits_blas(d)) {
        // Beyond what one sgemm call can address; the kernel form gives no second value, so
        // no row is ever skipped by bounds.
        for (uint64_t i = 0; i < n; ++i) {
            out[i] = {nearest_centroid(Metric::L2, {vectors + row_of(i) * d, d}, centroids, k), 0.0f, 0.0f};
        }
        return;
    }
    keep_blas_single_threaded();
    scratch.cnorm.resize(k);
    for (uint64_t j = 0; j < k; ++j) scratch.cnorm[j] = squared_norm(centroids + j * d, d);
    const uint64_t block_rows =
        std::clamp<uint64_t>(kProductBlockFloats / k, 1, std::numeric_limits<int>::max());
    // sgemm overwrites every entry (beta = 0), so the blocks need no zeroing.
    scratch.dots.resize(std::min(block_rows, n) * k);
    if (which) scratch.gathered.resize(std::min(block_rows, n) * d);
    for (uint64_t first = 0; first < n; first += block_rows) {
        const uint64_t rows = std::min(block_rows, n - first);
        const float* block = vectors + first * d;
        if (which) {
            // Listed rows are copied a block at a time, so each is still in cache when sgemm
            // packs it.
            for (uint64_t r = 0; r < rows; ++r) {
                std::copy_n(vectors + which[first + r] * d, d, scratch.gathered.data() + r * d);
            }
            block = scratch.gathered.data();
        }
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows),
                    static_cast<int>(k), static_cast<int>(d), 1.0f, block, static_cast<int>(d),
                    centroids, static_cast<int>(d), 0.0f, scratch.dots.data(), static_cast<int>(k));
        for (uint64_t r = 0; r < rows; ++r) {
            const float xnorm = xnorms ? xnorms[row_of(first + r)] : squared_norm(block + r * d, d);
            out[first + r] = argmin_l2_row(xnorm, scratch.cnorm.data(), scratch.dots.data() + r * k, k);
        }
    }
}

std::vector<uint64_t> assign_l2(const float* vectors, uint64_t n, const float* centroids,
                                uint64_t k, uint64_t d) {
    std::vector<RowArgmin> rows(n);
    ProductScratch scratch;
    argmin_l2_rows(vectors, nullptr, nullptr, n, centroids, k, d, scratch, rows.data());
    std::vector<uint64_t> assignment(n);
    for (uint64_t i = 0; i < n; ++i) assignment[i] = rows[i].index;
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
    return assign_l2(vectors, n, centroids, k, d);
}

std::vector<uint64_t> assign_to_centroids(Metric metric, const float* vectors, uint64_t n,
                                          const float* centroids, uint64_t k, uint64_t d) {
    if (metric == Metric::L2) return assign_l2(vectors, n, centroids, k, d);
    return assign_by_kernel(metric, vectors, n, centroids, k, d);
}

namespace {

// Lloyd's rounds under L2 skip the vectors whose nearest centroid cannot have changed.
// Every measured vector keeps an upper bound on its distance to its own centroid and a lower
// bound on its distance to every other centroid, both loosened by how far the centroids move
// (triangle inequality). A vector whose bounds stay apart by more than the rounding error of
// the matrix form keeps its centroid unmeasured; every other vector is measured again, so a
// round assigns what a full round would.
class BoundedL2Assignment {
public:
    BoundedL2Assignment(const float* vectors, uint64_t n, uint64_t d)
        : vectors_(vectors), n_(n), d_(d), xnorms_(n), upper_(n), lower_(n) {
        for (uint64_t i = 0; i < n; ++i) xnorms_[i] = squared_norm(vectors + i * d, d);
    }

    // Assigns every vector for `centroids`; returns whether any assignment changed.
    bool assign(const std::vector<float>& centroids, uint64_t k, std::vector<uint64_t>& assignment) {
        for (uint64_t j = 0; j < k; ++j) {
            max_cnorm_ = std::max(max_cnorm_, squared_norm(centroids.data() + j * d_, d_));
        }
        stale_.clear();
        for (uint64_t i = 0; i < n_; ++i) {
            if (!measured_ || !(upper_[i] + margin(i) < lower_[i])) stale_.push_back(i);
        }
        measured_ = true;
        if (stale_.empty()) return false;
        rows_.resize(stale_.size());
        const bool all = stale_.size() == n_;
        argmin_l2_rows(vectors_, xnorms_.data(), all ? nullptr : stale_.data(), stale_.size(),
                       centroids.data(), k, d_, scratch_, rows_.data());
        bool changed = false;
        for (size_t s = 0; s < stale_.size(); ++s) {
            const uint64_t i = stale_[s];
            changed |= assignment[i] != rows_[s].index;
            assignment[i] = rows_[s].index;
            upper_[i] = root(rows_[s].best);
            lower_[i] = root(rows_[s].second);
        }
        return changed;
    }

    // Loosens the bounds by the distance each centroid moved.
    void centroids_moved(const std::vector<float>& before, const std::vector<float>& after,
                         uint64_t k, const std::vector<uint64_t>& assignment) {
        std::vector<float> drift(k);
        float largest = 0.0f, second_largest = 0.0f;
        uint64_t largest_at = 0;
        for (uint64_t j = 0; j < k; ++j) {
            float sum = 0.0f;
            for (uint64_t t = 0; t < d_; ++t) {
                const float step = after[j * d_ + t] - before[j * d_ + t];
                sum += step * step;
            }
            // Rounded up past the error of the sum, so the bounds only ever loosen.
            drift[j] = std::sqrt(sum) * (1.0f + relative_error()) + std::numeric_limits<float>::min();
            if (drift[j] > largest) {
                second_largest = largest;
                largest = drift[j];
                largest_at = j;
            } else if (drift[j] > second_largest) {
                second_largest = drift[j];
            }
        }
        for (uint64_t i = 0; i < n_; ++i) {
            upper_[i] += drift[assignment[i]];
            lower_[i] -= assignment[i] == largest_at ? second_largest : largest;
        }
    }

private:
    static float root(float squared) { return squared > 0.0f ? std::sqrt(squared) : 0.0f; }
    // Bound on the relative rounding error of a d-term sum, with room to spare.
    float relative_error() const {
        return 4.0f * static_cast<float>(d_ + 2) * std::numeric_limits<float>::epsilon();
    }
    // The matrix form's squared value may be off by E = err * (|x|^2 + |c|^2); a gap of
    // 4 sqrt(E) between the distance bounds keeps every other centroid strictly behind.
    float margin(uint64_t i) const {
        return 4.0f * std::sqrt(relative_error() * (xnorms_[i] + max_cnorm_));
    }

    const float* vectors_;
    uint64_t n_;
    uint64_t d_;
    std::vector<float> xnorms_;
    std::vector<float> upper_;
    std::vector<float> lower_;
    bool measured_ = false;
    float max_cnorm_ = 0.0f;
    // Reused from round to round.
    std::vector<uint64_t> stale_;
    std::vector<RowArgmin> rows_;
    ProductScratch scratch_;
};

}  // namespace

KMeansResult lloyd_rounds(Metric metric, const float* vectors, uint64_t n, uint64_t dims,
                          std::vector<float> centroids, uint64_t k, uint64_t max_iter) {
    KMeansResult result;
    result.k = k;
    result.centroids = std::move(centroids);
    result.assignment.assign(n, 0);
    std::optional<BoundedL2Assignment> bounded;
    if (metric == Metric::L2 && max_iter > 0) bounded.emplace(vectors, n, dims);
    std::vector<float> before;
    for (uint64_t round = 0; round < max_iter; ++round) {
        bool changed;
        if (bounded) {
            changed = bounded->assign(result.centroids, k, result.assignment);
        } else {
            auto assignment = assign_by_kernel(metric, vectors, n, result.centroids.data(), k, dims);
            changed = assignment != result.assignment;
            result.assignment = std::move(assignment);
        }
        if (!changed) break;
        if (bounded) before = result.centroids;
        update_centroids(vectors, n, dims, result.assignment, k, result.centroids);
        if (bounded) bounded->centroids_moved(before, result.centroids, k, result.assignment);
    }
    return result;
}

Result<void> check_kmeans_rounds(const char* field, uint64_t rounds) {
    if (rounds <= kMaxKMeansRounds) return {};
    return fail(VectorDbError::invalid_config(std::string(field) + " must be at most " +
                                              std::to_string(kMaxKMeansRounds) + ", got " +
                                              std::to_string(rounds)));
}

KMeansResult train_kmeans(Metric metric, const float* vectors, uint64_t n, uint64_t dims,
                          uint64_t max_clusters, uint64_t max_iter) {
    const uint64_t k = std::min(n, max_clusters);
    std::vector<uint64_t> perm = random_permutation(n);
    std::vector<float> centroids(k * dims);
    for (uint64_t j = 0; j < k; ++j) {
        std::copy_n(vectors + perm[j] * dims, dims, centroids.begin() + j * dims);
    }
    return lloyd_rounds(metric, vectors, n, dims, std::move(centroids), k, max_iter);
}

}  // namespace tvdb
