#include "binary_flat_index.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <random>

#include "codec.hpp"
#include "detail/top_k.hpp"
#include "test_support.hpp"

namespace tvdb {
namespace {

std::string temp_path(const char* name) {
    return ::testing::TempDir() + "/" + name + "_" + std::to_string(::getpid());
}

TEST(BinaryVec, ZerosAreOnesAndNanIsZero) {
    float nan = std::numeric_limits<float>::quiet_NaN();
    BinaryVec v = BinaryVec::encode(std::vector<float>{0.0f, -0.0f, 1.0f, -1.0f, nan});
    EXPECT_EQ(v.bits, (std::vector<uint64_t>{0b00111}));
    EXPECT_EQ(BinaryVec::encode(std::vector<float>{3, -4}).norm, 5.0f);
}

TEST(BinaryVec, BitsSpanWordsAndPaddingStaysZero) {
    std::vector<float> v(130, 1.0f);
    v[64] = -1.0f;
    BinaryVec encoded = BinaryVec::encode(v);
    ASSERT_EQ(encoded.bits.size(), 3u);
    EXPECT_EQ(encoded.bits[0], ~uint64_t{0});
    EXPECT_EQ(encoded.bits[1], ~uint64_t{0} << 1);
    EXPECT_EQ(encoded.bits[2], 0b11u);
}

TEST(BinaryFlatIndex, ScoresFollowHammingFormulas) {
    std::vector<float> x = {1, -2, 3, -4, 5};
    std::vector<float> opposite = {-1, 2, -3, 4, -5};
    BinaryFlatIndex l2(5, Metric::L2);
    ASSERT_TRUE(l2.add(1, x));
    ASSERT_TRUE(l2.add(2, opposite));
    ASSERT_TRUE(l2.add(3, std::vector<float>{1, 2, 3, 4, 5}));  // two signs differ
    auto hits = *l2.search(x, 3);
    EXPECT_EQ(hits[0].id, 1u);
    EXPECT_EQ(hits[0].distance, 0.0f);
    EXPECT_EQ(hits[1].id, 3u);
    EXPECT_EQ(hits[1].distance, 2.0f / 5.0f);
    EXPECT_EQ(hits[2].id, 2u);
    EXPECT_EQ(hits[2].distance, 1.0f);

    BinaryFlatIndex dot(5, Metric::DotProduct);
    ASSERT_TRUE(dot.add(1, x));
    ASSERT_TRUE(dot.add(3, std::vector<float>{1, 2, 3, 4, 5}));
    auto dot_hits = *dot.search(x, 2);
    float norm = std::sqrt(55.0f);
    EXPECT_EQ(dot_hits[0].id, 1u);
    EXPECT_EQ(dot_hits[0].distance, -(norm * ((5.0f - 0.0f) * norm)) / 5.0f);
    EXPECT_NEAR(dot_hits[0].distance, -55.0f, 1e-4);
    EXPECT_EQ(dot_hits[1].distance, -(norm * ((5.0f - 4.0f) * norm)) / 5.0f);
}

TEST(BinaryFlatIndex, EveryKernelLevelCountsTheSameBits) {
    std::mt19937 rng(21);
    std::normal_distribution<float> normal;
    // Part of a word (few distinct counts: many ties at the boundary of a small k), one, two,
    // five, and more words than a byte counter holds without folding. Ties keep slot order.
    for (size_t dims : {3u, 24u, 64u, 128u, 300u, 2100u}) {
        for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
            BinaryFlatIndex index(dims, metric);
            std::vector<float> query(dims);
            for (float& x : query) x = normal(rng);
            for (VectorId id = 0; id < 203; ++id) {  // a partial last block of eight
                std::vector<float> v(dims);
                for (float& x : v) x = normal(rng);
                if (id == 7) {  // every sign differs: the largest count there is
                    for (size_t i = 0; i < dims; ++i) v[i] = -query[i];
                }
                ASSERT_TRUE(index.add(id, v));
            }
            BinaryVec q = BinaryVec::encode(query);
            const float d = static_cast<float>(dims);
            for (uint64_t k : {1u, 4u, 40u, 203u}) {
                TopK plain(k);
                index.iter_vectors([&](VectorId id, std::span<const float>) {
                    BinaryVec x = *index.stored(id);
                    int bits = 0;
                    for (size_t w = 0; w < q.bits.size(); ++w) bits += std::popcount(q.bits[w] ^ x.bits[w]);
                    float h = static_cast<float>(bits);
                    plain.push(id, metric != Metric::DotProduct ? h / d : -(x.norm * ((d - 2.0f * h) * q.norm)) / d);
                });
                auto want = plain.take_sorted();
                at_every_simd_level([&] {
                    auto got = *index.search(query, k);
                    ASSERT_EQ(got.size(), want.size());
                    for (size_t i = 0; i < got.size(); ++i) {
                        ASSERT_EQ(got[i].id, want[i].id) << dims << " rank " << i;
                        ASSERT_EQ(got[i].distance, want[i].distance) << dims << " rank " << i;
                    }
                });
            }
        }
    }
}

TEST(BinaryFlatIndex, IterationReconstructsSignsScaledByNorm) {
    BinaryFlatIndex index(2, Metric::L2);
    ASSERT_TRUE(index.add(1, std::vector<float>{3, -4}));
    std::vector<float> got;
    index.iter_vectors([&](VectorId, std::span<const float> v) { got.assign(v.begin(), v.end()); });
    float s = 5.0f / std::sqrt(2.0f);
    EXPECT_EQ(got, (std::vector<float>{s, -s}));
    EXPECT_NEAR(got[0], 3.5355f, 1e-4);
}

TEST(BinaryFlatIndex, BulkRowsReplaceAndRemovalMovesTheLastSlot) {
    BinaryFlatIndex index(2, Metric::L2);
    ASSERT_TRUE(index.add_batch_contiguous(std::vector<float>{1, 1, -1, -1, 1, -1}, 5));
    ASSERT_TRUE(index.add(5, std::vector<float>{-1, 1}));
    EXPECT_EQ(index.len(), 3u);
    EXPECT_EQ(index.stored(5)->bits, (std::vector<uint64_t>{0b10}));
    EXPECT_TRUE(index.remove(5));
    EXPECT_EQ(index.stored(7)->bits, (std::vector<uint64_t>{0b01}));
}

TEST(BinaryFlatIndex, SavedFileLayoutLoadsBackAndDamageIsRejected) {
    std::string path = temp_path("binary_layout");
    BinaryFlatIndex index(3, Metric::DotProduct);
    ASSERT_TRUE(index.add(8, std::vector<float>{3, -4, 0}));
    ASSERT_TRUE(index.save(path));
    ByteEncoder expected;
    expected.u64(3);
    expected.u32(2);
    expected.u64(1);
    expected.u64(8);
    expected.u64(1);
    expected.u64(0b101);
    expected.f32(5.0f);
    EXPECT_EQ(*read_file(path), expected.bytes());
    auto loaded = BinaryFlatIndex::load(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->stored(8)->bits, (std::vector<uint64_t>{0b101}));
    EXPECT_EQ(loaded->stored(8)->norm, 5.0f);

    auto rejects = [&](const ByteEncoder& e) {
        EXPECT_TRUE(write_file(path, e.bytes()));
        auto result = BinaryFlatIndex::load(path);
        return !result && result.error().kind == ErrorKind::Serialization;
    };
    ByteEncoder too_many_words;
    too_many_words.u64(3);
    too_many_words.u32(0);
    too_many_words.u64(1);
    too_many_words.u64(8);
    too_many_words.u64_seq(std::vector<uint64_t>{1, 2});
    too_many_words.f32(1.0f);
    EXPECT_TRUE(rejects(too_many_words));
    ByteEncoder padding_set;
    padding_set.u64(3);
    padding_set.u32(0);
    padding_set.u64(1);
    padding_set.u64(8);
    padding_set.u64_seq(std::vector<uint64_t>{0b1000});
    padding_set.f32(1.0f);
    EXPECT_TRUE(rejects(padding_set));
    ByteEncoder huge_dimensions;  // no entries: nothing may be sized by the dimension count
    huge_dimensions.u64(~uint64_t{0});
    huge_dimensions.u32(0);
    huge_dimensions.u64(0);
    ASSERT_TRUE(write_file(path, huge_dimensions.bytes()));
    EXPECT_TRUE(BinaryFlatIndex::load(path).has_value());
    ::unlink(path.c_str());
}

}  // namespace
}  // namespace tvdb
