#include "detail/pq.hpp"

#include <gtest/gtest.h>

#include <set>

#include "test_support.hpp"

namespace tvdb {
namespace {

using testing::normal_rows;

PqCodebook trained(const std::vector<float>& vectors, uint64_t dims, PqConfig config) {
    auto book = PqCodebook::train(vectors.data(), vectors.size() / dims, dims, config);
    EXPECT_TRUE(book.has_value());
    return std::move(*book);
}

std::span<const float> centroid(const PqCodebook& book, uint64_t s, uint64_t j) {
    return book.centroids().subspan((s * book.k_sub() + j) * book.subvector_len(),
                                    book.subvector_len());
}

TEST(PqTrain, RejectsConfigurationsItCannotTrain) {
    std::vector<float> one(4, 1.0f);
    auto invalid = [&](uint64_t n, uint64_t dims, PqConfig config) {
        auto book = PqCodebook::train(one.data(), n, dims, config);
        return !book.has_value() && book.error().kind == ErrorKind::InvalidConfig;
    };
    EXPECT_TRUE(invalid(0, 4, {.m = 2, .k_sub = 4}));
    EXPECT_TRUE(invalid(1, 4, {.m = 0, .k_sub = 4}));
    EXPECT_TRUE(invalid(1, 4, {.m = 3, .k_sub = 4}));
    EXPECT_TRUE(invalid(1, 4, {.m = 2, .k_sub = 0}));
    EXPECT_TRUE(invalid(1, 4, {.m = 2, .k_sub = 257}));
    EXPECT_EQ(PqCodebook::check_config(10, {.m = 3}).error().message(),
              "invalid configuration: dimensions (10) must be divisible by m (3)");
}

TEST(PqTrain, SingleVectorGivesItsOwnSubvectorsThenZeroCentroids) {
    const std::vector<float> vector = {1, 2, 3, 4, 5, 6};
    auto book = trained(vector, 6, {.m = 3, .k_sub = 4, .max_iter = 25});
    EXPECT_EQ(book.m(), 3u);
    EXPECT_EQ(book.k_sub(), 4u);
    EXPECT_EQ(book.subvector_len(), 2u);
    ASSERT_EQ(book.centroids().size(), 3u * 4u * 2u);
    for (uint64_t s = 0; s < 3; ++s) {
        EXPECT_EQ(centroid(book, s, 0)[0], vector[2 * s]);
        EXPECT_EQ(centroid(book, s, 0)[1], vector[2 * s + 1]);
        for (uint64_t j = 1; j < 4; ++j) {
            EXPECT_EQ(centroid(book, s, j)[0], 0.0f);
            EXPECT_EQ(centroid(book, s, j)[1], 0.0f);
        }
    }
    uint8_t code[3];
    book.encode(vector, code);
    EXPECT_EQ(code[0] | code[1] | code[2], 0);
    // Near the origin the zero padding is nearer than the trained centroid.
    book.encode(std::vector<float>{0.1f, 0.0f, 0.0f, 0.1f, 0.0f, 0.0f}, code);
    EXPECT_EQ(code[0], 1);
    EXPECT_EQ(code[1], 1);
}

TEST(PqTrain, ZeroIterationsKeepsTrainingSubvectorsAsCentroids) {
    const uint64_t dims = 4, n = 20;
    auto vectors = normal_rows(n, dims, 1);
    auto book = trained(vectors, dims, {.m = 2, .k_sub = 8, .max_iter = 0});
    for (uint64_t s = 0; s < 2; ++s) {
        for (uint64_t j = 0; j < 8; ++j) {
            auto c = centroid(book, s, j);
            bool found = false;
            for (uint64_t i = 0; i < n; ++i) {
                found |= std::equal(c.begin(), c.end(), vectors.begin() + i * dims + s * 2);
            }
            EXPECT_TRUE(found) << "sub-space " << s << " centroid " << j;
        }
    }
}

TEST(PqEncode, CentroidsEncodeToTheirOwnIndexesWithZeroTableEntries) {
    const uint64_t dims = 8;
    auto vectors = normal_rows(600, dims, 2);
    auto book = trained(vectors, dims, {.m = 4, .k_sub = 256, .max_iter = 5});
    for (uint64_t j : {0u, 17u, 128u, 255u}) {
        // Sub-space s takes centroid (j + s) % 256 of its own sub-space.
        std::vector<float> vector;
        for (uint64_t s = 0; s < 4; ++s) {
            auto c = centroid(book, s, (j + s) % 256);
            vector.insert(vector.end(), c.begin(), c.end());
        }
        uint8_t code[4];
        book.encode(vector, code);
        auto table = book.compute_distance_table(vector);
        ASSERT_EQ(table.size(), 4u * 256u);
        for (uint64_t s = 0; s < 4; ++s) {
            EXPECT_EQ(code[s], (j + s) % 256) << "sub-space " << s;
            EXPECT_EQ(table[s * 256 + code[s]], 0.0f);
        }
    }
}

TEST(PqEncode, BatchEncodingMatchesSingleEncoding) {
    const uint64_t dims = 12, n = 200;
    auto vectors = normal_rows(n, dims, 3);
    auto book = trained(vectors, dims, {.m = 3, .k_sub = 32, .max_iter = 10});
    auto others = normal_rows(n, dims, 4);
    std::vector<uint8_t> batch(n * 3);
    book.encode_batch(others.data(), n, dims, batch.data());
    for (uint64_t i = 0; i < n; ++i) {
        uint8_t code[3];
        book.encode(std::span(others).subspan(i * dims, dims), code);
        EXPECT_TRUE(std::equal(code, code + 3, batch.begin() + i * 3)) << "vector " << i;
    }
}

TEST(PqTable, EntriesAreSquaredSubDistances) {
    const std::vector<float> vectors = {0, 0, 0, 0, 2, 2, 2, 2};
    auto book = trained(vectors, 4, {.m = 2, .k_sub = 2, .max_iter = 25});
    auto table = book.compute_distance_table(std::vector<float>{1, 0, 2, 2});
    ASSERT_EQ(table.size(), 4u);
    // Sub-space 0 query (1, 0) against (0, 0) and (2, 2) in whichever order training left.
    std::multiset<float> first(table.begin(), table.begin() + 2);
    std::multiset<float> second(table.begin() + 2, table.end());
    EXPECT_EQ(first, (std::multiset<float>{1.0f, 5.0f}));
    EXPECT_EQ(second, (std::multiset<float>{0.0f, 8.0f}));
}

TEST(PqCodec, ReadRejectsACentroidCountThatDisagreesWithTheShape) {
    auto book = trained(normal_rows(10, 4, 5), 4, {.m = 2, .k_sub = 4});
    ByteEncoder out;
    book.write_to(out);
    {
        RecordDecoder in(out.bytes());
        auto back = PqCodebook::read_from(in);
        ASSERT_TRUE(in.ok());
        EXPECT_TRUE(std::equal(back.centroids().begin(), back.centroids().end(),
                               book.centroids().begin(), book.centroids().end()));
    }
    auto bytes = out.take();
    bytes[8] = 5;  // k_sub 4 -> 5
    RecordDecoder in(bytes);
    PqCodebook::read_from(in);
    EXPECT_FALSE(in.ok());
}

}  // namespace
}  // namespace tvdb
