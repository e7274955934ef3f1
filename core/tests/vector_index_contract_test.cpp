// What every index kind promises through the VectorIndex interface, checked once per kind:
// adds and their length checks, what a repeated ID does, deletes, iteration, search over live
// vectors only, and files that load back to the same answers (and the same bytes) while every
// shortened copy is refused.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>

#include <unistd.h>

#include "binary_flat_index.hpp"
#include "codec.hpp"
#include "flat_index.hpp"
#include "fp16_flat_index.hpp"
#include "hnsw_index.hpp"
#include "ivf_index.hpp"
#include "ivf_pq_index.hpp"
#include "mmap_flat_index.hpp"
#include "quantized_flat_index.hpp"
#include "test_support.hpp"

namespace tvdb {
namespace {

using testing::TempFile;
using Index = std::unique_ptr<VectorIndex>;

enum class Repeats { Rejected, Replace, KeepOldCopy };

template <typename Kind>
Index owned(Result<std::unique_ptr<Kind>> made) {
    EXPECT_TRUE(made.has_value()) << (made ? "" : made.error().message());
    return made ? Index(std::move(*made)) : nullptr;
}
template <typename Kind>
Index owned(Result<Kind> made) {
    EXPECT_TRUE(made.has_value()) << (made ? "" : made.error().message());
    return made ? std::make_unique<Kind>(std::move(*made)) : nullptr;
}

// Kinds kept whole in memory and saved to one file by `save`, read back by `load`.
template <typename Kind, Repeats kRepeats, bool kExactDistances = true>
struct SavedKind {
    static constexpr Repeats repeats = kRepeats;
    static constexpr bool exact_distances = kExactDistances;
    static Index make(uint64_t dims, Metric metric) { return std::make_unique<Kind>(dims, metric); }
    static Result<void> save(VectorIndex& index, const std::string& path) {
        return static_cast<const Kind&>(index).save(path);
    }
    static Result<Index> load(const std::string& path, const IndexConfig&) {
        auto loaded = Kind::load(path);
        if (!loaded) return fail(loaded.error());
        return owned(std::move(loaded));
    }
};

struct Flat : SavedKind<FlatIndex, Repeats::Rejected> {};
struct QuantizedFlat : SavedKind<QuantizedFlatIndex, Repeats::Replace> {};
struct Fp16Flat : SavedKind<Fp16FlatIndex, Repeats::Replace> {};
struct BinaryFlat : SavedKind<BinaryFlatIndex, Repeats::Replace, false> {};

struct Hnsw : SavedKind<HnswIndex, Repeats::Rejected> {
    static Index make(uint64_t dims, Metric metric) {
        auto index = HnswIndex::create(dims, metric, {.ef_construction = 40, .ef_search = 64, .m = 8});
        (*index)->seed_levels(3);
        return owned(std::move(index));
    }
};

// Probing every list keeps answers complete whatever the clustering drew.
struct IvfTrained : SavedKind<IvfIndex, Repeats::KeepOldCopy> {
    static Index make(uint64_t dims, Metric metric) {
        return owned(IvfIndex::create({dims, metric}, {.n_lists = 4, .nprobe = 4, .train_size = 8}));
    }
};
struct IvfPqUntrained : SavedKind<IvfPqIndex, Repeats::KeepOldCopy> {
    static Index make(uint64_t dims, Metric metric) {
        return owned(IvfPqIndex::create({dims, metric}, {.n_lists = 4, .train_size = 1000, .pq = {.m = 4}}));
    }
};

// The memory-mapped kind persists to the file it was opened on; a copy of it is opened anew.
struct MmapFlat {
    static constexpr Repeats repeats = Repeats::Replace;
    static constexpr bool exact_distances = true;
    static inline int paths_made = 0;
    static std::string fresh_path() {
        return ::testing::TempDir() + "/contract_" + std::to_string(::getpid()) + "_" +
               std::to_string(paths_made++) + ".tvec";
    }
    static Index make(uint64_t dims, Metric metric) {
        std::string path = fresh_path();
        std::filesystem::remove(path);
        return owned(MmapFlatIndex::open(path, dims, metric));
    }
    static Result<void> save(VectorIndex& index, const std::string& path) {
        auto& mmap = static_cast<MmapFlatIndex&>(index);
        if (auto persisted = mmap.persist(); !persisted) return persisted;
        std::filesystem::copy_file(mmap.path(), path, std::filesystem::copy_options::overwrite_existing);
        return {};
    }
    static Result<Index> load(const std::string& path, const IndexConfig& config) {
        std::string copy = fresh_path();
        std::filesystem::copy_file(path, copy);
        auto opened_copy = MmapFlatIndex::open(copy, config.dimensions, config.metric);
        if (!opened_copy) return fail(opened_copy.error());
        return owned(std::move(opened_copy));
    }
};

template <typename Kind>
class VectorIndexContract : public ::testing::Test {
protected:
    static constexpr uint64_t kDims = 8;

