#include "ivf_pq_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "codec.hpp"
#include "test_support.hpp"

namespace tvdb {
namespace {

using testing::reload;
using testing::row;
using testing::TempFile;

IvfPqConfig config_of(uint64_t n_lists, uint64_t nprobe, uint64_t train_size, uint64_t m,
                      uint64_t k_sub = 16) {
    return {.n_lists = n_lists,
            .nprobe = nprobe,
            .train_size = train_size,
            .max_iter = 25,
            .pq = {.m = m, .k_sub = k_sub, .max_iter = 25}};
}

std::unique_ptr<IvfPqIndex> make_ivf_pq(uint64_t dims, IvfPqConfig config,
                                        Metric metric = Metric::L2) {
    auto index = IvfPqIndex::create({.dimensions = dims, .metric = metric}, config);
    EXPECT_TRUE(index.has_value());
    return std::move(*index);
}

std::vector<float> spread_points(uint64_t n, uint64_t dims, uint32_t seed) {
    return testing::normal_rows(n, dims, seed, 10.0f);
}

float squared_l2(std::span<const float> a, std::span<const float> b) {
    float sum = 0.0f;
    for (size_t t = 0; t < a.size(); ++t) sum += (a[t] - b[t]) * (a[t] - b[t]);
    return sum;
}

TEST(IvfPqCreate, RejectsConfigurationsTrainingCannotSatisfy) {
    auto rejected = [](uint64_t dims, IvfPqConfig config) {
        auto index = IvfPqIndex::create({.dimensions = dims, .metric = Metric::L2}, config);
        return !index.has_value() && index.error().kind == ErrorKind::InvalidConfig;
    };
    EXPECT_TRUE(rejected(8, config_of(0, 1, 10, 2)));
    EXPECT_TRUE(rejected(8, config_of(4, 1, 10, 0)));
    EXPECT_TRUE(rejected(10, config_of(4, 1, 10, 3)));
    EXPECT_TRUE(rejected(8, config_of(4, 1, 10, 2, 0)));
    EXPECT_TRUE(rejected(8, config_of(4, 1, 10, 2, 257)));
    EXPECT_FALSE(rejected(8, config_of(4, 1, 10, 2, 256)));
    // Bounds that keep a loaded configuration from stalling or exhausting memory later.
    IvfPqConfig rounds = config_of(4, 1, 10, 2);
    rounds.max_iter = tvdb::kMaxKMeansRounds;
    rounds.pq.max_iter = tvdb::kMaxKMeansRounds;
    EXPECT_FALSE(rejected(8, rounds));
    rounds.max_iter += 1;
    EXPECT_TRUE(rejected(8, rounds));
    rounds.max_iter -= 1;
    rounds.pq.max_iter += 1;
    EXPECT_TRUE(rejected(8, rounds));
    EXPECT_FALSE(rejected(0, config_of(4, 1, 10, 256)));
    EXPECT_TRUE(rejected(0, config_of(4, 1, 10, 257)));
}

// Trained on as many points as lists: every point is its own coarse centroid, its residual
// is zero, and a coded distance is the squared distance from the query to that centroid.
class IvfPqTrainedTest : public ::testing::Test {
protected:
    static constexpr uint64_t kDims = 8;
    static constexpr uint64_t kPoints = 10;

    void SetUp() override {
        points_ = spread_points(kPoints, kDims, 7);
        index_ = make_ivf_pq(kDims, config_of(kPoints, 1, kPoints, 4), Metric::Cosine);
        ASSERT_TRUE(index_->add_batch_contiguous(points_, 0));
        ASSERT_TRUE(index_->is_trained());
        ASSERT_EQ(index_->n_centroids(), kPoints);
    }

    uint64_t list_of(VectorId id) const { return testing::list_of(*index_, id); }

    std::map<VectorId, std::vector<std::vector<float>>> visited() const {
        std::map<VectorId, std::vector<std::vector<float>>> seen;
        index_->iter_vectors([&](VectorId id, std::span<const float> v) {
            seen[id].emplace_back(v.begin(), v.end());
        });
        return seen;
    }

    std::vector<float> points_;
    std::unique_ptr<IvfPqIndex> index_;
};

TEST_F(IvfPqTrainedTest, CodedHitsReportSquaredL2WhateverTheMetric) {
    const std::vector<float> query(kDims, 3.0f);
    auto all = *reload(*index_, kPoints)->search(query, kPoints);
    ASSERT_EQ(all.size(), kPoints);
    for (const auto& hit : all) {
        EXPECT_NEAR(hit.distance, squared_l2(query, row(points_, kDims, hit.id)),
                    1e-4f * hit.distance);
    }
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end(),
                               [](const auto& a, const auto& b) { return a.distance < b.distance; }));
}

