#include "row_group_scan.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "fp16_flat_index.hpp"
#include "simd_level.hpp"

namespace tvdb {
namespace {

// Per-row sums of one metric: `dot` holds the sum of squared differences for L2.
struct RowSums {
    float dot = 0.0f;
    float nb = 0.0f;
};

// The ordering distance: the plain sum for L2, what `distance` gives for the others.
float finish(Metric metric, const RowSums& sums, float query_norm) {
    switch (metric) {
        case Metric::L2: return sums.dot;
        case Metric::DotProduct: return -sums.dot;
        case Metric::Cosine:
            if (query_norm == 0.0f || sums.nb == 0.0f) return 1.0f;
            return 1.0f - sums.dot / (std::sqrt(query_norm) * std::sqrt(sums.nb));
    }
    return 0.0f;
}

inline float widen(uint16_t half) { return half_to_float(half); }
inline float widen(float value) { return value; }

// Adds the tail components (past the last whole block) of row `row` of a group, one at a
// time; `last_block` is the group's last block.
template <typename Element>
void add_tail(Metric metric, std::span<const float> query, const Element* last_block,
              size_t row, RowSums& sums) {
    const size_t whole = query.size() / 4 * 4;
    const Element* block = last_block + row * 4;
    for (size_t i = whole; i < query.size(); ++i) {
        float x = widen(block[i - whole]);
        if (metric == Metric::L2) {
            float d = query[i] - x;
            sums.dot += d * d;
        } else {
            sums.dot += query[i] * x;
            if (metric == Metric::Cosine) sums.nb += x * x;
        }
    }
}

template <typename Element>
void group_scalar(Metric metric, std::span<const float> query, float query_norm,
                  const GroupLayout& layout, const Element* region, size_t region_groups,
                  size_t group, float* out) {
    const size_t whole_blocks = query.size() / 4;
    for (size_t row = 0; row < GroupLayout::kGroupRows; ++row) {
        float lanes[4] = {0, 0, 0, 0};
        float norms[4] = {0, 0, 0, 0};
        for (size_t b = 0; b < whole_blocks; ++b) {
            const Element* block = region + layout.block_offset(region_groups, group, b) + row * 4;
            for (size_t j = 0; j < 4; ++j) {
                float q = query[b * 4 + j];
                float x = widen(block[j]);
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
            add_tail(metric, query, region + layout.block_offset(region_groups, group, whole_blocks),
                     row, sums);
        }
        out[row] = finish(metric, sums, query_norm);
    }
}

// The running partial sums of one group between segments: lane 4r + j holds partial sum j of
// row r (the norms of the stored rows are needed for Cosine only).
struct alignas(64) GroupLanes {
    float dot[16];
    float nb[16];
};

// One pass over one segment of the groups still measured. Groups are scanned a segment at a
// time: the first segments of all groups are one contiguous run, and a group that survives a
// segment has the data of its next one fetched while the pass goes on, so the scattered reads
// of the survivors do not wait for memory one after another.
template <typename Element>
struct SegmentPass {
    std::span<const float> query;
    float query_norm = 0.0f;
    const Element* data = nullptr;       // group g's blocks of this segment at + g * group_elements
    size_t group_elements = 0;
    const Element* next_data = nullptr;  // the same for the next segment (none for the last)
    size_t next_group_elements = 0;
    size_t first_block = 0;              // index of the segment's first block
    size_t whole_blocks = 0;             // its blocks that hold four components of each row
    bool first = false;                  // no sums yet
    bool last = false;                   // finish the distances
    bool has_tail = false;               // dimensions not a multiple of four
    // Under L2 with a finite bound: groups are dropped once they reach it, and the next
    // segment of each survivor is fetched early. Without one every group is measured, and
    // the passes stream through whole segment runs that the hardware fetches by itself.
    bool may_abandon = false;
    float abandon_at = std::numeric_limits<float>::infinity();
    GroupLanes* lanes = nullptr;
    float* out = nullptr;
};

// The scalar end of a group whose dimensions leave a partial last block.
template <typename Element>
void finish_with_tail(Metric metric, const SegmentPass<Element>& p, size_t group,
                      const float* dots, const float* norms) {
    const Element* last_block =
        p.data + group * p.group_elements + p.whole_blocks * GroupLayout::kBlockElements;
    for (size_t row = 0; row < GroupLayout::kGroupRows; ++row) {
        RowSums sums{dots[row], norms[row]};
        add_tail(metric, p.query, last_block, row, sums);
        p.out[group * GroupLayout::kGroupRows + row] = finish(metric, sums, p.query_norm);
    }
}

template <typename Element>
inline void prefetch_segment(const Element* data, size_t elements) {
    const char* bytes = reinterpret_cast<const char*>(data);
    for (size_t offset = 0; offset < elements * sizeof(Element); offset += 64) {
        _mm_prefetch(bytes + offset, _MM_HINT_T0);
    }
}

#if defined(__GNUC__)
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The metric's final step on the four rows' sums at once; every operation is correctly
// rounded, so each lane equals the scalar `finish`.
template <Metric M>
TVDB_TARGET_AVX2 __m128 finish4(__m128 dot, __m128 nb, float query_norm) {
    if constexpr (M == Metric::L2) return dot;
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
TVDB_TARGET_AVX2 __m128 combine4(__m256 r01, __m256 r23) {
    __m256 pairs = _mm256_hadd_ps(r01, r23);    // r0 s0+s1, r0 s2+s3, r2 .., r2 .. | r1 .., r3 ..
    __m256 totals = _mm256_hadd_ps(pairs, pairs);  // r0, r2, r0, r2 | r1, r3, r1, r3
    return _mm_unpacklo_ps(_mm256_castps256_ps128(totals), _mm256_extractf128_ps(totals, 1));
}

// Whether all four rows' sums reach the bound (a NaN sum never does).
TVDB_TARGET_AVX2 bool all_reach(__m128 totals, float bound) {
    return _mm_movemask_ps(_mm_cmp_ps(totals, _mm_set1_ps(bound), _CMP_GE_OQ)) == 0xF;
}

// Eight elements (two rows of a block) widened to floats.
TVDB_TARGET_AVX2 inline __m256 load8(const uint16_t* halves) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(halves)));
}
TVDB_TARGET_AVX2 inline __m256 load8(const float* values) { return _mm256_loadu_ps(values); }

// Rows 0 and 1 of a block share one register (low and high half), rows 2 and 3 another, so
// each 128-bit lane accumulates exactly the four partial sums of one row.
template <Metric M, typename Element>
TVDB_TARGET_AVX2 size_t pass_avx2(const SegmentPass<Element>& p, uint8_t* active,
                                  size_t n_active) {
    const float* query = p.query.data() + p.first_block * 4;
    size_t kept = 0;
    for (size_t j = 0; j < n_active; ++j) {
        const size_t g = active[j];
        const Element* data = p.data + g * p.group_elements;
        GroupLanes& lanes = p.lanes[g];
        __m256 acc01 = _mm256_setzero_ps(), acc23 = acc01, nb01 = acc01, nb23 = acc01;
        if (!p.first) {
            acc01 = _mm256_load_ps(lanes.dot);
            acc23 = _mm256_load_ps(lanes.dot + 8);
            if constexpr (M == Metric::Cosine) {
                nb01 = _mm256_load_ps(lanes.nb);
                nb23 = _mm256_load_ps(lanes.nb + 8);
            }
        }
        for (size_t b = 0; b < p.whole_blocks; ++b) {
            const Element* block = data + b * GroupLayout::kBlockElements;
            __m256 q = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(query + b * 4));
            __m256 x01 = load8(block);
            __m256 x23 = load8(block + 8);
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
        if (p.last) {
            __m128 dots = combine4(acc01, acc23);
            __m128 norms = combine4(nb01, nb23);
            if (p.has_tail) {
                alignas(16) float dot_rows[4], norm_rows[4];
                _mm_store_ps(dot_rows, dots);
                _mm_store_ps(norm_rows, norms);
                finish_with_tail(M, p, g, dot_rows, norm_rows);
            } else {
                _mm_storeu_ps(p.out + g * 4, finish4<M>(dots, norms, p.query_norm));
            }
            active[kept++] = static_cast<uint8_t>(g);
            continue;
        }
        // Squared differences only grow the sums, so partial sums that already reach the
        // bound for all four rows settle that none of them can be kept.
        if constexpr (M == Metric::L2) {
            if (p.may_abandon && all_reach(combine4(acc01, acc23), p.abandon_at)) continue;
        }
        _mm256_store_ps(lanes.dot, acc01);
        _mm256_store_ps(lanes.dot + 8, acc23);
        if constexpr (M == Metric::Cosine) {
            _mm256_store_ps(lanes.nb, nb01);
            _mm256_store_ps(lanes.nb + 8, nb23);
        }
        if (p.may_abandon) {
            prefetch_segment(p.next_data + g * p.next_group_elements, p.next_group_elements);
        }
        active[kept++] = static_cast<uint8_t>(g);
    }
    return kept;
}

// (s0 + s1) + (s2 + s3) of each row of a group held in one register, in row order.
TVDB_TARGET_AVX512 __m128 combine16(__m512 sums) {
    __m512 pairs = _mm512_add_ps(sums, _mm512_permute_ps(sums, 0xB1));     // s0+s1 at lane 0
    __m512 totals = _mm512_add_ps(pairs, _mm512_permute_ps(pairs, 0x4E));  // + (s2+s3)
    const __m512i row_starts = _mm512_setr_epi32(0, 4, 8, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    return _mm512_castps512_ps128(_mm512_permutexvar_ps(row_starts, totals));
}

// A whole block of a group (four components of each of its four rows) widens into one
// register whose 128-bit lanes are the rows, so each lane accumulates the partial sums of
// one row, exactly as the 128-bit kernel does.
TVDB_TARGET_AVX512 inline __m512 load16(const uint16_t* halves) {
    return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(halves)));
}
TVDB_TARGET_AVX512 inline __m512 load16(const float* values) { return _mm512_loadu_ps(values); }

