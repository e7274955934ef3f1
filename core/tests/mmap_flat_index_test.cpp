#include "mmap_flat_index.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "codec.hpp"
#include "detail/tvec_format.hpp"
#include "flat_index.hpp"

namespace tvdb {
namespace {

namespace fs = std::filesystem;

class MmapFlatIndexTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) /
               ("mmap_" + std::to_string(::getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "vectors.tvec").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    MmapFlatIndex open(uint64_t dims = 2, Metric metric = Metric::L2) {
        auto index = MmapFlatIndex::open(path_, dims, metric);
        EXPECT_TRUE(index) << (index ? "" : index.error().message());
        return std::move(*index);
    }
    std::vector<uint8_t> file_bytes() { return *read_file(path_); }
    ino_t inode() {
        struct stat st {};
        ::stat(path_.c_str(), &st);
        return st.st_ino;
    }
    static std::vector<VectorId> ids_of(const MmapFlatIndex& index) {
        std::vector<VectorId> ids;
        index.iter_vectors([&](VectorId id, std::span<const float>) { ids.push_back(id); });
        return ids;
    }

    fs::path dir_;
    std::string path_;
};

ByteEncoder header(uint32_t dims, uint32_t metric, uint64_t count, const char* magic = "TVEC") {
    ByteEncoder e;
    e.raw(magic, 4);
    e.u32(1);
    e.u32(dims);
    e.u32(metric);
    e.u64(count);
    e.u64(0);
    return e;
}

TEST_F(MmapFlatIndexTest, MissingFileStartsEmptyAndTheFirstFlushWritesTheExactLayout) {
    MmapFlatIndex index = open(2, Metric::Cosine);
    EXPECT_EQ(index.len(), 0u);
    index.flush();
    EXPECT_FALSE(fs::exists(path_));  // nothing pending: nothing written
    ASSERT_TRUE(index.add(7, std::vector<float>{1.5f, -2.0f}));
    EXPECT_FALSE(fs::exists(path_));
    ASSERT_TRUE(index.persist());
    ByteEncoder expected = header(2, 1, 1);
    expected.u64(7);
    expected.f32(1.5f);
    expected.f32(-2.0f);
    EXPECT_EQ(file_bytes(), expected.bytes());
    EXPECT_FALSE(fs::exists(path_ + ".tmp"));
    EXPECT_EQ(index.file_record_count(), 1u);
    EXPECT_FALSE(index.has_unflushed_changes());
}

TEST_F(MmapFlatIndexTest, OpenValidatesInTheStatedOrder) {
    auto expect_error = [&](const std::vector<uint8_t>& bytes, ErrorKind kind,
                            const std::string& message) {
        ASSERT_TRUE(write_file(path_, bytes));
        auto index = MmapFlatIndex::open(path_, 2, Metric::L2);
        ASSERT_FALSE(index);
        EXPECT_EQ(index.error().kind, kind);
        EXPECT_EQ(index.error().message(), message);
    };
    expect_error({}, ErrorKind::Serialization, "serialization error: mmap file too small");
    expect_error(std::vector<uint8_t>(31, 0), ErrorKind::Serialization,
                 "serialization error: mmap file too small");
    // Each file below is also wrong in every later respect, to check precedence.
    expect_error(header(3, 7, 99, "TVEX").bytes(), ErrorKind::Serialization,
                 "serialization error: invalid TVEC magic");
    expect_error(header(3, 7, 99).bytes(), ErrorKind::DimensionMismatch,
                 "dimension mismatch: expected 2, got 3");
    expect_error(header(2, 7, 99).bytes(), ErrorKind::Serialization,
                 "serialization error: unknown metric id 7");
    expect_error(header(2, 2, 99).bytes(), ErrorKind::InvalidConfig,
                 "invalid configuration: metric mismatch: file=DotProduct, expected=L2");
    auto truncated = header(2, 0, 2);
    truncated.u64(1);
    truncated.f32(1);
    truncated.f32(2);
    truncated.u64(2);
    truncated.f32(3);  // the second record is cut short
    ASSERT_TRUE(write_file(path_, truncated.bytes()));
    auto short_file = MmapFlatIndex::open(path_, 2, Metric::L2);
    ASSERT_FALSE(short_file);
    EXPECT_EQ(short_file.error().kind, ErrorKind::Serialization);
    // The count is 64 bits: one whose low half matches the records is still far too many.
    auto huge_count = header(2, 0, (uint64_t{1} << 32) + 1);
    huge_count.u64(1);
    huge_count.f32(1);
    huge_count.f32(2);
    ASSERT_TRUE(write_file(path_, huge_count.bytes()));
    EXPECT_FALSE(MmapFlatIndex::open(path_, 2, Metric::L2));

    fs::create_directories(dir_ / "a_directory");
    auto not_a_file = MmapFlatIndex::open((dir_ / "a_directory").string(), 2, Metric::L2);
    ASSERT_FALSE(not_a_file);
    EXPECT_EQ(not_a_file.error().kind, ErrorKind::Io);
    auto too_wide = MmapFlatIndex::open(path_, uint64_t{1} << 32, Metric::L2);
    ASSERT_FALSE(too_wide);
    EXPECT_EQ(too_wide.error().kind, ErrorKind::InvalidConfig);
}

TEST_F(MmapFlatIndexTest, BytesPastTheCountedRecordsAreIgnored) {
    auto bytes = header(2, 0, 1);
    bytes.u64(4);
    bytes.f32(1);
    bytes.f32(2);
    bytes.u64(5);  // a torn append: record written, count not yet
    bytes.f32(3);
    ASSERT_TRUE(write_file(path_, bytes.bytes()));
    MmapFlatIndex index = open();
    EXPECT_EQ(index.len(), 1u);
    EXPECT_EQ(ids_of(index), (std::vector<VectorId>{4}));
}

TEST_F(MmapFlatIndexTest, DeletesOfFileAndPendingVectors) {
    MmapFlatIndex index = open();
    ASSERT_TRUE(index.add(1, std::vector<float>{1, 1}));
    ASSERT_TRUE(index.add(2, std::vector<float>{2, 2}));
    ASSERT_TRUE(index.persist());
    ASSERT_TRUE(index.add(3, std::vector<float>{3, 3}));
    EXPECT_TRUE(index.remove(1));
    EXPECT_FALSE(index.remove(1));
    EXPECT_TRUE(index.remove(3));  // only pending
    EXPECT_FALSE(index.remove(3));
    EXPECT_EQ(index.len(), 1u);
    EXPECT_EQ(ids_of(index), (std::vector<VectorId>{2}));
    auto hits = *index.search(std::vector<float>{1, 1}, 10);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, 2u);
}

