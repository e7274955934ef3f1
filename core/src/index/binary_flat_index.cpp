#include "binary_flat_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "../codec.hpp"
#include "bulk_rows.hpp"
#include "top_k.hpp"

namespace tvdb {
namespace {

constexpr size_t kEntryMinBytes = 8 + 8 + 4;  // ID, word count, norm

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

BinaryFlatIndex::BinaryFlatIndex(uint64_t dimensions, Metric metric)
    : config_{.dimensions = dimensions, .metric = metric},
      words_per_slot_(binary_words(dimensions)) {}

void BinaryFlatIndex::store(VectorId id, std::span<const float> vector) {
    auto [slot, appended] = slots_.place(id);
    if (appended) {
        words_.resize(words_.size() + words_per_slot_);
        norms_.push_back(0.0f);
    }
    uint64_t* words = words_.data() + slot * words_per_slot_;
    std::fill_n(words, words_per_slot_, 0);
    set_sign_bits(vector, words);
    norms_[slot] = euclidean_norm(vector);
}

void BinaryFlatIndex::store_encoded(VectorId id, const uint64_t* bits, float norm) {
    auto [slot, appended] = slots_.place(id);
    if (appended) {
        words_.resize(words_.size() + words_per_slot_);
        norms_.push_back(0.0f);
    }
    std::copy_n(bits, words_per_slot_, words_.begin() + slot * words_per_slot_);
    norms_[slot] = norm;
}

Result<void> BinaryFlatIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    store(id, vector);
    return {};
}

Result<void> BinaryFlatIndex::add_batch_contiguous(std::span<const float> data,
                                                   VectorId start_id) {
    auto rows = raw_row_count(config_.dimensions, data.size(), start_id);
    if (!rows) return fail(rows.error());
    const size_t dims = config_.dimensions;
    slots_.reserve(slots_.size() + *rows);
    words_.reserve(words_.size() + *rows * words_per_slot_);
    norms_.reserve(norms_.size() + *rows);
    for (uint64_t i = 0; i < *rows; ++i) store(start_id + i, data.subspan(i * dims, dims));
    return {};
}

Result<std::vector<SearchResult>> BinaryFlatIndex::search(std::span<const float> query,
                                                          uint64_t k) const {
    const size_t slots = slots_.size();
    if (slots == 0) return std::vector<SearchResult>{};
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    if (k == 0) return std::vector<SearchResult>{};
    BinaryVec q = BinaryVec::encode(query);
    TopK top(std::min<uint64_t>(k, slots));
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

bool BinaryFlatIndex::remove(VectorId id) {
    auto slot = slots_.remove(id);
    if (!slot) return false;
    move_last_row(words_, words_per_slot_, *slot);
    move_last_row(norms_, 1, *slot);
    return true;
}

void BinaryFlatIndex::iter_vectors(const VectorVisitor& visit) const {
    if (slots_.size() == 0) return;
    const size_t dims = config_.dimensions;
    const float root_d = std::sqrt(static_cast<float>(dims));
    std::vector<float> decoded(dims);
    auto ids = slots_.ids();
    for (size_t s = 0; s < ids.size(); ++s) {
        float magnitude = dims == 0 ? 1.0f : norms_[s] / root_d;
        const uint64_t* words = slot_words(s);
        for (size_t i = 0; i < dims; ++i) {
            bool positive = (words[i / 64] >> (i % 64)) & 1;
            decoded[i] = positive ? magnitude : -magnitude;
        }
        visit(ids[s], decoded);
    }
}

std::optional<BinaryVec> BinaryFlatIndex::stored(VectorId id) const {
    auto slot = slots_.find(id);
    if (!slot) return std::nullopt;
    const uint64_t* words = slot_words(*slot);
    return BinaryVec{{words, words + words_per_slot_}, norms_[*slot]};
}

Result<void> BinaryFlatIndex::save(const std::string& path) const {
    ByteEncoder out;
    out.u64(config_.dimensions);
    out.u32(static_cast<uint32_t>(config_.metric));
    out.count(slots_.size());
    auto ids = slots_.ids();
    for (size_t s = 0; s < ids.size(); ++s) {
        out.u64(ids[s]);
        out.u64_seq(std::span(slot_words(s), words_per_slot_));
        out.f32(norms_[s]);
    }
    return write_file(path, out.bytes());
}

Result<BinaryFlatIndex> BinaryFlatIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    RecordDecoder in(*bytes);
    uint64_t dimensions = in.u64();
    auto metric = static_cast<Metric>(in.variant(kMetricCount));
    uint64_t entries = in.count(kEntryMinBytes);
    if (!in.ok()) return fail(in.error());
    BinaryFlatIndex index(dimensions, metric);
    const size_t words = index.words_per_slot_;
    // Bits past the dimension count would count as differences in every distance.
    const uint64_t tail_mask = dimensions % 64 == 0 ? 0 : ~uint64_t{0} << (dimensions % 64);
    std::vector<uint64_t> bits;
    for (uint64_t e = 0; e < entries; ++e) {
        VectorId id = in.u64();
        uint64_t word_count = in.count(sizeof(uint64_t));
        if (in.ok() && word_count != words) {
            in.fail("entry " + std::to_string(e) + " has " + std::to_string(word_count) +
                    " words, expected " + std::to_string(words));
        }
        auto raw = in.raw(word_count * sizeof(uint64_t));
        float norm = in.f32();
        if (!in.ok()) return fail(in.error());
        bits.resize(words);  // the word count now matches bytes that exist
        if (!raw.empty()) std::memcpy(bits.data(), raw.data(), raw.size());
        if (words > 0 && (bits[words - 1] & tail_mask) != 0) {
            return fail(VectorDbError::serialization("entry " + std::to_string(e) +
                                                     " sets bits past dimension " +
                                                     std::to_string(dimensions)));
        }
        index.store_encoded(id, bits.data(), norm);
    }
    return index;
}

}  // namespace tvdb
