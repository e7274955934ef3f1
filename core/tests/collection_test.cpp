#include "collection.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "codec.hpp"
#include "ivf_index.hpp"
#include "test_support.hpp"
#include "wal_format.hpp"

using tvdb::Collection;
using tvdb::CollectionMeta;
using tvdb::ErrorKind;
using tvdb::IndexType;
using tvdb::Metric;
using tvdb::Payload;
using tvdb::SparseVector;
using tvdb::UpsertEntry;

namespace fs = std::filesystem;

namespace {

// Everything a collection holds, for comparing the state before and after a reopen.
struct CollectionState {
    std::map<uint64_t, std::vector<float>> vectors;
    std::map<uint64_t, std::string> payloads;
    std::map<uint64_t, SparseVector> sparse;
};

CollectionState state_of(const Collection& c) {
    CollectionState state;
    c.index().iter_vectors([&](uint64_t id, std::span<const float> v) {
        state.vectors[id] = std::vector<float>(v.begin(), v.end());
    });
    for (const auto& [id, payload] : c.payloads()) state.payloads[id] = payload.dump();
    for (const auto& [id, vector] : c.sparse().vectors()) state.sparse[id] = vector;
    return state;
}

void expect_same_state(const CollectionState& a, const CollectionState& b, float tolerance) {
    ASSERT_EQ(a.vectors.size(), b.vectors.size());
    for (const auto& [id, vector] : a.vectors) {
        auto it = b.vectors.find(id);
        ASSERT_NE(it, b.vectors.end()) << id;
        ASSERT_EQ(it->second.size(), vector.size());
        for (size_t i = 0; i < vector.size(); ++i) EXPECT_NEAR(it->second[i], vector[i], tolerance) << id;
    }
    EXPECT_EQ(a.payloads, b.payloads);
    EXPECT_EQ(a.sparse, b.sparse);
}

std::vector<float> vec(std::initializer_list<float> values) { return values; }

class CollectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string test_name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(test_name.begin(), test_name.end(), '/', '_');
        dir_ = (fs::path(::testing::TempDir()) / ("collection_" + test_name)).string();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }

    Collection create(IndexType type = IndexType::Flat, uint64_t dims = 2,
                      uint64_t threshold = tvdb::kDefaultWalCompactThreshold) {
        CollectionMeta meta = tvdb::new_collection_meta("c", dims, Metric::L2, type);
        meta.wal_compact_threshold = threshold;
        auto c = Collection::create(dir_, meta);
        EXPECT_TRUE(c) << c.error().message();
        return std::move(*c);
    }
    Collection reopen() {
        auto c = Collection::load(dir_);
        EXPECT_TRUE(c) << c.error().message();
        return std::move(*c);
    }
    std::string file(const char* name) const { return dir_ + "/" + name; }
    uint64_t log_size() const { return fs::file_size(file("wal.log")); }
    void append_log_bytes(const std::vector<uint8_t>& bytes) const {
        std::ofstream out(file("wal.log"), std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void append_log_entry(const tvdb::WalEntry& entry) const {
        auto record = tvdb::encode_wal_record(entry);
        std::vector<uint8_t> frame(4);
        uint32_t length = static_cast<uint32_t>(record.size());
        std::memcpy(frame.data(), &length, 4);
        frame.insert(frame.end(), record.begin(), record.end());
        append_log_bytes(frame);
    }

    std::string dir_;
};

std::vector<uint64_t> ids_of(const std::vector<tvdb::CollectionHit>& hits) {
    std::vector<uint64_t> ids;
    for (const auto& h : hits) ids.push_back(h.id);
    return ids;
}

}  // namespace

TEST_F(CollectionTest, MetaOnlyDirectoryOpensEmpty) {
    ASSERT_TRUE(tvdb::write_collection_meta(file("meta.json"),
                                            tvdb::new_collection_meta("c", 2, Metric::L2, IndexType::Flat)));
    auto c = reopen();
    EXPECT_EQ(c.len(), 0u);
    EXPECT_EQ(c.meta().wal_compact_threshold, 50000u);
}

