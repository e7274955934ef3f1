#include "distance.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "simd_level.hpp"

namespace tvdb {

std::string_view metric_name(Metric metric) {
    const auto id = static_cast<uint32_t>(metric);
    return id < kMetricCount ? kMetricNames[id] : kMetricNames[0];
}

std::string_view metric_debug_name(Metric metric) {
    switch (metric) {
        case Metric::L2: return "L2";
        case Metric::Cosine: return "Cosine";
        case Metric::DotProduct: return "DotProduct";
    }
    return "L2";
}

std::optional<Metric> metric_from_name(std::string_view name) {
    for (uint32_t id = 0; id < kMetricCount; ++id) {
        if (kMetricNames[id] == name) return static_cast<Metric>(id);
    }
    return std::nullopt;
}

std::optional<Metric> metric_from_id(uint32_t id) {
    if (id >= kMetricCount) return std::nullopt;
    return static_cast<Metric>(id);
}

namespace {

// Lane j of an accumulator is the partial sum s_j of the fixed summation order.
inline float combine_lanes(__m128 sums) {
    alignas(16) float s[4];
    _mm_store_ps(s, sums);
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// Per-metric sums of one pair. Cosine needs three sums; the other metrics use `dot` only
// (L2 stores its sum of squared differences there).
struct PairSums {
    float dot = 0.0f;
    float na = 0.0f;
    float nb = 0.0f;
};

inline float finish(Metric metric, const PairSums& sums, bool squared_l2) {
    switch (metric) {
        case Metric::L2: return squared_l2 ? sums.dot : std::sqrt(sums.dot);
        case Metric::DotProduct: return -sums.dot;
        case Metric::Cosine:
            if (sums.na == 0.0f || sums.nb == 0.0f) return 1.0f;
            return 1.0f - sums.dot / (std::sqrt(sums.na) * std::sqrt(sums.nb));
    }
    return 0.0f;
}

// Adds the tail terms (elements B..L-1) of one pair, one at a time in index order.
inline void add_tail(Metric metric, const float* a, const float* b, std::size_t from,
                     std::size_t to, PairSums& sums) {
    for (std::size_t i = from; i < to; ++i) {
        if (metric == Metric::L2) {
            float d = a[i] - b[i];
            sums.dot += d * d;
        } else {
            sums.dot += a[i] * b[i];
            if (metric == Metric::Cosine) {
                sums.na += a[i] * a[i];
                sums.nb += b[i] * b[i];
            }
        }
    }
}

// Accumulates N candidates against one query, four lanes per candidate.
template <std::size_t N>
void block_sums(Metric metric, const float* query, std::size_t blocks_end,
                const float* const* candidates, PairSums* out) {
    __m128 acc[N];
    __m128 na[N];
    __m128 nb[N];
    for (std::size_t c = 0; c < N; ++c) acc[c] = na[c] = nb[c] = _mm_setzero_ps();
    if (metric == Metric::L2) {
        for (std::size_t i = 0; i < blocks_end; i += 4) {
            __m128 q = _mm_loadu_ps(query + i);
            for (std::size_t c = 0; c < N; ++c) {
                __m128 d = _mm_sub_ps(q, _mm_loadu_ps(candidates[c] + i));
                acc[c] = _mm_add_ps(acc[c], _mm_mul_ps(d, d));
            }
        }
    } else if (metric == Metric::DotProduct) {
        for (std::size_t i = 0; i < blocks_end; i += 4) {
            __m128 q = _mm_loadu_ps(query + i);
            for (std::size_t c = 0; c < N; ++c)
                acc[c] = _mm_add_ps(acc[c], _mm_mul_ps(q, _mm_loadu_ps(candidates[c] + i)));
        }
    } else {
        for (std::size_t i = 0; i < blocks_end; i += 4) {
            __m128 q = _mm_loadu_ps(query + i);
            __m128 qq = _mm_mul_ps(q, q);
            for (std::size_t c = 0; c < N; ++c) {
                __m128 v = _mm_loadu_ps(candidates[c] + i);
                acc[c] = _mm_add_ps(acc[c], _mm_mul_ps(q, v));
                na[c] = _mm_add_ps(na[c], qq);
                nb[c] = _mm_add_ps(nb[c], _mm_mul_ps(v, v));
            }
        }
    }
    for (std::size_t c = 0; c < N; ++c) {
        out[c].dot = combine_lanes(acc[c]);
        out[c].na = combine_lanes(na[c]);
        out[c].nb = combine_lanes(nb[c]);
    }
}

template <std::size_t N>
void distances_of(Metric metric, std::span<const float> query, const float* const* candidates,
                  bool squared_l2, float* out) {
    const std::size_t len = query.size();
    const std::size_t blocks_end = len & ~std::size_t{3};
    PairSums sums[N];
    block_sums<N>(metric, query.data(), blocks_end, candidates, sums);
    for (std::size_t c = 0; c < N; ++c) {
        add_tail(metric, query.data(), candidates[c], blocks_end, len, sums[c]);
        out[c] = finish(metric, sums[c], squared_l2);
    }
}

#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
__attribute__((target("avx2"))) inline float combine_lanes_avx2(__m128 sums) {
    alignas(16) float s[4];
    _mm_store_ps(s, sums);
    return (s[0] + s[1]) + (s[2] + s[3]);
}

template <Metric M>
__attribute__((target("avx2"), always_inline)) inline void pair_step(__m256 q, __m256 v,
                                                                     __m256& acc, __m256& nb) {
    if constexpr (M == Metric::L2) {
        __m256 d = _mm256_sub_ps(q, v);
        acc = _mm256_add_ps(acc, _mm256_mul_ps(d, d));
    } else {
        acc = _mm256_add_ps(acc, _mm256_mul_ps(q, v));
        if constexpr (M == Metric::Cosine) nb = _mm256_add_ps(nb, _mm256_mul_ps(v, v));
    }
}

// The sums of eight rows held two per register (see rows8_sums); `na` holds the query's
// squared components in its low lanes.
__attribute__((target("avx2"), always_inline)) inline void store_pair_sums(
    __m256 acc0, __m256 acc1, __m256 acc2, __m256 acc3, __m256 nb0, __m256 nb1, __m256 nb2,
    __m256 nb3, __m256 na, PairSums* out) {
    const float query_norm = combine_lanes_avx2(_mm256_castps256_ps128(na));
    const __m256 acc[4] = {acc0, acc1, acc2, acc3};
    const __m256 nb[4] = {nb0, nb1, nb2, nb3};
    for (int p = 0; p < 4; ++p) {
        out[2 * p].dot = combine_lanes_avx2(_mm256_castps256_ps128(acc[p]));
        out[2 * p + 1].dot = combine_lanes_avx2(_mm256_extractf128_ps(acc[p], 1));
        out[2 * p].nb = combine_lanes_avx2(_mm256_castps256_ps128(nb[p]));
        out[2 * p + 1].nb = combine_lanes_avx2(_mm256_extractf128_ps(nb[p], 1));
        out[2 * p].na = out[2 * p + 1].na = query_norm;
    }
}

// Two candidates per 256-bit register: the low half holds one candidate's four lanes, the
// high half another's, so every lane still sums exactly the terms of the 128-bit kernel.
// The metric is a template argument so the accumulators stay in registers.
template <Metric M>
__attribute__((target("avx2"))) void rows8_sums(const float* query, std::size_t blocks_end,
                                                const float* rows, std::size_t stride,
                                                PairSums* out) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    __m256 nb0 = acc0, nb1 = acc0, nb2 = acc0, nb3 = acc0, na = acc0;
    const float* r0 = rows;
    const float* r1 = rows + stride;
    const float* r2 = rows + 2 * stride;
    const float* r3 = rows + 3 * stride;
    const float* r4 = rows + 4 * stride;
    const float* r5 = rows + 5 * stride;
    const float* r6 = rows + 6 * stride;
    const float* r7 = rows + 7 * stride;
    // The eight rows are read in lock step, sixteen bytes of each at a time, which the
    // hardware prefetcher follows poorly: fetch the lines of the group after next explicitly
    // (a prefetch never faults, so running past the last row is harmless).
    const std::uintptr_t next_group =
        reinterpret_cast<std::uintptr_t>(rows) + 16 * stride * sizeof(float);
    const std::size_t group_bytes = 8 * stride * sizeof(float);
    const std::size_t blocks = blocks_end / 4;
    const std::size_t lines_per_block = (group_bytes / 64 + blocks - 1) / (blocks ? blocks : 1);
    std::size_t prefetched = 0;
    for (std::size_t i = 0; i < blocks_end; i += 4) {
        for (std::size_t l = 0; l < lines_per_block && prefetched < group_bytes; ++l, prefetched += 64) {
            _mm_prefetch(reinterpret_cast<const char*>(next_group + prefetched), _MM_HINT_T0);
        }
        __m256 q = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(query + i));
        if constexpr (M == Metric::Cosine) na = _mm256_add_ps(na, _mm256_mul_ps(q, q));
        pair_step<M>(q, _mm256_loadu2_m128(r1 + i, r0 + i), acc0, nb0);
        pair_step<M>(q, _mm256_loadu2_m128(r3 + i, r2 + i), acc1, nb1);
        pair_step<M>(q, _mm256_loadu2_m128(r5 + i, r4 + i), acc2, nb2);
        pair_step<M>(q, _mm256_loadu2_m128(r7 + i, r6 + i), acc3, nb3);
    }
    store_pair_sums(acc0, acc1, acc2, acc3, nb0, nb1, nb2, nb3, na, out);
}

void rows8_sums(Metric metric, const float* query, std::size_t blocks_end, const float* rows,
                std::size_t stride, PairSums* out) {
    switch (metric) {
        case Metric::L2: return rows8_sums<Metric::L2>(query, blocks_end, rows, stride, out);
        case Metric::Cosine: return rows8_sums<Metric::Cosine>(query, blocks_end, rows, stride, out);
        case Metric::DotProduct:
            return rows8_sums<Metric::DotProduct>(query, blocks_end, rows, stride, out);
    }
}

// Four candidates of one query in two 256-bit registers (candidates 0 and 1, then 2 and 3),
// with the same lanes and order as the 128-bit kernel, so the sums are bit-identical.
template <Metric M>
__attribute__((target("avx2"))) void batch4_sums(const float* query, std::size_t blocks_end,
                                                 const float* const* candidates,
                                                 PairSums* out) {
    __m256 acc01 = _mm256_setzero_ps(), acc23 = acc01, nb01 = acc01, nb23 = acc01, na = acc01;
    const float* c0 = candidates[0];
    const float* c1 = candidates[1];
    const float* c2 = candidates[2];
    const float* c3 = candidates[3];
    for (std::size_t i = 0; i < blocks_end; i += 4) {
        __m256 q = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(query + i));
        if constexpr (M == Metric::Cosine) na = _mm256_add_ps(na, _mm256_mul_ps(q, q));
        pair_step<M>(q, _mm256_loadu2_m128(c1 + i, c0 + i), acc01, nb01);
        pair_step<M>(q, _mm256_loadu2_m128(c3 + i, c2 + i), acc23, nb23);
    }
    const float query_norm = combine_lanes_avx2(_mm256_castps256_ps128(na));
    out[0].dot = combine_lanes_avx2(_mm256_castps256_ps128(acc01));
    out[1].dot = combine_lanes_avx2(_mm256_extractf128_ps(acc01, 1));
    out[2].dot = combine_lanes_avx2(_mm256_castps256_ps128(acc23));
    out[3].dot = combine_lanes_avx2(_mm256_extractf128_ps(acc23, 1));
    out[0].nb = combine_lanes_avx2(_mm256_castps256_ps128(nb01));
    out[1].nb = combine_lanes_avx2(_mm256_extractf128_ps(nb01, 1));
    out[2].nb = combine_lanes_avx2(_mm256_castps256_ps128(nb23));
    out[3].nb = combine_lanes_avx2(_mm256_extractf128_ps(nb23, 1));
    for (int c = 0; c < 4; ++c) out[c].na = query_norm;
}

