#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "slot_map.hpp"
#include "top_k.hpp"
#include "vector_index.hpp"

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
// stored vector. Words are kept back to back in slot order, which is also the order of
// iteration and of saved entries.
class BinaryFlatIndex final : public VectorIndex {
public:
    BinaryFlatIndex(uint64_t dimensions, Metric metric);

    Result<void> add(VectorId id, std::span<const float> vector) override;
    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    bool remove(VectorId id) override;
    uint64_t len() const override { return slots_.size(); }
    const IndexConfig& config() const override { return config_; }
    // The only decoding: +s where the bit is 1 and -s where it is 0, s = norm / sqrt(d).
    void iter_vectors(const VectorVisitor& visit) const override;

    // Row i of `data` is stored under start_id + i, replacing an existing entry; nothing is
    // stored when the float count is not a whole number of rows.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id);
    // The whole index encoded in memory, then written in place; Io on a write failure.
    Result<void> save(const std::string& path) const;
    // Serialization for truncated or malformed content, or an entry whose word count is not
    // ceil(dimensions / 64) or that sets bits past the dimension count; Io when the file
    // cannot be read.
    static Result<BinaryFlatIndex> load(const std::string& path);

    // The stored form of one entry; nothing when the ID is absent.
    std::optional<BinaryVec> stored(VectorId id) const;

private:
    static constexpr size_t kScanBlock = 256;
    // Dimension counts up to which a search tabulates the score of every Hamming distance.
    static constexpr uint64_t kMaxTabledDimensions = uint64_t{1} << 20;

    void scan_scores(const BinaryVec& q, TopK& top) const;
    void scan_fractions(const BinaryVec& q, TopK& top) const;
    void store(VectorId id, std::span<const float> vector);
    void store_encoded(VectorId id, const uint64_t* bits, float norm);
    const uint64_t* slot_words(size_t slot) const { return words_.data() + slot * words_per_slot_; }

    IndexConfig config_;
    size_t words_per_slot_;
    SlotMap slots_;
    std::vector<uint64_t> words_;  // words_per_slot_ per slot
    std::vector<float> norms_;     // one per slot
};

}  // namespace tvdb
