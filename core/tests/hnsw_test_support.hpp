#pragma once

// Shared helpers of the HNSW tests: reproducible data and a structural check of the graph.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "detail/hnsw_graph.hpp"
#include "vector_index.hpp"

namespace tvdb::testing {

// Points around a few random centres, like embeddings that form topics. The default spread
// makes the clusters overlap: with a pure nearest-neighbour link rule, well separated
// clusters end up as separate components of the graph.
inline std::vector<float> clustered_rows(size_t rows, size_t dims, uint64_t seed,
                                         size_t clusters = 8, float centre_scale = 1.0f) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> centres(clusters * dims);
    for (float& x : centres) x = centre_scale * normal(rng);
    std::vector<float> data(rows * dims);
    for (size_t r = 0; r < rows; ++r) {
        size_t c = rng() % clusters;
        for (size_t d = 0; d < dims; ++d) data[r * dims + d] = centres[c * dims + d] + normal(rng);
    }
    return data;
}

inline std::span<const float> row(const std::vector<float>& data, size_t dims, size_t r) {
    return std::span(data).subspan(r * dims, dims);
}

// Every link as (owner, layer, entry), read from the lists or, seen from the other end,
// from what the graph finds to list each node.
inline std::multiset<std::tuple<uint32_t, size_t, uint32_t>> links_of(const HnswGraph& graph,
                                                                      bool from_listed_by) {
    std::multiset<std::tuple<uint32_t, size_t, uint32_t>> links;
    for (uint32_t slot = 0; slot < graph.slot_count(); ++slot) {
        for (size_t layer = 0; layer <= graph.level_of(slot); ++layer) {
            if (from_listed_by) {
                for (uint32_t n : graph.listed_by(slot, layer)) links.emplace(n, layer, slot);
            } else {
                for (uint32_t n : graph.neighbors(slot, layer)) links.emplace(slot, layer, n);
            }
        }
    }
    return links;
}

// List lengths within m0 / m; lists hold live nodes of their layer, once each, never their
// owner, and what the graph finds to list each node mirrors them exactly; entry point live and of the highest
// live level; node_count equal to the live slots.
inline void expect_graph_invariants(const HnswGraph& graph) {
    uint64_t live = 0;
    int top_level = -1;
    for (uint32_t slot = 0; slot < graph.slot_count(); ++slot) {
        if (!graph.is_live(slot)) {
            EXPECT_TRUE(graph.neighbors(slot, 0).empty()) << "removed slot " << slot;
            continue;
        }
        ++live;
        top_level = std::max<int>(top_level, graph.level_of(slot));
        EXPECT_LE(graph.neighbors(slot, 0).size(), graph.m0()) << "slot " << slot;
        for (size_t layer = 1; layer <= graph.level_of(slot); ++layer) {
            EXPECT_LE(graph.neighbors(slot, layer).size(), graph.m()) << "slot " << slot;
        }
        for (size_t layer = 0; layer <= graph.level_of(slot); ++layer) {
            auto list = graph.neighbors(slot, layer);
            EXPECT_EQ(std::set<uint32_t>(list.begin(), list.end()).size(), list.size());
            for (uint32_t n : list) {
                ASSERT_LT(n, graph.slot_count());
                EXPECT_TRUE(n != slot && graph.is_live(n) && graph.level_of(n) >= layer)
                    << "slot " << slot << " lists " << n << " on layer " << layer;
            }
        }
    }
    EXPECT_EQ(graph.node_count(), live);
    EXPECT_EQ(links_of(graph, true), links_of(graph, false));
    if (live == 0) {
        EXPECT_FALSE(graph.entry_point().has_value());
    } else {
        ASSERT_TRUE(graph.entry_point().has_value());
        EXPECT_TRUE(graph.is_live(*graph.entry_point()));
        EXPECT_EQ(graph.level_of(*graph.entry_point()), top_level);
    }
}

// Searches for every live vector with k = the live count and counts the live IDs the
// answers miss: zero when every live node is reachable from wherever a search enters.
inline size_t missed_live_ids(const VectorIndex& index) {
    std::vector<VectorEntry> live;
    index.iter_vectors([&](VectorId id, std::span<const float> v) {
        live.emplace_back(id, std::vector<float>(v.begin(), v.end()));
    });
    size_t missed = 0;
    for (const auto& [id, vector] : live) {
        auto hits = index.search(vector, live.size());
        std::set<VectorId> found;
        if (hits) {
            for (const SearchResult& hit : *hits) found.insert(hit.id);
        }
        missed += live.size() - found.size();
    }
    return missed;
}

}  // namespace tvdb::testing
