#include "sparse_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "codec.hpp"

using tvdb::SparseIndex;
using tvdb::SparseVector;

namespace {

std::string temp_path(const char* name) { return ::testing::TempDir() + "/" + name; }

std::vector<uint64_t> posting_ids(const SparseIndex& index, uint32_t dimension) {
    std::vector<uint64_t> ids;
    if (const auto* list = index.postings(dimension)) {
        for (const auto& p : *list) ids.push_back(p.id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

TEST(SparseIndex, UpsertReplacesAllPostingsOfAnId) {
    SparseIndex index;
    index.upsert(1, {{2, 5}, {1.0f, 2.0f}});
    index.upsert(2, {{5}, {3.0f}});
    EXPECT_EQ(posting_ids(index, 5), (std::vector<uint64_t>{1, 2}));
    index.upsert(1, {{7}, {4.0f}});
    EXPECT_EQ(index.postings(2), nullptr);
    EXPECT_EQ(posting_ids(index, 5), (std::vector<uint64_t>{2}));
    EXPECT_EQ(posting_ids(index, 7), (std::vector<uint64_t>{1}));
    EXPECT_EQ(index.len(), 2u);
    EXPECT_EQ(*index.get(1), (SparseVector{{7}, {4.0f}}));
}

TEST(SparseIndex, RemoveDropsPostingsAndEmptiedLists) {
    SparseIndex index;
    index.upsert(1, {{2, 5}, {1.0f, 2.0f}});
    index.upsert(2, {{5}, {3.0f}});
    EXPECT_FALSE(index.remove(9));
    EXPECT_TRUE(index.remove(1));
    EXPECT_EQ(index.postings(2), nullptr);
    EXPECT_EQ(posting_ids(index, 5), (std::vector<uint64_t>{2}));
    EXPECT_EQ(index.posting_list_count(), 1u);
    EXPECT_FALSE(index.remove(1));
}

TEST(SparseIndex, OnlyPairedEntriesArePosted) {
    SparseIndex index;
    index.upsert(1, {{1, 2, 3}, {0.5f}});
    EXPECT_EQ(index.posting_list_count(), 1u);
    EXPECT_EQ(index.get(1)->indices.size(), 3u);
    EXPECT_TRUE(index.remove(1));
    EXPECT_EQ(index.posting_list_count(), 0u);
}

TEST(SparseIndex, DotScoresCoverSharedDimensionsOnly) {
    SparseIndex index;
    index.upsert(1, {{1, 2}, {1.0f, 2.0f}});
    index.upsert(2, {{2, 3}, {3.0f, 4.0f}});
    index.upsert(3, {{9}, {1.0f}});
    auto scores = index.dot_scores({{2, 3}, {0.5f, 1.0f}});
    EXPECT_EQ(scores.size(), 2u);
    EXPECT_FLOAT_EQ(scores[1], 1.0f);
    EXPECT_FLOAT_EQ(scores[2], 5.5f);
    EXPECT_TRUE(index.dot_scores({}).empty());
}

TEST(SparseIndex, EmptyIndexSavesAsTwoZeroCounts) {
    std::string path = temp_path("empty_sparse.bin");
    ASSERT_TRUE(SparseIndex{}.save(path));
    auto bytes = tvdb::read_file(path);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, std::vector<uint8_t>(16, 0));
}

TEST(SparseIndex, SaveWritesExactSizeAndLoadRestoresVectorsAndPostings) {
    SparseIndex index;
    index.upsert(1, {{2, 5}, {1.0f, 2.0f}});
    index.upsert(40, {{5}, {3.0f}});
    std::string path = temp_path("sparse.bin");
    ASSERT_TRUE(index.save(path));
    auto bytes = tvdb::read_file(path);
    ASSERT_TRUE(bytes);
    // postings: 8 + (12 + 12) + (12 + 24); vectors: 8 + (24 + 16) + (24 + 8)
    EXPECT_EQ(bytes->size(), 8u + 24 + 36 + 8 + 40 + 32);
    auto loaded = SparseIndex::load(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->vectors(), index.vectors());
    EXPECT_EQ(posting_ids(*loaded, 5), (std::vector<uint64_t>{1, 40}));
    EXPECT_EQ(posting_ids(*loaded, 2), (std::vector<uint64_t>{1}));
}

TEST(SparseIndex, TruncatedOrOverclaimingFilesFailToDecode) {
    SparseIndex index;
    index.upsert(1, {{2, 5}, {1.0f, 2.0f}});
    auto bytes = index.encode();
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_FALSE(SparseIndex::decode(std::span(bytes).first(cut))) << cut;
    }
    std::vector<uint8_t> huge_count(16, 0);
    huge_count[7] = 0x7f;
    EXPECT_FALSE(SparseIndex::decode(huge_count));
}

TEST(SparseVectorRecord, EncodesCountsThenElementsAndRejectsTruncation) {
    SparseVector vector{{3, 9}, {0.5f, -1.0f}};
    auto bytes = tvdb::encode_sparse_vector(vector);
    EXPECT_EQ(bytes.size(), tvdb::sparse_vector_record_size(vector));
    EXPECT_EQ(bytes.size(), 8u + 8 + 8 + 8);
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[8], 3);
    auto decoded = tvdb::decode_sparse_vector(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, vector);
    bytes.pop_back();
    EXPECT_FALSE(tvdb::decode_sparse_vector(bytes));
}