template <Metric M, typename Element>
TVDB_TARGET_AVX512 size_t pass_avx512(const SegmentPass<Element>& p, uint8_t* active,
                                      size_t n_active) {
    const float* query = p.query.data() + p.first_block * 4;
    size_t kept = 0;
    for (size_t j = 0; j < n_active; ++j) {
        const size_t g = active[j];
        const Element* data = p.data + g * p.group_elements;
        GroupLanes& lanes = p.lanes[g];
        __m512 acc = _mm512_setzero_ps(), nb = acc;
        if (!p.first) {
            acc = _mm512_load_ps(lanes.dot);
            if constexpr (M == Metric::Cosine) nb = _mm512_load_ps(lanes.nb);
        }
        for (size_t b = 0; b < p.whole_blocks; ++b) {
            __m512 x = load16(data + b * GroupLayout::kBlockElements);
            __m512 q = _mm512_broadcast_f32x4(_mm_loadu_ps(query + b * 4));
            if constexpr (M == Metric::L2) {
                __m512 d = _mm512_sub_ps(q, x);
                acc = _mm512_add_ps(acc, _mm512_mul_ps(d, d));
            } else {
                acc = _mm512_add_ps(acc, _mm512_mul_ps(q, x));
                if constexpr (M == Metric::Cosine) nb = _mm512_add_ps(nb, _mm512_mul_ps(x, x));
            }
        }
        if (p.last) {
            __m128 dots = combine16(acc);
            __m128 norms = combine16(nb);
            if (p.has_tail) {
                alignas(16) float dot_rows[4], norm_rows[4];
                _mm_store_ps(dot_rows, dots);
                _mm_store_ps(norm_rows, norms);
                finish_with_tail(M, p, g, dot_rows, norm_rows);
            } else {
                _mm_storeu_ps(p.out + g * 4, finish4<M>(dots, norms, p.query_norm));
            }
            active[kept++] = static_cast<uint8_t>(g);
            continue;
        }
        if constexpr (M == Metric::L2) {
            if (p.may_abandon && all_reach(combine16(acc), p.abandon_at)) continue;
        }
        _mm512_store_ps(lanes.dot, acc);
        if constexpr (M == Metric::Cosine) _mm512_store_ps(lanes.nb, nb);
        if (p.may_abandon) {
            prefetch_segment(p.next_data + g * p.next_group_elements, p.next_group_elements);
        }
        active[kept++] = static_cast<uint8_t>(g);
    }
    return kept;
}

