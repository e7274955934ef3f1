#include "int8_code_scan.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "detail/decoded_scan.hpp"
#include "detail/top_k.hpp"
#include "quantized_flat_index.hpp"

namespace tvdb {
namespace {

constexpr size_t kBlock = 64;
// Rows whose sum of squared codes could pass 2^32 are not bounded.
constexpr uint64_t kMaxBoundedDimensions = std::numeric_limits<uint32_t>::max() / (127 * 127);

// The query rounded to int8 and the constants of the bounds.
struct QueryBounds {
    std::vector<int8_t> codes;  // round(q_i * scale), clamped to -127..127
    float inverse_scale = 1.0f;
    float norm = 0.0f;          // |q|
    float norm_squared = 0.0f;  // |q|^2
    // Relative slack covering every float rounding: the exact distance's own sums, the
    // decoding, and the evaluation of the bound itself (four times what they need).
    float relative = 0.0f;
    // Bound on |sum_i (q_i - codes_i / scale) * c_i| / s per unit of |c| / s: the rounding
    // of the query to codes, through Cauchy-Schwarz (|c|_1 <= sqrt(d) |c|_2).
    float rounding = 0.0f;
};

bool prepare_bounds(std::span<const float> query, QueryBounds& bounds) {
    double largest = 0.0;
    double norm_squared = 0.0;
    for (float x : query) {
        if (!std::isfinite(x)) return false;
        largest = std::max(largest, std::fabs(static_cast<double>(x)));
        norm_squared += static_cast<double>(x) * x;
    }
    const double scale = largest > 0.0 ? 127.0 / largest : 1.0;
    bounds.codes.resize(query.size());
    double worst_rounding = 0.0;
    for (size_t i = 0; i < query.size(); ++i) {
        double code = std::clamp(std::nearbyint(query[i] * scale), -127.0, 127.0);
        bounds.codes[i] = static_cast<int8_t>(code);
        worst_rounding = std::max(worst_rounding, std::fabs(query[i] - code / scale));
    }
    const double n = static_cast<double>(query.size());
    bounds.inverse_scale = static_cast<float>(1.0 / scale);
    bounds.norm = static_cast<float>(std::sqrt(norm_squared) * (1 + 1e-6));
    bounds.norm_squared = static_cast<float>(norm_squared * (1 - 1e-6));
    bounds.relative = static_cast<float>((n + 16) * 0x1p-22);
    bounds.rounding = static_cast<float>(1.01 * worst_rounding * std::sqrt(n));
    return std::isfinite(bounds.norm) && std::isfinite(bounds.norm_squared);
}

int32_t int_dot_scalar(const int8_t* a, const int8_t* b, size_t n) {
    int32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += int32_t{a[i]} * b[i];
    return sum;
}

void int_dots_scalar(const int8_t* query, const int8_t* codes, size_t dims, size_t n,
                     int32_t* out) {
    for (size_t r = 0; r < n; ++r) out[r] = int_dot_scalar(query, codes + r * dims, dims);
}

#if defined(__GNUC__)
// Products of signed bytes through maddubs: |q| (unsigned) times c with q's sign; a pair of
// products stays within 2 * 127 * 127, so the 16-bit sums never saturate.
__attribute__((target("avx2"))) void int_dots_avx2(const int8_t* query, const int8_t* codes,
                                                   size_t dims, size_t n, int32_t* out) {
    const size_t wide_end = dims & ~size_t{31};
    const __m256i ones = _mm256_set1_epi16(1);
    for (size_t r = 0; r < n; ++r) {
        const int8_t* row = codes + r * dims;
        __m256i acc = _mm256_setzero_si256();
        for (size_t i = 0; i < wide_end; i += 32) {
            __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i));
            __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i));
            __m256i pairs = _mm256_maddubs_epi16(_mm256_sign_epi8(q, q), _mm256_sign_epi8(c, q));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(pairs, ones));
        }
        __m128i half = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        half = _mm_add_epi32(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(1, 0, 3, 2)));
        half = _mm_add_epi32(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(2, 3, 0, 1)));
        out[r] = _mm_cvtsi128_si32(half) +
                 int_dot_scalar(query + wide_end, row + wide_end, dims - wide_end);
    }
}

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

