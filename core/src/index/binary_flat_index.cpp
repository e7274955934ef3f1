#include "binary_flat_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "top_k.hpp"

namespace tvdb {
namespace {

void set_sign_bits(std::span<const float> vector, uint64_t* words) {
    for (size_t i = 0; i < vector.size(); ++i) {
        if (vector[i] >= 0.0f) words[i / 64] |= uint64_t{1} << (i % 64);
    }
}

// The f32 sum of squares in the fixed four-lane order of the distance kernels.
float euclidean_norm(std::span<const float> vector) {
    return std::sqrt(-distance(Metric::DotProduct, vector, vector));
}

// Hamming distances of n stored bit strings (words_per_slot words each, back to back) to
// the query's. Built for the popcnt instruction where the processor has it.
template <size_t kWords>
inline void hamming_fixed(const uint64_t* query, const uint64_t* words, size_t n,
                          uint32_t* out) {
    for (size_t s = 0; s < n; ++s, words += kWords) {
        uint32_t h = 0;
        for (size_t w = 0; w < kWords; ++w) h += std::popcount(query[w] ^ words[w]);
        out[s] = h;
    }
}

inline void hamming_any(const uint64_t* query, const uint64_t* words, size_t words_per_slot,
                        size_t n, uint32_t* out) {
    switch (words_per_slot) {
        case 1: return hamming_fixed<1>(query, words, n, out);
        case 2: return hamming_fixed<2>(query, words, n, out);
        case 4: return hamming_fixed<4>(query, words, n, out);
        case 6: return hamming_fixed<6>(query, words, n, out);
        case 8: return hamming_fixed<8>(query, words, n, out);
        case 12: return hamming_fixed<12>(query, words, n, out);
        case 16: return hamming_fixed<16>(query, words, n, out);
        case 24: return hamming_fixed<24>(query, words, n, out);
        default: break;
    }
    for (size_t s = 0; s < n; ++s, words += words_per_slot) {
        uint32_t h = 0;
        for (size_t w = 0; w < words_per_slot; ++w) h += std::popcount(query[w] ^ words[w]);
        out[s] = h;
    }
}

#if defined(__GNUC__)
__attribute__((target("popcnt"))) void hamming_popcnt(const uint64_t* query, const uint64_t* words,
                                                      size_t words_per_slot, size_t n,
                                                      uint32_t* out) {
    hamming_any(query, words, words_per_slot, n, out);
}

bool cpu_has_popcnt() {
    static const bool has = __builtin_cpu_supports("popcnt");
    return has;
}
#endif

void hamming_rows(const uint64_t* query, const uint64_t* words, size_t words_per_slot, size_t n,
                  uint32_t* out) {
#if defined(__GNUC__)
    if (cpu_has_popcnt()) return hamming_popcnt(query, words, words_per_slot, n, out);
#endif
    hamming_any(query, words, words_per_slot, n, out);
}

}  // namespace

BinaryVec BinaryVec::encode(std::span<const float> vector) {
    BinaryVec encoded;
    encoded.bits.assign(binary_words(vector.size()), 0);
    set_sign_bits(vector, encoded.bits.data());
    encoded.norm = euclidean_norm(vector);
    return encoded;
}

void BinaryFlatIndex::append_slot() {
    words_.resize(words_.size() + words_per_slot_);
    norms_.push_back(0.0f);
}

void BinaryFlatIndex::reserve_slots(size_t extra) {
    words_.reserve(words_.size() + extra * words_per_slot_);
    norms_.reserve(norms_.size() + extra);
}

void BinaryFlatIndex::encode_slot(size_t slot, std::span<const float> vector) {
    uint64_t* words = slot_words(slot);
    std::fill_n(words, words_per_slot_, 0);
    set_sign_bits(vector, words);
    norms_[slot] = euclidean_norm(vector);
}

Result<std::vector<SearchResult>> BinaryFlatIndex::search(std::span<const float> query,
                                                          uint64_t k) const {
    return nearest(query, k, nullptr);
}

Result<std::vector<SearchResult>> BinaryFlatIndex::search_filtered(std::span<const float> query,
                                                                   uint64_t k,
                                                                   const SearchFilter& filter) const {
    return nearest(query, k, &filter.admit);
}

Result<std::vector<SearchResult>> BinaryFlatIndex::nearest(std::span<const float> query, uint64_t k,
                                                           const IdFilter* admit) const {
    const size_t slots = slots_.size();
    if (slots == 0) return std::vector<SearchResult>{};
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    if (k == 0) return std::vector<SearchResult>{};
    BinaryVec q = BinaryVec::encode(query);
    TopK top(std::min<uint64_t>(k, slots), admit);
    if (config_.metric == Metric::DotProduct || config_.dimensions == 0 ||
        config_.dimensions > kMaxTabledDimensions) {
        scan_scores(q, top);
    } else {
        scan_fractions(q, top);
    }
    return top.take_sorted();
}

void BinaryFlatIndex::scan_scores(const BinaryVec& q, TopK& top) const {
    const float d = static_cast<float>(config_.dimensions);
    const bool dot_product = config_.metric == Metric::DotProduct;
    auto ids = slots_.ids();
    uint32_t hamming[kScanBlock];
    for (size_t first = 0; first < ids.size(); first += kScanBlock) {
        size_t n = std::min(kScanBlock, ids.size() - first);
        hamming_rows(q.bits.data(), slot_words(first), words_per_slot_, n, hamming);
        for (size_t i = 0; i < n; ++i) {
            float h = static_cast<float>(hamming[i]);
            float score = dot_product ? -(norms_[first + i] * ((d - 2.0f * h) * q.norm)) / d
                                      : h / d;
            top.push(ids[first + i], score);
        }
    }
}

// Under L2 and Cosine the score h / d never decreases with h, so rows are kept or passed over
// by comparing Hamming distances: a row can be kept only when its distance is below that of
// the worst kept row. Scores come from a table of the same divisions.
void BinaryFlatIndex::scan_fractions(const BinaryVec& q, TopK& top) const {
    const size_t dims = config_.dimensions;
    const float d = static_cast<float>(dims);
    std::vector<float> fraction(dims + 1);
    for (size_t h = 0; h <= dims; ++h) fraction[h] = static_cast<float>(h) / d;
    auto ids = slots_.ids();
    uint32_t hamming[kScanBlock];
    uint64_t admit_below = dims + 1;
    for (size_t first = 0; first < ids.size(); first += kScanBlock) {
        size_t n = std::min(kScanBlock, ids.size() - first);
        hamming_rows(q.bits.data(), slot_words(first), words_per_slot_, n, hamming);
        for (size_t i = 0; i < n; ++i) {
            if (hamming[i] >= admit_below) continue;
            top.push(ids[first + i], fraction[hamming[i]]);
            if (top.full()) {
                admit_below = static_cast<uint64_t>(
                    std::lower_bound(fraction.begin(), fraction.end(), top.worst()) -
                    fraction.begin());
            }
        }
    }
}

void BinaryFlatIndex::move_last_slot_into(size_t slot) {
    move_last_row(words_, words_per_slot_, slot);
    move_last_row(norms_, 1, slot);
}

void BinaryFlatIndex::decode_slot(size_t slot, float* out) const {
    const size_t dims = config_.dimensions;
    const float root_d = std::sqrt(static_cast<float>(dims));
    const float magnitude = dims == 0 ? 1.0f : norms_[slot] / root_d;
    const uint64_t* words = slot_words(slot);
    for (size_t i = 0; i < dims; ++i) {
        bool positive = (words[i / 64] >> (i % 64)) & 1;
        out[i] = positive ? magnitude : -magnitude;
    }
}

std::optional<BinaryVec> BinaryFlatIndex::stored(VectorId id) const {
    auto slot = slots_.find(id);
    if (!slot) return std::nullopt;
    const uint64_t* words = slot_words(*slot);
    return BinaryVec{{words, words + words_per_slot_}, norms_[*slot]};
}

void BinaryFlatIndex::write_entry(ByteEncoder& out, size_t slot) const {
    out.u64_seq(std::span(slot_words(slot), words_per_slot_));
    out.f32(norms_[slot]);
}

Result<void> BinaryFlatIndex::read_entry(RecordDecoder& in, uint64_t entry, VectorId id) {
    const size_t words = words_per_slot_;
    auto raw = read_entry_elements(in, entry, sizeof(uint64_t), words, "words");
    float norm = in.f32();
    if (!in.ok()) return fail(in.error());
    // Bits past the dimension count would count as differences in every distance.
    const uint64_t dims = config_.dimensions;
    const uint64_t tail_mask = dims % 64 == 0 ? 0 : ~uint64_t{0} << (dims % 64);
    uint64_t last_word = 0;
    if (words > 0) {
        std::memcpy(&last_word, raw.data() + (words - 1) * sizeof last_word, sizeof last_word);
    }
    if ((last_word & tail_mask) != 0) {
        return fail(VectorDbError::serialization("entry " + std::to_string(entry) +
                                                 " sets bits past dimension " +
                                                 std::to_string(dims)));
    }
    size_t slot = place(id);
    if (words > 0) std::memcpy(slot_words(slot), raw.data(), words * sizeof(uint64_t));
    norms_[slot] = norm;
    return {};
}

}  // namespace tvdb
