#include "distance.hpp"

#include <immintrin.h>

#include <algorithm>
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

// Reads blocks of rows r and r + 4 of a group of eight rows `stride` floats apart, at any
// 4-byte alignment (records of a mapped file). The two rows start 16 * stride bytes apart,
// so both lie the same number of floats past a 16-byte boundary: each block is taken from
// the two aligned 16-byte chunks that hold it, one row per half of the register, and moved
// into place by one permute. No load straddles two cache lines (on rows streamed from
// memory such loads cost far more than the permute), and the lanes of the first and last
// chunks that lie outside the row are masked off, so no byte outside the rows is read (a
// row may end a mapping).
class ShiftedRowPair {
public:
    TVDB_TARGET_AVX512 ShiftedRowPair(const float* low_row, std::size_t stride) {
        // Addresses are integers here: the chunk before a row's first float may lie before
        // the array that holds the rows.
        const auto row_address = reinterpret_cast<std::uintptr_t>(low_row);
        const auto past_boundary = static_cast<unsigned>(row_address / sizeof(float) % 4);
        low_ = row_address & ~std::uintptr_t{15};
        high_ = low_ + 16 * stride;
        // Lane j of each half takes float past_boundary + j of the chunk pair; the permute
        // numbers the second register's lanes from 8.
        alignas(32) int32_t lanes[8];
        for (unsigned j = 0; j < 4; ++j) {
            const unsigned from = past_boundary + j < 4 ? past_boundary + j : past_boundary + j + 4;
            lanes[j] = static_cast<int32_t>(from);
            lanes[j + 4] = static_cast<int32_t>(from + 4);
        }
        shift_ = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
        first_lanes_ = static_cast<__mmask8>((0xFu << past_boundary) & 0xFu);
        last_lanes_ = static_cast<__mmask8>((1u << past_boundary) - 1);
    }

    // Starts reading the rows `offset` floats on (the next group is 8 * stride further).
    TVDB_TARGET_AVX512 void start(std::size_t offset) {
        at_ = offset * sizeof(float);
        chunk_ = chunks(first_lanes_);
    }
    // The next block of both rows; `last` for the final whole block.
    TVDB_TARGET_AVX512 __m256 next_block(bool last) {
        at_ += 4 * sizeof(float);
        const __m256 next = last ? chunks(last_lanes_) : chunks();
        const __m256 block = _mm256_permutex2var_ps(chunk_, shift_, next);
        chunk_ = next;
        return block;
    }

private:
    TVDB_TARGET_AVX512 __m256 chunks() const {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(chunk_at(low_))),
                                    _mm_load_ps(chunk_at(high_)), 1);
    }
    TVDB_TARGET_AVX512 __m256 chunks(__mmask8 inside) const {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_maskz_load_ps(inside, chunk_at(low_))),
                                    _mm_maskz_load_ps(inside, chunk_at(high_)), 1);
    }
    const float* chunk_at(std::uintptr_t row_start) const {
        return reinterpret_cast<const float*>(row_start + at_);
    }

    std::uintptr_t low_;   // the 16-byte boundary at or before row r's first float
    std::uintptr_t high_;  // the same for row r + 4
    __m256i shift_;
    __mmask8 first_lanes_;  // lanes of the first chunk inside the row
    __mmask8 last_lanes_;   // lanes of the chunk after the last whole block inside the row
    std::size_t at_ = 0;  // bytes from those boundaries to the chunk read next
    __m256 chunk_;
};