void int_dots(const int8_t* query, const int8_t* codes, size_t dims, size_t n, int32_t* out) {
#if defined(__GNUC__)
    if (cpu_has_avx2()) return int_dots_avx2(query, codes, dims, n, out);
#endif
    int_dots_scalar(query, codes, dims, n, out);
}

// Lower bounds of the exact distances of n rows, in the metric's own terms (squared for
// L2). NaN where a row falls outside what the bounds cover, which never rules a row out.
void lower_bounds(Metric metric, const QueryBounds& q, const int32_t* dots, const float* scales,
                  const uint32_t* code_norms, size_t n, float* out) {
    const float e = q.relative;
    for (size_t r = 0; r < n; ++r) {
        float inverse = 1.0f / scales[r];
        float xx = static_cast<float>(code_norms[r]) * inverse * inverse;  // ~|x|^2
        float nx = std::sqrt(xx);                                          // ~|x|
        float dot = static_cast<float>(dots[r]) * inverse * q.inverse_scale;  // ~q.x
        float dot_error = e * q.norm * nx + q.rounding * nx;
        float bound;
        if (metric == Metric::L2) {
            float spread = q.norm + nx;
            bound = q.norm_squared - 2.0f * dot + xx - e * spread * spread - 2.0f * q.rounding * nx;
        } else if (metric == Metric::DotProduct) {
            bound = -(dot + dot_error);
        } else {
            float numerator = dot + dot_error;
            float denominator = q.norm * nx * (numerator >= 0.0f ? 1.0f - e : 1.0f + e);
            bound = 1.0f - numerator / denominator - e;
        }
        // Scales outside the normal range leave the decoding unbounded.
        bool covered = std::isfinite(inverse) && inverse > 0x1p-100f && inverse < 0x1p100f;
        out[r] = covered ? bound : std::numeric_limits<float>::quiet_NaN();
    }
}

// The bound a row must reach to be ruled out: the worst kept distance, squared for L2 and
// rounded up so that the comparison stays on the safe side.
float rejection_threshold(Metric metric, float worst) {
    if (metric == Metric::L2) return worst * worst * (1.0f + 0x1p-20f);
    return worst;
}

}  // namespace

uint32_t code_norm(std::span<const int8_t> codes) {
    uint32_t sum = 0;
    for (int8_t c : codes) sum += static_cast<uint32_t>(int32_t{c} * c);
    return sum;
}

std::vector<SearchResult> scan_int8_rows(Metric metric, std::span<const float> query,
                                         const Int8Rows& rows, uint64_t k,
                                         const IdFilter* admit) {
    const size_t dims = query.size();
    const size_t count = rows.ids.size();
    if (k == 0 || count == 0) return {};
    auto decode = [&](size_t first, size_t n, float* out) {
        for (size_t r = first; r < first + n; ++r, out += dims) {
            dequantize_into(rows.codes + r * dims, dims, rows.scales[r], out);
        }
    };
    QueryBounds q;
    if (dims > kMaxBoundedDimensions || !prepare_bounds(query, q)) {
        return scan_decoded(metric, query, rows.ids, k, decode, admit);
    }
    TopK top(std::min<uint64_t>(k, count), admit);
    std::vector<float> decoded(dims);
    int32_t dots[kBlock];
    float bounds[kBlock];
    float threshold = std::numeric_limits<float>::infinity();
    for (size_t first = 0; first < count; first += kBlock) {
        size_t n = std::min(kBlock, count - first);
        int_dots(q.codes.data(), rows.codes + first * dims, dims, n, dots);
        lower_bounds(metric, q, dots, rows.scales + first, rows.code_norms + first, n, bounds);
        for (size_t r = 0; r < n; ++r) {
            if (bounds[r] >= threshold) continue;  // cannot displace a kept row
            size_t row = first + r;
            dequantize_into(rows.codes + row * dims, dims, rows.scales[row], decoded.data());
            top.push(rows.ids[row], distance(metric, query, decoded));
            if (top.full()) threshold = rejection_threshold(metric, top.worst());
        }
    }
    return top.take_sorted();
}

}  // namespace tvdb