TEST_F(IvfPqTrainedTest, ReaddedIdKeepsBothEntriesAndFollowsTheNewestVector) {
    ASSERT_TRUE(index_->add(3, row(points_, kDims, 7)));
    EXPECT_EQ(index_->len(), kPoints + 1);
    EXPECT_EQ(index_->lists()[list_of(7)].ids, (std::vector<VectorId>{7, 3}));
    auto newest = row(points_, kDims, 7);
    auto seen = visited();
    ASSERT_EQ(seen[3].size(), 2u);
    for (const auto& v : seen[3]) EXPECT_TRUE(std::equal(v.begin(), v.end(), newest.begin()));

    ASSERT_TRUE(index_->remove(3));
    EXPECT_EQ(index_->lists()[list_of(7)].ids, (std::vector<VectorId>{7}));
    EXPECT_EQ(index_->len(), kPoints);
    // The old entry stays searchable but has no full vector left to give back.
    auto hits = *reload(*index_, kPoints)->search(row(points_, kDims, 3), 1);
    EXPECT_EQ(hits[0].id, 3u);
    EXPECT_EQ(visited().count(3), 0u);
    EXPECT_FALSE(index_->remove(3));
}

TEST(IvfPqSearch, CodedDistancesAreTheSumOfTheResidualsTableEntries) {
    const uint64_t dims = 8, n = 300;
    auto points = spread_points(n, dims, 11);
    auto index = make_ivf_pq(dims, config_of(4, 4, n, 4));
    ASSERT_TRUE(index->add_batch_contiguous(points, 0));
    ASSERT_TRUE(index->is_trained());
    const auto& book = *index->codebook();
    const auto queries = spread_points(5, dims, 12);
    for (uint64_t q = 0; q < 5; ++q) {
        auto query = row(queries, dims, q);
        auto hits = *index->search(query, n);
        ASSERT_EQ(hits.size(), n);
        std::map<VectorId, float> expected;
        for (uint64_t list = 0; list < index->n_centroids(); ++list) {
            std::vector<float> residual(dims);
            for (uint64_t t = 0; t < dims; ++t) residual[t] = query[t] - index->centroids()[list * dims + t];
            auto table = book.compute_distance_table(residual);
            const auto& entries = index->lists()[list];
            for (size_t e = 0; e < entries.ids.size(); ++e) {
                float sum = 0.0f;
                for (uint64_t s = 0; s < 4; ++s) sum += table[s * 16 + entries.codes[e * 4 + s]];
                expected[entries.ids[e]] = sum;
            }
        }
        for (const auto& hit : hits) {
            EXPECT_NEAR(hit.distance, expected.at(hit.id), 1e-3f * (1.0f + expected.at(hit.id)));
        }
    }
}

TEST(IvfPqSearch, ANanVectorRanksLastInsteadOfFirst) {
    const uint64_t dims = 8, n = 11;
    auto points = spread_points(n, dims, 13);
    std::fill(points.begin() + 10 * dims, points.end(), std::numeric_limits<float>::quiet_NaN());
    auto index = make_ivf_pq(dims, config_of(n, n, n, 4));
    ASSERT_TRUE(index->add_batch_contiguous(points, 0));
    auto hits = *index->search(row(points, dims, 3), n);
    ASSERT_EQ(hits.size(), n);
    EXPECT_EQ(hits[0].id, 3u);
    EXPECT_EQ(hits.back().id, 10u);
    EXPECT_TRUE(std::isnan(hits.back().distance));
}

TEST(IvfPqPersistence, UntrainedIndexSavesNoCodebook) {
    auto index = make_ivf_pq(4, config_of(2, 2, 3, 2));
    ASSERT_TRUE(index->add(1, std::vector<float>{1, 0, 0, 0}));
    ASSERT_TRUE(index->add(2, std::vector<float>{0, 1, 0, 0}));
    TempFile file;
    ASSERT_TRUE(index->save(file.path()));
    auto bytes = file.read();
    // dims, metric, 7 config fields, 2 buffer IDs, 8 buffer floats, no centroids, n_centroids.
    const size_t tag_at = 8 + 4 + 56 + (8 + 16) + (8 + 32) + 8 + 8;
    EXPECT_EQ(bytes[tag_at], 0);
}

// A trained IvfPqSnapshot of 2 dimensions, one list, m = 1, k_sub = 2, written by hand so
// that its fields can disagree.
struct SnapshotFields {
    uint64_t max_iter = 25;
    uint64_t pq_max_iter = 25;
    uint64_t pq_m = 1;
    uint8_t codebook_tag = 1;
    uint64_t codebook_k_sub = 2;
    std::vector<uint8_t> code = {1};
    std::vector<float> full_vector = {1, 1};
    // IDs given `full_vector`.
    std::vector<VectorId> full_vector_ids = {42};
    std::vector<std::pair<VectorId, uint64_t>> id_to_list = {{42, 0}};
    bool trained = true;
};

