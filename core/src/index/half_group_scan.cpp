#include "half_group_scan.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "fp16_flat_index.hpp"

namespace tvdb {
namespace {

// Per-row sums of one metric: `dot` holds the sum of squared differences for L2.
struct RowSums {
    float dot = 0.0f;
    float nb = 0.0f;
};

float finish(Metric metric, const RowSums& sums, float query_norm) {
    switch (metric) {
        case Metric::L2: return std::sqrt(sums.dot);
        case Metric::DotProduct: return -sums.dot;
        case Metric::Cosine:
            if (query_norm == 0.0f || sums.nb == 0.0f) return 1.0f;
            return 1.0f - sums.dot / (std::sqrt(query_norm) * std::sqrt(sums.nb));
    }
    return 0.0f;
}

// Adds the tail components (past the last whole block) of row `row` of a group, one at a
// time; `last_block` is the group's last block.
void add_tail(Metric metric, std::span<const float> query, const uint16_t* last_block,
              size_t row, RowSums& sums) {
    const size_t whole = query.size() / 4 * 4;
    const uint16_t* block = last_block + row * 4;
    for (size_t i = whole; i < query.size(); ++i) {
        float x = half_to_float(block[i - whole]);
        if (metric == Metric::L2) {
            float d = query[i] - x;
            sums.dot += d * d;
        } else {
            sums.dot += query[i] * x;
            if (metric == Metric::Cosine) sums.nb += x * x;
        }
    }
}

void group_scalar(Metric metric, std::span<const float> query, float query_norm,
                  const HalfLayout& layout, const uint16_t* chunk, size_t group, float* out) {
    const size_t whole_blocks = query.size() / 4;
    for (size_t row = 0; row < HalfLayout::kGroupRows; ++row) {
        float lanes[4] = {0, 0, 0, 0};
        float norms[4] = {0, 0, 0, 0};
        for (size_t b = 0; b < whole_blocks; ++b) {
            const uint16_t* block = chunk + layout.block_offset(group, b) + row * 4;
            for (size_t j = 0; j < 4; ++j) {
                float q = query[b * 4 + j];
                float x = half_to_float(block[j]);
                if (metric == Metric::L2) {
                    float d = q - x;
                    lanes[j] += d * d;
                } else {
                    lanes[j] += q * x;
                    if (metric == Metric::Cosine) norms[j] += x * x;
                }
            }
        }
        RowSums sums{(lanes[0] + lanes[1]) + (lanes[2] + lanes[3]),
                     (norms[0] + norms[1]) + (norms[2] + norms[3])};
        if (whole_blocks < layout.blocks) {
            add_tail(metric, query, chunk + layout.block_offset(group, whole_blocks), row, sums);
        }
        out[row] = finish(metric, sums, query_norm);
    }
}

#if defined(__GNUC__)
// The metric's final step on the four rows' sums at once; every operation is correctly
// rounded, so each lane equals the scalar `finish`.
template <Metric M>
__attribute__((target("avx2"))) __m128 finish4(__m128 dot, __m128 nb, float query_norm) {
    if constexpr (M == Metric::L2) return _mm_sqrt_ps(dot);
    if constexpr (M == Metric::DotProduct) return _mm_xor_ps(dot, _mm_set1_ps(-0.0f));
    const __m128 zero = _mm_setzero_ps();
    const __m128 one = _mm_set1_ps(1.0f);
    __m128 cosine = _mm_sub_ps(
        one, _mm_div_ps(dot, _mm_mul_ps(_mm_set1_ps(std::sqrt(query_norm)), _mm_sqrt_ps(nb))));
    __m128 degenerate = _mm_cmpeq_ps(nb, zero);
    if (query_norm == 0.0f) degenerate = _mm_castsi128_ps(_mm_set1_epi32(-1));
    return _mm_blendv_ps(cosine, one, degenerate);
}

// (s0 + s1) + (s2 + s3) of each row: rows 0 and 1 in `r01` (low and high half), rows 2 and 3
// in `r23`; returns the four totals in row order.
__attribute__((target("avx2"))) __m128 combine4(__m256 r01, __m256 r23) {
    __m256 pairs = _mm256_hadd_ps(r01, r23);    // r0 s0+s1, r0 s2+s3, r2 .., r2 .. | r1 .., r3 ..
    __m256 totals = _mm256_hadd_ps(pairs, pairs);  // r0, r2, r0, r2 | r1, r3, r1, r3
    return _mm_unpacklo_ps(_mm256_castps256_ps128(totals), _mm256_extractf128_ps(totals, 1));
}

// Rows 0 and 1 of a block share one register (low and high half), rows 2 and 3 another, so
// each 128-bit lane accumulates exactly the four partial sums of one row.
template <Metric M>
__attribute__((target("avx2,f16c"))) void chunk_avx2(std::span<const float> query,
                                                     float query_norm, const HalfLayout& layout,
                                                     const uint16_t* chunk, size_t n_groups,
                                                     float abandon_at, float* out) {
    const size_t whole_blocks = query.size() / 4;
    const bool has_tail = whole_blocks < layout.blocks;
    const __m128 abandon = _mm_set1_ps(abandon_at);
    for (size_t g = 0; g < n_groups; ++g) {
        __m256 acc01 = _mm256_setzero_ps(), acc23 = acc01, nb01 = acc01, nb23 = acc01;
        bool abandoned = false;
        for (size_t segment = 0; segment < layout.segments && !abandoned; ++segment) {
            const size_t first = segment * HalfLayout::kSegmentBlocks;
            const size_t end = std::min(whole_blocks, first + layout.blocks_in_segment(segment));
            const uint16_t* blocks = chunk + layout.block_offset(g, first);
            for (size_t b = first; b < end; ++b) {
                const __m128i* block =
                    reinterpret_cast<const __m128i*>(blocks + (b - first) * HalfLayout::kBlockHalves);
                __m256 q = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(query.data() + b * 4));
                __m256 x01 = _mm256_cvtph_ps(_mm_loadu_si128(block));
                __m256 x23 = _mm256_cvtph_ps(_mm_loadu_si128(block + 1));
                if constexpr (M == Metric::L2) {
                    __m256 d01 = _mm256_sub_ps(q, x01);
                    __m256 d23 = _mm256_sub_ps(q, x23);
                    acc01 = _mm256_add_ps(acc01, _mm256_mul_ps(d01, d01));
                    acc23 = _mm256_add_ps(acc23, _mm256_mul_ps(d23, d23));
                } else {
                    acc01 = _mm256_add_ps(acc01, _mm256_mul_ps(q, x01));
                    acc23 = _mm256_add_ps(acc23, _mm256_mul_ps(q, x23));
                    if constexpr (M == Metric::Cosine) {
                        nb01 = _mm256_add_ps(nb01, _mm256_mul_ps(x01, x01));
                        nb23 = _mm256_add_ps(nb23, _mm256_mul_ps(x23, x23));
                    }
                }
            }
            // Squared differences only grow the sums, so partial sums that already reach the
            // bound for all four rows settle that none of them can be kept; the later
            // segments of the group are then never read.
            if constexpr (M == Metric::L2) {
                abandoned = segment + 1 < layout.segments &&
                            _mm_movemask_ps(_mm_cmpge_ps(combine4(acc01, acc23), abandon)) == 0xF;
            }
        }
        float* group_out = out + g * HalfLayout::kGroupRows;
        if (abandoned) {
            _mm_storeu_ps(group_out, _mm_set1_ps(std::numeric_limits<float>::infinity()));
            continue;
        }
        if (!has_tail) {
            _mm_storeu_ps(group_out, finish4<M>(combine4(acc01, acc23), combine4(nb01, nb23),
                                                query_norm));
            continue;
        }
        alignas(16) float dots[4];
        alignas(16) float norms[4];
        _mm_store_ps(dots, combine4(acc01, acc23));
        _mm_store_ps(norms, combine4(nb01, nb23));
        const uint16_t* last_block = chunk + layout.block_offset(g, whole_blocks);
        for (size_t row = 0; row < HalfLayout::kGroupRows; ++row) {
            RowSums sums{dots[row], norms[row]};
            add_tail(M, query, last_block, row, sums);
            group_out[row] = finish(M, sums, query_norm);
        }
    }
}

bool cpu_has_avx2_f16c() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    return has;
}
#endif

}  // namespace