TEST_F(MmapFlatIndexTest, ReAddingAFileResidentIdKeepsOneLiveVector) {
    {
        MmapFlatIndex index = open();
        ASSERT_TRUE(index.add(1, std::vector<float>{1, 1}));
        ASSERT_TRUE(index.add(2, std::vector<float>{2, 2}));
        ASSERT_TRUE(index.persist());
        ASSERT_TRUE(index.remove(1));
        ASSERT_TRUE(index.add(1, std::vector<float>{9, 9}));  // after a delete
        ASSERT_TRUE(index.add(2, std::vector<float>{8, 8}));  // without one
        EXPECT_EQ(index.len(), 2u);
        auto hits = *index.search(std::vector<float>{0, 0}, 10);
        ASSERT_EQ(hits.size(), 2u);
        EXPECT_EQ(hits[0].id, 2u);
        EXPECT_EQ(hits[0].distance, distance(Metric::L2, std::vector<float>{0, 0},
                                             std::vector<float>{8, 8}));
        EXPECT_EQ(hits[1].id, 1u);
        EXPECT_EQ(std::vector<float>(index.find(1)->begin(), index.find(1)->end()),
                  (std::vector<float>{9, 9}));
        ASSERT_TRUE(index.persist());
        EXPECT_EQ(index.file_record_count(), 2u);
        EXPECT_EQ(index.len(), 2u);
    }
    MmapFlatIndex reopened = open();
    EXPECT_EQ(reopened.len(), 2u);
    EXPECT_EQ(reopened.file_record_count(), 2u);
    EXPECT_EQ(std::vector<float>(reopened.find(2)->begin(), reopened.find(2)->end()),
              (std::vector<float>{8, 8}));
}

