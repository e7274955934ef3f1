#include "index/ivf_index.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "codec.hpp"

namespace tvdb {
namespace {

std::unique_ptr<IvfIndex> make_ivf(uint64_t dims, IvfConfig ivf, Metric metric = Metric::L2) {
    auto index = IvfIndex::create({.dimensions = dims, .metric = metric}, ivf);
    EXPECT_TRUE(index.has_value());
    return std::move(*index);
}

// Points in tight groups around well separated centres, so any clustering keeps groups
// whole and nearest-centroid answers have no near ties.
std::vector<float> grouped_points(uint64_t groups, uint64_t per_group, uint64_t dims,
                                  uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> jitter(-0.5f, 0.5f);
    std::vector<float> points;
    for (uint64_t g = 0; g < groups; ++g) {
        for (uint64_t i = 0; i < per_group; ++i) {
            for (uint64_t t = 0; t < dims; ++t) {
                points.push_back((t == g % dims ? 100.0f * (1 + g / dims) : 0.0f) + jitter(gen));
            }
        }
    }
    return points;
}

std::vector<SearchResult> brute_force(Metric metric, const std::vector<float>& points,
                                      uint64_t dims, std::span<const float> query, uint64_t k) {
    std::vector<SearchResult> all;
    for (uint64_t i = 0; i < points.size() / dims; ++i) {
        all.push_back({i, distance(metric, query, std::span(points).subspan(i * dims, dims))});
    }
    std::sort(all.begin(), all.end(),
              [](const auto& a, const auto& b) { return a.distance < b.distance; });
    all.resize(std::min<uint64_t>(k, all.size()));
    return all;
}

std::span<const float> row(const std::vector<float>& points, uint64_t dims, uint64_t i) {
    return std::span(points).subspan(i * dims, dims);
}

std::multiset<VectorId> ids_of(const std::vector<SearchResult>& hits) {
    std::multiset<VectorId> ids;
    for (const auto& hit : hits) ids.insert(hit.id);
    return ids;
}

class TempFile {
public:
    TempFile()
        : path_(std::filesystem::temp_directory_path() /
                ("ivf_test_" + std::to_string(getpid()) + "_" + std::to_string(counter_++))) {}
    ~TempFile() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }
    void write(const std::vector<uint8_t>& bytes) const {
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    std::vector<uint8_t> read() const { return *read_file(path()); }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

TEST(IvfCreate, RejectsZeroLists) {
    auto index = IvfIndex::create({.dimensions = 4, .metric = Metric::L2}, {.n_lists = 0});
    ASSERT_FALSE(index.has_value());
    EXPECT_EQ(index.error().kind, ErrorKind::InvalidConfig);
}

TEST(IvfUntrained, SearchIsExactOverTheBuffer) {
    const uint64_t dims = 3;
    auto points = grouped_points(4, 5, dims, 1);
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        auto index = make_ivf(dims, {.n_lists = 4, .train_size = 1000}, metric);
        for (uint64_t i = 0; i < points.size() / dims; ++i) ASSERT_TRUE(index->add(i, row(points, dims, i)));
        EXPECT_FALSE(index->is_trained());
        const std::vector<float> query = {30.0f, -2.0f, 7.0f};
        auto hits = *index->search(query, 7);
        auto expected = brute_force(metric, points, dims, query, 7);
        ASSERT_EQ(hits.size(), expected.size());
        for (size_t r = 0; r < hits.size(); ++r) EXPECT_EQ(hits[r].distance, expected[r].distance);
    }
}

TEST(IvfUntrained, SearchChecksLengthBeforeKAndAnswersEmptyForKZero) {
    auto index = make_ivf(3, {.n_lists = 2});
    EXPECT_TRUE(index->search(std::vector<float>{1, 2, 3}, 0)->empty());
    EXPECT_TRUE(index->search(std::vector<float>{1, 2, 3}, 5)->empty());
    auto wrong = index->search(std::vector<float>{1, 2}, 0);
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error().kind, ErrorKind::DimensionMismatch);
    auto bad_add = index->add(1, std::vector<float>{1, 2});
    ASSERT_FALSE(bad_add.has_value());
    EXPECT_EQ(bad_add.error().expected, 3u);
    EXPECT_EQ(bad_add.error().got, 2u);
    EXPECT_EQ(index->len(), 0u);
}

TEST(IvfTraining, TrainSizeZeroOrOneTrainsOnTheFirstAdd) {
    for (uint64_t train_size : {0u, 1u}) {
        auto index = make_ivf(2, {.n_lists = 8, .train_size = train_size});
        ASSERT_TRUE(index->add(7, std::vector<float>{1, 2}));
        EXPECT_TRUE(index->is_trained());
        EXPECT_EQ(index->n_centroids(), 1u);
        auto hits = *index->search(std::vector<float>{1, 2}, 3);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_EQ(hits[0].id, 7u);
        EXPECT_EQ(hits[0].distance, 0.0f);
    }
}

TEST(IvfTraining, TrainsWhenTheBufferReachesTrainSizeWithAtMostNListsClusters) {
    const uint64_t dims = 4;
    auto points = grouped_points(3, 2, dims, 2);
    auto index = make_ivf(dims, {.n_lists = 16, .train_size = 6});
    for (uint64_t i = 0; i < 5; ++i) ASSERT_TRUE(index->add(i, row(points, dims, i)));
    EXPECT_FALSE(index->is_trained());
    ASSERT_TRUE(index->add(5, row(points, dims, 5)));
    EXPECT_TRUE(index->is_trained());
    // Fewer vectors than lists: one cluster per vector.
    EXPECT_EQ(index->n_centroids(), 6u);
    EXPECT_EQ(index->len(), 6u);
}

TEST(IvfTraining, FlushTrainsButReopeningBelowTrainSizeDoesNot) {
    auto index = make_ivf(2, {.n_lists = 4, .train_size = 100});
    index->flush();
    EXPECT_FALSE(index->is_trained());  // empty buffer: nothing to train
    ASSERT_TRUE(index->add(1, std::vector<float>{1, 0}));
    ASSERT_TRUE(index->add(2, std::vector<float>{0, 1}));
    ASSERT_TRUE(index->load_graph_mmap("unused"));
    EXPECT_FALSE(index->is_trained());
    index->flush();
    EXPECT_TRUE(index->is_trained());
    EXPECT_EQ(index->n_centroids(), 2u);
}

TEST(IvfTraining, ZeroIterationsPutsEveryVectorInListZero) {
    const uint64_t dims = 2;
    auto points = grouped_points(4, 3, dims, 3);
    auto index = make_ivf(dims, {.n_lists = 4, .train_size = 12, .max_iter = 0});
    ASSERT_TRUE(index->add_batch_contiguous(points, 0));
    ASSERT_TRUE(index->is_trained());
    EXPECT_EQ(index->lists()[0].ids.size(), 12u);
    for (uint64_t list = 1; list < 4; ++list) EXPECT_TRUE(index->lists()[list].ids.empty());
}

class IvfTrainedTest : public ::testing::Test {
protected:
    static constexpr uint64_t kDims = 8;
    static constexpr uint64_t kGroups = 8;
    static constexpr uint64_t kPerGroup = 10;

