#include "sign_bit_scan.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "simd_level.hpp"

namespace tvdb {
namespace {

constexpr size_t kBlockSlots = SignBitLayout::kBlockSlots;

void hamming_blocks_portable(const uint64_t* query, size_t words, const uint64_t* blocks,
                                    size_t n_blocks, uint32_t* out) {
    for (size_t b = 0; b < n_blocks; ++b, blocks += kBlockSlots * words, out += kBlockSlots) {
        uint32_t counts[kBlockSlots] = {};
        for (size_t w = 0; w < words; ++w) {
            for (size_t s = 0; s < kBlockSlots; ++s) {
                counts[s] += static_cast<uint32_t>(std::popcount(query[w] ^ blocks[w * kBlockSlots + s]));
            }
        }
        for (size_t s = 0; s < kBlockSlots; ++s) out[s] = counts[s];
    }
}

size_t positions_below_portable(const uint32_t* values, size_t n, uint32_t bound,
                                uint32_t* positions) {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        positions[count] = static_cast<uint32_t>(i);
        count += values[i] < bound;
    }
    return count;
}

#if defined(__GNUC__)
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Bits counted a nibble at a time by table lookup, in bytes: a byte sums at most 8 bits per
// word, so the byte counts are folded into 64-bit lanes before 32 words could overflow them.
TVDB_TARGET_AVX2 __m256i differing_bits(__m256i stored, __m256i query) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i x = _mm256_xor_si256(stored, query);
    __m256i low = _mm256_shuffle_epi8(table, _mm256_and_si256(x, nibble));
    __m256i high = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble));
    return _mm256_add_epi8(low, high);
}

TVDB_TARGET_AVX2 void hamming_blocks_avx2(const uint64_t* query, size_t words,
                                          const uint64_t* blocks, size_t n_blocks,
                                          uint32_t* out) {
    constexpr size_t kWordsPerFold = 31;
    const __m256i zero = _mm256_setzero_si256();
    for (size_t b = 0; b < n_blocks; ++b, blocks += kBlockSlots * words, out += kBlockSlots) {
        __m256i counts_low = zero, counts_high = zero;  // slots 0-3 and 4-7, 64-bit lanes
        for (size_t first = 0; first < words; first += kWordsPerFold) {
            __m256i bytes_low = zero, bytes_high = zero;
            const size_t end = std::min(words, first + kWordsPerFold);
            for (size_t w = first; w < end; ++w) {
                const __m256i q = _mm256_set1_epi64x(static_cast<long long>(query[w]));
                const uint64_t* word = blocks + w * kBlockSlots;
                bytes_low = _mm256_add_epi8(bytes_low, differing_bits(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(word)), q));
                bytes_high = _mm256_add_epi8(bytes_high, differing_bits(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(word + 4)), q));
            }
            counts_low = _mm256_add_epi64(counts_low, _mm256_sad_epu8(bytes_low, zero));
            counts_high = _mm256_add_epi64(counts_high, _mm256_sad_epu8(bytes_high, zero));
        }
        // The low 32 bits of each 64-bit count, slots in order.
        const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
        __m128i low = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(counts_low, pick));
        __m128i high = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(counts_high, pick));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), high);
    }
}

// Word w of the eight slots of a block fills one register.
TVDB_TARGET_AVX512_POPCOUNT void hamming_blocks_avx512(const uint64_t* query, size_t words,
                                                       const uint64_t* blocks, size_t n_blocks,
                                                       uint32_t* out) {
    for (size_t b = 0; b < n_blocks; ++b, blocks += kBlockSlots * words, out += kBlockSlots) {
        __m512i counts = _mm512_setzero_si512();
        for (size_t w = 0; w < words; ++w) {
            __m512i differing = _mm512_xor_si512(_mm512_loadu_si512(blocks + w * kBlockSlots),
                                                 _mm512_set1_epi64(static_cast<long long>(query[w])));
            counts = _mm512_add_epi64(counts, _mm512_popcnt_epi64(differing));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi64_epi32(counts));
    }
}

TVDB_TARGET_AVX512 size_t positions_below_avx512(const uint32_t* values, size_t n,
                                                 uint32_t bound, uint32_t* positions) {
    const __m512i limit = _mm512_set1_epi32(static_cast<int>(bound));
    const __m512i step = _mm512_set1_epi32(16);
    __m512i index = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    size_t count = 0;
    for (size_t i = 0; i < n; i += 16, index = _mm512_add_epi32(index, step)) {
        const __mmask16 in_range =
            n - i >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << (n - i)) - 1);
        __mmask16 below = _mm512_mask_cmplt_epu32_mask(
            in_range, _mm512_maskz_loadu_epi32(in_range, values + i), limit);
        if (below == 0) continue;
        // Compressed in a register and stored whole: the spare lanes land in the slack.
        _mm512_storeu_si512(positions + count, _mm512_maskz_compress_epi32(below, index));
        count += static_cast<size_t>(std::popcount(static_cast<unsigned>(below)));
    }
    return count;
}
#endif

}  // namespace

void hamming_blocks(const uint64_t* query, const SignBitLayout& layout, const uint64_t* blocks,
                    size_t n_blocks, uint32_t* out) {
#if defined(__GNUC__)
    if (simd_has_vector_popcount()) {
        return hamming_blocks_avx512(query, layout.words, blocks, n_blocks, out);
    }
    if (simd_level() >= SimdLevel::Avx2) {
        return hamming_blocks_avx2(query, layout.words, blocks, n_blocks, out);
    }
#endif
    hamming_blocks_portable(query, layout.words, blocks, n_blocks, out);
}

size_t positions_below(const uint32_t* values, size_t n, uint32_t bound, uint32_t* positions) {
#if defined(__GNUC__)
    if (simd_level() == SimdLevel::Avx512) return positions_below_avx512(values, n, bound, positions);
#endif
    return positions_below_portable(values, n, bound, positions);
}

}  // namespace tvdb