TEST_F(MmapFlatIndexTest, FlushAppendsInPlaceWithoutDeletionsAndRewritesWithThem) {
    MmapFlatIndex index = open();
    ASSERT_TRUE(index.add(1, std::vector<float>{1, 1}));
    ASSERT_TRUE(index.persist());
    auto before = file_bytes();
    ino_t first_inode = inode();

    ASSERT_TRUE(index.add(2, std::vector<float>{2, 2}));
    ASSERT_TRUE(index.add(3, std::vector<float>{3, 3}));
    ASSERT_TRUE(index.persist());
    auto appended = file_bytes();
    EXPECT_EQ(inode(), first_inode);  // written in place
    ASSERT_EQ(appended.size(), before.size() + 2 * tvec::record_size(2));
    EXPECT_TRUE(std::equal(before.begin() + 24, before.end(), appended.begin() + 24));
    uint64_t count;
    std::memcpy(&count, appended.data() + tvec::kCountOffset, 8);
    EXPECT_EQ(count, 3u);

    index.flush();  // nothing to do: the file stays as it is
    EXPECT_EQ(file_bytes(), appended);
    EXPECT_EQ(inode(), first_inode);

    ASSERT_TRUE(index.remove(2));
    ASSERT_TRUE(index.add(4, std::vector<float>{4, 4}));
    ASSERT_TRUE(index.persist());
    EXPECT_NE(inode(), first_inode);  // replaced by a renamed temporary file
    ByteEncoder compacted = header(2, 0, 3);
    for (VectorId id : {1, 3, 4}) {
        compacted.u64(id);
        compacted.f32(static_cast<float>(id));
        compacted.f32(static_cast<float>(id));
    }
    EXPECT_EQ(file_bytes(), compacted.bytes());
    EXPECT_EQ(index.len(), 3u);
    EXPECT_FALSE(index.has_unflushed_changes());
}

TEST_F(MmapFlatIndexTest, LargeRewritesAndAppendsKeepEveryRecordAcrossWriteChunks) {
    // Records of 520 bytes: a rewrite of 3000 and an append of 9000 cross several 2 MiB
    // write chunks, the append starting in the middle of one.
    const uint64_t dims = 128;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> uniform(-1, 1);
    std::vector<float> rows(12000 * dims);
    for (float& x : rows) x = uniform(rng);
    {
        MmapFlatIndex index = open(dims);
        ASSERT_TRUE(index.add_batch_contiguous(std::span(rows).first(3000 * dims), 0));
        ASSERT_TRUE(index.persist());
        ASSERT_TRUE(index.add_batch_contiguous(std::span(rows).subspan(3000 * dims), 3000));
        ASSERT_TRUE(index.persist());
    }
    EXPECT_EQ(file_bytes().size(), tvec::record_offset(12000, dims));
    MmapFlatIndex index = open(dims);
    ASSERT_EQ(index.len(), 12000u);
    VectorId expected = 0;
    index.iter_vectors([&](VectorId id, std::span<const float> vector) {
        ASSERT_EQ(id, expected);
        ASSERT_TRUE(std::equal(vector.begin(), vector.end(), rows.begin() + id * dims)) << id;
        ++expected;
    });
    EXPECT_EQ(expected, 12000u);
}

TEST_F(MmapFlatIndexTest, ReopenRestoresExactlyTheFlushedRecords) {
    {
        MmapFlatIndex index = open();
        ASSERT_TRUE(index.add(1, std::vector<float>{1, 0}));
        ASSERT_TRUE(index.persist());
        ASSERT_TRUE(index.add(2, std::vector<float>{0, 1}));  // never flushed
        ASSERT_TRUE(index.remove(1));                          // never flushed
    }
    MmapFlatIndex index = open();
    EXPECT_EQ(ids_of(index), (std::vector<VectorId>{1}));
}

