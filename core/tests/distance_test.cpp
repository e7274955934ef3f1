#include "distance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "test_support.hpp"

using tvdb::distance;
using tvdb::distance_ord_batch4;
using tvdb::distance_rows;
using tvdb::Metric;

namespace {

constexpr Metric kMetrics[] = {Metric::L2, Metric::Cosine, Metric::DotProduct};

// The fixed summation order written out element by element.
float reference_sum(const std::vector<float>& a, const std::vector<float>& b, int which) {
    auto term = [&](size_t i) {
        if (which == 0) return (a[i] - b[i]) * (a[i] - b[i]);
        if (which == 1) return a[i] * b[i];
        if (which == 2) return a[i] * a[i];
        return b[i] * b[i];
    };
    float s[4] = {0, 0, 0, 0};
    size_t blocks = a.size() / 4 * 4;
    for (size_t i = 0; i < blocks; i += 4)
        for (size_t j = 0; j < 4; ++j) s[j] += term(i + j);
    float total = (s[0] + s[1]) + (s[2] + s[3]);
    for (size_t i = blocks; i < a.size(); ++i) total += term(i);
    return total;
}

float reference(Metric metric, const std::vector<float>& a, const std::vector<float>& b) {
    if (metric == Metric::L2) return std::sqrt(reference_sum(a, b, 0));
    if (metric == Metric::DotProduct) return -reference_sum(a, b, 1);
    float na = reference_sum(a, b, 2), nb = reference_sum(a, b, 3);
    if (na == 0.0f || nb == 0.0f) return 1.0f;
    return 1.0f - reference_sum(a, b, 1) / (std::sqrt(na) * std::sqrt(nb));
}

bool same_bits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

std::vector<float> random_vector(std::mt19937& rng, size_t n) {
    std::normal_distribution<float> dist;
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

}  // namespace

TEST(Distance, WorkedValues) {
    std::vector<float> origin{0, 0}, p{3, 4};
    EXPECT_EQ(distance(Metric::L2, origin, p), 5.0f);
    EXPECT_EQ(distance(Metric::L2, p, p), 0.0f);
    std::array<const float*, 4> four{p.data(), p.data(), p.data(), p.data()};
    EXPECT_EQ(distance_ord_batch4(Metric::L2, origin, four)[0], 25.0f);
    std::vector<float> a{1, 2}, b{3, 4};
    EXPECT_EQ(distance(Metric::DotProduct, a, b), -11.0f);
    EXPECT_EQ(distance(Metric::Cosine, origin, p), 1.0f);
    EXPECT_EQ(distance(Metric::Cosine, p, origin), 1.0f);
    std::vector<float> neg{-3, -4}, twice{6, 8};
    EXPECT_NEAR(distance(Metric::Cosine, p, twice), 0.0f, 1e-6);
    EXPECT_NEAR(distance(Metric::Cosine, p, neg), 2.0f, 1e-6);
}

TEST(Distance, EmptyVectorsFollowTheZeroNormRules) {
    std::vector<float> empty;
    EXPECT_EQ(distance(Metric::L2, empty, empty), 0.0f);
    EXPECT_EQ(distance(Metric::Cosine, empty, empty), 1.0f);
    float dot = distance(Metric::DotProduct, empty, empty);
    EXPECT_EQ(dot, 0.0f);
    EXPECT_TRUE(std::signbit(dot));
}

TEST(Distance, NanPropagates) {
    std::vector<float> a{1, NAN, 3}, b{1, 2, 3};
    for (Metric m : kMetrics) EXPECT_TRUE(std::isnan(distance(m, a, b)));
}

TEST(Distance, EveryKernelAtEveryLevelSumsInTheFixedOrder) {
    std::mt19937 rng(7);
    for (size_t len : {0, 1, 3, 4, 5, 8, 13, 16, 37, 128, 130}) {
        for (Metric metric : kMetrics) {
            auto q = random_vector(rng, len);
            // The rows packed, and again each followed by three floats of other data from an
            // odd offset: rows at every 4-byte alignment take the realigning path, and the
            // lengths reach the tail of each kernel.
            const size_t n = 21;
            std::vector<std::vector<float>> rows;
            std::vector<float> packed, records(1);
            for (size_t r = 0; r < n; ++r) {
                rows.push_back(random_vector(rng, len));
                packed.insert(packed.end(), rows[r].begin(), rows[r].end());
                records.insert(records.end(), rows[r].begin(), rows[r].end());
                records.insert(records.end(), {-1.0f, 2.0f, 1e30f});
            }
            tvdb::at_every_simd_level([&] {
                std::vector<float> from_rows(n), from_rows_ord(n), from_strided(n);
                distance_rows(metric, q, packed.data(), n, from_rows.data());
                tvdb::distance_rows_ord(metric, q, packed.data(), n, from_rows_ord.data());
                tvdb::distance_rows_strided_ord(metric, q, records.data() + 1, len + 3, n, from_strided.data());
                for (size_t r = 0; r < n; ++r) {
                    float expected = reference(metric, q, rows[r]);
                    float ord = metric == Metric::L2 ? reference_sum(q, rows[r], 0) : expected;
                    ASSERT_TRUE(same_bits(distance(metric, q, rows[r]), expected)) << len;
                    ASSERT_TRUE(same_bits(from_rows[r], expected)) << "rows, len " << len << " row " << r;
                    ASSERT_TRUE(same_bits(from_rows_ord[r], ord)) << "rows ord, len " << len;
                    ASSERT_TRUE(same_bits(from_strided[r], ord)) << "strided, len " << len << " row " << r;
                    ASSERT_TRUE(same_bits(tvdb::distance_ord(metric, q, rows[r].data()), ord)) << "single, len " << len;
                }
                std::array<const float*, 4> four{rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data()};
                auto batch = distance_ord_batch4(metric, q, four);
                for (size_t c = 0; c < 4; ++c) {
                    float ord = metric == Metric::L2 ? reference_sum(q, rows[c], 0) : reference(metric, q, rows[c]);
                    ASSERT_TRUE(same_bits(batch[c], ord)) << "batch4, len " << len;
                }
            });
        }
    }
}

TEST(Metric, NamesAndIds) {
    EXPECT_EQ(tvdb::metric_name(Metric::DotProduct), "dot_product");
    EXPECT_EQ(tvdb::metric_debug_name(Metric::Cosine), "Cosine");
    EXPECT_EQ(tvdb::metric_from_name("cosine"), Metric::Cosine);
    EXPECT_FALSE(tvdb::metric_from_name("L2").has_value());
    EXPECT_FALSE(tvdb::metric_from_name(" l2").has_value());
    EXPECT_EQ(tvdb::metric_from_id(2), Metric::DotProduct);
    EXPECT_FALSE(tvdb::metric_from_id(3).has_value());
}
