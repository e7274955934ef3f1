#include "hnsw_index.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <set>

#include "codec.hpp"
#include "flat_index.hpp"
#include "test_support.hpp"

namespace tvdb {
namespace {

using testing::clustered_rows;
using testing::expect_graph_invariants;
using testing::row;

std::unique_ptr<HnswIndex> make_index(uint64_t dims, Metric metric = Metric::L2,
                                      HnswConfig config = {}) {
    auto index = HnswIndex::create(dims, metric, config);
    EXPECT_TRUE(index.has_value());
    return std::move(*index);
}

std::vector<VectorId> ids_of(const std::vector<SearchResult>& hits) {
    std::vector<VectorId> ids;
    for (const auto& hit : hits) ids.push_back(hit.id);
    return ids;
}

TEST(HnswIndex, RecallAgainstBruteForceForEveryMetric) {
    const size_t dims = 16, n = 2000, queries = 50;
    auto data = clustered_rows(n + queries, dims, 21);
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        auto index = make_index(dims, metric, {.ef_construction = 100, .ef_search = 64, .m = 12});
        index->seed_levels(1);
        FlatIndex exact(dims, metric);
        ASSERT_TRUE(index->add_batch_contiguous(std::span(data).first(n * dims), 0));
        ASSERT_TRUE(exact.add_batch_contiguous(std::span(data).first(n * dims), 0));
        size_t hits = 0;
        for (size_t q = 0; q < queries; ++q) {
            auto query = row(data, dims, n + q);
            auto approx = index->search(query, 10).value();
            auto truth = exact.search(query, 10).value();
            ASSERT_EQ(approx.size(), 10u);
            EXPECT_TRUE(std::is_sorted(approx.begin(), approx.end(),
                                       [](auto& a, auto& b) { return a.distance < b.distance; }));
            std::set<VectorId> expected;
            for (auto& hit : truth) expected.insert(hit.id);
            for (auto& hit : approx) hits += expected.count(hit.id);
            // Reported distances are the metric's own, as the exact index reports them.
            EXPECT_FLOAT_EQ(approx[0].distance,
                            distance(metric, query, row(data, dims, approx[0].id)));
        }
        EXPECT_GE(hits / double(queries * 10), 0.9) << metric_name(metric);
    }
}

TEST(HnswIndex, SearchLeavesTheClusterItEntersOnSeparatedClusters) {
    const size_t dims = 16, n = 3000, queries = 50;
    auto data = clustered_rows(n + queries, dims, 8, 30, 5.0f);
    auto index = make_index(dims, Metric::L2, {.ef_construction = 100, .ef_search = 32, .m = 8});
    index->seed_levels(2);
    FlatIndex exact(dims, Metric::L2);
    ASSERT_TRUE(index->add_batch_parallel(std::span(data).first(n * dims), 0, 2, 128));
    ASSERT_TRUE(exact.add_batch_contiguous(std::span(data).first(n * dims), 0));
    size_t hits = 0;
    for (size_t q = 0; q < queries; ++q) {
        std::set<VectorId> truth;
        const auto expected = exact.search(row(data, dims, n + q), 10).value();
        const auto found = index->search(row(data, dims, n + q), 10).value();
        for (const auto& hit : expected) truth.insert(hit.id);
        for (const auto& hit : found) hits += truth.count(hit.id);
    }
    EXPECT_GE(hits / double(queries * 10), 0.9);
}

TEST(HnswIndex, KAboveEfSearchWidensTheBeam) {
    // m0 = 32 links every one of the 30 nodes to every other: all are reachable.
    auto index = make_index(2, Metric::L2, {.ef_construction = 50, .ef_search = 4, .m = 16});
    std::vector<float> q{0, 0};
    auto data = clustered_rows(30, 2, 2);
    ASSERT_TRUE(index->add_batch_contiguous(data, 100));
    EXPECT_EQ(index->search(q, 20).value().size(), 20u);
    EXPECT_EQ(index->search(q, 1000).value().size(), 30u);
}

TEST(HnswIndex, BadAndEmptyInsertionsChangeNothing) {
    auto index = make_index(2);
    ASSERT_TRUE(index->add(5, std::vector<float>{1, 1}));
    auto dup = index->add(5, std::vector<float>{2, 2});
    ASSERT_FALSE(dup);
    EXPECT_EQ(dup.error().kind, ErrorKind::DuplicateId);

    std::vector<VectorEntry> wrong_length{{1, {0, 0}}, {2, {0, 0, 0}}};
    auto bad = index->add_batch(wrong_length);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "dimension mismatch: expected 2, got 3");
    std::vector<VectorEntry> repeated{{1, {0, 0}}, {2, {0, 1}}, {1, {1, 0}}};
    EXPECT_EQ(index->add_batch(repeated).error().message(), "duplicate vector ID: 1");
    std::vector<VectorEntry> live{{1, {0, 0}}, {5, {0, 1}}};
    EXPECT_EQ(index->add_batch(live).error().kind, ErrorKind::DuplicateId);

