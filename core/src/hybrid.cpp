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

// Descending by score; a NaN score sorts last so the order stays a strict weak ordering.
bool ranks_before(float a, float b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a > b;
}

// The `pool` best sparse scores, in no particular order.
std::vector<std::pair<VectorId, float>> top_sparse(
    const std::unordered_map<VectorId, float>& scores, uint64_t pool) {
    std::vector<std::pair<VectorId, float>> kept(scores.begin(), scores.end());
    if (kept.size() > pool) {
        auto by_score = [](const auto& a, const auto& b) { return ranks_before(a.second, b.second); };
        std::nth_element(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(pool), kept.end(),
                         by_score);
        kept.resize(pool);
    }
    return kept;
}

struct Candidate {
    VectorId id;
    float score;
    float dense_distance;
    float sparse_score;
    const Payload* payload;
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

std::vector<HybridHit> fuse_hybrid(std::span<const SearchResult> dense,
                                   const std::unordered_map<VectorId, float>& sparse_scores,
                                   uint64_t k, uint64_t pool, HybridWeights weights,
                                   const PayloadLookup& payload_of) {
    std::vector<float> distances;
    distances.reserve(dense.size());
    for (const SearchResult& hit : dense) distances.push_back(hit.distance);
    Bounds dense_bounds = bounds_of(distances);

    auto kept_sparse = top_sparse(sparse_scores, pool);
    std::vector<float> scores;
    scores.reserve(kept_sparse.size());
    for (const auto& entry : kept_sparse) scores.push_back(entry.second);
    Bounds sparse_bounds = bounds_of(scores);

    std::unordered_map<VectorId, float> kept_score(kept_sparse.begin(), kept_sparse.end());
    std::vector<Candidate> candidates;
    candidates.reserve(dense.size() + kept_sparse.size());
    auto consider = [&](VectorId id, float d, float s) {
        candidates.push_back({id, fused_score(d, dense_bounds, s, sparse_bounds, weights), d, s,
                              payload_of(id)});
    };
    std::unordered_map<VectorId, float> dense_distance;
    for (const SearchResult& hit : dense) {
        if (!dense_distance.emplace(hit.id, hit.distance).second) continue;
        auto sparse = kept_score.find(hit.id);
        consider(hit.id, hit.distance, sparse == kept_score.end() ? 0.0f : sparse->second);
    }
    for (const auto& [id, s] : kept_sparse) {
        if (!dense_distance.contains(id)) consider(id, dense_bounds.max, s);
    }

    // Only the kept hits copy their payload.
    size_t keep = static_cast<size_t>(std::min<uint64_t>(k, candidates.size()));
    std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(keep),
                      candidates.end(), [](const Candidate& a, const Candidate& b) {
                          return ranks_before(a.score, b.score);
                      });
    std::vector<HybridHit> hits;
    hits.reserve(keep);
    for (size_t i = 0; i < keep; ++i) {
        const Candidate& c = candidates[i];
        hits.push_back({c.id, c.score, c.dense_distance, c.sparse_score,
                        c.payload ? std::optional<Payload>(*c.payload) : std::nullopt});
    }
    return hits;
}

Result<std::vector<HybridHit>> search_hybrid(const Collection& collection,
                                             std::span<const float> dense_query,
                                             const SparseVector& sparse_query, uint64_t k,
                                             HybridWeights weights, const FilterCondition* filter) {
    if (k == 0) return std::vector<HybridHit>{};
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
    return fuse_hybrid(*dense, sparse_scores, k, *pool, weights,
                       [&collection](VectorId id) { return collection.payload(id); });
}

}  // namespace tvdb
