#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "vector_index.hpp"

namespace tvdb {

// Dimension indices and weights, pairwise. Only the first min(|indices|, |values|) pairs
// count. Vectors built from Python are sorted by index without repeats.
struct SparseVector {
    std::vector<uint32_t> indices;
    std::vector<float> values;

    size_t pair_count() const { return std::min(indices.size(), values.size()); }
    bool operator==(const SparseVector&) const = default;
};

// The record form used in the log and in "sparse.bin": u64 count, u32 indices, u64 count,
// f32 values.
size_t sparse_vector_record_size(const SparseVector& vector);
std::vector<uint8_t> encode_sparse_vector(const SparseVector& vector);
Result<SparseVector> decode_sparse_vector(std::span<const uint8_t> bytes);

struct SparsePosting {
    VectorId id;
    float weight;
};

// Sparse vectors by ID with inverted lists for dot-product scoring.
// Invariant: (id, w) is in the list of dimension d exactly when the stored vector of id has
// the pair (d, w); no list is empty.
class SparseIndex {
public:
    // Stores or replaces the sparse vector of `id`.
    void upsert(VectorId id, SparseVector vector);
    // Removes the sparse vector of `id`, if any; true when there was one.
    bool remove(VectorId id);

    uint64_t len() const { return vectors_.size(); }
    bool is_empty() const { return vectors_.empty(); }
    const SparseVector* get(VectorId id) const;
    const std::unordered_map<VectorId, SparseVector>& vectors() const { return vectors_; }
    // The inverted list of a dimension, or nullptr when no vector uses it.
    const std::vector<SparsePosting>* postings(uint32_t dimension) const;
    uint64_t posting_list_count() const { return postings_.size(); }

    // Dot product of the query with every stored vector that shares a dimension with it;
    // IDs sharing none are absent. Reads only the query's inverted lists.
    std::unordered_map<VectorId, float> dot_scores(const SparseVector& query) const;

    // Writes "sparse.bin" through a temporary file renamed over it; Io on failure.
    Result<void> save(const std::string& path) const;
    // Serialization on a malformed file; Io when it cannot be read or is a symbolic link.
    static Result<SparseIndex> load(const std::string& path);
    static Result<SparseIndex> decode(std::span<const uint8_t> bytes);
    std::vector<uint8_t> encode() const;

private:
    std::unordered_map<uint32_t, std::vector<SparsePosting>> postings_;
    std::unordered_map<VectorId, SparseVector> vectors_;
};

}  // namespace tvdb