    std::vector<float> rows{0, 0, 1, 1, 2, 2};
    EXPECT_EQ(index->add_batch_contiguous(rows, 4).error().message(), "duplicate vector ID: 5");
    EXPECT_EQ(index->add_batch_parallel(rows, 3, 2, 1).error().kind, ErrorKind::DuplicateId);
    std::vector<float> ragged{0, 0, 1};
    EXPECT_EQ(index->add_batch_contiguous(ragged, 10).error().message(),
              "invalid configuration: data length 3 is not divisible by dimension 2");
    EXPECT_EQ(index->add_batch_parallel(ragged, 10, 0, 0).error().kind, ErrorKind::InvalidConfig);
    EXPECT_TRUE(index->add_batch({}));
    EXPECT_TRUE(index->add_batch_contiguous({}, 0));
    EXPECT_TRUE(index->add_batch_parallel({}, 0, 0, 0));
    EXPECT_EQ(index->len(), 1u);
    EXPECT_EQ(index->graph().slot_count(), 1u);
}

TEST(HnswIndex, MOutsideOneToThirtyTwoIsRejected) {
    EXPECT_EQ(HnswIndex::create(4, Metric::L2, {.m = 0}).error().kind, ErrorKind::InvalidConfig);
    EXPECT_EQ(HnswIndex::create(4, Metric::L2, {.m = 33}).error().kind, ErrorKind::InvalidConfig);
    EXPECT_TRUE(HnswIndex::create(4, Metric::L2, {.m = 32}));
    EXPECT_TRUE(HnswIndex::create(4, Metric::L2, {.m = 1}));
}

TEST(HnswIndex, FullSixtyFourBitIdsStayDistinct) {
    auto index = make_index(1);
    const VectorId big = uint64_t{1} << 32;
    ASSERT_TRUE(index->add(0, std::vector<float>{0}));
    ASSERT_TRUE(index->add(big, std::vector<float>{1}));
    ASSERT_TRUE(index->add(1'000'000'000'000, std::vector<float>{2}));
    ASSERT_TRUE(index->add(UINT64_MAX, std::vector<float>{3}));
    EXPECT_EQ(index->graph().slot_count(), 4u);
    EXPECT_EQ(ids_of(index->search(std::vector<float>{1.1f}, 4).value()),
              (std::vector<VectorId>{big, 1'000'000'000'000, 0, UINT64_MAX}));
    std::vector<float> two{5, 6};
    EXPECT_EQ(index->add_batch_contiguous(two, UINT64_MAX).error().kind, ErrorKind::InvalidConfig);
}

TEST(HnswIndex, IterVectorsYieldsLiveVectorsInAscendingIdOrder) {
    auto index = make_index(1);
    for (VectorId id : {30, 10, 20, 40}) ASSERT_TRUE(index->add(id, std::vector<float>{float(id)}));
    index->remove(20);
    std::vector<std::pair<VectorId, float>> seen;
    index->iter_vectors([&](VectorId id, std::span<const float> v) { seen.emplace_back(id, v[0]); });
    EXPECT_EQ(seen, (std::vector<std::pair<VectorId, float>>{{10, 10}, {30, 30}, {40, 40}}));
}

// ---- deletions keep every live node reachable and recall as a fresh build ----

TEST(HnswIndex, EverySingleDeletionFromATinyGraphLeavesEveryLiveNodeReachable) {
    const size_t dims = 8;
    for (uint64_t m : {3, 12}) {
        for (size_t count = 2; count <= 20; ++count) {
            auto data = clustered_rows(count, dims, 100 + count, 3);
            for (size_t removed = 0; removed < count; ++removed) {
                auto index = make_index(dims, Metric::L2, {.ef_construction = 40, .ef_search = 8, .m = m});
                index->seed_levels(count * 31 + removed);
                ASSERT_TRUE(index->add_batch_contiguous(data, 0));
                ASSERT_TRUE(index->remove(removed));
                EXPECT_EQ(testing::missed_live_ids(*index), 0u)
                    << "m " << m << ", " << count << " nodes, removed " << removed;
                expect_graph_invariants(index->graph());
            }
        }
    }
}