// Runs one pass with the widest kernel the processor offers; returns how many groups are
// still measured.
template <typename Element>
size_t run_pass(SimdLevel level, Metric metric, const SegmentPass<Element>& p, uint8_t* active,
                size_t n_active) {
    if (level == SimdLevel::Avx512) {
        switch (metric) {
            case Metric::L2: return pass_avx512<Metric::L2>(p, active, n_active);
            case Metric::Cosine: return pass_avx512<Metric::Cosine>(p, active, n_active);
            case Metric::DotProduct: return pass_avx512<Metric::DotProduct>(p, active, n_active);
        }
    }
    switch (metric) {
        case Metric::L2: return pass_avx2<Metric::L2>(p, active, n_active);
        case Metric::Cosine: return pass_avx2<Metric::Cosine>(p, active, n_active);
        case Metric::DotProduct: return pass_avx2<Metric::DotProduct>(p, active, n_active);
    }
    return 0;
}

// Runs the passes of every segment over the groups; returns how many were measured to the
// end, listed first in `active`.
template <typename Element>
size_t scan_by_segments(SimdLevel level, Metric metric, std::span<const float> query,
                        float query_norm, const GroupLayout& layout, const Element* region,
                        size_t region_groups, size_t first_group, size_t n_groups,
                        float abandon_at, float* out, uint8_t* active) {
    static_assert(kScanGroups <= 256, "group numbers are kept in bytes");
    GroupLanes lanes[kScanGroups];
    for (size_t g = 0; g < n_groups; ++g) active[g] = static_cast<uint8_t>(g);
    size_t n_active = n_groups;
    const size_t whole_blocks = query.size() / 4;
    const size_t region_segment = region_groups * GroupLayout::kSegmentElements;
    for (size_t segment = 0; segment < layout.segments && n_active > 0; ++segment) {
        SegmentPass<Element> p;
        p.query = query;
        p.query_norm = query_norm;
        p.first_block = segment * GroupLayout::kSegmentBlocks;
        p.group_elements = layout.blocks_in_segment(segment) * GroupLayout::kBlockElements;
        p.data = region + segment * region_segment + first_group * p.group_elements;
        p.whole_blocks =
            std::min(whole_blocks, p.first_block + layout.blocks_in_segment(segment)) - p.first_block;
        p.first = segment == 0;
        p.last = segment + 1 == layout.segments;
        p.has_tail = whole_blocks < layout.blocks;
        if (!p.last) {
            p.next_group_elements =
                layout.blocks_in_segment(segment + 1) * GroupLayout::kBlockElements;
            p.next_data = region + (segment + 1) * region_segment + first_group * p.next_group_elements;
        }
        p.may_abandon = metric == Metric::L2 && abandon_at < std::numeric_limits<float>::infinity();
        p.abandon_at = abandon_at;
        p.lanes = lanes;
        p.out = out;
        n_active = run_pass(level, metric, p, active, n_active);
    }
    return n_active;
}