TEST_F(CollectionTest, UpsertReplacesVectorAndPayloadAndSearchAttachesPayloads) {
    auto c = create();
    ASSERT_TRUE(c.upsert(1, vec({0, 0}), Payload{{"k", "a"}}));
    ASSERT_TRUE(c.upsert(2, vec({5, 5})));
    ASSERT_TRUE(c.upsert(1, vec({9, 9})));
    EXPECT_EQ(c.len(), 2u);
    EXPECT_EQ(c.payload(1), nullptr);
    ASSERT_TRUE(c.upsert(2, vec({5, 5}), Payload{{"k", "b"}}));
    auto hits = c.search(vec({0, 0}), 5);
    ASSERT_TRUE(hits);
    EXPECT_EQ(ids_of(*hits), (std::vector<uint64_t>{2, 1}));
    ASSERT_TRUE((*hits)[0].payload);
    EXPECT_EQ((*hits)[0].payload->dump(), R"({"k":"b"})");
    EXPECT_FALSE((*hits)[1].payload);
    EXPECT_EQ(c.wal_count(), 4u);
}

TEST_F(CollectionTest, WrongDimensionChangesNothingAndWritesNothing) {
    auto c = create();
    ASSERT_TRUE(c.upsert(1, vec({1, 1}), Payload{{"k", 1}}));
    const uint64_t size = log_size();
    auto wrong = c.upsert(1, vec({1, 2, 3}));
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().message(), "dimension mismatch: expected 2, got 3");
    EXPECT_FALSE(c.upsert_hybrid(1, vec({1}), SparseVector{{1}, {1.0f}}));
    std::vector<UpsertEntry> batch;
    batch.push_back({.id = 2, .vector = vec({2, 2}), .payload = std::nullopt, .sparse = std::nullopt});
    batch.push_back({.id = 3, .vector = vec({3}), .payload = std::nullopt, .sparse = std::nullopt});
    auto batch_result = c.upsert_batch(std::move(batch));
    ASSERT_FALSE(batch_result);
    EXPECT_EQ(batch_result.error().got, 1u);
    EXPECT_EQ(log_size(), size);
    EXPECT_EQ(c.len(), 1u);
    EXPECT_NE(c.payload(1), nullptr);
    EXPECT_EQ(c.wal_count(), 1u);
    auto reopened = reopen();
    EXPECT_EQ(reopened.len(), 1u);
    EXPECT_NE(reopened.payload(1), nullptr);
}

TEST_F(CollectionTest, BatchAppliesEntriesInOrderWithLaterRepeatsWinning) {
    auto c = create();
    ASSERT_TRUE(c.upsert_hybrid(1, vec({0, 0}), SparseVector{{4}, {1.0f}}, Payload(1)));
    std::vector<UpsertEntry> batch;
    batch.push_back({.id = 1, .vector = vec({1, 1}), .payload = Payload("first"), .sparse = std::nullopt});
    batch.push_back({.id = 2, .vector = vec({2, 2}), .payload = std::nullopt, .sparse = SparseVector{{7}, {2.0f}}});
    batch.push_back({.id = 1, .vector = vec({3, 3}), .payload = std::nullopt, .sparse = std::nullopt});
    ASSERT_TRUE(c.upsert_batch(std::move(batch)));
    EXPECT_EQ(c.len(), 2u);
    EXPECT_EQ(c.payload(1), nullptr);
    EXPECT_EQ(c.sparse_count(), 2u);
    EXPECT_EQ(c.wal_count(), 4u);
    auto hits = c.search(vec({3, 3}), 1);
    ASSERT_TRUE(hits);
    EXPECT_EQ((*hits)[0].id, 1u);
    EXPECT_EQ((*hits)[0].distance, 0.0f);
    auto before = state_of(c);
    auto reopened = reopen();
    expect_same_state(before, state_of(reopened), 0.0f);
    ASSERT_TRUE(reopened.upsert_batch({}));
}

TEST_F(CollectionTest, DeleteLogsAFrameEvenForUnknownIds) {
    auto c = create();
    ASSERT_TRUE(c.upsert_hybrid(1, vec({0, 0}), SparseVector{{4}, {1.0f}}, Payload(1)));
    auto unknown = c.remove(42);
    ASSERT_TRUE(unknown);
    EXPECT_FALSE(*unknown);
    EXPECT_EQ(c.wal_count(), 2u);
    auto known = c.remove(1);
    ASSERT_TRUE(known);
    EXPECT_TRUE(*known);
    EXPECT_EQ(c.len(), 0u);
    EXPECT_EQ(c.sparse_count(), 0u);
    EXPECT_TRUE(c.payloads().empty());
    // Add: prefix, fixed fields, two floats, payload "1", one-pair sparse record; two Deletes.
    EXPECT_EQ(log_size(), 4u + 20 + 8 + (9 + 1) + (9 + 24) + 16 + 16);
}

