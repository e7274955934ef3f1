#include "fp16_flat_index.hpp"

#include <gtest/gtest.h>
#include <immintrin.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>

#include "codec.hpp"
#include "detail/top_k.hpp"
#include "test_support.hpp"

namespace tvdb {
namespace {

std::string temp_path(const char* name) {
    return ::testing::TempDir() + "/" + name + "_" + std::to_string(::getpid());
}

float round_trip(float x) { return half_to_float(float_to_half(x)); }

TEST(Half, WorkedExamplesRoundTrip) {
    EXPECT_EQ(round_trip(1.0f), 1.0f);
    EXPECT_EQ(round_trip(-2.5f), -2.5f);
    EXPECT_EQ(round_trip(0.0f), 0.0f);
    EXPECT_EQ(round_trip(0.1f), 0.0999755859375f);
    EXPECT_EQ(round_trip(70000.0f), std::numeric_limits<float>::infinity());
    EXPECT_EQ(round_trip(1e-8f), 0.0f);
    EXPECT_EQ(float_to_half(-0.0f), 0x8000);
    EXPECT_EQ(float_to_half(65504.0f), 0x7BFF);
    EXPECT_EQ(float_to_half(65519.0f), 0x7BFF);
    EXPECT_EQ(float_to_half(65520.0f), 0x7C00);  // the tie goes to the even neighbour: infinity
    EXPECT_EQ(float_to_half(0x1p-24f), 0x0001);  // the smallest subnormal is kept
    EXPECT_EQ(float_to_half(0x1p-25f), 0x0000);  // tie with zero rounds to even
    EXPECT_EQ(float_to_half(0x1.8p-24f), 0x0002);  // 1.5 units: tie rounds to even 2
    EXPECT_EQ(float_to_half(1.0f + 0x1p-11f), 0x3C00);  // tie between 1 and 1+2^-10 -> 1
    EXPECT_EQ(float_to_half(1.0f + 0x3p-11f), 0x3C02);  // tie between odd and even -> even
    EXPECT_EQ(half_to_float(0x03FF), 0x3FFp-24f);
    uint16_t nan = float_to_half(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(nan & 0x7C00, 0x7C00);
    EXPECT_NE(nan & 0x0200, 0);  // quiet
    uint16_t signalling = float_to_half(std::bit_cast<float>(0x7F800001u));
    EXPECT_TRUE(std::isnan(half_to_float(signalling)));
}

TEST(Half, EveryHalfWidensExactlyAndNarrowsBackToItself) {
    for (uint32_t h = 0; h < 65536; ++h) {
        float f = half_to_float(static_cast<uint16_t>(h));
        bool is_nan = (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0;
        if (is_nan) {
            ASSERT_TRUE(std::isnan(f));
            ASSERT_EQ(float_to_half(f), h | 0x0200) << h;
        } else {
            ASSERT_EQ(float_to_half(f), h) << h;
        }
        float bulk;
        uint16_t half = static_cast<uint16_t>(h);
        halves_to_floats(&half, 1, &bulk);
        ASSERT_EQ(std::bit_cast<uint32_t>(bulk), std::bit_cast<uint32_t>(f));
    }
}

#if defined(__GNUC__)
__attribute__((target("avx,f16c"))) void hardware_narrow(const float* in, uint16_t* out) {
    __m128i packed = _mm256_cvtps_ph(_mm256_loadu_ps(in), _MM_FROUND_TO_NEAREST_INT);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
}
__attribute__((target("avx,f16c"))) void hardware_widen(const uint16_t* in, float* out) {
    _mm256_storeu_ps(out, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))));
}

TEST(Half, ConversionsAgreeWithTheProcessorsF16cInstructions) {
    if (!__builtin_cpu_supports("f16c")) GTEST_SKIP() << "no F16C";
    std::mt19937 rng(5);
    for (int round = 0; round < 200000; ++round) {
        float in[8];
        for (float& x : in) {
            // Random bit patterns concentrated on the exponents near the half range.
            uint32_t bits = rng();
            uint32_t exponent = 95 + rng() % 60;
            bits = (bits & 0x807FFFFF) | (exponent << 23);
            x = std::bit_cast<float>(round % 4 == 0 ? static_cast<uint32_t>(rng()) : bits);
        }
        uint16_t hw[8];
        hardware_narrow(in, hw);
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(float_to_half(in[i]), hw[i]) << std::bit_cast<uint32_t>(in[i]);
        }
        float widened[8];
        float expected[8];
        hardware_widen(hw, expected);
        halves_to_floats(hw, 8, widened);
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(std::bit_cast<uint32_t>(widened[i]), std::bit_cast<uint32_t>(expected[i]));
        }
    }
}
#endif