#endif

template <typename Element>
size_t distances_of_groups(Metric metric, std::span<const float> query, const GroupLayout& layout,
                           const Element* region, size_t region_groups, size_t first_group,
                           size_t n_rows, float abandon_at, float* out, uint8_t* measured) {
    const size_t n_groups = (n_rows + GroupLayout::kGroupRows - 1) / GroupLayout::kGroupRows;
    // The query's own sum of squares, in the fixed order (Cosine only).
    const float query_norm =
        metric == Metric::Cosine ? -distance(Metric::DotProduct, query, query) : 0.0f;
#if defined(__GNUC__)
    const SimdLevel level = simd_level();
    if (level != SimdLevel::Baseline && layout.segments > 0) {
        return scan_by_segments(level, metric, query, query_norm, layout, region, region_groups,
                                first_group, n_groups, abandon_at, out, measured);
    }
#endif
    for (size_t g = 0; g < n_groups; ++g) {
        group_scalar(metric, query, query_norm, layout, region, region_groups, first_group + g,
                     out + g * GroupLayout::kGroupRows);
        measured[g] = static_cast<uint8_t>(g);
    }
    return n_groups;
}

}  // namespace

size_t group_distances(Metric metric, std::span<const float> query, const GroupLayout& layout,
                       const uint16_t* region, size_t region_groups, size_t first_group,
                       size_t n_rows, float abandon_at, float* out, uint8_t* measured) {
    return distances_of_groups(metric, query, layout, region, region_groups, first_group, n_rows,
                               abandon_at, out, measured);
}

size_t group_distances(Metric metric, std::span<const float> query, const GroupLayout& layout,
                       const float* region, size_t region_groups, size_t first_group,
                       size_t n_rows, float abandon_at, float* out, uint8_t* measured) {
    return distances_of_groups(metric, query, layout, region, region_groups, first_group, n_rows,
                               abandon_at, out, measured);
}

}  // namespace tvdb
