// What the two inverted-file kinds (full vectors per list, and product-quantized codes per
// list) share: when training happens, how nprobe bounds a search, how a delete fills its
// hole, bulk inserts filing rows like single ones, and saved files.

#include <gtest/gtest.h>

#include <algorithm>

#include "ivf_index.hpp"
#include "ivf_pq_index.hpp"
#include "test_support.hpp"

namespace tvdb {
namespace {

using testing::reload;
using testing::row;
using testing::TempFile;

struct Ivf {
    using Index = IvfIndex;
    static constexpr uint64_t kPerEntry = 8;  // floats of a row
    static std::unique_ptr<Index> make(uint64_t n_lists, uint64_t nprobe, uint64_t train_size,
                                       Metric metric = Metric::L2) {
        auto index = IvfIndex::create({8, metric}, {.n_lists = n_lists, .nprobe = nprobe, .train_size = train_size});
        EXPECT_TRUE(index.has_value());
        return std::move(*index);
    }
    static std::vector<float> contents(const PostingList& list) {
        std::vector<float> rows(list.ids.size() * list.dim);
        for (size_t i = 0; i < list.ids.size(); ++i) list.vectors.read(i, rows.data() + i * list.dim);
        return rows;
    }
    static uint64_t train_size(const Index& index) { return index.ivf_config().train_size; }
};

struct IvfPq {
    using Index = IvfPqIndex;
    static constexpr uint64_t kPerEntry = 4;  // code bytes, one per sub-space
    static std::unique_ptr<Index> make(uint64_t n_lists, uint64_t nprobe, uint64_t train_size,
                                       Metric metric = Metric::L2) {
        auto index = IvfPqIndex::create(
            {8, metric}, {.n_lists = n_lists, .nprobe = nprobe, .train_size = train_size, .pq = {.m = 4, .k_sub = 16}});
        EXPECT_TRUE(index.has_value());
        return std::move(*index);
    }
    static std::vector<uint8_t> contents(const CodeList& list) { return list.codes; }
    static uint64_t train_size(const Index& index) { return index.ivf_pq_config().train_size; }
};

// Trained on as many points as lists: every point seeds its own list and stays alone in it,
// so the lists are known whatever the random seeding.
template <typename Kind>
class InvertedFileKinds : public ::testing::Test {
protected:
    static constexpr uint64_t kDims = 8;
    static constexpr uint64_t kPoints = 10;

    void SetUp() override {
        points_ = testing::normal_rows(kPoints, kDims, 7, 10.0f);
        index_ = Kind::make(kPoints, 1, kPoints);
        ASSERT_TRUE(index_->add_batch_contiguous(points_, 0));
        ASSERT_TRUE(index_->is_trained());
        ASSERT_EQ(index_->n_centroids(), kPoints);
    }

    std::span<const float> point(uint64_t i) const { return row(points_, kDims, i); }
    uint64_t list_of(VectorId id) const { return testing::list_of(*index_, id); }