void batch4_sums(Metric metric, const float* query, std::size_t blocks_end,
                 const float* const* candidates, PairSums* out) {
    switch (metric) {
        case Metric::L2: return batch4_sums<Metric::L2>(query, blocks_end, candidates, out);
        case Metric::Cosine: return batch4_sums<Metric::Cosine>(query, blocks_end, candidates, out);
        case Metric::DotProduct:
            return batch4_sums<Metric::DotProduct>(query, blocks_end, candidates, out);
    }
}

#endif

}  // namespace

float distance(Metric metric, std::span<const float> a, std::span<const float> b) {
    const float* candidate = b.data();
    float out;
    distances_of<1>(metric, a, &candidate, false, &out);
    return out;
}

std::array<float, 4> distance_ord_batch4(Metric metric, std::span<const float> query,
                                         const std::array<const float*, 4>& candidates) {
    std::array<float, 4> out;
#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
    if (simd_level() >= SimdLevel::Avx2) {
        const std::size_t len = query.size();
        const std::size_t blocks_end = len & ~std::size_t{3};
        PairSums sums[4];
        batch4_sums(metric, query.data(), blocks_end, candidates.data(), sums);
        for (std::size_t c = 0; c < 4; ++c) {
            add_tail(metric, query.data(), candidates[c], blocks_end, len, sums[c]);
            out[c] = finish(metric, sums[c], true);
        }
        return out;
    }
#endif
    distances_of<4>(metric, query, candidates.data(), true, out.data());
    return out;
}

