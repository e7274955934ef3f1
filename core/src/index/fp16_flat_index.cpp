#include "fp16_flat_index.hpp"

#include <immintrin.h>

#include <bit>
#include <limits>

#include "../codec.hpp"
#include "bulk_rows.hpp"
#include "half_group_scan.hpp"
#include "top_k.hpp"

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
    : config_{.dimensions = dimensions, .metric = metric}, layout_(dimensions) {}

size_t Fp16FlatIndex::place(VectorId id) {
    auto [slot, appended] = slots_.place(id);
    if (appended && slot % HalfLayout::kChunkRows == 0) {
        halves_.resize(halves_.size() + layout_.chunk_halves);
    }
    return slot;
}

void Fp16FlatIndex::write_slot(size_t slot, const uint16_t* halves) {
    for (size_t i = 0; i < config_.dimensions; ++i) halves_[layout_.offset(slot, i)] = halves[i];
}

void Fp16FlatIndex::read_slot(size_t slot, uint16_t* halves) const {
    for (size_t i = 0; i < config_.dimensions; ++i) halves[i] = halves_[layout_.offset(slot, i)];
}

Result<void> Fp16FlatIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    size_t slot = place(id);
    for (size_t i = 0; i < vector.size(); ++i) {
        halves_[layout_.offset(slot, i)] = float_to_half(vector[i]);
    }
    return {};
}

Result<void> Fp16FlatIndex::add_batch_contiguous(std::span<const float> data, VectorId start_id) {
    auto rows = raw_row_count(config_.dimensions, data.size(), start_id);
    if (!rows) return fail(rows.error());
    const size_t dims = config_.dimensions;
    slots_.reserve(slots_.size() + *rows);
    halves_.reserve(halves_.size() + (*rows / HalfLayout::kChunkRows + 1) * layout_.chunk_halves);
    for (uint64_t r = 0; r < *rows; ++r) {
        size_t slot = place(start_id + r);
        const float* row = data.data() + r * dims;
        for (size_t i = 0; i < dims; ++i) halves_[layout_.offset(slot, i)] = float_to_half(row[i]);
    }
    return {};
}

Result<std::vector<SearchResult>> Fp16FlatIndex::search(std::span<const float> query,
                                                        uint64_t k) const {
    const size_t slots = slots_.size();
    if (slots == 0) return std::vector<SearchResult>{};
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    if (k == 0) return std::vector<SearchResult>{};
    float distances[HalfLayout::kChunkRows];
    auto ids = slots_.ids();
    TopK top(std::min<uint64_t>(k, slots));
    for (size_t first = 0; first < slots; first += HalfLayout::kChunkRows) {
        size_t n = std::min(HalfLayout::kChunkRows, slots - first);
        // Rows at or beyond the worst kept distance cannot be kept: an L2 scan may stop
        // measuring them early.
        float abandon_at = top.full() ? l2_abandon_threshold(top.worst())
                                      : std::numeric_limits<float>::infinity();
        const uint16_t* chunk = halves_.data() + first / HalfLayout::kChunkRows * layout_.chunk_halves;
        half_chunk_distances(config_.metric, query, layout_, chunk, n, abandon_at, distances);
        for (size_t s = 0; s < n; ++s) top.push(ids[first + s], distances[s]);
    }
    return top.take_sorted();
}

bool Fp16FlatIndex::remove(VectorId id) {
    auto slot = slots_.remove(id);
    if (!slot) return false;
    const size_t last = slots_.size();  // the slot that moved into the hole
    if (*slot != last) {
        std::vector<uint16_t> moved(config_.dimensions);
        read_slot(last, moved.data());
        write_slot(*slot, moved.data());
    }
    if (last % HalfLayout::kChunkRows == 0) {
        halves_.resize(halves_.size() - layout_.chunk_halves);
    } else {
        for (size_t i = 0; i < config_.dimensions; ++i) halves_[layout_.offset(last, i)] = 0;
    }
    return true;
}

void Fp16FlatIndex::iter_vectors(const VectorVisitor& visit) const {
    if (slots_.size() == 0) return;
    std::vector<uint16_t> halves(config_.dimensions);
    std::vector<float> decoded(config_.dimensions);
    auto ids = slots_.ids();
    for (size_t s = 0; s < ids.size(); ++s) {
        read_slot(s, halves.data());
        halves_to_floats(halves.data(), halves.size(), decoded.data());
        visit(ids[s], decoded);
    }
}

std::optional<std::vector<uint16_t>> Fp16FlatIndex::stored(VectorId id) const {
    auto slot = slots_.find(id);
    if (!slot) return std::nullopt;
    std::vector<uint16_t> halves(config_.dimensions);
    read_slot(*slot, halves.data());
    return halves;
}

Result<void> Fp16FlatIndex::save(const std::string& path) const {
    ByteEncoder out;
    out.u64(config_.dimensions);
    out.u32(static_cast<uint32_t>(config_.metric));
    out.count(slots_.size());
    auto ids = slots_.ids();
    // Sized only when there are rows: an empty index may carry any dimension count.
    std::vector<uint16_t> halves(ids.empty() ? 0 : config_.dimensions);
    for (size_t s = 0; s < ids.size(); ++s) {
        read_slot(s, halves.data());
        out.u64(ids[s]);
        out.u16_seq(halves);
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
    std::vector<uint16_t> halves;
    for (uint64_t e = 0; e < entries; ++e) {
        VectorId id = in.u64();
        uint64_t components = in.count(sizeof(uint16_t));
        if (in.ok() && components != dimensions) {
            in.fail("entry " + std::to_string(e) + " has " + std::to_string(components) +
                    " components, expected " + std::to_string(dimensions));
        }
        auto raw = in.raw(components * sizeof(uint16_t));
        if (!in.ok()) return fail(in.error());
        halves.resize(components);  // the count now matches bytes that exist
        if (!raw.empty()) std::memcpy(halves.data(), raw.data(), raw.size());
        index.write_slot(index.place(id), halves.data());
    }
    return index;
}

}  // namespace tvdb
