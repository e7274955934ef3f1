#pragma once

// Shared helpers of the HNSW tests: reproducible data and a structural check of the graph.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "index/hnsw_graph.hpp"

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

// List lengths within m0 / m, neighbour slots in range, entry point live and of the
// highest live level, node_count equal to the live slots.
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
            for (uint32_t n : graph.neighbors(slot, layer)) EXPECT_LT(n, graph.slot_count());
        }
    }
    EXPECT_EQ(graph.node_count(), live);
    if (live == 0) {
        EXPECT_FALSE(graph.entry_point().has_value());
    } else {
        ASSERT_TRUE(graph.entry_point().has_value());
        EXPECT_TRUE(graph.is_live(*graph.entry_point()));
        EXPECT_EQ(graph.level_of(*graph.entry_point()), top_level);
    }
}

}  // namespace tvdb::testing
