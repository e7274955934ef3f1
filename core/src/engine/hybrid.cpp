#include "hybrid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace tvdb {
namespace {

// The normalisation range never drops below this, so equal values do not divide by zero.
constexpr float kMinRange = 1e-9f;

// Without values: min 0, max 1, range 1.
struct Bounds {
    float min = 0.0f;
    float max = 1.0f;
    float range = 1.0f;
};

// NaN values (from a NaN query) are ignored, so they cannot poison every other score.
template <typename Values>
Bounds bounds_of(const Values& values) {
    Bounds b;
    bool seen = false;
    for (float v : values) {
        if (std::isnan(v)) continue;
        b.min = seen ? std::min(b.min, v) : v;
        b.max = seen ? std::max(b.max, v) : v;
        seen = true;
    }
    if (seen) b.range = std::max(b.max - b.min, kMinRange);
    return b;
}

// Descending by score, equal scores by ascending ID; a NaN score sorts last so the order
// stays a strict weak ordering.
bool ranks_before(float a, VectorId a_id, float b, VectorId b_id) {
    const bool a_nan = std::isnan(a);
    const bool b_nan = std::isnan(b);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a != b) return a > b;
    return a_id < b_id;
}

struct Candidate {
    VectorId id;
    float score;
    float dense_distance;
    float sparse_score;
};

float fused_score(float d, const Bounds& dense, float s, const Bounds& sparse,
                  HybridWeights weights) {
    float dense_part = (1.0f - (d - dense.min) / dense.range) * weights.dense;
    float sparse_part = ((s - sparse.min) / sparse.range) * weights.sparse;
    return dense_part + sparse_part;
}

}  // namespace

Result<uint64_t> hybrid_candidate_count(uint64_t k) {
    if (k > std::numeric_limits<uint64_t>::max() / 10) {
        return fail(VectorDbError::invalid_config("k is too large for hybrid search: " +
                                                  std::to_string(k)));
    }
    return k * 10;
}

std::vector<SparseScore> best_sparse_scores(const std::unordered_map<VectorId, float>& scores,
                                            uint64_t pool) {
    std::vector<SparseScore> kept;
    kept.reserve(scores.size());
    for (const auto& [id, score] : scores) kept.push_back({id, score});
    auto better = [](const SparseScore& a, const SparseScore& b) {
        return ranks_before(a.score, a.id, b.score, b.id);
    };
    size_t keep = static_cast<size_t>(std::min<uint64_t>(pool, kept.size()));
    std::partial_sort(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(keep), kept.end(),
                      better);
    kept.resize(keep);
    return kept;
}

std::vector<HybridHit> fuse_hybrid(const HybridCandidates& pools, uint64_t k,
                                   HybridWeights weights, const PayloadLookup& payload_of) {
    std::vector<float> distances;
    distances.reserve(pools.dense.size());
    for (const SearchResult& hit : pools.dense) distances.push_back(hit.distance);
    Bounds dense_bounds = bounds_of(distances);

    std::vector<float> scores;
    scores.reserve(pools.sparse.size());
    for (const SparseScore& entry : pools.sparse) scores.push_back(entry.score);
    Bounds sparse_bounds = bounds_of(scores);

    std::unordered_map<VectorId, float> kept_score;
    for (const SparseScore& entry : pools.sparse) kept_score.emplace(entry.id, entry.score);
    std::vector<Candidate> candidates;
    candidates.reserve(pools.dense.size() + pools.sparse.size());
    auto consider = [&](VectorId id, float d, float s) {
        candidates.push_back({id, fused_score(d, dense_bounds, s, sparse_bounds, weights), d, s});
    };
    std::unordered_map<VectorId, float> dense_distance;
    for (const SearchResult& hit : pools.dense) {
        if (!dense_distance.emplace(hit.id, hit.distance).second) continue;
        auto sparse = kept_score.find(hit.id);
        consider(hit.id, hit.distance, sparse == kept_score.end() ? 0.0f : sparse->second);
    }
    for (const SparseScore& entry : pools.sparse) {
        if (!dense_distance.contains(entry.id)) consider(entry.id, dense_bounds.max, entry.score);
    }

    // Only the kept hits copy their payload.
    size_t keep = static_cast<size_t>(std::min<uint64_t>(k, candidates.size()));
    std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(keep),
                      candidates.end(), [](const Candidate& a, const Candidate& b) {
                          return ranks_before(a.score, a.id, b.score, b.id);
                      });
    std::vector<HybridHit> hits;
    hits.reserve(keep);
    for (size_t i = 0; i < keep; ++i) {
        const Candidate& c = candidates[i];
        hits.push_back({c.id, c.score, c.dense_distance, c.sparse_score, payload_of(c.id)});
    }
    return hits;
}

Result<HybridCandidates> hybrid_candidates(const Collection& collection,
                                           std::span<const float> dense_query,
                                           const SparseVector& sparse_query, uint64_t k,
                                           const FilterCondition* filter) {
    if (k == 0) return HybridCandidates{};
    auto pool = hybrid_candidate_count(k);
    if (!pool) return fail(pool.error());
    SearchFilter admitted;
    if (filter != nullptr) admitted = collection.search_filter(*filter);
    auto dense = filter != nullptr
                     ? collection.index().search_filtered(dense_query, *pool, admitted)
                     : collection.index().search(dense_query, *pool);
    if (!dense) return fail(dense.error());
    auto sparse_scores = collection.sparse().dot_scores(sparse_query);
    if (filter != nullptr) {
        std::erase_if(sparse_scores,
                      [&](const auto& entry) { return !admitted.admit(entry.first); });
    }
    return HybridCandidates{std::move(*dense), best_sparse_scores(sparse_scores, *pool)};
}

Result<std::vector<HybridHit>> search_hybrid(const Collection& collection,
                                             std::span<const float> dense_query,
                                             const SparseVector& sparse_query, uint64_t k,
                                             HybridWeights weights, const FilterCondition* filter) {
    auto pools = hybrid_candidates(collection, dense_query, sparse_query, k, filter);
    if (!pools) return fail(pools.error());
    return fuse_hybrid(*pools, k, weights,
                       [&collection](VectorId id) { return collection.payload_copy(id); });
}

}  // namespace tvdb