TEST(Fp16FlatIndex, SwapRemovalKeepsEveryOtherVectorIntact) {
    std::mt19937 rng(12);
    std::normal_distribution<float> normal;
    const size_t dims = 6;
    Fp16FlatIndex index(dims, Metric::L2);
    std::map<VectorId, std::vector<uint16_t>> expected;
    for (int step = 0; step < 6000; ++step) {
        VectorId id = rng() % 700;  // spans three chunks
        if (rng() % 3 == 0) {
            EXPECT_EQ(index.remove(id), expected.erase(id) == 1);
        } else {
            std::vector<float> v(dims);
            for (float& x : v) x = normal(rng);
            ASSERT_TRUE(index.add(id, v));
            std::vector<uint16_t> halves;
            for (float x : v) halves.push_back(float_to_half(x));
            expected[id] = halves;
        }
    }
    ASSERT_EQ(index.len(), expected.size());
    for (const auto& [id, halves] : expected) EXPECT_EQ(*index.stored(id), halves);
    size_t visited = 0;
    index.iter_vectors([&](VectorId id, std::span<const float> v) {
        ++visited;
        for (size_t i = 0; i < dims; ++i) EXPECT_EQ(v[i], half_to_float(expected.at(id)[i]));
    });
    EXPECT_EQ(visited, expected.size());
}

TEST(Fp16FlatIndex, EveryKernelLevelAnswersWithTheSameBits) {
    std::mt19937 rng(44);
    std::normal_distribution<float> normal;
    for (size_t dims : {3u, 17u, 36u, 128u}) {
        // Clustered rows over several chunks, so that L2 scans abandon most groups early.
        // Removals move slots between chunks first.
        std::vector<std::vector<float>> centres(4, std::vector<float>(dims));
        for (auto& c : centres)
            for (float& x : c) x = 3.0f * normal(rng);
        std::vector<std::vector<float>> rows;
        for (size_t r = 0; r < 1100; ++r) {
            std::vector<float> v(centres[r % 4]);
            for (float& x : v) x += 0.3f * normal(rng);
            if (r == 5) v.assign(dims, 0.0f);  // a zero-norm row among them
            rows.push_back(v);
        }
        std::vector<float> query(centres[1]);
        for (float& x : query) x += 0.3f * normal(rng);
        for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
            Fp16FlatIndex index(dims, metric);
            for (VectorId id = 0; id < rows.size(); ++id) ASSERT_TRUE(index.add(id, rows[id]));
            for (VectorId id = 0; id < rows.size(); id += 7) index.remove(id);
            for (uint64_t k : {3u, 1100u}) {
                TopK plain(k);
                index.iter_vectors([&](VectorId id, std::span<const float> x) {
                    plain.push(id, distance(metric, query, x));
                });
                auto want = plain.take_sorted();
                at_every_simd_level([&] {
                    auto got = *index.search(query, k);
                    ASSERT_EQ(got.size(), want.size());
                    for (size_t i = 0; i < got.size(); ++i) {
                        ASSERT_EQ(got[i].id, want[i].id) << dims << " " << static_cast<int>(metric);
                        ASSERT_EQ(std::bit_cast<uint32_t>(got[i].distance),
                                  std::bit_cast<uint32_t>(want[i].distance));
                    }
                });
            }
        }
    }
}

TEST(Fp16FlatIndex, OverflowingComponentGivesANonFiniteDistanceNotAnError) {
    Fp16FlatIndex index(2, Metric::L2);
    std::vector<float> v = {70000.0f, 1.0f};
    ASSERT_TRUE(index.add(1, v));
    auto hits = index.search(v, 1);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_FALSE(std::isfinite((*hits)[0].distance));
}

TEST(Fp16FlatIndex, SavedFileLayoutLoadsBackBitIdentical) {
    std::string path = temp_path("fp16_layout");
    Fp16FlatIndex index(2, Metric::Cosine);
    ASSERT_TRUE(index.add(3, std::vector<float>{0.1f, -2.5f}));
    ASSERT_TRUE(index.save(path));
    ByteEncoder expected;
    expected.u64(2);
    expected.u32(1);
    expected.u64(1);
    expected.u64(3);
    expected.u64(2);
    expected.u16(float_to_half(0.1f));
    expected.u16(0xC100);
    EXPECT_EQ(*read_file(path), expected.bytes());

    ByteEncoder wrong_count;
    wrong_count.u64(2);
    wrong_count.u32(0);
    wrong_count.u64(1);
    wrong_count.u64(3);
    wrong_count.u16_seq(std::vector<uint16_t>{1, 2, 3});
    ASSERT_TRUE(write_file(path, wrong_count.bytes()));
    EXPECT_EQ(Fp16FlatIndex::load(path).error().kind, ErrorKind::Serialization);
    ::unlink(path.c_str());
}

}  // namespace
}  // namespace tvdb