TEST_F(CollectionTest, FilteredSearchFindsMatchesBeyondTheNearestCandidates) {
    auto c = create(IndexType::Flat, 1);
    for (uint64_t id = 0; id < 40; ++id) {
        bool tagged = id == 5 || id == 20 || id >= 35;
        ASSERT_TRUE(c.upsert(id, std::vector<float>{static_cast<float>(id)},
                             tagged ? Payload{{"tag", true}} : Payload{{"tag", false}}));
    }
    auto filter = tvdb::parse_filter(Payload::parse(R"({"tag": {"$eq": true}})"));
    ASSERT_TRUE(filter);
    auto hits = c.search(vec({0}), 3, &*filter);
    ASSERT_TRUE(hits);
    // 35 lies beyond the 30 nearest vectors and is still found.
    EXPECT_EQ(ids_of(*hits), (std::vector<uint64_t>{5, 20, 35}));

    auto everything = tvdb::parse_filter(Payload::parse(R"({"$and": []})"));
    auto all = c.search(vec({0}), 4, &*everything);
    auto plain = c.search(vec({0}), 4);
    ASSERT_TRUE(all && plain);
    EXPECT_EQ(ids_of(*all), ids_of(*plain));
    EXPECT_TRUE(c.search(vec({0}), 0, &*everything)->empty());
    EXPECT_FALSE(c.search(vec({0, 0}), 3, &*filter));
}