TEST_F(MmapFlatIndexTest, FailedFlushKeepsChangesPendingForALaterRetry) {
    std::string nested = (dir_ / "not_yet" / "v.tvec").string();
    auto index = *MmapFlatIndex::open(nested, 2, Metric::L2);
    ASSERT_TRUE(index.add(1, std::vector<float>{1, 1}));
    auto failed = index.persist();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, ErrorKind::Io);
    index.flush();  // the interface's flush swallows the failure
    EXPECT_TRUE(index.has_unflushed_changes());
    EXPECT_EQ(index.len(), 1u);
    fs::create_directories(dir_ / "not_yet");
    ASSERT_TRUE(index.persist());
    EXPECT_EQ(MmapFlatIndex::open(nested, 2, Metric::L2)->len(), 1u);
}

TEST_F(MmapFlatIndexTest, SearchMatchesFlatIndexOverFileAndPendingVectors) {
    std::mt19937 rng(11);
    std::normal_distribution<float> normal;
    const size_t dims = 13;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        fs::remove(path_);
        MmapFlatIndex index = open(dims, metric);
        FlatIndex flat(dims, metric);
        std::vector<float> v(dims);
        for (VectorId id = 0; id < 700; ++id) {
            for (float& x : v) x = normal(rng);
            ASSERT_TRUE(index.add(id, v));
            ASSERT_TRUE(flat.add(id, v));
            if (id == 500) {
                ASSERT_TRUE(index.persist());
            }
        }
        for (VectorId id = 0; id < 700; id += 9) {
            index.remove(id);
            flat.remove(id);
        }
        for (float& x : v) x = normal(rng);
        auto ours = *index.search(v, 25);
        auto exact = *flat.search(v, 25);
        ASSERT_EQ(ours.size(), exact.size());
        for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i].distance, exact[i].distance);
    }
}

TEST_F(MmapFlatIndexTest, DamagedFileCanBeDiscardedAndRebuilt) {
    ASSERT_TRUE(write_file(path_, std::vector<uint8_t>(10, 0xAB)));
    auto damaged = MmapFlatIndex::open(path_, 2, Metric::L2);
    ASSERT_FALSE(damaged);
    ASSERT_EQ(damaged.error().kind, ErrorKind::Serialization);
    auto fresh = *MmapFlatIndex::open_discarding(path_, 2, Metric::L2);
    EXPECT_EQ(fresh.len(), 0u);
    EXPECT_TRUE(fresh.has_unflushed_changes());
    ASSERT_TRUE(fresh.persist());  // even with nothing to add, the damaged file is replaced
    EXPECT_EQ(file_bytes(), header(2, 0, 0).bytes());
}

TEST_F(MmapFlatIndexTest, DropIfRemovesMatchingFileAndPendingVectors) {
    MmapFlatIndex index = open();
    for (VectorId id = 0; id < 6; ++id) ASSERT_TRUE(index.add(id, std::vector<float>{1, 2}));
    ASSERT_TRUE(index.persist());
    for (VectorId id = 6; id < 10; ++id) ASSERT_TRUE(index.add(id, std::vector<float>{1, 2}));
    EXPECT_EQ(index.drop_if([](VectorId id) { return id % 2 == 1; }), 5u);
    EXPECT_EQ(index.len(), 5u);
    EXPECT_FALSE(index.find(3));
    EXPECT_TRUE(index.find(4));
    ASSERT_TRUE(index.persist());
    EXPECT_EQ(ids_of(open()), (std::vector<VectorId>{0, 2, 4, 6, 8}));
}

TEST_F(MmapFlatIndexTest, BulkInsertionChecksRowsFirst) {
    MmapFlatIndex index = open(3);
    auto ragged = index.add_batch_contiguous(std::vector<float>(4, 1.0f), 0);
    EXPECT_EQ(ragged.error().message(),
              "invalid configuration: raw_data length 4 is not a multiple of dim 3");
    EXPECT_EQ(index.len(), 0u);
    ASSERT_TRUE(index.add_batch_contiguous(std::vector<float>(9, 1.0f), 10));
    EXPECT_EQ(ids_of(index), (std::vector<VectorId>{10, 11, 12}));
}

}  // namespace
}  // namespace tvdb
