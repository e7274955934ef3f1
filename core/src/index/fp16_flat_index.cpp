#include "fp16_flat_index.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "detail/row_group_scan.hpp"
#include "detail/row_scan.hpp"
#include "detail/top_k.hpp"

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

void Fp16FlatIndex::append_slot() {
    if ((slots_.size() - 1) % HalfLayout::kChunkRows == 0) {
        halves_.resize(halves_.size() + layout_.chunk_halves);
    }
}

void Fp16FlatIndex::reserve_slots(size_t extra) {
    halves_.reserve(halves_.size() + (extra / HalfLayout::kChunkRows + 1) * layout_.chunk_halves);
}

void Fp16FlatIndex::encode_slot(size_t slot, std::span<const float> vector) {
    for (size_t i = 0; i < vector.size(); ++i) {
        halves_[layout_.offset(slot, i)] = float_to_half(vector[i]);
    }
}

void Fp16FlatIndex::read_slot(size_t slot, uint16_t* halves) const {
    for (size_t i = 0; i < config_.dimensions; ++i) halves[i] = halves_[layout_.offset(slot, i)];
}

Result<std::vector<SearchResult>> Fp16FlatIndex::search(std::span<const float> query,
                                                        uint64_t k) const {
    return nearest(query, k, nullptr);
}

Result<std::vector<SearchResult>> Fp16FlatIndex::search_filtered(std::span<const float> query,
                                                                 uint64_t k,
                                                                 const SearchFilter& filter) const {
    return nearest(query, k, &filter.admit);
}

Result<std::vector<SearchResult>> Fp16FlatIndex::nearest(std::span<const float> query, uint64_t k,
                                                         const IdFilter* admit) const {
    const size_t slots = slots_.size();
    if (slots == 0) return std::vector<SearchResult>{};
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    if (k == 0) return std::vector<SearchResult>{};
    float distances[HalfLayout::kChunkRows];
    uint8_t measured[HalfLayout::kChunkGroups];
    auto ids = slots_.ids();
    TopK top(std::min<uint64_t>(k, slots), admit);
    for (size_t first = 0; first < slots; first += HalfLayout::kChunkRows) {
        size_t n = std::min(HalfLayout::kChunkRows, slots - first);
        // Rows whose sum reaches the worst kept one cannot be kept: an L2 scan may stop
        // measuring them early.
        float abandon_at = top.full() ? top.worst() : std::numeric_limits<float>::infinity();
        const uint16_t* chunk = halves_.data() + first / HalfLayout::kChunkRows * layout_.chunk_halves;
        size_t groups = group_distances(config_.metric, query, layout_, chunk,
                                        HalfLayout::kChunkGroups, 0, n, abandon_at, distances,
                                        measured);
        for (size_t i = 0; i < groups; ++i) {
            size_t row = measured[i] * HalfLayout::kGroupRows;
            size_t rows = std::min(HalfLayout::kGroupRows, n - row);
            top.push_all(ids.data() + first + row, distances + row, rows);
        }
    }
    auto hits = top.take_sorted();
    report_ordering_distances(config_.metric, hits);
    return hits;
}

void Fp16FlatIndex::move_last_slot_into(size_t slot) {
    const size_t last = slots_.size();  // the slot that moved into the hole
    if (slot != last) {
        for (size_t i = 0; i < config_.dimensions; ++i) {
            halves_[layout_.offset(slot, i)] = halves_[layout_.offset(last, i)];
        }
    }
    if (last % HalfLayout::kChunkRows == 0) {
        halves_.resize(halves_.size() - layout_.chunk_halves);
    } else {
        for (size_t i = 0; i < config_.dimensions; ++i) halves_[layout_.offset(last, i)] = 0;
    }
}

void Fp16FlatIndex::decode_slot(size_t slot, float* out) const {
    for (size_t i = 0; i < config_.dimensions; ++i) {
        out[i] = half_to_float(halves_[layout_.offset(slot, i)]);
    }
}

std::optional<std::vector<uint16_t>> Fp16FlatIndex::stored(VectorId id) const {
    auto slot = slots_.find(id);
    if (!slot) return std::nullopt;
    std::vector<uint16_t> halves(config_.dimensions);
    read_slot(*slot, halves.data());
    return halves;
}

// A slot's halves lie in runs of four consecutive components (one block of the layout).
void Fp16FlatIndex::write_entry(ByteEncoder& out, size_t slot) const {
    const size_t dims = config_.dimensions;
    out.count(dims);
    for (size_t first = 0; first < dims; first += 4) {
        size_t n = std::min<size_t>(4, dims - first);
        out.raw(halves_.data() + layout_.offset(slot, first), n * sizeof(uint16_t));
    }
}

Result<void> Fp16FlatIndex::read_entry(RecordDecoder& in, uint64_t entry, VectorId id) {
    const size_t dims = config_.dimensions;
    auto raw = read_entry_elements(in, entry, sizeof(uint16_t), dims, "components");
    if (!in.ok()) return fail(in.error());
    size_t slot = place(id);
    for (size_t first = 0; first < dims; first += 4) {
        size_t n = std::min<size_t>(4, dims - first);
        std::memcpy(halves_.data() + layout_.offset(slot, first),
                    raw.data() + first * sizeof(uint16_t), n * sizeof(uint16_t));
    }
    return {};
}

}  // namespace tvdb
