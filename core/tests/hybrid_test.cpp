#include "hybrid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_map>
#include <vector>

using namespace tvdb;

namespace {

const PayloadLookup kNoPayloads = [](VectorId) -> std::optional<Payload> { return std::nullopt; };

HybridCandidates pools(std::vector<SearchResult> dense,
                       const std::unordered_map<VectorId, float>& sparse, uint64_t pool) {
    return {std::move(dense), best_sparse_scores(sparse, pool)};
}

float fused(float d, float d_min, float d_range, float s, float s_min, float s_range, float dw,
            float sw) {
    float dense = (1.0f - (d - d_min) / d_range) * dw;
    float sparse = ((s - s_min) / s_range) * sw;
    return dense + sparse;
}

}  // namespace

TEST(HybridFusion, ScoresEveryCandidateOfTheUnionByTheFormula) {
    std::vector<SearchResult> dense{{1, 0.5f}, {2, 1.5f}, {3, 2.5f}};
    std::unordered_map<VectorId, float> sparse{{2, 4.0f}, {9, 1.0f}};
    auto hits = fuse_hybrid(pools(dense, sparse, 30), 10, {0.7f, 0.3f}, kNoPayloads);
    ASSERT_EQ(hits.size(), 4u);
    std::unordered_map<VectorId, HybridHit> by_id;
    for (const HybridHit& hit : hits) by_id.emplace(hit.id, hit);
    EXPECT_EQ(by_id.at(1).score, fused(0.5f, 0.5f, 2.0f, 0.0f, 1.0f, 3.0f, 0.7f, 0.3f));
    EXPECT_EQ(by_id.at(2).score, fused(1.5f, 0.5f, 2.0f, 4.0f, 1.0f, 3.0f, 0.7f, 0.3f));
    EXPECT_EQ(by_id.at(9).dense_distance, 2.5f);
    EXPECT_EQ(by_id.at(9).score, fused(2.5f, 0.5f, 2.0f, 1.0f, 1.0f, 3.0f, 0.7f, 0.3f));
    EXPECT_EQ(by_id.at(3).sparse_score, 0.0f);
    for (size_t i = 1; i < hits.size(); ++i) EXPECT_GE(hits[i - 1].score, hits[i].score);
}

TEST(HybridFusion, OnlyThePoolOfBestSparseScoresTakesPart) {
    std::unordered_map<VectorId, float> sparse;
    for (VectorId id = 0; id < 100; ++id) sparse.emplace(id, static_cast<float>(id));
    auto hits = fuse_hybrid(pools({}, sparse, 10), 100, {0.0f, 1.0f}, kNoPayloads);
    ASSERT_EQ(hits.size(), 10u);
    EXPECT_EQ(hits.front().id, 99u);
    EXPECT_EQ(hits.front().score, 1.0f);
    EXPECT_EQ(hits.back().id, 90u);
    EXPECT_EQ(hits.back().score, 0.0f);
}

TEST(HybridFusion, EqualScoresRankByAscendingId) {
    // Pool boundary and final cut both fall inside runs of equal scores.
    std::unordered_map<VectorId, float> sparse;
    for (VectorId id = 0; id < 40; ++id) sparse.emplace(1000 - id, static_cast<float>(id % 4));
    auto kept = best_sparse_scores(sparse, 15);
    ASSERT_EQ(kept.size(), 15u);
    for (VectorId i = 0; i < 15; ++i) {
        // Score 3 belongs to IDs 961, 965, ..., 997; score 2 to 962, 966, ...
        VectorId expected = i < 10 ? 961 + 4 * i : 962 + 4 * (i - 10);
        EXPECT_EQ(kept[i].id, expected) << i;
        EXPECT_EQ(kept[i].score, i < 10 ? 3.0f : 2.0f) << i;
    }
    std::vector<SearchResult> dense{{7, 1.0f}, {5, 1.0f}, {6, 1.0f}};
    auto hits = fuse_hybrid(pools(dense, {}, 0), 2, {}, kNoPayloads);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].id, 5u);
    EXPECT_EQ(hits[1].id, 6u);
}

TEST(HybridFusion, HitsCarryTheirPayloads) {
    Payload tagged = {{"keep", true}};
    PayloadLookup payload_of = [&](VectorId id) -> std::optional<Payload> {
        if (id == 2) return tagged;
        return std::nullopt;
    };
    std::vector<SearchResult> dense{{1, 0.0f}, {2, 1.0f}};
    auto hits = fuse_hybrid(pools(dense, {}, 50), 5, {}, payload_of);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].payload, std::nullopt);
    EXPECT_EQ(hits[1].payload, tagged);
}

TEST(HybridFusion, NanScoresSortLastWithoutBreakingTheOrder) {
    std::vector<SearchResult> dense;
    for (VectorId id = 0; id < 50; ++id) {
        float d = id % 7 == 0 ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(id);
        dense.push_back({id, d});
    }
    auto hits = fuse_hybrid(pools(dense, {}, 500), 50, {}, kNoPayloads);
    ASSERT_EQ(hits.size(), 50u);
    EXPECT_EQ(hits.front().id, 1u);
    EXPECT_EQ(hits.front().score, 0.7f);
    for (size_t i = 0; i < 42; ++i) EXPECT_FALSE(std::isnan(hits[i].score)) << i;
    for (size_t i = 42; i < 50; ++i) EXPECT_TRUE(std::isnan(hits[i].score)) << i;
}

TEST(HybridFusion, CandidatePoolIsTenTimesKAndRefusesOverflow) {
    EXPECT_EQ(*hybrid_candidate_count(3), 30u);
    uint64_t largest = std::numeric_limits<uint64_t>::max() / 10;
    EXPECT_EQ(*hybrid_candidate_count(largest), largest * 10);
    auto refused = hybrid_candidate_count(largest + 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidConfig);
}