TEST(HnswIndex, ChurnKeepsEveryLiveNodeReachableAlsoAfterSaveAndLoad) {
    const size_t dims = 8, ids = 300;
    for (uint64_t m : {4, 12}) {
        auto index = make_index(dims, Metric::L2, {.ef_construction = 64, .ef_search = 16, .m = m});
        index->seed_levels(m);
        std::mt19937_64 rng(m);
        auto pool = clustered_rows(4000, dims, 40 + m);
        for (size_t op = 0; op < 4000; ++op) {
            const VectorId id = rng() % ids;
            if (rng() % 4 == 0) {
                index->remove(id);
                continue;
            }
            index->remove(id);  // an upsert that replaces the vector
            ASSERT_TRUE(index->add(id, row(pool, dims, op)));
        }
        expect_graph_invariants(index->graph());
        EXPECT_EQ(testing::missed_live_ids(*index), 0u) << "m " << m;

        const std::string path = ::testing::TempDir() + "churn.hnsw";
        ASSERT_TRUE(index->save(path));
        auto loaded = HnswIndex::load(path);
        ASSERT_TRUE(loaded);
        expect_graph_invariants((*loaded)->graph());
        EXPECT_EQ(testing::missed_live_ids(**loaded), 0u) << "m " << m;
        // Deletions from a loaded graph find every list to repair too.
        for (VectorId id = 0; id < ids; id += 3) (*loaded)->remove(id);
        expect_graph_invariants((*loaded)->graph());
        EXPECT_EQ(testing::missed_live_ids(**loaded), 0u) << "m " << m;
    }
}

// Recall@10 of `index` over the rows `queries` of `data`, against an exact search of the
// rows whose flag in `live` is set (IDs are row numbers).
double recall_at_10(const HnswIndex& index, const std::vector<float>& data, size_t dims,
                    const std::vector<uint8_t>& live, size_t first_query, size_t queries) {
    FlatIndex exact(dims, Metric::L2);
    for (size_t r = 0; r < live.size(); ++r) {
        if (live[r]) {
            EXPECT_TRUE(exact.add(r, row(data, dims, r)));
        }
    }
    size_t hits = 0;
    for (size_t q = first_query; q < first_query + queries; ++q) {
        std::set<VectorId> truth;
        const auto expected = exact.search(row(data, dims, q), 10).value();
        const auto found = index.search(row(data, dims, q), 10).value();
        for (const auto& hit : expected) truth.insert(hit.id);
        for (const auto& hit : found) hits += truth.count(hit.id);
    }
    return hits / double(queries * 10);
}

TEST(HnswIndex, RecallAfterDeletionsStaysWithinTwoPointsOfAFreshBuild) {
    const size_t dims = 16, n = 10000, queries = 200;
    const HnswConfig config{.ef_construction = 64, .ef_search = 16, .m = 12};
    auto data = clustered_rows(n + queries, dims, 61, 40);
    auto index = make_index(dims, Metric::L2, config);
    index->seed_levels(1);
    ASSERT_TRUE(index->add_batch_contiguous(std::span(data).first(n * dims), 0));
    std::vector<VectorId> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(2));
    std::vector<uint8_t> live(n, 1);
    size_t removed = 0;
    for (size_t percent : {10, 30, 50}) {
        for (; removed < n * percent / 100; ++removed) {
            ASSERT_TRUE(index->remove(order[removed]));
            live[order[removed]] = 0;
        }
        auto fresh = make_index(dims, Metric::L2, config);
        fresh->seed_levels(3);
        for (size_t r = 0; r < n; ++r) {
            if (live[r]) {
                ASSERT_TRUE(fresh->add(r, row(data, dims, r)));
            }
        }
        const double after = recall_at_10(*index, data, dims, live, n, queries);
        const double rebuilt = recall_at_10(*fresh, data, dims, live, n, queries);
        EXPECT_GE(after, rebuilt - 0.02) << percent << "% deleted";
    }
    expect_graph_invariants(index->graph());
}

std::vector<uint8_t> saved_bytes(const HnswIndex& index, const std::string& name) {
    std::string path = ::testing::TempDir() + name;
    EXPECT_TRUE(index.save(path));
    return read_file(path).value();
}

TEST(HnswIndex, ParallelInsertOfOneMicroBatchEqualsSequentialInsert) {
    const size_t dims = 8;
    auto data = clustered_rows(200, dims, 4);
    auto sequential = make_index(dims);
    auto parallel = make_index(dims);
    sequential->seed_levels(99);
    parallel->seed_levels(99);
    ASSERT_TRUE(sequential->add_batch_contiguous(data, 0));
    ASSERT_TRUE(parallel->add_batch_parallel(data, 0, 2, 256));
    EXPECT_EQ(saved_bytes(*sequential, "seq.hnsw"), saved_bytes(*parallel, "par.hnsw"));
}

TEST(HnswIndex, ParallelGraphDoesNotDependOnThreadCount) {
    const size_t dims = 8;
    auto data = clustered_rows(700, dims, 8);
    auto one = make_index(dims, Metric::Cosine);
    auto two = make_index(dims, Metric::Cosine);
    one->seed_levels(5);
    two->seed_levels(5);
    ASSERT_TRUE(one->add_batch_parallel(data, 10, 1, 64));
    ASSERT_TRUE(two->add_batch_parallel(data, 10, 2, 64));
    EXPECT_EQ(saved_bytes(*one, "one.hnsw"), saved_bytes(*two, "two.hnsw"));
    expect_graph_invariants(two->graph());
    EXPECT_EQ(two->len(), 700u);
}

}  // namespace
}  // namespace tvdb