// Payload trees are built at the first filter; writes before it must reach the field index
// built then, and writes after it must keep that index in step.
TEST_F(CollectionTest, FiltersSeeEveryPayloadWrittenBeforeAndAfterTheFirstFilter) {
    {
        auto c = create(IndexType::Hnsw, 1);
        ASSERT_TRUE(c.upsert(1, vec({1}), Payload{{"tag", "a"}}));
    }
    auto c = reopen();
    EXPECT_EQ((*c.search(vec({1}), 1))[0].payload, (Payload{{"tag", "a"}}));
    ASSERT_TRUE(c.upsert(1, vec({1}), Payload{{"tag", "b"}}));
    ASSERT_TRUE(c.upsert(2, vec({2}), Payload{{"tag", "a"}}));
    auto tagged = [&](const char* tag) {
        auto filter = tvdb::parse_filter(Payload{{"tag", {{"$eq", tag}}}});
        return ids_of(*c.search(vec({0}), 10, &*filter));
    };
    EXPECT_EQ(tagged("a"), (std::vector<uint64_t>{2}));
    ASSERT_TRUE(c.update_payload(2, Payload{{"tag", "b"}}));
    ASSERT_TRUE(c.upsert(3, vec({3}), Payload{{"tag", "a"}}));
    EXPECT_EQ(tagged("a"), (std::vector<uint64_t>{3}));
    EXPECT_EQ(tagged("b"), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ((*c.search(vec({3}), 1))[0].payload, (Payload{{"tag", "a"}}));
}

TEST_F(CollectionTest, HitsWithoutPayloadAreFilteredAsNull) {
    auto c = create();
    ASSERT_TRUE(c.upsert(1, vec({0, 0})));
    auto is_null = tvdb::parse_filter(Payload::parse(R"({"$or": [{"$and": []}]})"));
    auto field = tvdb::parse_filter(Payload::parse(R"({"a": {"$ne": 1}})"));
    EXPECT_EQ(c.search(vec({0, 0}), 1, &*is_null)->size(), 1u);
    EXPECT_TRUE(c.search(vec({0, 0}), 1, &*field)->empty());
}

TEST_F(CollectionTest, ThresholdOneCompactsOnEveryWrite) {
    auto c = create(IndexType::Flat, 2, 1);
    ASSERT_TRUE(c.upsert(1, vec({1, 1}), Payload{{"a", 1}}));
    EXPECT_EQ(c.wal_count(), 0u);
    ASSERT_TRUE(c.upsert(1, vec({2, 2})));
    ASSERT_TRUE(c.upsert(2, vec({3, 3})));
    ASSERT_TRUE(c.remove(2));
    EXPECT_EQ(c.wal_count(), 0u);
    // The log now holds exactly one Add for the single live vector.
    EXPECT_EQ(log_size(), 4u + 20 + 8 + 1 + 1);
    auto reopened = reopen();
    EXPECT_EQ(reopened.len(), 1u);
    EXPECT_EQ(reopened.payload(1), nullptr);
}

TEST_F(CollectionTest, CompactionCounterRestartsSoLargeCollectionsDoNotRewriteOnEveryWrite) {
    auto c = create(IndexType::Flat, 1, 5);
    for (uint64_t id = 0; id < 5; ++id) ASSERT_TRUE(c.upsert(id, std::vector<float>{1.0f}));
    EXPECT_EQ(c.wal_count(), 0u);
    ASSERT_TRUE(c.upsert(10, std::vector<float>{1.0f}));
    EXPECT_EQ(c.wal_count(), 1u);
}

TEST_F(CollectionTest, CompactionWithoutSparseVectorsRemovesAStaleSparseFile) {
    auto c = create(IndexType::Flat, 2, 2);
    ASSERT_TRUE(c.upsert_hybrid(1, vec({1, 1}), SparseVector{{3}, {1.0f}}));
    ASSERT_TRUE(c.upsert(2, vec({2, 2})));
    EXPECT_TRUE(fs::exists(file("sparse.bin")));
    ASSERT_TRUE(c.remove(1));
    ASSERT_TRUE(c.upsert(3, vec({3, 3})));
    EXPECT_FALSE(fs::exists(file("sparse.bin")));
    auto reopened = reopen();
    EXPECT_EQ(reopened.sparse_count(), 0u);
}

TEST_F(CollectionTest, ReplayFollowsPayloadAndSparseRules) {
    { auto c = create(); }
    append_log_entry(tvdb::WalAdd{.id = 7, .vector = vec({1, 1}), .payload = std::string(R"({"x":1})"),
                                  .sparse = tvdb::encode_sparse_vector({{2}, {0.5f}})});
    append_log_entry(tvdb::WalAdd{.id = 7, .vector = vec({2, 2}), .payload = std::nullopt, .sparse = std::nullopt});
    append_log_entry(tvdb::WalAdd{.id = 8, .vector = vec({3, 3}), .payload = std::string(R"({"y":2})"),
                                  .sparse = std::nullopt});
    // Unparsable payload text leaves the previous payload; an undecodable sparse record is ignored.
    append_log_entry(tvdb::WalAdd{.id = 8, .vector = vec({4, 4}), .payload = std::string("{oops"),
                                  .sparse = std::vector<uint8_t>{1, 2}});
    // So is payload text nested deeper than any payload can be: copying or converting it
    // would exhaust the stack. Up to the limit it is kept.
    auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    append_log_entry(tvdb::WalAdd{.id = 8, .vector = vec({4, 4}), .payload = nested(100000),
                                  .sparse = std::nullopt});
    append_log_entry(tvdb::WalAdd{.id = 9, .vector = vec({9, 9}), .payload = nested(tvdb::kMaxJsonNesting),
                                  .sparse = std::nullopt});
    append_log_entry(tvdb::WalAdd{.id = 10, .vector = vec({9, 9}),
                                  .payload = nested(tvdb::kMaxJsonNesting + 1), .sparse = std::nullopt});
    // A vector of the wrong length does not touch its ID.
    append_log_entry(tvdb::WalAdd{.id = 8, .vector = vec({1, 2, 3}), .payload = std::nullopt,
                                  .sparse = std::nullopt});
    auto c = reopen();
    EXPECT_EQ(c.len(), 4u);
    ASSERT_NE(c.payload(9), nullptr);
    EXPECT_EQ(c.payload(10), nullptr);
    EXPECT_EQ(c.payload(7), nullptr);
    ASSERT_NE(c.sparse().get(7), nullptr);
    EXPECT_EQ(c.sparse().get(7)->values, std::vector<float>{0.5f});
    ASSERT_NE(c.payload(8), nullptr);
    EXPECT_EQ(c.payload(8)->dump(), R"({"y":2})");
    auto hit = c.search(vec({4, 4}), 1);
    EXPECT_EQ((*hit)[0].id, 8u);
    EXPECT_EQ((*hit)[0].distance, 0.0f);
    EXPECT_EQ(c.search(vec({4, 4}), 10)->size(), 4u);
    ASSERT_TRUE(c.compact());
    EXPECT_EQ(reopen().payload(9)->dump(), nested(tvdb::kMaxJsonNesting));
}

TEST_F(CollectionTest, TornTailIsCutSoLaterWritesSurviveTheNextOpen) {
    {
        auto c = create();
        ASSERT_TRUE(c.upsert(1, vec({1, 1})));
    }
    const uint64_t good = log_size();
    append_log_bytes({40, 0, 0, 0, 0, 0, 0});  // a frame torn after 3 bytes of its record
    {
        auto c = reopen();
        EXPECT_EQ(log_size(), good);
        ASSERT_TRUE(c.upsert(2, vec({2, 2})));
    }
    auto c = reopen();
    EXPECT_EQ(c.len(), 2u);
}

TEST_F(CollectionTest, OversizedLengthPrefixIsCutToo) {
    {
        auto c = create();
        ASSERT_TRUE(c.upsert(1, vec({1, 1})));
    }
    const uint64_t good = log_size();
    append_log_bytes({0xff, 0xff, 0xff, 0x7f, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    {
        auto c = reopen();
        EXPECT_EQ(log_size(), good);
        ASSERT_TRUE(c.upsert(2, vec({2, 2})));
    }
    EXPECT_EQ(reopen().len(), 2u);
}

TEST_F(CollectionTest, LeftoverRewriteFileIsDeletedAndIgnored) {
    {
        auto c = create();
        ASSERT_TRUE(c.upsert(1, vec({1, 1})));
    }
    std::ofstream(file("wal.log.tmp")) << "garbage";
    auto c = reopen();
    EXPECT_FALSE(fs::exists(file("wal.log.tmp")));
    EXPECT_EQ(c.len(), 1u);
}

TEST_F(CollectionTest, SparseFileNeverBringsBackIdsTheLogDeleted) {
    {
        auto c = create();
        ASSERT_TRUE(c.upsert_hybrid(1, vec({1, 1}), SparseVector{{3}, {1.0f}}));
        ASSERT_TRUE(c.upsert_hybrid(2, vec({2, 2}), SparseVector{{3}, {2.0f}}));
        ASSERT_TRUE(c.remove(1));
        // As if a compaction had been cut between its log rename and its sparse.bin rewrite.
        tvdb::SparseIndex stale;
        stale.upsert(1, {{3}, {1.0f}});
        stale.upsert(2, {{3}, {2.0f}});
        stale.upsert(99, {{4}, {1.0f}});
        ASSERT_TRUE(stale.save(file("sparse.bin")));
    }
    auto c = reopen();
    EXPECT_EQ(c.sparse_count(), 1u);
    EXPECT_NE(c.sparse().get(2), nullptr);
    EXPECT_EQ(c.sparse().postings(4), nullptr);
}

TEST_F(CollectionTest, CorruptSparseFileOpensWithSparseVectorsFromTheLog) {
    {
        auto c = create();
        ASSERT_TRUE(c.upsert_hybrid(1, vec({1, 1}), SparseVector{{3}, {1.0f}}));
    }
    std::ofstream(file("sparse.bin")) << "xx";
    auto c = reopen();
    EXPECT_EQ(c.sparse_count(), 1u);
}

TEST_F(CollectionTest, FaissCollectionsRefuseToOpen) {
    CollectionMeta meta = tvdb::new_collection_meta("old", 2, Metric::L2, IndexType::Faiss);
    ASSERT_TRUE(tvdb::write_collection_meta(file("meta.json"), meta));
    auto c = Collection::load(dir_);
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().text,
              "collection 'old' uses IndexType::Faiss but tolvane-core was compiled without the "
              "'faiss' feature; rebuild with `--features faiss`");
}

TEST_F(CollectionTest, BrokenMetadataFailsTheOpen) {
    auto missing = Collection::load(dir_);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    std::ofstream(file("meta.json")) << R"({"name": "c", "dimensions": 2, "metric": "l2", "metric": "l2", "index_type": "flat"})";
    auto duplicate = Collection::load(dir_);
    ASSERT_FALSE(duplicate);
    EXPECT_EQ(duplicate.error().message(), "serialization error: duplicate field `metric`");
}

TEST_F(CollectionTest, LiveLogCopyReplaysToTheSameState) {
    auto c = create();
    ASSERT_TRUE(c.upsert_hybrid(1, vec({1, 1}), SparseVector{{3}, {1.0f}}, Payload{{"a", 1}}));
    ASSERT_TRUE(c.upsert(2, vec({2, 2})));
    ASSERT_TRUE(c.remove(2));
    const uint64_t live_log_size = log_size();
    std::string copy_dir = dir_ + "_copy";
    fs::remove_all(copy_dir);
    fs::create_directories(copy_dir);
    auto written = c.write_live_log(copy_dir + "/wal.log");
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, 1u);
    EXPECT_EQ(log_size(), live_log_size);
    fs::copy_file(file("meta.json"), copy_dir + "/meta.json");
    auto copy = Collection::load(copy_dir);
    ASSERT_TRUE(copy);
    expect_same_state(state_of(c), state_of(*copy), 0.0f);
}

TEST(WalRecordLimit, RecordsAboveTheReplayLimitAreRejected) {
    EXPECT_TRUE(tvdb::check_wal_record_length(1, tvdb::wal_format::kMaxRecordLength));
    auto over = tvdb::check_wal_record_length(1, tvdb::wal_format::kMaxRecordLength + 1);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().kind, ErrorKind::InvalidConfig);
}