// The ordering or reported distances (`squared_l2`) of `n_groups` groups of eight rows that
// start `stride` floats apart at any alignment, each summed with the lanes and order of
// rows8_sums.
template <Metric M>
TVDB_TARGET_AVX512 void shifted_groups_distances(std::span<const float> query, const float* rows,
                                                 std::size_t stride, std::size_t n_groups,
                                                 bool squared_l2, float* out) {
    const std::size_t dim = query.size();
    const std::size_t blocks_end = dim & ~std::size_t{3};
    // Each group starts 32 * stride bytes after the one before: its rows lie as far past a
    // 16-byte boundary as the first group's.
    ShiftedRowPair pairs[4] = {{rows, stride},
                               {rows + stride, stride},
                               {rows + 2 * stride, stride},
                               {rows + 3 * stride, stride}};
    const std::size_t group_floats = 8 * stride;
    const std::size_t group_bytes = group_floats * sizeof(float);
    // As in rows8_sums, the lines of the group after next are fetched explicitly, spread
    // evenly over the blocks (the line a group shares with the next is fetched with that one).
    const std::size_t lines_per_block = std::max<std::size_t>(1, group_bytes / 64 / (blocks_end / 4));
    for (std::size_t g = 0; g < n_groups; ++g) {
        const auto next_group = reinterpret_cast<std::uintptr_t>(rows) + (g + 2) * group_bytes;
        std::size_t prefetched = 0;
        __m256 acc[4], nb[4];
        __m256 na = _mm256_setzero_ps();
        for (int p = 0; p < 4; ++p) {
            acc[p] = nb[p] = _mm256_setzero_ps();
            pairs[p].start(g * group_floats);
        }
        for (std::size_t i = 0; i < blocks_end; i += 4) {
            for (std::size_t l = 0; l < lines_per_block && prefetched < group_bytes; ++l, prefetched += 64) {
                _mm_prefetch(reinterpret_cast<const char*>(next_group + prefetched), _MM_HINT_T0);
            }
            const __m256 q = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(query.data() + i));
            if constexpr (M == Metric::Cosine) na = _mm256_add_ps(na, _mm256_mul_ps(q, q));
            const bool last = i + 4 == blocks_end;
            for (int p = 0; p < 4; ++p) pair_step<M>(q, pairs[p].next_block(last), acc[p], nb[p]);
        }
        PairSums sums[8];
        const float query_norm = combine_lanes_avx2(_mm256_castps256_ps128(na));
        for (int p = 0; p < 4; ++p) {
            sums[p].dot = combine_lanes_avx2(_mm256_castps256_ps128(acc[p]));
            sums[p + 4].dot = combine_lanes_avx2(_mm256_extractf128_ps(acc[p], 1));
            sums[p].nb = combine_lanes_avx2(_mm256_castps256_ps128(nb[p]));
            sums[p + 4].nb = combine_lanes_avx2(_mm256_extractf128_ps(nb[p], 1));
            sums[p].na = sums[p + 4].na = query_norm;
        }
        const float* group = rows + g * group_floats;
        for (std::size_t c = 0; c < 8; ++c) {
            add_tail(M, query.data(), group + c * stride, blocks_end, dim, sums[c]);
            out[g * 8 + c] = finish(M, sums[c], squared_l2);
        }
    }
}

void shifted_groups_distances(Metric metric, std::span<const float> query, const float* rows,
                              std::size_t stride, std::size_t n_groups, bool squared_l2,
                              float* out) {
    switch (metric) {
        case Metric::L2:
            return shifted_groups_distances<Metric::L2>(query, rows, stride, n_groups, squared_l2, out);
        case Metric::Cosine:
            return shifted_groups_distances<Metric::Cosine>(query, rows, stride, n_groups, squared_l2, out);
        case Metric::DotProduct:
            return shifted_groups_distances<Metric::DotProduct>(query, rows, stride, n_groups, squared_l2, out);
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
        // Rows that are not back to back (records of a mapped file) lie at any alignment:
        // on processors with AVX-512 they are read without loads that straddle cache lines.
        if (level == SimdLevel::Avx512 && row_stride != dim) {
            shifted_groups_distances(metric, query, rows, row_stride, n_rows / 8, squared_l2, out);
            r = n_rows / 8 * 8;
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
