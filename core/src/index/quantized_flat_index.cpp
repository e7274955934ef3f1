#include "quantized_flat_index.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "detail/int8_code_scan.hpp"

namespace tvdb {
namespace {

// Round half away from zero, clamp to the symmetric code range, NaN to 0.
int8_t to_code(float scaled) {
    if (std::isnan(scaled)) return 0;
    float rounded = std::round(scaled);
    return static_cast<int8_t>(std::clamp(rounded, -127.0f, 127.0f));
}

void dequantize_scalar(const int8_t* codes, size_t n, float scale, float* out) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(codes[i]) / scale;
}

#if defined(__GNUC__)
// Division is correctly rounded in every lane, so this matches the scalar loop bit for bit.
__attribute__((target("avx2"))) void dequantize_avx2(const int8_t* codes, size_t n, float scale,
                                                     float* out) {
    const __m256 divisor = _mm256_set1_ps(scale);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i));
        __m256 values = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes));
        _mm256_storeu_ps(out + i, _mm256_div_ps(values, divisor));
    }
    dequantize_scalar(codes + i, n - i, scale, out + i);
}

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace

float quantize_into(std::span<const float> vector, int8_t* codes) {
    float largest = 0.0f;
    for (float x : vector) {
        float magnitude = std::fabs(x);
        if (magnitude > largest) largest = magnitude;  // NaN never compares greater
    }
    float scale = largest > 0.0f ? 127.0f / largest : 1.0f;
    for (size_t i = 0; i < vector.size(); ++i) codes[i] = to_code(vector[i] * scale);
    return scale;
}

QuantizedVector quantize(std::span<const float> vector) {
    QuantizedVector q;
    q.codes.resize(vector.size());
    q.scale = quantize_into(vector, q.codes.data());
    return q;
}

void dequantize_into(const int8_t* codes, size_t n, float scale, float* out) {
#if defined(__GNUC__)
    if (cpu_has_avx2()) return dequantize_avx2(codes, n, scale, out);
#endif
    dequantize_scalar(codes, n, scale, out);
}

void QuantizedFlatIndex::append_slot() {
    codes_.resize(codes_.size() + config_.dimensions);
    scales_.push_back(1.0f);
    code_norms_.push_back(0);
}

void QuantizedFlatIndex::reserve_slots(size_t extra) {
    codes_.reserve(codes_.size() + extra * config_.dimensions);
    scales_.reserve(scales_.size() + extra);
    code_norms_.reserve(code_norms_.size() + extra);
}

void QuantizedFlatIndex::encode_slot(size_t slot, std::span<const float> vector) {
    int8_t* codes = slot_codes(slot);
    scales_[slot] = quantize_into(vector, codes);
    code_norms_[slot] = code_norm(std::span(codes, config_.dimensions));
}

Result<std::vector<SearchResult>> QuantizedFlatIndex::search(std::span<const float> query,
                                                             uint64_t k) const {
    return nearest(query, k, nullptr);
}

Result<std::vector<SearchResult>> QuantizedFlatIndex::search_filtered(std::span<const float> query,
                                                                      uint64_t k,
                                                                      const SearchFilter& filter) const {
    return nearest(query, k, &filter.admit);
}

Result<std::vector<SearchResult>> QuantizedFlatIndex::nearest(std::span<const float> query,
                                                              uint64_t k,
                                                              const IdFilter* admit) const {
    if (slots_.size() == 0) return std::vector<SearchResult>{};
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    Int8Rows rows{slots_.ids(), codes_.data(), scales_.data(), code_norms_.data()};
    return scan_int8_rows(config_.metric, query, rows, k, admit);
}

void QuantizedFlatIndex::move_last_slot_into(size_t slot) {
    move_last_row(codes_, config_.dimensions, slot);
    move_last_row(scales_, 1, slot);
    move_last_row(code_norms_, 1, slot);
}

void QuantizedFlatIndex::decode_slot(size_t slot, float* out) const {
    dequantize_into(slot_codes(slot), config_.dimensions, scales_[slot], out);
}

std::optional<QuantizedVector> QuantizedFlatIndex::stored(VectorId id) const {
    auto slot = slots_.find(id);
    if (!slot) return std::nullopt;
    const int8_t* codes = slot_codes(*slot);
    return QuantizedVector{{codes, codes + config_.dimensions}, scales_[*slot]};
}

void QuantizedFlatIndex::write_entry(ByteEncoder& out, size_t slot) const {
    out.count(config_.dimensions);
    out.raw(slot_codes(slot), config_.dimensions);
    out.f32(scales_[slot]);
}

Result<void> QuantizedFlatIndex::read_entry(RecordDecoder& in, uint64_t entry, VectorId id) {
    auto raw_codes = read_entry_elements(in, entry, 1, config_.dimensions, "codes");
    float scale = in.f32();
    if (!in.ok()) return fail(in.error());
    std::span codes(reinterpret_cast<const int8_t*>(raw_codes.data()), raw_codes.size());
    if (std::find(codes.begin(), codes.end(), int8_t{-128}) != codes.end()) {
        return fail(VectorDbError::serialization("entry " + std::to_string(entry) +
                                                 " holds the code -128, outside -127..127"));
    }
    size_t slot = place(id);
    std::copy(codes.begin(), codes.end(), slot_codes(slot));
    scales_[slot] = scale;
    code_norms_[slot] = code_norm(codes);
    return {};
}

}  // namespace tvdb