float distance_ord(Metric metric, std::span<const float> query, const float* candidate) {
    float out;
    distances_of<1>(metric, query, &candidate, true, &out);
    return out;
}

namespace {

#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Rows at most this long are realigned through scratch buffers on the stack.
constexpr std::size_t kRealignMaxFloats = 1024;
// Rows measured per call of the eight-row kernels.
constexpr std::size_t kRowsPerCall = 64;

// Copies a row of `dim` floats at any 4-byte alignment to `out` (64-byte aligned). Only
// aligned 64-byte lines are read, so no load straddles two cache lines, and a two-source
// permute shifts each pair of lines into place. Lanes outside the row are masked off: the
// loads touch no byte of anything else (the row may end a mapping).
TVDB_TARGET_AVX512 inline void realign_row(const float* row, std::size_t dim, float* out) {
    const auto start = reinterpret_cast<std::uintptr_t>(row);
    const std::uintptr_t end = start + dim * sizeof(float);
    const std::size_t lead = (start & 63) / sizeof(float);  // row floats start at this lane
    // The lanes of `line` that hold floats of the row.
    auto row_lanes = [start, end](const float* line) {
        const auto at = reinterpret_cast<std::uintptr_t>(line);
        const std::uintptr_t from = start > at ? (start - at) / sizeof(float) : 0;
        const std::uintptr_t to = std::min<std::uintptr_t>(16, (end - at) / sizeof(float));
        return static_cast<__mmask16>(((1u << to) - 1) & ~((1u << from) - 1));
    };
    const __m512i shift = _mm512_add_epi32(
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
        _mm512_set1_epi32(static_cast<int>(lead)));
    const auto* line = reinterpret_cast<const float*>(start & ~std::uintptr_t{63});
    __m512 low = _mm512_maskz_load_ps(row_lanes(line), line);
    for (std::size_t i = 0; i < dim; i += 16, line += 16) {
        // The next line holds row floats i + 16 - lead ... i + 31 - lead.
        __m512 high;
        if (i + 32 <= dim + lead) {
            high = _mm512_load_ps(line + 16);
        } else if (i + 16 < dim + lead) {
            high = _mm512_maskz_load_ps(row_lanes(line + 16), line + 16);
        } else {
            high = _mm512_setzero_ps();
        }
        _mm512_store_ps(out + i, _mm512_permutex2var_ps(low, shift, high));
        low = high;
    }
}

// rows8_sums over `n_groups` groups of eight rows that start `stride` floats apart at any
// alignment (records of a mapped file), with the same lanes and order. Straddling loads slow
// a scan of such rows far more than a copy costs, so each group is realigned into a scratch
// buffer first: the next group's copy is made before the current group is measured, so that
// its waits for memory overlap with that arithmetic.
template <Metric M>
TVDB_TARGET_AVX512 void realigned_groups_sums(const float* query, std::size_t blocks_end,
                                               std::size_t dim, const float* rows,
                                               std::size_t stride, std::size_t n_groups,
                                               PairSums* out) {
    // Two groups' rows back to back, the one being measured and the next.
    alignas(64) float scratch[2 * 8 * kRealignMaxFloats];
    const std::size_t padded = (dim + 15) & ~std::size_t{15};
    auto realign_group = [&](std::size_t g) {
        float* into = scratch + (g & 1) * 8 * padded;
        for (std::size_t r = 0; r < 8; ++r) realign_row(rows + (g * 8 + r) * stride, dim, into + r * padded);
    };
    if (n_groups > 0) realign_group(0);
    for (std::size_t g = 0; g < n_groups; ++g) {
        if (g + 1 < n_groups) realign_group(g + 1);
        const float* cur = scratch + (g & 1) * 8 * padded;
        __m256 acc0 = _mm256_setzero_ps(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
        __m256 nb0 = acc0, nb1 = acc0, nb2 = acc0, nb3 = acc0, na = acc0;
        for (std::size_t i = 0; i < blocks_end; i += 4) {
            __m256 q = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(query + i));
            if constexpr (M == Metric::Cosine) na = _mm256_add_ps(na, _mm256_mul_ps(q, q));
            pair_step<M>(q, _mm256_loadu2_m128(cur + padded + i, cur + i), acc0, nb0);
            pair_step<M>(q, _mm256_loadu2_m128(cur + 3 * padded + i, cur + 2 * padded + i), acc1, nb1);
            pair_step<M>(q, _mm256_loadu2_m128(cur + 5 * padded + i, cur + 4 * padded + i), acc2, nb2);
            pair_step<M>(q, _mm256_loadu2_m128(cur + 7 * padded + i, cur + 6 * padded + i), acc3, nb3);
        }
        store_pair_sums(acc0, acc1, acc2, acc3, nb0, nb1, nb2, nb3, na, out + g * 8);
    }
}

void realigned_groups_sums(Metric metric, const float* query, std::size_t blocks_end,
                           std::size_t dim, const float* rows, std::size_t stride,
                           std::size_t n_groups, PairSums* out) {
    switch (metric) {
        case Metric::L2:
            return realigned_groups_sums<Metric::L2>(query, blocks_end, dim, rows, stride, n_groups, out);
        case Metric::Cosine:
            return realigned_groups_sums<Metric::Cosine>(query, blocks_end, dim, rows, stride, n_groups, out);
        case Metric::DotProduct:
            return realigned_groups_sums<Metric::DotProduct>(query, blocks_end, dim, rows, stride, n_groups, out);
    }
}
#endif

void rows_kernel(Metric metric, std::span<const float> query, const float* rows,
                 std::size_t row_stride, std::size_t n_rows, float* out, bool squared_l2) {
    const std::size_t dim = query.size();
    std::size_t r = 0;
#if defined(__GNUC__) && !defined(TVDB_NO_AVX2)
    const SimdLevel level = simd_level();
    if (level >= SimdLevel::Avx2 && dim >= 4) {
        const std::size_t blocks_end = dim & ~std::size_t{3};
        // Rows that are not 64-byte aligned one after another (records of a mapped file) are
        // realigned first on processors with AVX-512.
        if (level == SimdLevel::Avx512 && row_stride != dim && dim <= kRealignMaxFloats) {
            PairSums sums[kRowsPerCall];
            while (n_rows - r >= 8) {
                const std::size_t n = std::min(kRowsPerCall, (n_rows - r) / 8 * 8);
                const float* base = rows + r * row_stride;
                realigned_groups_sums(metric, query.data(), blocks_end, dim, base, row_stride,
                                      n / 8, sums);
                for (std::size_t c = 0; c < n; ++c) {
                    add_tail(metric, query.data(), base + c * row_stride, blocks_end, dim, sums[c]);
                    out[r + c] = finish(metric, sums[c], squared_l2);
                }
                r += n;
            }
        }
        PairSums sums[8];
        for (; r + 8 <= n_rows; r += 8) {
            const float* base = rows + r * row_stride;
            rows8_sums(metric, query.data(), blocks_end, base, row_stride, sums);
            for (int c = 0; c < 8; ++c) {
                add_tail(metric, query.data(), base + c * row_stride, blocks_end, dim, sums[c]);
                out[r + c] = finish(metric, sums[c], squared_l2);
            }
        }
    }
#endif
    for (; r + 4 <= n_rows; r += 4) {
        const float* group[4] = {rows + r * row_stride, rows + (r + 1) * row_stride,
                                 rows + (r + 2) * row_stride, rows + (r + 3) * row_stride};
        distances_of<4>(metric, query, group, squared_l2, out + r);
    }
    for (; r < n_rows; ++r) {
        const float* row = rows + r * row_stride;
        distances_of<1>(metric, query, &row, squared_l2, out + r);
    }
}
}  // namespace

void distance_rows(Metric metric, std::span<const float> query, const float* rows,
                   std::size_t n_rows, float* out) {
    rows_kernel(metric, query, rows, query.size(), n_rows, out, false);
}

void distance_rows_ord(Metric metric, std::span<const float> query, const float* rows,
                       std::size_t n_rows, float* out) {
    rows_kernel(metric, query, rows, query.size(), n_rows, out, true);
}

void distance_rows_strided_ord(Metric metric, std::span<const float> query, const float* rows,
                               std::size_t row_stride, std::size_t n_rows, float* out) {
    rows_kernel(metric, query, rows, row_stride, n_rows, out, true);
}

}  // namespace tvdb
