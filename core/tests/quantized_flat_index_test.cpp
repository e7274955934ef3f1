#include "quantized_flat_index.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "codec.hpp"

namespace tvdb {
namespace {

std::string temp_path(const char* name) {
    return testing::TempDir() + "/" + name + "_" + std::to_string(::getpid());
}

std::vector<float> random_vector(std::mt19937& rng, size_t dims) {
    std::normal_distribution<float> normal;
    std::vector<float> v(dims);
    for (float& x : v) x = normal(rng);
    return v;
}

TEST(Quantize, WorkedExampleRoundsHalvesAwayFromZero) {
    std::vector<float> v = {1.0f, -0.5f, 0.25f};
    QuantizedVector q = quantize(v);
    EXPECT_EQ(q.codes, (std::vector<int8_t>{127, -64, 32}));
    EXPECT_EQ(q.scale, 127.0f);
    float decoded[3];
    dequantize_into(q.codes.data(), 3, q.scale, decoded);
    EXPECT_EQ(decoded[0], 1.0f);
    EXPECT_EQ(decoded[1], -64.0f / 127.0f);
    EXPECT_EQ(decoded[2], 32.0f / 127.0f);
    EXPECT_NEAR(decoded[1], -0.503937f, 1e-6);
}

TEST(Quantize, ZeroEmptyNanAndInfinityFollowTheScaleRules) {
    std::vector<float> zeros(5, 0.0f);
    QuantizedVector z = quantize(zeros);
    EXPECT_EQ(z.scale, 1.0f);
    EXPECT_EQ(z.codes, std::vector<int8_t>(5, 0));
    EXPECT_EQ(quantize(std::span<const float>{}).scale, 1.0f);

    float nan = std::numeric_limits<float>::quiet_NaN();
    QuantizedVector with_nan = quantize(std::vector<float>{nan, 2.0f, -1.0f});
    EXPECT_EQ(with_nan.scale, 63.5f);
    EXPECT_EQ(with_nan.codes, (std::vector<int8_t>{0, 127, -64}));

    float inf = std::numeric_limits<float>::infinity();
    QuantizedVector with_inf = quantize(std::vector<float>{inf, 1.0f});
    EXPECT_EQ(with_inf.scale, 0.0f);
    EXPECT_EQ(with_inf.codes, (std::vector<int8_t>{0, 0}));
}

TEST(Quantize, VectorisedDecodingMatchesScalarDivision) {
    std::mt19937 rng(7);
    for (size_t dims : {1u, 7u, 8u, 9u, 33u, 128u}) {
        auto v = random_vector(rng, dims);
        QuantizedVector q = quantize(v);
        std::vector<float> decoded(dims);
        dequantize_into(q.codes.data(), dims, q.scale, decoded.data());
        for (size_t i = 0; i < dims; ++i) {
            float expected = static_cast<float>(q.codes[i]) / q.scale;
            ASSERT_EQ(std::memcmp(&decoded[i], &expected, 4), 0) << dims << " " << i;
        }
    }
}

TEST(QuantizedFlatIndex, BulkInsertionReplacesExistingIds) {
    QuantizedFlatIndex index(2, Metric::L2);
    ASSERT_TRUE(index.add(11, std::vector<float>{9, 9}));
    std::vector<float> rows = {1, 0, 0, 1, 1, 1};
    ASSERT_TRUE(index.add_batch_contiguous(rows, 10));
    EXPECT_EQ(index.len(), 3u);
    EXPECT_EQ(index.stored(11)->codes, (std::vector<int8_t>{0, 127}));
}

TEST(QuantizedFlatIndex, SavedFileLayoutIsExactAndLoadsBack) {
    std::string path = temp_path("qflat_layout");
    QuantizedFlatIndex index(3, Metric::DotProduct);
    ASSERT_TRUE(index.add(7, std::vector<float>{1.0f, -0.5f, 0.25f}));
    ASSERT_TRUE(index.save(path));
    auto bytes = read_file(path);
    ASSERT_TRUE(bytes);
    ByteEncoder expected;
    expected.u64(3);
    expected.u32(2);
    expected.u64(1);
    expected.u64(7);
    expected.u64(3);
    expected.u8(127);
    expected.u8(static_cast<uint8_t>(-64));
    expected.u8(32);
    expected.f32(127.0f);
    EXPECT_EQ(*bytes, expected.bytes());

    ::unlink(path.c_str());
}

TEST(QuantizedFlatIndex, LoadRejectsDamagedFilesAndKeepsTheLastOfARepeatedId) {
    std::string path = temp_path("qflat_damaged");
    auto write = [&](const ByteEncoder& e) { ASSERT_TRUE(write_file(path, e.bytes())); };
    auto entry = [](ByteEncoder& e, uint64_t id, std::vector<uint8_t> codes, float scale) {
        e.u64(id);
        e.u8_seq(codes);
        e.f32(scale);
    };
    ByteEncoder repeated;
    repeated.u64(2);
    repeated.u32(0);
    repeated.u64(2);
    entry(repeated, 5, {1, 2}, 1.0f);
    entry(repeated, 5, {3, 4}, 2.0f);
    write(repeated);
    auto loaded = QuantizedFlatIndex::load(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->len(), 1u);
    EXPECT_EQ(loaded->stored(5)->codes, (std::vector<int8_t>{3, 4}));

    ByteEncoder short_codes;
    short_codes.u64(2);
    short_codes.u32(0);
    short_codes.u64(1);
    entry(short_codes, 5, {1}, 1.0f);
    write(short_codes);
    auto rejected = QuantizedFlatIndex::load(path);
    ASSERT_FALSE(rejected);
    EXPECT_EQ(rejected.error().kind, ErrorKind::Serialization);

    ByteEncoder bad_metric;
    bad_metric.u64(2);
    bad_metric.u32(3);
    bad_metric.u64(0);
    write(bad_metric);
    EXPECT_EQ(QuantizedFlatIndex::load(path).error().kind, ErrorKind::Serialization);

    ::unlink(path.c_str());
}

}  // namespace
}  // namespace tvdb