    // 40 vectors under IDs 0, 10, ..., 390, then every third one removed.
    void fill(VectorIndex& index) {
        rows_ = testing::normal_rows(40, kDims, 17);
        for (uint64_t i = 0; i < 40; ++i) {
            ASSERT_TRUE(index.add(10 * i, testing::row(rows_, kDims, i)));
            live_.insert(10 * i);
        }
        for (uint64_t i = 0; i < 40; i += 3) {
            ASSERT_TRUE(index.remove(10 * i));
            live_.erase(10 * i);
        }
    }

    // Every live ID once, in the same order by both walks, with the vector `vector_of` gives;
    // every search answer ascending, complete up to k, and made of live IDs only.
    void expect_live_set(const VectorIndex& index) {
        std::vector<VectorId> walked, ids;
        index.iter_vectors([&](VectorId id, std::span<const float> v) {
            walked.push_back(id);
            auto copy = index.vector_of(id);
            ASSERT_TRUE(copy.has_value()) << id;
            EXPECT_TRUE(std::equal(v.begin(), v.end(), copy->begin(), copy->end())) << id;
        });
        index.iter_ids([&](VectorId id) { ids.push_back(id); });
        EXPECT_EQ(walked, ids);
        std::sort(walked.begin(), walked.end());
        EXPECT_EQ(walked, std::vector<VectorId>(live_.begin(), live_.end()));
        EXPECT_EQ(index.len(), live_.size());
        for (uint64_t i = 0; i < 40; i += 3) {
            if (!live_.count(10 * i)) {
                EXPECT_FALSE(index.vector_of(10 * i).has_value());
            }
        }

        auto query = testing::normal_rows(1, kDims, 18);
        auto hits = *index.search(query, live_.size() + 5);
        ASSERT_EQ(hits.size(), live_.size());
        for (size_t i = 0; i < hits.size(); ++i) {
            EXPECT_TRUE(live_.count(hits[i].id)) << hits[i].id;
            if (i > 0) {
                EXPECT_LE(hits[i - 1].distance, hits[i].distance);
            }
            if (Kind::exact_distances) {
                EXPECT_EQ(hits[i].distance, distance(index.config().metric, query, *index.vector_of(hits[i].id)));
            }
        }
        EXPECT_EQ(index.search(query, 3)->size(), 3u);
        EXPECT_TRUE(index.search(query, 0)->empty());
    }

