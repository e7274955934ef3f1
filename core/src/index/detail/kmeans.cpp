#include "kmeans.hpp"

#include <cblas.h>
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>

#include "detail/single_threaded_blas.hpp"
#include "detail/thread_rng.hpp"

namespace tvdb {
namespace {

constexpr float kArgminStart = std::numeric_limits<float>::max();

// The product G = X * C^T is formed a block of rows at a time, so it never needs n x k
// floats at once and each block is still in cache when its rows are reduced to an argmin.
constexpr uint64_t kProductBlockFloats = uint64_t{1} << 20;

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
// Eight lanes, lane l walking centroids l, l + 8, ...; each lane keeps its first strict
// minimum, so the lowest-valued lane (lowest index among equal values) is the first minimum
// of the whole row, as the sequential rule gives. NaN compares false and never enters.
__attribute__((target("avx2"))) RowArgmin argmin_l2_row_avx2(float xnorm, const float* cnorm,
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

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

RowArgmin argmin_l2_row(float xnorm, const float* cnorm, const float* dots, uint64_t k) {
#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
    // Lane indexes are 32-bit.
    if (cpu_has_avx2() && k <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return argmin_l2_row_avx2(xnorm, cnorm, dots, k);
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

// The matrix-form argmin of each of n vectors; `xnorms`, when given, holds |x_i|^2 of every
// vector already (k-means reuses them in every round). Rows go to `out[0..n)`.
void argmin_l2_rows(const float* vectors, const float* xnorms, uint64_t n,
                    const float* centroids, uint64_t k, uint64_t d, RowArgmin* out) {
    // Without dimensions every distance is 0 and centroid 0 wins; without centroids the
    // argmin rule answers 0 as well.
    if (n == 0 || k == 0 || d == 0) {
        for (uint64_t i = 0; i < n; ++i) out[i] = {0, k == 0 ? kArgminStart : 0.0f, k > 1 ? 0.0f : kArgminStart};
        return;
    }
    if (!fits_blas(k) || !fits_blas(d)) {
        // Beyond what one sgemm call can address; the kernel form gives no second value, so
        // no row is ever skipped by bounds.
        for (uint64_t i = 0; i < n; ++i) {
            out[i] = {nearest_centroid(Metric::L2, {vectors + i * d, d}, centroids, k), 0.0f, 0.0f};
        }
        return;
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
            out[first + r] = argmin_l2_row(xnorm, cnorm.data(), dots.get() + r * k, k);
        }
    }
}

std::vector<uint64_t> assign_l2(const float* vectors, uint64_t n, const float* centroids,
                                uint64_t k, uint64_t d) {
    std::vector<RowArgmin> rows(n);
    argmin_l2_rows(vectors, nullptr, n, centroids, k, d, rows.data());
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
        std::vector<uint64_t> stale;
        for (uint64_t i = 0; i < n_; ++i) {
            if (!measured_ || !(upper_[i] + margin(i) < lower_[i])) stale.push_back(i);
        }
        measured_ = true;
        if (stale.empty()) return false;
        std::vector<RowArgmin> rows(stale.size());
        if (stale.size() == n_) {
            argmin_l2_rows(vectors_, xnorms_.data(), n_, centroids.data(), k, d_, rows.data());
        } else {
            // Every element is written below, so the rows are left uninitialised.
            std::unique_ptr<float[]> gathered(new float[stale.size() * d_]);
            std::vector<float> norms(stale.size());
            for (size_t s = 0; s < stale.size(); ++s) {
                std::copy_n(vectors_ + stale[s] * d_, d_, gathered.get() + s * d_);
                norms[s] = xnorms_[stale[s]];
            }
            argmin_l2_rows(gathered.get(), norms.data(), stale.size(), centroids.data(), k, d_,
                           rows.data());
        }
        bool changed = false;
        for (size_t s = 0; s < stale.size(); ++s) {
            const uint64_t i = stale[s];
            changed |= assignment[i] != rows[s].index;
            assignment[i] = rows[s].index;
            upper_[i] = root(rows[s].best);
            lower_[i] = root(rows[s].second);
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
