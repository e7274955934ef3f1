// Parallel HNSW insertion and concurrent searches, written to be run under ThreadSanitizer
// (`make test-tsan`) as well as in the ordinary suites: worker threads search the graph
// while the calling thread links micro-batches, and searches from many threads share the
// index's scratch state.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "hnsw_index.hpp"
#include "test_support.hpp"

using tvdb::HnswConfig;
using tvdb::HnswIndex;
using tvdb::Metric;
using tvdb::testing::clustered_rows;
using tvdb::testing::row;

namespace {

std::unique_ptr<HnswIndex> parallel_index(const std::vector<float>& data, size_t dims,
                                          size_t threads, size_t micro_batch) {
    auto index = HnswIndex::create(dims, Metric::L2,
                                   HnswConfig{.ef_construction = 40, .ef_search = 32, .m = 8});
    EXPECT_TRUE(index);
    (*index)->seed_levels(11);
    EXPECT_TRUE((*index)->add_batch_parallel(data, 0, threads, micro_batch));
    return std::move(*index);
}

}  // namespace

TEST(HnswThreads, ParallelInsertOnFourWorkersLinksEveryRow) {
    const size_t dims = 12, rows = 1500;
    auto data = clustered_rows(rows, dims, 21);
    auto index = parallel_index(data, dims, 4, 32);
    EXPECT_EQ(index->len(), rows);
    tvdb::testing::expect_graph_invariants(index->graph());
    // A second parallel batch grows the same graph with workers searching it again.
    auto more = clustered_rows(500, dims, 22);
    ASSERT_TRUE(index->add_batch_parallel(more, rows, 4, 16));
    EXPECT_EQ(index->len(), rows + 500);
    tvdb::testing::expect_graph_invariants(index->graph());
}

TEST(HnswThreads, SearchesFromManyThreadsAgreeWithOneThread) {
    const size_t dims = 12, rows = 800;
    auto data = clustered_rows(rows, dims, 23);
    auto index = parallel_index(data, dims, 2, 64);
    std::vector<uint64_t> expected(rows / 10);
    for (size_t q = 0; q < expected.size(); ++q) {
        expected[q] = index->search(row(data, dims, q * 10), 1).value().front().id;
    }
    std::atomic<size_t> mismatches{0};
    std::vector<std::thread> searchers;
    for (int t = 0; t < 4; ++t) {
        searchers.emplace_back([&] {
            for (size_t q = 0; q < expected.size(); ++q) {
                auto hits = index->search(row(data, dims, q * 10), 1);
                if (!hits || hits->empty() || hits->front().id != expected[q]) ++mismatches;
            }
        });
    }
    for (auto& searcher : searchers) searcher.join();
    EXPECT_EQ(mismatches.load(), 0u);
}