    std::vector<float> rows_;
    std::set<VectorId> live_;
};

using Kinds = ::testing::Types<Flat, Hnsw, QuantizedFlat, Fp16Flat, IvfTrained, IvfPqUntrained, MmapFlat,
                               BinaryFlat>;
TYPED_TEST_SUITE(VectorIndexContract, Kinds);

TYPED_TEST(VectorIndexContract, EmptyIndexAnswersNothingAndBadLengthsChangeNothing) {
    auto index = TypeParam::make(this->kDims, Metric::L2);
    EXPECT_TRUE(index->is_empty());
    EXPECT_TRUE(index->search(std::vector<float>(this->kDims, 1.0f), 5)->empty());
    ASSERT_TRUE(index->add(1, std::vector<float>(this->kDims, 1.0f)));
    // The length is checked first: before the ID is looked up, and before k = 0 answers.
    auto wrong = index->add(1, std::vector<float>(this->kDims + 1, 1.0f));
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error().kind, ErrorKind::DimensionMismatch);
    EXPECT_EQ(wrong.error().message(), "dimension mismatch: expected 8, got 9");
    EXPECT_EQ(index->search(std::vector<float>(3, 1.0f), 0).error().kind, ErrorKind::DimensionMismatch);
    EXPECT_FALSE(index->remove(2));
    EXPECT_EQ(index->len(), 1u);
}

TYPED_TEST(VectorIndexContract, DeletedVectorsLeaveIterationAndSearch) {
    auto index = TypeParam::make(this->kDims, Metric::L2);
    this->fill(*index);
    this->expect_live_set(*index);
    EXPECT_FALSE(index->remove(0));
    EXPECT_FALSE(index->remove(5));
    // A deleted ID can come back with another vector.
    ASSERT_TRUE(index->add(30, testing::row(this->rows_, this->kDims, 0)));
    this->live_.insert(30);
    this->expect_live_set(*index);
}

TYPED_TEST(VectorIndexContract, RepeatedIdFollowsTheKindsRule) {
    auto index = TypeParam::make(this->kDims, Metric::L2);
    this->fill(*index);
    const std::vector<float> far(this->kDims, 4.0f);
    auto again = index->add(10, far);
    switch (TypeParam::repeats) {
        case Repeats::Rejected:
            EXPECT_EQ(again.error().message(), "duplicate vector ID: 10");
            EXPECT_EQ(*index->vector_of(10), std::vector<float>(testing::row(this->rows_, this->kDims, 1).begin(),
                                                               testing::row(this->rows_, this->kDims, 1).end()));
            this->expect_live_set(*index);
            break;
        case Repeats::Replace: {
            ASSERT_TRUE(again);
            EXPECT_EQ(index->len(), this->live_.size());
            auto all = *index->search(far, this->live_.size() + 1);
            auto is_ten = [](const SearchResult& hit) { return hit.id == 10; };
            EXPECT_EQ(std::count_if(all.begin(), all.end(), is_ten), 1);
            EXPECT_EQ(std::find_if(all.begin(), all.end(), is_ten)->distance, 0.0f);
            if (TypeParam::exact_distances) {
                EXPECT_EQ(*index->vector_of(10), far);
            }
            break;
        }
        case Repeats::KeepOldCopy:
            ASSERT_TRUE(again);
            EXPECT_EQ(index->search(far, 1)->at(0).id, 10u);
            EXPECT_EQ(index->len(), this->live_.size() + 1);
            EXPECT_TRUE(index->remove(10));
            EXPECT_EQ(index->len(), this->live_.size());
            break;
    }
}

TYPED_TEST(VectorIndexContract, SavedFileLoadsBackToTheSameAnswersAndBytes) {
    auto index = TypeParam::make(this->kDims, Metric::Cosine);
    this->fill(*index);
    TempFile file, again;
    ASSERT_TRUE(TypeParam::save(*index, file.path()));
    auto loaded = TypeParam::load(file.path(), index->config());
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ((*loaded)->config().metric, Metric::Cosine);
    this->expect_live_set(**loaded);
    for (uint64_t q = 0; q < 40; q += 7) {
        auto a = *index->search(testing::row(this->rows_, this->kDims, q), 5);
        auto b = *(*loaded)->search(testing::row(this->rows_, this->kDims, q), 5);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].id, b[i].id);
            EXPECT_EQ(a[i].distance, b[i].distance);
        }
    }
    ASSERT_TRUE(TypeParam::save(**loaded, again.path()));
    EXPECT_EQ(again.read(), file.read());
}

TYPED_TEST(VectorIndexContract, EveryShortenedFileIsRefused) {
    auto index = TypeParam::make(this->kDims, Metric::DotProduct);
    for (VectorId id = 0; id < 3; ++id) ASSERT_TRUE(index->add(id, std::vector<float>(this->kDims, id + 1.0f)));
    ASSERT_TRUE(index->remove(1));
    TempFile file, cut;
    ASSERT_TRUE(TypeParam::save(*index, file.path()));
    const auto bytes = file.read();
    for (size_t length = 0; length < bytes.size(); ++length) {
        cut.write({bytes.begin(), bytes.begin() + length});
        auto loaded = TypeParam::load(cut.path(), index->config());
        ASSERT_FALSE(loaded.has_value()) << "cut at " << length;
        EXPECT_EQ(loaded.error().kind, ErrorKind::Serialization);
    }
    if constexpr (!std::is_same_v<TypeParam, MmapFlat>) {  // a missing file opens empty there
        EXPECT_EQ(TypeParam::load(file.path() + ".missing", index->config()).error().kind, ErrorKind::Io);
    }
}

}  // namespace
}  // namespace tvdb