void half_chunk_distances(Metric metric, std::span<const float> query, const HalfLayout& layout,
                          const uint16_t* chunk, size_t n_rows, float abandon_at, float* out) {
    const size_t n_groups = (n_rows + HalfLayout::kGroupRows - 1) / HalfLayout::kGroupRows;
    // The query's own sum of squares, in the fixed order (Cosine only).
    const float query_norm =
        metric == Metric::Cosine ? -distance(Metric::DotProduct, query, query) : 0.0f;
#if defined(__GNUC__)
    if (cpu_has_avx2_f16c()) {
        switch (metric) {
            case Metric::L2:
                return chunk_avx2<Metric::L2>(query, query_norm, layout, chunk, n_groups,
                                              abandon_at, out);
            case Metric::Cosine:
                return chunk_avx2<Metric::Cosine>(query, query_norm, layout, chunk, n_groups,
                                                  abandon_at, out);
            case Metric::DotProduct:
                return chunk_avx2<Metric::DotProduct>(query, query_norm, layout, chunk, n_groups,
                                                      abandon_at, out);
        }
    }
#endif
    for (size_t g = 0; g < n_groups; ++g) {
        group_scalar(metric, query, query_norm, layout, chunk, g, out + g * HalfLayout::kGroupRows);
    }
}

}  // namespace tvdb