    std::vector<float> points_;
    std::unique_ptr<typename Kind::Index> index_;
};

using Kinds = ::testing::Types<Ivf, IvfPq>;
TYPED_TEST_SUITE(InvertedFileKinds, Kinds);

TYPED_TEST(InvertedFileKinds, TrainSizeZeroOrOneTrainsOnTheFirstAdd) {
    for (uint64_t train_size : {0u, 1u}) {
        auto index = TypeParam::make(8, 8, train_size);
        ASSERT_TRUE(index->add(7, this->point(0)));
        EXPECT_TRUE(index->is_trained());
        EXPECT_EQ(index->n_centroids(), 1u);
        auto hits = *index->search(this->point(0), 3);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_EQ(hits[0].id, 7u);
        EXPECT_EQ(hits[0].distance, 0.0f);
    }
}

TYPED_TEST(InvertedFileKinds, FlushTrainsButReopeningBelowTrainSizeDoesNot) {
    auto index = TypeParam::make(4, 4, 100);
    index->flush();
    EXPECT_FALSE(index->is_trained());  // empty buffer: nothing to train
    ASSERT_TRUE(index->add(1, this->point(0)));
    ASSERT_TRUE(index->add(2, this->point(1)));
    ASSERT_TRUE(index->load_graph_mmap("unused"));
    EXPECT_FALSE(index->is_trained());
    index->flush();
    EXPECT_TRUE(index->is_trained());
    EXPECT_EQ(index->n_centroids(), 2u);
}

TYPED_TEST(InvertedFileKinds, SearchScansExactlyTheNprobeNearestLists) {
    const std::vector<float> query(this->kDims, 20.0f);
    std::vector<std::pair<float, VectorId>> exact;
    for (VectorId id = 0; id < this->kPoints; ++id) exact.push_back({distance(Metric::L2, query, this->point(id)), id});
    std::sort(exact.begin(), exact.end());
    EXPECT_TRUE(reload(*this->index_, 0)->search(query, this->kPoints)->empty());
    // One point per list: probing p lists finds exactly the p nearest points.
    auto three = *reload(*this->index_, 3)->search(query, this->kPoints);
    ASSERT_EQ(three.size(), 3u);
    for (size_t r = 0; r < 3; ++r) EXPECT_EQ(three[r].id, exact[r].second);
    for (uint64_t nprobe : {this->kPoints, uint64_t{1000}}) {
        EXPECT_EQ(reload(*this->index_, nprobe)->search(query, this->kPoints)->size(), this->kPoints);
    }
}

TYPED_TEST(InvertedFileKinds, DeleteMovesTheLastEntryIntoTheHole) {
    auto& index = *this->index_;
    ASSERT_TRUE(index.add(100, this->point(2)));
    ASSERT_TRUE(index.add(101, this->point(2)));
    const uint64_t list = this->list_of(2);
    ASSERT_EQ(index.lists()[list].ids, (std::vector<VectorId>{2, 100, 101}));
    ASSERT_TRUE(index.remove(2));
    EXPECT_EQ(index.lists()[list].ids, (std::vector<VectorId>{101, 100}));
    EXPECT_EQ(TypeParam::contents(index.lists()[list]).size(), 2 * TypeParam::kPerEntry);
    size_t visited = 0;
    index.iter_vectors([&](VectorId id, std::span<const float> v) {
        ++visited;
        EXPECT_NE(id, 2u);
        auto expected = this->point(id < 100 ? id : 2);
        EXPECT_TRUE(std::equal(v.begin(), v.end(), expected.begin(), expected.end())) << id;
    });
    EXPECT_EQ(visited, this->kPoints + 1);
    EXPECT_FALSE(index.remove(123456));
    ASSERT_TRUE(index.remove(100));
    ASSERT_TRUE(index.remove(101));
    EXPECT_TRUE(index.lists()[list].ids.empty());
    EXPECT_TRUE(TypeParam::contents(index.lists()[list]).empty());
    EXPECT_TRUE(index.search(this->point(2), 3).has_value());
}

// Two copies of one ID in one list: delete takes out the newer, also after another delete
// has moved the newer into an earlier hole.
TYPED_TEST(InvertedFileKinds, DeleteOfAReaddedIdTakesTheNewerCopyFromItsList) {
    auto index = TypeParam::make(1, 1, this->kPoints);
    ASSERT_TRUE(index->add_batch_contiguous(this->points_, 0));
    const auto& list = index->lists()[0];
    auto entry = [&](size_t position) {
        auto all = TypeParam::contents(list);
        auto first = all.begin() + position * TypeParam::kPerEntry;
        return std::vector(first, first + TypeParam::kPerEntry);
    };
    ASSERT_NE(entry(0), entry(1));
    ASSERT_TRUE(index->add(100, this->point(0)));
    ASSERT_TRUE(index->add(100, this->point(1)));
    ASSERT_TRUE(index->remove(100));
    ASSERT_EQ(list.ids.size(), this->kPoints + 1);
    EXPECT_EQ(entry(this->kPoints), entry(0));
    ASSERT_TRUE(index->add(100, this->point(1)));
    ASSERT_TRUE(index->remove(5));  // the newer copy fills the hole at 5
    ASSERT_TRUE(index->remove(100));
    EXPECT_EQ(list.ids, (std::vector<VectorId>{0, 1, 2, 3, 4, 100, 6, 7, 8, 9}));
    EXPECT_EQ(entry(5), entry(0));
    EXPECT_FALSE(index->remove(100));
}

TYPED_TEST(InvertedFileKinds, BulkInsertFilesRowsLikeSingleInserts) {
    auto extra = testing::normal_rows(3 * this->kPoints, this->kDims, 9, 10.0f);
    auto twin = reload(*this->index_);
    ASSERT_TRUE(this->index_->add_batch_contiguous(extra, 1000));
    for (uint64_t i = 0; i < 3 * this->kPoints; ++i) ASSERT_TRUE(twin->add(1000 + i, row(extra, this->kDims, i)));
    for (uint64_t list = 0; list < this->kPoints; ++list) {
        EXPECT_EQ(this->index_->lists()[list].ids, twin->lists()[list].ids);
        EXPECT_EQ(TypeParam::contents(this->index_->lists()[list]), TypeParam::contents(twin->lists()[list]));
    }
}

TYPED_TEST(InvertedFileKinds, SaveAndLoadReproduceTheIndex) {
    ASSERT_TRUE(this->index_->remove(5));
    auto loaded = reload(*this->index_, 4);
    EXPECT_TRUE(loaded->is_trained());
    EXPECT_EQ(loaded->len(), this->kPoints - 1);
    EXPECT_EQ(TypeParam::train_size(*loaded), this->kPoints);
    auto reference = reload(*this->index_, 4);
    for (uint64_t q = 0; q < this->kPoints; ++q) {
        auto a = *reference->search(this->point(q), 5);
        auto b = *loaded->search(this->point(q), 5);
        ASSERT_EQ(a.size(), b.size());
        for (size_t r = 0; r < a.size(); ++r) EXPECT_EQ(a[r].distance, b[r].distance);
    }
    // The map came back too: deleting through it works.
    EXPECT_TRUE(loaded->remove(4));
    EXPECT_FALSE(loaded->remove(5));
}

TYPED_TEST(InvertedFileKinds, EveryTruncationOfATrainedFileIsRejected) {
    ASSERT_TRUE(this->index_->add(5000, std::vector<float>(this->kDims, 1.0f)));
    TempFile file;
    ASSERT_TRUE(this->index_->save(file.path()));
    // Every cut inside the header, then a spread over the rest.
    testing::expect_truncations_rejected<typename TypeParam::Index>(file.read(), 96, 7);
}

TYPED_TEST(InvertedFileKinds, UntrainedIndexKeepsItsBufferAndTrainsAfterLoad) {
    auto index = TypeParam::make(2, 2, 3, Metric::Cosine);
    ASSERT_TRUE(index->add(1, this->point(0)));
    ASSERT_TRUE(index->add(2, this->point(1)));
    auto loaded = reload(*index);
    EXPECT_FALSE(loaded->is_trained());
    EXPECT_EQ(loaded->len(), 2u);
    ASSERT_TRUE(loaded->add(3, this->point(2)));
    EXPECT_TRUE(loaded->is_trained());
    EXPECT_EQ(loaded->len(), 3u);
}

}  // namespace
}  // namespace tvdb