    void SetUp() override {
        points_ = grouped_points(kGroups, kPerGroup, kDims, 4);
        index_ = make_ivf(kDims, {.n_lists = kGroups, .nprobe = 1, .train_size = kGroups * kPerGroup});
        ASSERT_TRUE(index_->add_batch_contiguous(points_, 0));
        ASSERT_TRUE(index_->is_trained());
    }

    std::vector<float> points_;
    std::unique_ptr<IvfIndex> index_;
};

TEST_F(IvfTrainedTest, NprobeZeroAnswersEmptyAndNprobeAboveCentroidsIsExact) {
    const uint64_t n = kGroups * kPerGroup;
    for (uint64_t nprobe : {uint64_t{0}, index_->n_centroids(), uint64_t{1000}}) {
        TempFile file;
        ASSERT_TRUE(index_->save(file.path()));
        // nprobe is fixed at construction; rewrite it in the saved record (bytes 20..28).
        auto bytes = file.read();
        std::memcpy(bytes.data() + 20, &nprobe, sizeof nprobe);
        file.write(bytes);
        auto probed = IvfIndex::load(file.path());
        ASSERT_TRUE(probed.has_value());
        auto query = row(points_, kDims, 13);
        auto hits = *(*probed)->search(query, n);
        if (nprobe == 0) {
            EXPECT_TRUE(hits.empty());
            continue;
        }
        auto expected = brute_force(Metric::L2, points_, kDims, query, n);
        ASSERT_EQ(hits.size(), n);
        for (size_t r = 0; r < n; ++r) EXPECT_EQ(hits[r].distance, expected[r].distance);
    }
}

TEST_F(IvfTrainedTest, ProbingTheNearestListFindsTheQuerysGroup) {
    auto hits = *index_->search(row(points_, kDims, 25), kPerGroup);
    ASSERT_EQ(hits.size(), kPerGroup);
    for (const auto& hit : hits) EXPECT_EQ(hit.id / kPerGroup, 2u);
    EXPECT_EQ(hits[0].id, 25u);
    EXPECT_EQ(hits[0].distance, 0.0f);
}

TEST_F(IvfTrainedTest, BulkInsertAssignsLikeSingleInserts) {
    auto extra = grouped_points(kGroups, 3, kDims, 9);
    TempFile file;
    ASSERT_TRUE(index_->save(file.path()));
    auto twin = std::move(*IvfIndex::load(file.path()));
    ASSERT_TRUE(index_->add_batch_contiguous(extra, 1000));
    for (uint64_t i = 0; i < extra.size() / kDims; ++i) ASSERT_TRUE(twin->add(1000 + i, row(extra, kDims, i)));
    for (uint64_t list = 0; list < kGroups; ++list) {
        EXPECT_EQ(index_->lists()[list].ids, twin->lists()[list].ids);
        EXPECT_EQ(index_->lists()[list].vectors, twin->lists()[list].vectors);
    }
}

TEST_F(IvfTrainedTest, ReaddedIdKeepsBothCopiesAndDeleteRemovesTheNewest) {
    const std::vector<float> far_copy(kDims, -500.0f);
    ASSERT_TRUE(index_->add(3, far_copy));
    EXPECT_EQ(index_->len(), kGroups * kPerGroup + 1);
    auto both = *index_->search(row(points_, kDims, 3), 1000);
    EXPECT_EQ(ids_of(both).count(3), 1u);  // nprobe 1: the far copy's list is not probed
    EXPECT_TRUE(index_->remove(3));
    EXPECT_EQ(index_->len(), kGroups * kPerGroup);
    // The old copy is still stored and found; the map no longer knows the ID.
    auto hits = *index_->search(row(points_, kDims, 3), 1);
    EXPECT_EQ(hits[0].id, 3u);
    EXPECT_FALSE(index_->remove(3));
}

TEST_F(IvfTrainedTest, DeleteMovesTheLastEntryIntoTheHole) {
    uint64_t list = 0;
    while (index_->lists()[list].ids.size() < 3) ++list;
    auto before = index_->lists()[list].ids;
    ASSERT_TRUE(index_->remove(before[0]));
    auto after = index_->lists()[list].ids;
    ASSERT_EQ(after.size(), before.size() - 1);
    EXPECT_EQ(after[0], before.back());
    std::vector<VectorId> visited;
    index_->iter_vectors([&](VectorId id, std::span<const float> v) {
        visited.push_back(id);
        EXPECT_TRUE(std::equal(v.begin(), v.end(), row(points_, kDims, id).begin()));
    });
    EXPECT_EQ(visited.size(), kGroups * kPerGroup - 1);
    EXPECT_FALSE(index_->remove(123456));
    for (VectorId id : after) ASSERT_TRUE(index_->remove(id));
    EXPECT_TRUE(index_->lists()[list].ids.empty());
    EXPECT_TRUE(index_->lists()[list].vectors.empty());
}

TEST(IvfBulk, ChecksTheBlockBeforeAddingAnything) {
    auto index = make_ivf(4, {.n_lists = 2, .train_size = 2});
    auto ragged = index->add_batch_contiguous(std::vector<float>(10, 1.0f), 0);
    ASSERT_FALSE(ragged.has_value());
    EXPECT_EQ(ragged.error().message(),
              "invalid configuration: raw_data length 10 is not a multiple of dim 4");
    auto past_end = index->add_batch_contiguous(std::vector<float>(8, 1.0f), UINT64_MAX);
    EXPECT_EQ(past_end.error().kind, ErrorKind::InvalidConfig);
    EXPECT_EQ(index->len(), 0u);
    auto zero_dims = make_ivf(0, {.n_lists = 2});
    EXPECT_EQ(zero_dims->add_batch_contiguous({}, 0).error().kind, ErrorKind::InvalidConfig);
}

TEST(IvfBulk, TrainsPartWayAndAssignsTheRest) {
    const uint64_t dims = 4;
    auto points = grouped_points(4, 25, dims, 5);
    auto index = make_ivf(dims, {.n_lists = 4, .nprobe = 4, .train_size = 30});
    ASSERT_TRUE(index->add_batch_contiguous(points, 100));
    EXPECT_TRUE(index->is_trained());
    EXPECT_EQ(index->len(), 100u);
    auto hits = *index->search(row(points, dims, 99), 1);
    EXPECT_EQ(hits[0].id, 199u);
}

std::unique_ptr<IvfIndex> round_trip(const IvfIndex& index) {
    TempFile file;
    EXPECT_TRUE(index.save(file.path()));
    auto loaded = IvfIndex::load(file.path());
    EXPECT_TRUE(loaded.has_value());
    return std::move(*loaded);
}

TEST_F(IvfTrainedTest, SaveAndLoadReproduceTheIndex) {
    ASSERT_TRUE(index_->remove(17));
    auto loaded = round_trip(*index_);
    EXPECT_TRUE(loaded->is_trained());
    EXPECT_EQ(loaded->len(), index_->len());
    EXPECT_EQ(loaded->config().metric, Metric::L2);
    EXPECT_EQ(loaded->ivf_config().nprobe, 1u);
    for (uint64_t q = 0; q < 20; ++q) {
        auto query = row(points_, kDims, q * 3);
        auto a = *index_->search(query, 5);
        auto b = *loaded->search(query, 5);
        ASSERT_EQ(a.size(), b.size());
        for (size_t r = 0; r < a.size(); ++r) EXPECT_EQ(a[r].distance, b[r].distance);
    }
    // The map came back too: deleting through it works.
    EXPECT_TRUE(loaded->remove(40));
    EXPECT_FALSE(loaded->remove(17));
}

TEST(IvfPersistence, UntrainedIndexKeepsItsBufferAndTrainsAfterLoad) {
    auto index = make_ivf(2, {.n_lists = 2, .train_size = 3}, Metric::Cosine);
    ASSERT_TRUE(index->add(1, std::vector<float>{1, 0}));
    ASSERT_TRUE(index->add(2, std::vector<float>{0, 1}));
    auto loaded = round_trip(*index);
    EXPECT_FALSE(loaded->is_trained());
    EXPECT_EQ(loaded->len(), 2u);
    EXPECT_EQ(loaded->config().metric, Metric::Cosine);
    ASSERT_TRUE(loaded->add(3, std::vector<float>{1, 1}));
    EXPECT_TRUE(loaded->is_trained());
    EXPECT_EQ(loaded->len(), 3u);
}

TEST_F(IvfTrainedTest, EveryTruncationOfASavedFileIsRejected) {
    ASSERT_TRUE(index_->add(5000, std::vector<float>(kDims, 1.0f)));
    TempFile file;
    ASSERT_TRUE(index_->save(file.path()));
    auto bytes = file.read();
    // Every cut inside the header, then a spread over the rest.
    for (size_t cut = 0; cut < bytes.size(); cut += (cut < 64 ? 1 : 37)) {
        file.write({bytes.begin(), bytes.begin() + cut});
        auto loaded = IvfIndex::load(file.path());
        ASSERT_FALSE(loaded.has_value()) << "cut at " << cut;
        EXPECT_EQ(loaded.error().kind, ErrorKind::Serialization);
    }
    auto missing = IvfIndex::load(file.path() + ".missing");
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
}

// The fields of an IvfSnapshot, written by hand so that they can disagree.
struct SnapshotFields {
    uint64_t dims = 2;
    uint32_t metric = 0;
    uint64_t n_lists = 2;
    std::vector<uint64_t> buffer_ids;
    std::vector<float> buffer_vectors;
    std::vector<float> centroids = {0, 0, 1, 1};
    uint64_t n_centroids = 2;
    std::vector<PostingList> lists = {{{1}, {0, 0}, 2}, {{2}, {1, 1}, 2}};
    bool trained = true;
};

std::vector<uint8_t> encode(const SnapshotFields& f) {
    ByteEncoder out;
    out.u64(f.dims);
    out.u32(f.metric);
    for (uint64_t v : {f.n_lists, uint64_t{1}, uint64_t{10}, uint64_t{25}}) out.u64(v);
    out.u64_seq(f.buffer_ids);
    out.f32_seq(f.buffer_vectors);
    out.f32_seq(f.centroids);
    out.u64(f.n_centroids);
    out.count(f.lists.size());
    for (const auto& list : f.lists) {
        out.u64_seq(list.ids);
        out.f32_seq(list.vectors);
        out.u64(list.dim);
    }
    out.count(0);
    out.boolean(f.trained);
    return out.take();
}

TEST(IvfPersistence, LoadRejectsFieldsThatDisagree) {
    std::vector<std::pair<const char*, SnapshotFields>> cases;
    SnapshotFields f;
    cases.push_back({"metric id 3", f});
    cases.back().second.metric = 3;
    cases.push_back({"zero lists configured", f});
    cases.back().second.n_lists = 0;
    cases.push_back({"centroid floats short", f});
    cases.back().second.centroids = {0, 0, 1};
    cases.push_back({"fewer lists than centroids", f});
    cases.back().second.lists.pop_back();
    cases.push_back({"list stride differs", f});
    cases.back().second.lists[1].dim = 1;
    cases.push_back({"list floats short", f});
    cases.back().second.lists[0].vectors = {0};
    cases.push_back({"buffer floats short", f});
    cases.back().second.buffer_ids = {4, 5};
    cases.back().second.buffer_vectors = {1, 2, 3};
    cases.push_back({"trained without centroids", f});
    cases.back().second.centroids.clear();
    cases.back().second.n_centroids = 0;
    cases.back().second.lists.clear();

    TempFile file;
    file.write(encode(f));
    ASSERT_TRUE(IvfIndex::load(file.path()).has_value()) << "the unmodified record loads";
    for (const auto& [name, fields] : cases) {
        file.write(encode(fields));
        auto loaded = IvfIndex::load(file.path());
        ASSERT_FALSE(loaded.has_value()) << name;
        EXPECT_EQ(loaded.error().kind, ErrorKind::Serialization) << name;
    }
}

}  // namespace
}  // namespace tvdb
