#include "fp16_flat_index.hpp"

#include <immintrin.h>

#include <bit>

#include "../codec.hpp"
#include "bulk_rows.hpp"
#include "decoded_scan.hpp"

namespace tvdb {
namespace {

constexpr uint32_t kF32AbsMask = 0x7FFFFFFF;
constexpr uint32_t kF32Infinity = 0x7F800000;
// The smallest magnitude that rounds past the largest finite half (65504): 65520, the tie
// between 65504 and 65536, goes to the even neighbour, which is infinity.
constexpr uint32_t kF32HalfOverflow = 0x477FF000;
constexpr uint32_t kF32SmallestNormalHalf = 0x38800000;  // 2^-14
constexpr uint32_t kExponentRebias = (127 - 15) << 23;

// Drops the low `shift` bits of `value`, rounding to nearest with ties to even. A carry out
// of the mantissa correctly moves into the exponent.
uint32_t shift_round_even(uint32_t value, uint32_t shift) {
    uint32_t kept = value >> shift;
    uint32_t rest = value & ((1u << shift) - 1);
    uint32_t halfway = 1u << (shift - 1);
    if (rest > halfway || (rest == halfway && (kept & 1))) ++kept;
    return kept;
}

void halves_to_floats_scalar(const uint16_t* halves, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) out[i] = half_to_float(halves[i]);
}

#if defined(__GNUC__)
__attribute__((target("avx,f16c"))) void halves_to_floats_f16c(const uint16_t* halves, size_t n,
                                                             float* out) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i packed = _mm_loadu_si128(reinterpret_cast<const __m128i*>(halves + i));
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(packed));
    }
    halves_to_floats_scalar(halves + i, n - i, out + i);
}

bool cpu_has_f16c() {
    static const bool has = __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c");
    return has;
}
#endif

constexpr size_t kEntryMinBytes = 8 + 8;  // ID, component count

}  // namespace

uint16_t float_to_half(float value) {
    uint32_t bits = std::bit_cast<uint32_t>(value);
    auto sign = static_cast<uint16_t>((bits >> 16) & 0x8000);
    uint32_t magnitude = bits & kF32AbsMask;
    if (magnitude > kF32Infinity) {
        return static_cast<uint16_t>(sign | 0x7E00 | ((magnitude >> 13) & 0x3FF));
    }
    if (magnitude >= kF32HalfOverflow) return static_cast<uint16_t>(sign | 0x7C00);
    if (magnitude >= kF32SmallestNormalHalf) {
        return static_cast<uint16_t>(sign | shift_round_even(magnitude - kExponentRebias, 13));
    }
    // Subnormal half: the value in units of 2^-24. Below 2^-25 everything rounds to zero.
    uint32_t exponent = magnitude >> 23;
    if (exponent < 102) return sign;
    uint32_t mantissa = (magnitude & 0x7FFFFF) | 0x800000;
    return static_cast<uint16_t>(sign | shift_round_even(mantissa, 126 - exponent));
}

float half_to_float(uint16_t half) {
    uint32_t sign = static_cast<uint32_t>(half & 0x8000) << 16;
    uint32_t exponent = (half >> 10) & 0x1F;
    uint32_t mantissa = half & 0x3FF;
    uint32_t bits;
    if (exponent == 0x1F) {
        bits = sign | kF32Infinity | (mantissa << 13);
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
    } else {
        float subnormal = static_cast<float>(mantissa) * 0x1p-24f;  // exact
        bits = sign | std::bit_cast<uint32_t>(subnormal);
    }
    return std::bit_cast<float>(bits);
}

void halves_to_floats(const uint16_t* halves, size_t n, float* out) {
#if defined(__GNUC__)
    if (cpu_has_f16c()) return halves_to_floats_f16c(halves, n, out);
#endif
    halves_to_floats_scalar(halves, n, out);
}

Fp16FlatIndex::Fp16FlatIndex(uint64_t dimensions, Metric metric)
    : config_{.dimensions = dimensions, .metric = metric} {}