// ---- every index kind keeps its state across compaction and reopen ----

class EveryKindTest : public CollectionTest, public ::testing::WithParamInterface<IndexType> {};

TEST_P(EveryKindTest, WriteCompactWriteDeleteReopenKeepsTheState) {
    const IndexType kind = GetParam();
    // Compressed kinds hand back decoded approximations, which compaction writes to the log.
    const float tolerance = kind == IndexType::QuantizedFlat || kind == IndexType::BinaryFlat ? 1e-3f : 0.0f;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    // Eight dimensions: ivf_pq splits vectors into its default eight sub-spaces.
    auto random_vector = [&] {
        std::vector<float> v(8);
        for (float& x : v) x = uniform(rng);
        return v;
    };
    CollectionState before;
    {
        auto c = create(kind, 8);
        std::vector<UpsertEntry> batch;
        for (uint64_t id = 0; id < 60; ++id) {
            batch.push_back({.id = id, .vector = random_vector(),
                             .payload = id % 3 == 0 ? std::optional<Payload>(Payload{{"n", id}}) : std::nullopt,
                             .sparse = id % 4 == 0 ? std::optional<SparseVector>(SparseVector{{uint32_t(id)}, {1.5f}})
                                                   : std::nullopt});
        }
        ASSERT_TRUE(c.upsert_batch(std::move(batch)));
        ASSERT_TRUE(c.compact());
        for (uint64_t id = 50; id < 70; ++id) ASSERT_TRUE(c.upsert(id, random_vector(), Payload{{"late", id}}));
        for (uint64_t id = 0; id < 70; id += 7) ASSERT_TRUE(c.remove(id));
        ASSERT_TRUE(c.upsert_hybrid(3, random_vector(), SparseVector{{1, 2}, {0.5f, 0.25f}}));
        before = state_of(c);
        EXPECT_EQ(c.len(), before.vectors.size());
    }
    auto reopened = reopen();
    expect_same_state(before, state_of(reopened), tolerance);
    EXPECT_EQ(reopened.search(std::vector<float>(8, 0.0f), 5)->size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryKindTest,
                         ::testing::Values(IndexType::Flat, IndexType::Hnsw, IndexType::QuantizedFlat,
                                           IndexType::Ivf, IndexType::IvfPq, IndexType::Fp16Flat, IndexType::MmapFlat,
                                           IndexType::BinaryFlat),
                         [](const auto& info) { return std::string(tvdb::index_type_name(info.param)); });

TEST_F(CollectionTest, FlatCollectionIsPromotedToHnswAtTheThreshold) {
    CollectionMeta meta = tvdb::new_collection_meta("p", 2, Metric::L2, IndexType::Flat);
    meta.auto_promote_threshold = 10;
    meta.promotion_hnsw_config = tvdb::HnswConfig{.ef_construction = 40, .ef_search = 20, .m = 6};
    CollectionState before;
    {
        auto c = Collection::create(dir_, meta);
        ASSERT_TRUE(c);
        for (uint64_t id = 0; id < 9; ++id) {
            ASSERT_TRUE(c->upsert(id, vec({float(id), 1}), Payload{{"id", id}}));
        }
        EXPECT_EQ(c->meta().index_type, IndexType::Flat);
        ASSERT_TRUE(c->upsert(9, vec({9, 1})));
        EXPECT_EQ(c->meta().index_type, IndexType::Hnsw);
        EXPECT_EQ(c->meta().hnsw_config->m, 6u);
        EXPECT_FALSE(fs::exists(file("meta.json.tmp")));
        before = state_of(*c);
    }
    auto on_disk = tvdb::read_collection_meta(file("meta.json"));
    ASSERT_TRUE(on_disk);
    EXPECT_EQ(on_disk->index_type, IndexType::Hnsw);
    EXPECT_EQ(on_disk->hnsw_config->ef_construction, 40u);
    auto reopened = reopen();
    EXPECT_EQ(reopened.meta().index_type, IndexType::Hnsw);
    expect_same_state(before, state_of(reopened), 0.0f);
}

TEST_F(CollectionTest, SavedGraphFromAnOlderCompactionDoesNotHideLaterWrites) {
    CollectionState before;
    {
        auto c = create(IndexType::Hnsw, 2);
        for (uint64_t id = 0; id < 20; ++id) ASSERT_TRUE(c.upsert(id, vec({float(id), 0})));
        ASSERT_TRUE(c.compact());
        ASSERT_TRUE(fs::exists(file("hnsw.graph")));
        ASSERT_TRUE(c.remove(3));
        ASSERT_TRUE(c.upsert(4, vec({100, 100})));
        ASSERT_TRUE(c.upsert(50, vec({50, 0})));
        before = state_of(c);
    }
    auto reopened = reopen();
    expect_same_state(before, state_of(reopened), 0.0f);
    auto hit = reopened.search(vec({100, 100}), 1);
    EXPECT_EQ((*hit)[0].id, 4u);
}

TEST_F(CollectionTest, HnswChurnKeepsEveryLiveVectorReachableAndUnchangedVectorsKeepTheirNodes) {
    const size_t dims = 8;
    auto pool = tvdb::testing::clustered_rows(3000, dims, 9);
    auto c = create(IndexType::Hnsw, dims);
    std::mt19937_64 rng(5);
    for (size_t op = 0; op < pool.size() / dims; ++op) {
        const uint64_t id = rng() % 300;
        if (rng() % 4 == 0) {
            ASSERT_TRUE(c.remove(id));
        } else {
            ASSERT_TRUE(c.upsert(id, tvdb::testing::row(pool, dims, op)));
        }
    }
    EXPECT_EQ(tvdb::testing::missed_live_ids(c.index()), 0u);

    auto graph_bytes = [&](const Collection& collection) {
        const std::string path = file("probe.graph");
        EXPECT_TRUE(collection.index().save_graph(path));
        return *tvdb::read_file(path);
    };
    const auto before = graph_bytes(c);
    std::vector<tvdb::VectorEntry> live;
    c.index().iter_vectors([&](uint64_t id, std::span<const float> v) {
        if (live.size() < 2) live.emplace_back(id, std::vector<float>(v.begin(), v.end()));
    });
    // Unchanged vectors written again, alone or in a batch, change their payloads only.
    ASSERT_TRUE(c.upsert(live[0].first, live[0].second, Payload{{"v", 1}}));
    ASSERT_TRUE(c.upsert_batch({{.id = live[1].first, .vector = live[1].second, .payload = Payload{{"v", 2}}, .sparse = std::nullopt}}));
    EXPECT_EQ(graph_bytes(c), before);
    EXPECT_EQ(*c.payload(live[1].first), (Payload{{"v", 2}}));

    ASSERT_TRUE(c.compact());
    auto reopened = reopen();
    EXPECT_EQ(graph_bytes(reopened), before);  // the saved graph, not one rebuilt from the log
    EXPECT_EQ(tvdb::testing::missed_live_ids(reopened.index()), 0u);
    EXPECT_EQ(*reopened.payload(live[0].first), (Payload{{"v", 1}}));
}

TEST_F(CollectionTest, UnreadableGraphFileIsRebuiltFromTheLog) {
    {
        auto c = create(IndexType::Hnsw, 2);
        for (uint64_t id = 0; id < 10; ++id) ASSERT_TRUE(c.upsert(id, vec({float(id), 0})));
        ASSERT_TRUE(c.compact());
    }
    auto size = fs::file_size(file("hnsw.graph"));
    fs::resize_file(file("hnsw.graph"), size / 2);
    auto c = reopen();
    EXPECT_EQ(c.len(), 10u);
    std::ofstream(file("hnsw.graph"), std::ios::trunc) << "not a graph";
    EXPECT_EQ(reopen().len(), 10u);
}

TEST_F(CollectionTest, ReopeningAnIvfCollectionDoesNotTrainBelowTrainSize) {
    {
        auto c = create(IndexType::Ivf, 2);
        for (uint64_t id = 0; id < 100; ++id) ASSERT_TRUE(c.upsert(id, vec({float(id), float(id % 7)})));
        EXPECT_EQ(c.search(vec({0, 0}), 50)->size(), 50u);
    }
    auto c = reopen();
    EXPECT_FALSE(static_cast<const tvdb::IvfIndex&>(c.index()).is_trained());
    auto hits = c.search(vec({0, 0}), 50);
    ASSERT_TRUE(hits);
    EXPECT_EQ(hits->size(), 50u);
    EXPECT_EQ((*hits)[0].id, 0u);
}

TEST_F(CollectionTest, MmapVectorsFileNeverResurrectsDeletedVectors) {
    {
        auto c = create(IndexType::MmapFlat, 2);
        ASSERT_TRUE(c.upsert(1, vec({1, 1})));
        ASSERT_TRUE(c.upsert(2, vec({2, 2})));
        ASSERT_TRUE(c.compact());
        ASSERT_TRUE(fs::exists(file("vectors.mmap")));
        ASSERT_TRUE(c.remove(1));
        ASSERT_TRUE(c.upsert(2, vec({5, 5})));
    }
    {
        auto c = reopen();
        EXPECT_EQ(c.len(), 1u);
        auto hit = c.search(vec({5, 5}), 5);
        ASSERT_EQ(hit->size(), 1u);
        EXPECT_EQ((*hit)[0].id, 2u);
        EXPECT_EQ((*hit)[0].distance, 0.0f);
    }
    fs::resize_file(file("vectors.mmap"), 10);
    auto c = reopen();
    EXPECT_EQ(c.len(), 1u);
}

// Writes beyond the file-size limit fail with EFBIG, which stands in for a full disk.
TEST_F(CollectionTest, FailedWriteChangesNothingAndNeverComesBackOnReopen) {
    auto c = create(IndexType::Flat, 64);
    ASSERT_TRUE(c.upsert(1, std::vector<float>(64, 1.0f), Payload{{"keep", true}}));
    const uint64_t size = log_size();

    auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = size + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    auto single = c.upsert(1, std::vector<float>(64, 2.0f));
    std::vector<UpsertEntry> batch;
    for (uint64_t id = 10; id < 30; ++id) {
        batch.push_back({.id = id, .vector = std::vector<float>(64, 3.0f), .payload = std::nullopt, .sparse = std::nullopt});
    }
    auto batch_result = c.upsert_batch(std::move(batch));
    auto removal = c.remove(1);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous_handler);

    ASSERT_FALSE(single);
    EXPECT_EQ(single.error().kind, ErrorKind::Io);
    EXPECT_FALSE(batch_result);
    EXPECT_TRUE(removal);  // a 16-byte frame still fits under the limit
    ASSERT_TRUE(c.upsert(2, std::vector<float>(64, 4.0f)));
    auto reopened = reopen();
    EXPECT_EQ(reopened.len(), 1u);
    EXPECT_EQ(reopened.payload(1), nullptr);
    auto hit = reopened.search(std::vector<float>(64, 4.0f), 1);
    EXPECT_EQ((*hit)[0].id, 2u);
}