std::vector<uint8_t> encode(const SnapshotFields& f) {
    ByteEncoder out;
    out.u64(2);
    out.u32(0);
    for (uint64_t v : {uint64_t{1}, uint64_t{1}, uint64_t{1}, f.max_iter, f.pq_m, uint64_t{2}, f.pq_max_iter}) {
        out.u64(v);
    }
    out.u64_seq(std::vector<uint64_t>{});
    out.f32_seq(std::vector<float>{});
    out.f32_seq(std::vector<float>{0, 0});
    out.u64(1);
    out.u8(f.codebook_tag);
    if (f.codebook_tag == 1) {
        out.u64(1);
        out.u64(f.codebook_k_sub);
        out.u64(2);
        out.f32_seq(std::vector<float>(f.codebook_k_sub * 2, 0.5f));
    }
    out.count(1);
    out.count(1);
    out.u64(42);
    out.u8_seq(f.code);
    out.count(f.full_vector_ids.size());
    for (VectorId id : f.full_vector_ids) {
        out.u64(id);
        out.f32_seq(f.full_vector);
    }
    testing::put_id_to_list(out, f.id_to_list);
    out.boolean(f.trained);
    return out.take();
}

TEST(IvfPqPersistence, LoadRejectsFieldsThatDisagree) {
    std::vector<std::pair<const char*, SnapshotFields>> cases;
    SnapshotFields f;
    cases.push_back({"codebook tag 2", f});
    cases.back().second.codebook_tag = 2;
    cases.push_back({"trained without codebook", f});
    cases.back().second.codebook_tag = 0;
    cases.push_back({"m does not divide dimensions", f});
    cases.back().second.pq_m = 3;
    cases.push_back({"coarse k-means rounds beyond the bound", f});
    cases.back().second.max_iter = 50'000'000'000;
    cases.push_back({"sub-space k-means rounds beyond the bound", f});
    cases.back().second.pq_max_iter = tvdb::kMaxKMeansRounds + 1;
    cases.push_back({"codebook k_sub differs from the configuration", f});
    cases.back().second.codebook_k_sub = 3;
    cases.push_back({"code longer than m", f});
    cases.back().second.code = {1, 0};
    cases.push_back({"code byte not below k_sub", f});
    cases.back().second.code = {2};
    cases.push_back({"full vector of the wrong length", f});
    cases.back().second.full_vector = {1, 1, 1};

    TempFile file;
    file.write(encode(f));
    auto valid = IvfPqIndex::load(file.path());
    ASSERT_TRUE(valid.has_value()) << valid.error().message();
    EXPECT_EQ((*valid)->search(std::vector<float>{0.5f, 0.5f}, 1)->at(0).id, 42u);
    testing::expect_each_rejected<IvfPqIndex>(cases, encode);
}

TEST(IvfPqPersistence, LoadRejectsMapsThatDisagreeWithTheLists) {
    std::vector<std::pair<const char*, SnapshotFields>> cases;
    SnapshotFields f;
    cases.push_back({"ID mapped past the last list", f});
    cases.back().second.id_to_list = {{42, 1}};
    cases.push_back({"ID mapped to a list that does not hold it", f});
    cases.back().second.id_to_list.push_back({7, 0});
    cases.back().second.full_vector_ids.push_back(7);
    cases.push_back({"mapped ID without a full vector", f});
    cases.back().second.full_vector_ids.clear();
    cases.push_back({"full vector of an unmapped ID", f});
    cases.back().second.full_vector_ids.push_back(7);
    cases.push_back({"untrained index with list entries", f});
    cases.back().second.trained = false;
    cases.back().second.id_to_list.clear();
    cases.back().second.full_vector_ids.clear();

    testing::expect_each_rejected<IvfPqIndex>(cases, encode);
}

// Re-adding trained IDs leaves older entries behind, which removing the newest leaves
// unmapped and without a full vector: files of these states load and keep them.
TEST_F(IvfPqTrainedTest, FilesHoldingOlderEntriesOfReaddedIdsLoad) {
    ASSERT_TRUE(index_->add(3, row(points_, kDims, 7)));
    ASSERT_TRUE(index_->add(6, row(points_, kDims, 6)));
    ASSERT_TRUE(index_->remove(6));
    auto loaded = reload(*index_, kPoints);
    EXPECT_EQ(loaded->len(), kPoints + 1);
    EXPECT_EQ(loaded->search(row(points_, kDims, 6), 1)->at(0).id, 6u);
    EXPECT_FALSE(loaded->remove(6));
    EXPECT_TRUE(loaded->remove(3));
    EXPECT_EQ(loaded->lists()[list_of(7)].ids, (std::vector<VectorId>{7}));
    EXPECT_FALSE(loaded->remove(3));
    EXPECT_EQ(loaded->len(), kPoints);
}

}  // namespace
}  // namespace tvdb