uint16_t* Fp16FlatIndex::place(VectorId id) {
    auto [slot, appended] = slots_.place(id);
    if (appended) halves_.resize(halves_.size() + config_.dimensions);
    return halves_.data() + slot * config_.dimensions;
}

Result<void> Fp16FlatIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    uint16_t* halves = place(id);
    for (size_t i = 0; i < vector.size(); ++i) halves[i] = float_to_half(vector[i]);
    return {};
}

Result<void> Fp16FlatIndex::add_batch_contiguous(std::span<const float> data, VectorId start_id) {
    auto rows = raw_row_count(config_.dimensions, data.size(), start_id);
    if (!rows) return fail(rows.error());
    const size_t dims = config_.dimensions;
    slots_.reserve(slots_.size() + *rows);
    halves_.reserve(halves_.size() + *rows * dims);
    for (uint64_t r = 0; r < *rows; ++r) {
        uint16_t* halves = place(start_id + r);
        const float* row = data.data() + r * dims;
        for (size_t i = 0; i < dims; ++i) halves[i] = float_to_half(row[i]);
    }
    return {};
}

Result<std::vector<SearchResult>> Fp16FlatIndex::search(std::span<const float> query,
                                                        uint64_t k) const {
    if (slots_.size() == 0) return std::vector<SearchResult>{};
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    const size_t dims = config_.dimensions;
    // Slots are contiguous, so a block of rows widens in one pass.
    return scan_decoded(config_.metric, query, slots_.ids(), k,
                        [&](size_t first, size_t n, float* out) {
                            halves_to_floats(slot_halves(first), n * dims, out);
                        });
}

bool Fp16FlatIndex::remove(VectorId id) {
    auto slot = slots_.remove(id);
    if (!slot) return false;
    move_last_row(halves_, config_.dimensions, *slot);
    return true;
}

void Fp16FlatIndex::iter_vectors(const VectorVisitor& visit) const {
    if (slots_.size() == 0) return;
    std::vector<float> decoded(config_.dimensions);
    auto ids = slots_.ids();
    for (size_t s = 0; s < ids.size(); ++s) {
        halves_to_floats(slot_halves(s), config_.dimensions, decoded.data());
        visit(ids[s], decoded);
    }
}

std::optional<std::vector<uint16_t>> Fp16FlatIndex::stored(VectorId id) const {
    auto slot = slots_.find(id);
    if (!slot) return std::nullopt;
    const uint16_t* halves = slot_halves(*slot);
    return std::vector<uint16_t>(halves, halves + config_.dimensions);
}

Result<void> Fp16FlatIndex::save(const std::string& path) const {
    ByteEncoder out;
    out.u64(config_.dimensions);
    out.u32(static_cast<uint32_t>(config_.metric));
    out.count(slots_.size());
    auto ids = slots_.ids();
    for (size_t s = 0; s < ids.size(); ++s) {
        out.u64(ids[s]);
        out.u16_seq(std::span(slot_halves(s), config_.dimensions));
    }
    return write_file(path, out.bytes());
}

Result<Fp16FlatIndex> Fp16FlatIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    RecordDecoder in(*bytes);
    uint64_t dimensions = in.u64();
    auto metric = static_cast<Metric>(in.variant(kMetricCount));
    uint64_t entries = in.count(kEntryMinBytes);
    if (!in.ok()) return fail(in.error());
    Fp16FlatIndex index(dimensions, metric);
    for (uint64_t e = 0; e < entries; ++e) {
        VectorId id = in.u64();
        uint64_t components = in.count(sizeof(uint16_t));
        if (in.ok() && components != dimensions) {
            in.fail("entry " + std::to_string(e) + " has " + std::to_string(components) +
                    " components, expected " + std::to_string(dimensions));
        }
        auto raw = in.raw(components * sizeof(uint16_t));
        if (!in.ok()) return fail(in.error());
        uint16_t* halves = index.place(id);
        if (!raw.empty()) std::memcpy(halves, raw.data(), raw.size());
    }
    return index;
}

}  // namespace tvdb
