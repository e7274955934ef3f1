#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "detail/huge_page_allocator.hpp"
#include "detail/sign_bit_scan.hpp"
#include "detail/slot_store_index.hpp"
#include "detail/top_k.hpp"

namespace tvdb {

// One vector as sign bits plus its Euclidean norm. Component i is bit (i mod 64) of word
// i / 64; a bit is 1 for a component >= 0.0 (so both zeros) and 0 for a negative one or NaN.
// Bits past the dimension count are 0.
struct BinaryVec {
    std::vector<uint64_t> bits;
    float norm = 0.0f;

    static BinaryVec encode(std::span<const float> vector);
};

inline uint64_t binary_words(uint64_t dimensions) { return dimensions / 64 + (dimensions % 64 != 0); }

// Brute force over sign bits: 32 times smaller than FlatIndex. A search scores every stored
// vector through the Hamming distance h to the query's bits: h / d for L2 and Cosine (the
// fraction of differing signs), and -(|x| * ((d - 2h) * |q|)) / d for DotProduct (the inner
// product estimated from the norms and the sign agreement). A repeated ID replaces the
// stored vector. Slot order is the order of iteration and of saved entries; the words of
// eight slots are interleaved (see SignBitLayout) so that a scan counts bits of eight slots
// at once. Loading rejects an entry whose word count is not
// ceil(dimensions / 64) or that sets bits past the dimension count.
class BinaryFlatIndex final : public SlotStoreIndex<BinaryFlatIndex> {
public:
    BinaryFlatIndex(uint64_t dimensions, Metric metric)
        : SlotStoreIndex(dimensions, metric), layout_(binary_words(dimensions)) {}

    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    Result<std::vector<SearchResult>> search_filtered(std::span<const float> query, uint64_t k,
                                                      const SearchFilter& filter) const override;

    // The stored form of one entry; nothing when the ID is absent.
    std::optional<BinaryVec> stored(VectorId id) const;

private:
    // The k nearest admitted vectors; every vector is admitted without a filter.
    Result<std::vector<SearchResult>> nearest(std::span<const float> query, uint64_t k,
                                              const IdFilter* admit) const;
    friend class SlotStoreIndex<BinaryFlatIndex>;
    static constexpr size_t kEntryMinBytes = 8 + 8 + 4;  // ID, word count, norm
    static constexpr size_t kScanBlock = 256;
    // Dimension counts up to which a search tabulates the score of every Hamming distance.
    static constexpr uint64_t kMaxTabledDimensions = uint64_t{1} << 20;

    void scan_scores(const BinaryVec& q, TopK& top) const;
    // Hamming distances of slots first ... first + n - 1 to the query.
    void hamming_of(const BinaryVec& q, size_t first, size_t n, uint32_t* out) const;
    void scan_fractions(const BinaryVec& q, TopK& top) const;
    void append_slot();
    void reserve_slots(size_t extra);
    void encode_slot(size_t slot, std::span<const float> vector);
    void move_last_slot_into(size_t slot);
    // The only decoding: +s where the bit is 1 and -s where it is 0, s = norm / sqrt(d).
    void decode_slot(size_t slot, float* out) const;
    // Entry after the ID: the words as a u64 sequence (count, then the values), norm f32.
    void write_entry(ByteEncoder& out, size_t slot) const;
    Result<void> read_entry(RecordDecoder& in, uint64_t entry, VectorId id);
    void read_slot(size_t slot, uint64_t* bits) const;
    void write_slot(size_t slot, const uint64_t* bits);

    SignBitLayout layout_;
    std::vector<uint64_t, HugePageAllocator<uint64_t>> words_;  // whole blocks of layout_
    std::vector<float> norms_;                                  // one per slot
};

}  // namespace tvdb
