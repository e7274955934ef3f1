#include "binary_flat_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "detail/sign_bit_scan.hpp"
#include "detail/top_k.hpp"

namespace tvdb {
namespace {

// Word `w` of a vector's sign bits: components 64w ... 64w + 63.
uint64_t sign_word(std::span<const float> vector, size_t w) {
    uint64_t word = 0;
    const size_t end = std::min(vector.size(), (w + 1) * 64);
    for (size_t i = w * 64; i < end; ++i) {
        if (vector[i] >= 0.0f) word |= uint64_t{1} << (i % 64);
    }
    return word;
}

// The f32 sum of squares in the fixed four-lane order of the distance kernels.
float euclidean_norm(std::span<const float> vector) {
    return std::sqrt(-distance(Metric::DotProduct, vector, vector));
}

}  // namespace

BinaryVec BinaryVec::encode(std::span<const float> vector) {
    BinaryVec encoded;
    encoded.bits.resize(binary_words(vector.size()));
    for (size_t w = 0; w < encoded.bits.size(); ++w) encoded.bits[w] = sign_word(vector, w);
    encoded.norm = euclidean_norm(vector);
    return encoded;
}

void BinaryFlatIndex::append_slot() {
    if ((slots_.size() - 1) % SignBitLayout::kBlockSlots == 0) {
        words_.resize(words_.size() + layout_.block_words());
    }
    norms_.push_back(0.0f);
}

void BinaryFlatIndex::reserve_slots(size_t extra) {
    const size_t slots = slots_.size() + extra;
    words_.reserve((slots / SignBitLayout::kBlockSlots + 1) * layout_.block_words());
    norms_.reserve(slots);
}

void BinaryFlatIndex::encode_slot(size_t slot, std::span<const float> vector) {
    for (size_t w = 0; w < layout_.words; ++w) words_[layout_.offset(slot, w)] = sign_word(vector, w);
    norms_[slot] = euclidean_norm(vector);
}

void BinaryFlatIndex::read_slot(size_t slot, uint64_t* bits) const {
    for (size_t w = 0; w < layout_.words; ++w) bits[w] = words_[layout_.offset(slot, w)];
}

void BinaryFlatIndex::write_slot(size_t slot, const uint64_t* bits) {
    for (size_t w = 0; w < layout_.words; ++w) words_[layout_.offset(slot, w)] = bits[w];
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
    float scores[kScanBlock];
    for (size_t first = 0; first < ids.size(); first += kScanBlock) {
        size_t n = std::min(kScanBlock, ids.size() - first);
        hamming_of(q, first, n, hamming);
        for (size_t i = 0; i < n; ++i) {
            float h = static_cast<float>(hamming[i]);
            scores[i] = dot_product ? -(norms_[first + i] * ((d - 2.0f * h) * q.norm)) / d : h / d;
        }
        top.push_all(ids.data() + first, scores, n);
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
    uint32_t near[kScanBlock + 16];
    auto admit_below = static_cast<uint32_t>(dims + 1);
    for (size_t first = 0; first < ids.size(); first += kScanBlock) {
        size_t n = std::min(kScanBlock, ids.size() - first);
        hamming_of(q, first, n, hamming);
        size_t found = positions_below(hamming, n, admit_below, near);
        for (size_t f = 0; f < found; ++f) {
            const size_t i = near[f];
            if (hamming[i] >= admit_below) continue;  // the bound fell within this block
            top.push(ids[first + i], fraction[hamming[i]]);
            if (top.full()) {
                admit_below = static_cast<uint32_t>(
                    std::lower_bound(fraction.begin(), fraction.end(), top.worst()) -
                    fraction.begin());
            }
        }
    }
}

void BinaryFlatIndex::hamming_of(const BinaryVec& q, size_t first, size_t n, uint32_t* out) const {
    const size_t blocks = (n + SignBitLayout::kBlockSlots - 1) / SignBitLayout::kBlockSlots;
    hamming_blocks(q.bits.data(), layout_,
                   words_.data() + first / SignBitLayout::kBlockSlots * layout_.block_words(),
                   blocks, out);
}

void BinaryFlatIndex::move_last_slot_into(size_t slot) {
    const size_t last = slots_.size();  // the slot that moved into the hole
    std::vector<uint64_t> bits(layout_.words);
    if (slot != last) {
        read_slot(last, bits.data());
        write_slot(slot, bits.data());
    }
    if (last % SignBitLayout::kBlockSlots == 0) {
        words_.resize(words_.size() - layout_.block_words());
    } else {
        std::fill(bits.begin(), bits.end(), 0);
        write_slot(last, bits.data());
    }
    move_last_row(norms_, 1, slot);
}

void BinaryFlatIndex::decode_slot(size_t slot, float* out) const {
    const size_t dims = config_.dimensions;
    const float root_d = std::sqrt(static_cast<float>(dims));
    const float magnitude = dims == 0 ? 1.0f : norms_[slot] / root_d;
    std::vector<uint64_t> words(layout_.words);
    read_slot(slot, words.data());
    for (size_t i = 0; i < dims; ++i) {
        bool positive = (words[i / 64] >> (i % 64)) & 1;
        out[i] = positive ? magnitude : -magnitude;
    }
}

std::optional<BinaryVec> BinaryFlatIndex::stored(VectorId id) const {
    auto slot = slots_.find(id);
    if (!slot) return std::nullopt;
    BinaryVec vec{std::vector<uint64_t>(layout_.words), norms_[*slot]};
    read_slot(*slot, vec.bits.data());
    return vec;
}

void BinaryFlatIndex::write_entry(ByteEncoder& out, size_t slot) const {
    std::vector<uint64_t> words(layout_.words);
    read_slot(slot, words.data());
    out.u64_seq(std::span(words));
    out.f32(norms_[slot]);
}

Result<void> BinaryFlatIndex::read_entry(RecordDecoder& in, uint64_t entry, VectorId id) {
    const size_t words = layout_.words;
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
    std::vector<uint64_t> bits(words);
    if (words > 0) std::memcpy(bits.data(), raw.data(), words * sizeof(uint64_t));
    write_slot(slot, bits.data());
    norms_[slot] = norm;
    return {};
}

}  // namespace tvdb
