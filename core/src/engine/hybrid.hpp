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
#include "filter.hpp"
#include "payload.hpp"
#include "sparse_index.hpp"
#include "vector_index.hpp"

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

struct SparseScore {
    VectorId id;
    float score;
};

// The raw candidates a hybrid search ranks, drawn from the matching vectors when a filter is
// given. Fusing these pools with fuse_hybrid is the whole of the rest of the search, so
// pools gathered from several collections can be merged and fused once.
struct HybridCandidates {
    // The index's nearest, ascending distance.
    std::vector<SearchResult> dense;
    // The best sparse dot-product scores, best first, equal scores by ascending ID.
    std::vector<SparseScore> sparse;
};

// Returns a copy of the payload of an ID, or nothing when it has none.
using PayloadLookup = std::function<std::optional<Payload>(VectorId)>;

// The `pool` best of `scores`, best first; equal scores by ascending ID, NaN last.
std::vector<SparseScore> best_sparse_scores(const std::unordered_map<VectorId, float>& scores,
                                            uint64_t pool);

// Ranks the union of both pools: each side is min-max normalised over its own candidates,
// weighted, and summed in 32-bit floats; at most k hits are returned, best score first
// (equal scores by ascending ID), each with its payload.
std::vector<HybridHit> fuse_hybrid(const HybridCandidates& pools, uint64_t k,
                                   HybridWeights weights, const PayloadLookup& payload_of);

// 10k dense candidates from the collection's index and its best 10k sparse dot-product
// scores; with a filter both pools are drawn from the vectors whose payload matches. k = 0
// gives empty pools.
Result<HybridCandidates> hybrid_candidates(const Collection& collection,
                                           std::span<const float> dense_query,
                                           const SparseVector& sparse_query, uint64_t k,
                                           const FilterCondition* filter);

// The hybrid search of a collection: hybrid_candidates fused by fuse_hybrid.
Result<std::vector<HybridHit>> search_hybrid(const Collection& collection,
                                             std::span<const float> dense_query,
                                             const SparseVector& sparse_query, uint64_t k,
                                             HybridWeights weights, const FilterCondition* filter);

}  // namespace tvdb
