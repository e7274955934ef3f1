#include "detail/hnsw_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "codec.hpp"
#include "hnsw_index.hpp"
#include "test_support.hpp"

namespace tvdb {
namespace {

using testing::clustered_rows;
using testing::expect_graph_invariants;
using testing::row;

std::string temp_path(const std::string& name) {
    auto dir = std::filesystem::path(::testing::TempDir()) / "hnsw_format_test";
    std::filesystem::create_directories(dir);
    auto path = dir / name;
    std::filesystem::remove(path);
    return path.string();
}

void write_bytes(const std::string& path, std::span<const uint8_t> bytes) {
    // A new file rather than a truncated one: some file systems flush a truncated file to
    // disk on close, which makes hundreds of small writes slow.
    std::filesystem::remove(path);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::unique_ptr<HnswIndex> built_index(size_t rows, size_t dims, Metric metric = Metric::L2) {
    auto index = HnswIndex::create(dims, metric, {.ef_construction = 40, .ef_search = 16, .m = 4});
    auto data = clustered_rows(rows, dims, 17);
    EXPECT_TRUE((*index)->add_batch_contiguous(data, 1000));
    return std::move(*index);
}

std::vector<std::vector<SearchResult>> answers(const HnswIndex& index, size_t dims) {
    auto queries = clustered_rows(20, dims, 99);
    std::vector<std::vector<SearchResult>> all;
    for (size_t q = 0; q < 20; ++q) all.push_back(index.search(row(queries, dims, q), 5).value());
    return all;
}

void expect_same_answers(const HnswIndex& a, const HnswIndex& b, size_t dims) {
    auto left = answers(a, dims), right = answers(b, dims);
    ASSERT_EQ(left.size(), right.size());
    for (size_t q = 0; q < left.size(); ++q) {
        ASSERT_EQ(left[q].size(), right[q].size());
        for (size_t i = 0; i < left[q].size(); ++i) {
            EXPECT_EQ(left[q][i].id, right[q][i].id);
            EXPECT_EQ(left[q][i].distance, right[q][i].distance);
        }
    }
}

// A graph record written field by field, to build files no writer of ours produces.
struct RecordNode {
    VectorId id;
    std::vector<float> vector;
    std::vector<std::vector<uint64_t>> lists;
    uint64_t level;
};

std::vector<uint8_t> graph_record(const std::vector<RecordNode>& nodes,
                                  std::optional<uint64_t> entry, uint64_t m = 2, uint64_t m0 = 4) {
    ByteEncoder out;
    out.count(nodes.size());
    for (const auto& node : nodes) {
        out.u64(node.id);
        out.f32_seq(node.vector);
        out.count(node.lists.size());
        for (const auto& list : node.lists) out.u64_seq(list);
        out.u64(node.level);
    }
    out.boolean(entry.has_value());
    if (entry) out.u64(*entry);
    out.u64(m);
    out.u64(m0);
    out.u64(10);
    out.f64(1.0 / std::log(2.0));
    return out.take();
}

TEST(HnswFiles, GraphFileRoundTripGivesIdenticalAnswers) {
    auto index = built_index(300, 5);
    for (VectorId id = 1000; id < 1300; id += 3) index->remove(id);
    const std::string path = temp_path("hnsw.graph");
    ASSERT_TRUE(index->save_graph(path));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    auto fresh = HnswIndex::create(5, Metric::L2, {.ef_search = 16});
    ASSERT_TRUE((*fresh)->load_graph_mmap(path));
    EXPECT_EQ((*fresh)->len(), 200u);
    EXPECT_EQ((*fresh)->graph().m(), 4u);  // the saved parameters, not the loader's
    expect_graph_invariants((*fresh)->graph());
    expect_same_answers(*index, **fresh, 5);

    auto standalone = HnswIndex::load_graph_file(path, index->config(), index->hnsw_config());
    ASSERT_TRUE(standalone);
    expect_same_answers(*index, **standalone, 5);
}

TEST(HnswFiles, EmptyIndexWritesNothingAndMissingFileChangesNothing) {
    const std::string path = temp_path("empty.graph");
    auto empty = HnswIndex::create(3, Metric::L2, {});
    ASSERT_TRUE((*empty)->save_graph(path));
    EXPECT_FALSE(std::filesystem::exists(path));

    auto index = built_index(50, 3);
    ASSERT_TRUE(index->load_graph_mmap(temp_path("missing.graph")));
    EXPECT_EQ(index->len(), 50u);
    auto missing = HnswIndex::load_graph_file(temp_path("missing.graph"), index->config(), {});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
}

TEST(HnswFiles, SparseIdsKeepTheirValues) {
    const std::string path = temp_path("sparse.graph");
    write_bytes(path, graph_record({{3, {0, 0}, {{10}}, 0}, {10, {1, 1}, {{3}}, 0}}, 10));
    auto index = HnswIndex::load_graph_file(path, {.dimensions = 2}, {});
    ASSERT_TRUE(index) << index.error().message();
    EXPECT_EQ((*index)->graph().slot_count(), 2u);
    auto hits = (*index)->search(std::vector<float>{0.9f, 0.9f}, 2).value();
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].id, 10u);
    EXPECT_EQ(hits[1].id, 3u);
}

TEST(HnswFiles, LongLayerZeroListIsCutAndUnknownNeighboursIgnored) {
    std::vector<RecordNode> nodes;
    for (VectorId id = 1; id <= 6; ++id) nodes.push_back({id, {float(id)}, {{}}, 0});
    nodes[0].lists[0] = {2, 77, 3, 4, 5, 6};  // 77 is not a saved node; m0 is 4
    const std::string path = temp_path("long.graph");
    write_bytes(path, graph_record(nodes, 1));
    auto index = HnswIndex::load_graph_file(path, {.dimensions = 1}, {});
    ASSERT_TRUE(index) << index.error().message();
    const HnswGraph& graph = (*index)->graph();
    std::vector<VectorId> kept;
    for (uint32_t slot : graph.neighbors(*graph.slot_of(1), 0)) kept.push_back(graph.id_of(slot));
    EXPECT_EQ(kept, (std::vector<VectorId>{2, 3, 4, 5}));
}

TEST(HnswFiles, InconsistentRecordsAreRejected) {
    auto rejected = [](const std::vector<uint8_t>& bytes) {
        const std::string path = temp_path("bad.graph");
        write_bytes(path, bytes);
        auto index = built_index(20, 2);
        auto loaded = index->load_graph_mmap(path);
        if (loaded) return false;
        EXPECT_EQ(index->len(), 20u);
        return loaded.error().kind == ErrorKind::Serialization;
    };
    RecordNode a{1, {0, 0}, {{2}}, 0};
    RecordNode b{2, {1, 1}, {{1}}, 0};
    EXPECT_TRUE(rejected(graph_record({a, {2, {1, 1, 1}, {{1}}, 0}}, 1))) << "vector length";
    EXPECT_TRUE(rejected(graph_record({a, b}, 5))) << "entry point not saved";
    EXPECT_TRUE(rejected(graph_record({a, b}, std::nullopt))) << "nodes without entry point";
    EXPECT_TRUE(rejected(graph_record({}, 1))) << "entry point without nodes";
    EXPECT_TRUE(rejected(graph_record({a, a}, 1))) << "node saved twice";
    EXPECT_TRUE(rejected(graph_record({a, b}, 1, 0, 4))) << "m = 0";
    EXPECT_TRUE(rejected(graph_record({a, b}, 1, 33, 4))) << "m = 33";
    EXPECT_TRUE(rejected(graph_record({a, b}, 1, 2, 65))) << "m0 = 65";
    EXPECT_TRUE(rejected(graph_record({{1, {0, 0}, {{2}, {2, 2, 2}}, 1}, b}, 1))) << "upper list > m";
    EXPECT_TRUE(rejected(graph_record({{1, {0, 0}, {{2}}, 3}, b}, 1))) << "lists vs level";
    EXPECT_TRUE(rejected(graph_record({{1, {0, 0}, std::vector<std::vector<uint64_t>>(300), 299}}, 1)))
        << "level above 255";
    EXPECT_FALSE(rejected(graph_record({a, b}, 1)));
}

TEST(HnswFiles, OlderStandaloneLayoutIsRebuiltFromItsVectors) {
    ByteEncoder out;
    hnsw_format::write_header(out, {.dimension = 2, .metric = Metric::L2,
                                    .config = {.ef_construction = 30, .ef_search = 7, .m = 5}});
    out.count(3);
    for (VectorId id : {8, 4, 6}) {
        out.u64(id);
        out.f32_seq(std::vector<float>{float(id), 0});
    }
    const std::string path = temp_path("older.bin");
    write_bytes(path, out.bytes());
    auto index = HnswIndex::load(path);
    ASSERT_TRUE(index) << index.error().message();
    EXPECT_EQ((*index)->len(), 3u);
    EXPECT_EQ((*index)->hnsw_config().ef_search, 7u);
    EXPECT_EQ((*index)->graph().m(), 5u);
    auto hits = (*index)->search(std::vector<float>{5, 0}, 3).value();
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0].id, 4u);
    EXPECT_EQ(hits[0].distance, 1.0f);

    ByteEncoder wrong;
    hnsw_format::write_header(wrong, {.dimension = 2, .metric = Metric::L2, .config = {}});
    wrong.count(1);
    wrong.u64(1);
    wrong.f32_seq(std::vector<float>{1, 2, 3});
    write_bytes(path, wrong.bytes());
    auto rejected = HnswIndex::load(path);
    ASSERT_FALSE(rejected);
    EXPECT_EQ(rejected.error().kind, ErrorKind::Serialization);
}

TEST(HnswFiles, WriteFailuresAreReported) {
    auto index = built_index(10, 2);
    auto saved = index->save("/dev/full");
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().kind, ErrorKind::Serialization);
    auto unwritable = index->save_graph(temp_path("no-such-dir") + "/hnsw.graph");
    ASSERT_FALSE(unwritable);
    EXPECT_EQ(unwritable.error().kind, ErrorKind::Io);
}

}  // namespace
}  // namespace tvdb
