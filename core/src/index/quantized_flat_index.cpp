#include "quantized_flat_index.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "../codec.hpp"
#include "bulk_rows.hpp"
#include "int8_code_scan.hpp"

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

constexpr size_t kEntryMinBytes = 8 + 8 + 4;  // ID, code count, scale

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

QuantizedFlatIndex::QuantizedFlatIndex(uint64_t dimensions, Metric metric)
    : config_{.dimensions = dimensions, .metric = metric} {}

void QuantizedFlatIndex::store(VectorId id, std::span<const float> vector) {
    auto [slot, appended] = slots_.place(id);
    if (appended) {
        codes_.resize(codes_.size() + config_.dimensions);
        scales_.push_back(1.0f);
        code_norms_.push_back(0);
    }
    int8_t* codes = codes_.data() + slot * config_.dimensions;
    scales_[slot] = quantize_into(vector, codes);
    code_norms_[slot] = code_norm(std::span(codes, config_.dimensions));
}

void QuantizedFlatIndex::store_codes(VectorId id, std::span<const int8_t> codes, float scale) {
    auto [slot, appended] = slots_.place(id);
    if (appended) {
        codes_.resize(codes_.size() + config_.dimensions);
        scales_.push_back(scale);
        code_norms_.push_back(0);
    }
    std::copy(codes.begin(), codes.end(), codes_.begin() + slot * config_.dimensions);
    scales_[slot] = scale;
    code_norms_[slot] = code_norm(codes);
}

Result<void> QuantizedFlatIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    store(id, vector);
    return {};
}

Result<void> QuantizedFlatIndex::add_batch_contiguous(std::span<const float> data,
                                                      VectorId start_id) {
    auto rows = raw_row_count(config_.dimensions, data.size(), start_id);
    if (!rows) return fail(rows.error());
    const size_t dims = config_.dimensions;
    slots_.reserve(slots_.size() + *rows);
    codes_.reserve(codes_.size() + *rows * dims);
    scales_.reserve(scales_.size() + *rows);
    code_norms_.reserve(code_norms_.size() + *rows);
    for (uint64_t i = 0; i < *rows; ++i) store(start_id + i, data.subspan(i * dims, dims));
    return {};
}

Result<std::vector<SearchResult>> QuantizedFlatIndex::search(std::span<const float> query,
                                                             uint64_t k) const {
    if (slots_.size() == 0) return std::vector<SearchResult>{};
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    Int8Rows rows{slots_.ids(), codes_.data(), scales_.data(), code_norms_.data()};
    return scan_int8_rows(config_.metric, query, rows, k);
}

bool QuantizedFlatIndex::remove(VectorId id) {
    auto slot = slots_.remove(id);
    if (!slot) return false;
    move_last_row(codes_, config_.dimensions, *slot);
    move_last_row(scales_, 1, *slot);
    move_last_row(code_norms_, 1, *slot);
    return true;
}

void QuantizedFlatIndex::iter_vectors(const VectorVisitor& visit) const {
    if (slots_.size() == 0) return;
    std::vector<float> decoded(config_.dimensions);
    auto ids = slots_.ids();
    for (size_t s = 0; s < ids.size(); ++s) {
        dequantize_into(slot_codes(s), config_.dimensions, scales_[s], decoded.data());
        visit(ids[s], decoded);
    }
}

std::optional<QuantizedVector> QuantizedFlatIndex::stored(VectorId id) const {
    auto slot = slots_.find(id);
    if (!slot) return std::nullopt;
    const int8_t* codes = slot_codes(*slot);
    return QuantizedVector{{codes, codes + config_.dimensions}, scales_[*slot]};
}

Result<void> QuantizedFlatIndex::save(const std::string& path) const {
    ByteEncoder out;
    out.u64(config_.dimensions);
    out.u32(static_cast<uint32_t>(config_.metric));
    out.count(slots_.size());
    auto ids = slots_.ids();
    for (size_t s = 0; s < ids.size(); ++s) {
        out.u64(ids[s]);
        out.count(config_.dimensions);
        out.raw(slot_codes(s), config_.dimensions);
        out.f32(scales_[s]);
    }
    return write_file(path, out.bytes());
}

Result<QuantizedFlatIndex> QuantizedFlatIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    RecordDecoder in(*bytes);
    uint64_t dimensions = in.u64();
    auto metric = static_cast<Metric>(in.variant(kMetricCount));
    uint64_t entries = in.count(kEntryMinBytes);
    if (!in.ok()) return fail(in.error());
    QuantizedFlatIndex index(dimensions, metric);
    for (uint64_t e = 0; e < entries; ++e) {
        VectorId id = in.u64();
        uint64_t code_count = in.count(1);
        if (in.ok() && code_count != dimensions) {
            in.fail("entry " + std::to_string(e) + " has " + std::to_string(code_count) +
                    " codes, expected " + std::to_string(dimensions));
        }
        auto raw_codes = in.raw(code_count);
        float scale = in.f32();
        if (!in.ok()) return fail(in.error());
        std::span codes(reinterpret_cast<const int8_t*>(raw_codes.data()), raw_codes.size());
        if (std::find(codes.begin(), codes.end(), int8_t{-128}) != codes.end()) {
            return fail(VectorDbError::serialization("entry " + std::to_string(e) +
                                                     " holds the code -128, outside -127..127"));
        }
        index.store_codes(id, codes, scale);
    }
    return index;
}

}  // namespace tvdb
