#include "flat_index.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "codec.hpp"

using tvdb::ErrorKind;
using tvdb::FlatIndex;
using tvdb::Metric;
using tvdb::VectorEntry;

namespace {
std::string temp_path(const char* name) { return ::testing::TempDir() + "/" + name; }
}  // namespace

TEST(FlatIndex, BatchIsAllOrNothing) {
    FlatIndex index(2, Metric::L2);
    std::vector<VectorEntry> bad_middle{{1, {0, 0}}, {2, {0}}, {3, {1, 1}}};
    EXPECT_EQ(index.add_batch(bad_middle).error().kind, ErrorKind::DimensionMismatch);
    std::vector<VectorEntry> repeated{{1, {0, 0}}, {1, {1, 1}}};
    EXPECT_EQ(index.add_batch(repeated).error().kind, ErrorKind::DuplicateId);
    EXPECT_EQ(index.len(), 0u);
    EXPECT_EQ(index.slot_count(), 0u);
}

TEST(FlatIndex, ContiguousInsertChecksShapeIdsAndOverflow) {
    FlatIndex index(4, Metric::L2);
    std::vector<float> ten(10, 0.0f);
    auto ragged = index.add_batch_contiguous(ten, 0);
    ASSERT_FALSE(ragged);
    EXPECT_EQ(ragged.error().message(),
              "invalid configuration: data length 10 is not divisible by dimension 4");
    std::vector<float> two_rows(8, 1.0f);
    ASSERT_TRUE(index.add_batch_contiguous(two_rows, 5));
    EXPECT_EQ(index.add_batch_contiguous(two_rows, 4).error().kind, ErrorKind::DuplicateId);
    auto wraps = index.add_batch_contiguous(two_rows, UINT64_MAX);
    ASSERT_FALSE(wraps);
    EXPECT_EQ(wraps.error().kind, ErrorKind::InvalidConfig);
    EXPECT_EQ(index.len(), 2u);

    FlatIndex zero(0, Metric::L2);
    EXPECT_EQ(zero.add_batch_contiguous({}, 0).error().kind, ErrorKind::InvalidConfig);
}

TEST(FlatIndex, ZeroDimensionalIndexAnswersWithTheEmptyVectorDistances) {
    for (auto [metric, expected] : {std::pair{Metric::L2, 0.0f}, std::pair{Metric::Cosine, 1.0f},
                                    std::pair{Metric::DotProduct, -0.0f}}) {
        FlatIndex index(0, metric);
        ASSERT_TRUE(index.add(1, std::vector<float>{}));
        auto hits = index.search(std::vector<float>{}, 3);
        ASSERT_EQ(hits->size(), 1u);
        EXPECT_EQ((*hits)[0].distance, expected);
    }
}

TEST(FlatIndex, CosineGivesAZeroVectorDistanceOne) {
    FlatIndex index(2, Metric::Cosine);
    ASSERT_TRUE(index.add(1, std::vector<float>{0, 0}));
    EXPECT_EQ((*index.search(std::vector<float>{1, 2}, 1))[0].distance, 1.0f);
}

TEST(FlatIndexFile, SaveLoadKeepsDeletedSlotsAndAnswers) {
    FlatIndex index(3, Metric::DotProduct);
    for (uint64_t id = 0; id < 6; ++id) {
        ASSERT_TRUE(index.add(id, std::vector<float>{float(id), 1, -1}));
    }
    index.remove(2);
    index.remove(4);
    std::string path = temp_path("flat_roundtrip.bin");
    ASSERT_TRUE(index.save(path));
    auto bytes = tvdb::read_file(path);
    const size_t slots = 6, dims = 3;
    EXPECT_EQ(bytes->size(), 8 + 4 + 8 + 4 * slots * dims + 8 + 8 * slots + 8 + slots);
    EXPECT_EQ(FlatIndex::load(path)->len(), 4u);
    std::remove(path.c_str());
}

TEST(FlatIndexFile, LoadRejectsInconsistentAndTruncatedRecords) {
    std::string path = temp_path("flat_bad.bin");
    auto write = [&](auto fill) {
        tvdb::ByteEncoder out;
        fill(out);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(out.bytes().data()), out.bytes().size());
    };
    auto expect_serialization = [&](const char* what) {
        auto loaded = FlatIndex::load(path);
        ASSERT_FALSE(loaded) << what;
        EXPECT_EQ(loaded.error().kind, ErrorKind::Serialization) << what;
    };
    write([](auto& out) {  // 2 slots of dimension 2 need 4 floats, not 3
        out.u64(2); out.u32(0);
        out.f32_seq(std::vector<float>{1, 2, 3});
        out.u64_seq(std::vector<uint64_t>{1, 2});
        out.u8_seq(std::vector<uint8_t>{1, 1});
    });
    expect_serialization("vectors count");
    write([](auto& out) {
        out.u64(1); out.u32(0);
        out.f32_seq(std::vector<float>{1, 2});
        out.u64_seq(std::vector<uint64_t>{1, 2});
        out.u8_seq(std::vector<uint8_t>{1});
    });
    expect_serialization("ids and alive counts");
    write([](auto& out) {
        out.u64(1); out.u32(0);
        out.f32_seq(std::vector<float>{1, 2});
        out.u64_seq(std::vector<uint64_t>{5, 5});
        out.u8_seq(std::vector<uint8_t>{1, 1});
    });
    expect_serialization("repeated live ID");
    write([](auto& out) { out.u64(1); out.u32(3); });
    expect_serialization("metric id 3");
    std::remove(path.c_str());
}
