#pragma once

// Hybrid search: fuses the dense distances of a collection's index with the sparse
// dot-product scores of its sparse index into one ranking.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "collection.hpp"
#include "error.hpp"
#include "index/sparse_index.hpp"
#include "index/vector_index.hpp"
#include "payload.hpp"

namespace tvdb {

inline constexpr float kDefaultDenseWeight = 0.7f;
inline constexpr float kDefaultSparseWeight = 0.3f;

struct HybridHit {
    VectorId id;
    float score;
    // The candidate's dense distance, or the largest dense distance when only the sparse
    // side found it.
    float dense_distance;
    // The candidate's sparse score, or 0 when only the dense side found it.
    float sparse_score;
    std::optional<Payload> payload;
};

struct HybridWeights {
    float dense = kDefaultDenseWeight;
    float sparse = kDefaultSparseWeight;
};

// The candidate pool of each side: ten times k. Fails with InvalidConfig when that does not
// fit in 64 bits.
Result<uint64_t> hybrid_candidate_count(uint64_t k);

// Returns the payload of an ID, or nullptr when it has none.
using PayloadLookup = std::function<const Payload*(VectorId)>;

// Ranks the union of `dense` (as the index answered, ascending distance) and the best
// `pool` entries of `sparse_scores`: each side is min-max normalised over its own
// candidates, weighted, and summed in 32-bit floats; at most k hits are returned, best
// score first, each with its payload.
std::vector<HybridHit> fuse_hybrid(std::span<const SearchResult> dense,
                                   const std::unordered_map<VectorId, float>& sparse_scores,
                                   uint64_t k, uint64_t pool, HybridWeights weights,
                                   const PayloadLookup& payload_of);

// The hybrid search of a collection: 10k dense candidates from its index and the best 10k
// sparse dot-product scores, fused as above; with a filter both pools are drawn from the
// vectors whose payload matches. k = 0 answers empty.
Result<std::vector<HybridHit>> search_hybrid(const Collection& collection,
                                             std::span<const float> dense_query,
                                             const SparseVector& sparse_query, uint64_t k,
                                             HybridWeights weights, const FilterCondition* filter);

}  // namespace tvdb
