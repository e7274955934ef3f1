#include "detail/hnsw_graph.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "test_support.hpp"

namespace tvdb {
namespace {

using testing::clustered_rows;
using testing::expect_graph_invariants;
using testing::row;

// A graph of one-dimensional points at level 0 whose layer-0 lists are set by hand.
struct LineGraph {
    HnswGraph graph{1, 1, 100};  // m = 1, so m0 = 2
    uint32_t add(VectorId id, float x) {
        uint32_t slot = graph.slot_for(id);
        graph.stage(slot, std::vector<float>{x}, 0);
        if (!graph.entry_point()) graph.set_entry_point(slot);
        return slot;
    }
};

TEST(HnswGraph, FirstInsertionBecomesEntryPointWithoutNeighbours) {
    HnswGraph graph(2, 4, 16);
    VisitedTracker tracker;
    uint32_t slot = graph.slot_for(42);
    graph.insert(slot, std::vector<float>{1, 2}, Metric::L2, tracker);
    EXPECT_EQ(graph.entry_point(), slot);
    EXPECT_EQ(graph.node_count(), 1u);
    EXPECT_TRUE(graph.neighbors(slot, 0).empty());
    EXPECT_EQ(graph.id_of(slot), 42u);
}

TEST(HnswGraph, LargeIdsGetDenseSlots) {
    HnswGraph graph(1, 4, 16);
    EXPECT_EQ(graph.slot_for(uint64_t{1} << 40), 0u);
    EXPECT_EQ(graph.slot_for(5), 1u);
    EXPECT_EQ(graph.slot_for(uint64_t{1} << 40), 0u);
    EXPECT_EQ(graph.slot_count(), 2u);
}

TEST(HnswGraph, InvariantsHoldThroughRandomInsertsAndDeletes) {
    const size_t dims = 8;
    auto data = clustered_rows(400, dims, 7);
    HnswGraph graph(dims, 4, 32);
    graph.seed_levels(11);
    VisitedTracker tracker;
    std::mt19937_64 rng(3);
    std::vector<uint32_t> live;
    for (size_t i = 0; i < 300; ++i) {
        uint32_t slot = graph.slot_for(i * 7919);
        graph.insert(slot, row(data, dims, i), Metric::L2, tracker);
        live.push_back(slot);
    }
    expect_graph_invariants(graph);
    std::shuffle(live.begin(), live.end(), rng);
    std::vector<uint32_t> removed(live.begin(), live.begin() + 150);
    for (uint32_t slot : removed) EXPECT_TRUE(graph.unlink(slot, Metric::L2));
    for (uint32_t slot : removed) EXPECT_FALSE(graph.unlink(slot, Metric::L2));
    expect_graph_invariants(graph);
    EXPECT_EQ(graph.node_count(), 150u);

    // Every query reaches live nodes only, and never comes back empty.
    for (size_t q = 300; q < 400; ++q) {
        uint32_t entry = *graph.entry_point();
        for (size_t layer = graph.level_of(entry); layer >= 1; --layer) {
            entry = graph.greedy_closest(row(data, dims, q), entry, layer, Metric::L2);
        }
        EXPECT_TRUE(graph.is_live(entry));
        auto found = graph.search_layer(row(data, dims, q), entry, 20, 0, Metric::L2, tracker);
        EXPECT_FALSE(found.empty());
        for (const Candidate& c : found) EXPECT_TRUE(graph.is_live(c.slot));
    }

    // Removed slots are reused when their IDs come back.
    for (size_t i = 0; i < 50; ++i) {
        uint32_t slot = removed[i];
        EXPECT_EQ(graph.slot_for(graph.id_of(slot)), slot);
        graph.insert(slot, row(data, dims, 300 + i), Metric::L2, tracker);
    }
    expect_graph_invariants(graph);
    EXPECT_EQ(graph.slot_count(), 300u);
}

TEST(HnswGraph, RemovingEveryNodeLeavesNoEntryPoint) {
    HnswGraph graph(2, 4, 16);
    VisitedTracker tracker;
    auto data = clustered_rows(20, 2, 1);
    for (size_t i = 0; i < 20; ++i) graph.insert(graph.slot_for(i), row(data, 2, i), Metric::L2, tracker);
    for (size_t i = 0; i < 20; ++i) {
        uint32_t entry = *graph.entry_point();
        ASSERT_TRUE(graph.unlink(entry, Metric::L2));
        expect_graph_invariants(graph);
    }
    EXPECT_FALSE(graph.entry_point().has_value());
}

TEST(HnswGraph, RemovedEntryPointPassesToHighestLevelThenLargestId) {
    HnswGraph graph(1, 4, 16);
    std::vector<float> x{0};
    auto stage = [&](VectorId id, uint8_t level) {
        uint32_t slot = graph.slot_for(id);
        graph.stage(slot, x, level);
        return slot;
    };
    uint32_t top = stage(1, 3);
    stage(9, 2);
    uint32_t expected = stage(12, 2);
    stage(4, 1);
    graph.set_entry_point(top);
    ASSERT_TRUE(graph.unlink(top, Metric::L2));
    EXPECT_EQ(graph.entry_point(), expected);
}

TEST(HnswGraph, SearchFromRemovedEntryIsEmpty) {
    LineGraph line;
    uint32_t a = line.add(1, 0.0f);
    line.add(2, 1.0f);
    line.graph.unlink(a, Metric::L2);
    VisitedTracker tracker;
    EXPECT_TRUE(line.graph.search_layer(std::vector<float>{0}, a, 4, 0, Metric::L2, tracker).empty());
}

TEST(HnswGraph, BackLinkOverflowKeepsDiverseNeighboursOverNearerShadowedOnes) {
    HnswGraph graph(2, 1, 100);  // m0 = 2
    auto add = [&](VectorId id, float x, float y) {
        uint32_t slot = graph.slot_for(id);
        graph.stage(slot, std::vector<float>{x, y}, 0);
        return slot;
    };
    uint32_t a = add(1, 0, 0);
    uint32_t b = add(2, 1, 0);
    uint32_t c = add(3, 0, 3);
    graph.set_entry_point(a);
    std::vector<uint32_t> a_list{c, b};
    graph.set_neighbors(a, 0, a_list);
    graph.record_one_way_links();
    // n lies behind b as seen from a: nearer to a than c is, but shadowed by b.
    uint32_t n = add(4, 2, 0);
    graph.link_planned({.layers = {{a}}, .slot = n}, Metric::L2);
    auto list = graph.neighbors(a, 0);
    EXPECT_EQ(std::vector<uint32_t>(list.begin(), list.end()), (std::vector<uint32_t>{b, c}));
    EXPECT_EQ(graph.neighbors(n, 0).size(), 1u);
}

TEST(HnswGraph, RemovalHandsItsNeighboursToEveryNodeThatListedIt) {
    LineGraph line;
    uint32_t a = line.add(1, 0.0f);
    uint32_t b = line.add(2, 1.0f);
    uint32_t c = line.add(3, 2.0f);
    uint32_t d = line.add(4, 9.0f);
    // One-way links: only b leads to c, and b lists neither a nor d.
    for (auto [from, to] : {std::pair{a, b}, {b, c}, {d, b}}) {
        line.graph.set_neighbors(from, 0, std::vector<uint32_t>{to});
    }
    line.graph.record_one_way_links();
    ASSERT_TRUE(line.graph.unlink(b, Metric::L2));
    for (uint32_t from : {a, d}) {
        auto list = line.graph.neighbors(from, 0);
        EXPECT_EQ(std::vector<uint32_t>(list.begin(), list.end()), std::vector<uint32_t>{c});
    }
    EXPECT_TRUE(line.graph.listed_by(b, 0).empty());
    expect_graph_invariants(line.graph);
}

TEST(HnswGraph, NewNodeSkipsCandidatesShadowedByNearerKeptNeighbours) {
    HnswGraph graph(1, 4, 16);
    VisitedTracker tracker;
    for (VectorId id : {0, 1, 2}) {
        graph.insert(graph.slot_for(id), std::vector<float>{float(id)}, Metric::L2, tracker);
    }
    // Seen from 2, node 0 lies behind node 1 (nearer to 1 than to 2): only 1 is kept.
    auto list = graph.neighbors(*graph.slot_of(2), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(graph.id_of(list[0]), 1u);
}

TEST(HnswGraph, EqualDistancesAreOrderedById) {
    LineGraph line;
    uint32_t centre = line.add(50, 0.0f);
    uint32_t right = line.add(7, 1.0f);
    uint32_t left = line.add(3, -1.0f);
    std::vector<uint32_t> list{right, left};
    line.graph.set_neighbors(centre, 0, list);
    VisitedTracker tracker;
    auto found = line.graph.search_layer(std::vector<float>{0}, centre, 3, 0, Metric::L2, tracker);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[1].slot, left);
    EXPECT_EQ(found[2].slot, right);
}

TEST(HnswGraph, GenerationWrapAroundForgetsOldMarks) {
    const size_t dims = 4;
    auto data = clustered_rows(200, dims, 5);
    HnswGraph graph(dims, 6, 40);
    VisitedTracker build;
    for (size_t i = 0; i < 200; ++i) graph.insert(graph.slot_for(i), row(data, dims, i), Metric::L2, build);

    VisitedTracker fresh;
    VisitedTracker wrapping;
    wrapping.generation = std::numeric_limits<VisitedTracker::Mark>::max() - 1;
    // Stale marks equal to the generations that follow the wrap must not hide nodes.
    wrapping.marks.assign(graph.slot_count(), 1);
    for (size_t q = 0; q < 4; ++q) {
        auto query = row(data, dims, (q * 37) % 200);
        auto expected = graph.search_layer(query, *graph.entry_point(), 10, 0, Metric::L2, fresh);
        std::vector<uint32_t> expected_slots;
        for (auto& c : expected) expected_slots.push_back(c.slot);
        auto got = graph.search_layer(query, *graph.entry_point(), 10, 0, Metric::L2, wrapping);
        std::vector<uint32_t> got_slots;
        for (auto& c : got) got_slots.push_back(c.slot);
        EXPECT_EQ(got_slots, expected_slots) << "query " << q;
    }
    EXPECT_LT(wrapping.generation, 10u);
}

TEST(HnswGraph, LevelsFollowTheMultiplier) {
    HnswGraph graph(1, 12, 16);
    graph.seed_levels(1);
    size_t above_zero = 0;
    for (int i = 0; i < 20000; ++i) above_zero += graph.draw_level() > 0;
    // P(level > 0) = 1/m for the multiplier 1 / ln(m).
    EXPECT_NEAR(above_zero / 20000.0, 1.0 / 12, 0.01);
}

}  // namespace
}  // namespace tvdb
