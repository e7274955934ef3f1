#include "detail/kmeans.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "test_support.hpp"

namespace tvdb {
namespace {

using testing::normal_rows;

TEST(BatchAssign, MatrixFormMatchesKernelAssignment) {
    // Odd sizes exercise the kernel tails and the tails of every argmin width.
    for (uint64_t d : {1u, 5u, 19u, 64u}) {
        const uint64_t n = 301, k = 37;
        auto vectors = normal_rows(n, d, 1);
        auto centroids = normal_rows(k, d, 2);
        at_every_simd_level([&] {
            auto by_matrix = batch_assign_l2_argmin(vectors.data(), n, centroids.data(), k, d);
            ASSERT_EQ(by_matrix.size(), n);
            for (uint64_t i = 0; i < n; ++i) {
                EXPECT_EQ(by_matrix[i],
                          nearest_centroid(Metric::L2, {vectors.data() + i * d, d}, centroids.data(), k))
                    << "vector " << i << " at d=" << d;
            }
        });
    }
}

TEST(BatchAssign, TiesGoToTheLowestIndexAndDegenerateInputsGoToZero) {
    const uint64_t d = 3;
    // Centroids 9, 20 and 41 equal the vector (lanes of different widths and registers);
    // everything else is far.
    std::vector<float> centroids(70 * d, 50.0f);
    const std::vector<float> vector = {1.0f, 2.0f, 3.0f};
    for (uint64_t tie : {41u, 20u, 9u}) std::copy(vector.begin(), vector.end(), centroids.begin() + tie * d);
    at_every_simd_level([&] {
        EXPECT_EQ(batch_assign_l2_argmin(vector.data(), 1, centroids.data(), 70, d)[0], 9u);
    });
    EXPECT_EQ(nearest_centroid(Metric::L2, vector, centroids.data(), 70), 9u);

    EXPECT_EQ(batch_assign_l2_argmin(vector.data(), 1, centroids.data(), 0, d)[0], 0u);
    EXPECT_EQ(nearest_centroid(Metric::L2, vector, centroids.data(), 0), 0u);
    // Zero dimensions: every distance is 0, so centroid 0 wins.
    EXPECT_EQ(batch_assign_l2_argmin(nullptr, 4, nullptr, 3, 0), std::vector<uint64_t>(4, 0));
}

TEST(BatchAssign, NanDistancesNeverWin) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> centroids = {nan, 0.0f, 5.0f, 5.0f, 1.0f, 1.0f};
    const std::vector<float> vector = {1.0f, 1.0f};
    EXPECT_EQ(nearest_centroid(Metric::L2, vector, centroids.data(), 3), 2u);
    EXPECT_EQ(batch_assign_l2_argmin(vector.data(), 1, centroids.data(), 3, 2)[0], 2u);
    std::vector<float> all_nan = {nan, nan, nan, nan};
    EXPECT_EQ(nearest_centroid(Metric::L2, vector, all_nan.data(), 2), 0u);
}

TEST(NearestCentroids, RanksByOrderPreservingDistanceAndStopsAtCount) {
    // Centroids on a line at 0, 10, 20, ... ; the query sits at 31.
    std::vector<float> centroids;
    for (int j = 0; j < 7; ++j) centroids.push_back(10.0f * j);
    const std::vector<float> query = {31.0f};
    auto ranked = nearest_centroids(Metric::L2, query, centroids.data(), 7, 3);
    ASSERT_EQ(ranked.size(), 3u);
    EXPECT_EQ(ranked[0].index, 3u);
    EXPECT_FLOAT_EQ(ranked[0].distance, 1.0f);  // squared
    EXPECT_EQ(ranked[1].index, 4u);
    EXPECT_EQ(ranked[2].index, 2u);
    EXPECT_EQ(nearest_centroids(Metric::L2, query, centroids.data(), 7, 100).size(), 7u);
    EXPECT_TRUE(nearest_centroids(Metric::L2, query, centroids.data(), 7, 0).empty());
}

TEST(TrainKmeans, FewerVectorsThanClustersMakesEachVectorACentroid) {
    const uint64_t d = 4, n = 5;
    auto vectors = normal_rows(n, d, 3);
    auto result = train_kmeans(Metric::L2, vectors.data(), n, d, 16, 25);
    ASSERT_EQ(result.k, n);
    std::set<std::vector<float>> expected, got;
    for (uint64_t i = 0; i < n; ++i) {
        expected.insert({vectors.begin() + i * d, vectors.begin() + (i + 1) * d});
        got.insert({result.centroids.begin() + i * d, result.centroids.begin() + (i + 1) * d});
    }
    EXPECT_EQ(got, expected);
    // Each vector sits in the cluster seeded by itself.
    for (uint64_t i = 0; i < n; ++i) {
        auto c = result.assignment[i];
        EXPECT_TRUE(std::equal(vectors.begin() + i * d, vectors.begin() + (i + 1) * d,
                               result.centroids.begin() + c * d));
    }
}

TEST(TrainKmeans, ZeroIterationsKeepsSeedCentroidsAndAssignsAllToZero) {
    const uint64_t d = 2, n = 20;
    auto vectors = normal_rows(n, d, 4);
    auto result = train_kmeans(Metric::Cosine, vectors.data(), n, d, 3, 0);
    EXPECT_EQ(result.k, 3u);
    EXPECT_EQ(result.assignment, std::vector<uint64_t>(n, 0));
    for (uint64_t j = 0; j < 3; ++j) {
        bool is_input = false;
        for (uint64_t i = 0; i < n; ++i) {
            is_input |= std::equal(vectors.begin() + i * d, vectors.begin() + (i + 1) * d,
                                   result.centroids.begin() + j * d);
        }
        EXPECT_TRUE(is_input) << "centroid " << j;
    }
}

TEST(TrainKmeans, SeparatedBlobsEndInDistinctClustersAtTheirMeans) {
    // Three tight blobs far apart, 40 points each, for every metric that can tell them apart.
    const uint64_t d = 2, per_blob = 40;
    const float centers[3][2] = {{100.0f, 0.0f}, {0.0f, 100.0f}, {-100.0f, -100.0f}};
    std::vector<float> vectors;
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> jitter(-1.0f, 1.0f);
    for (const auto& c : centers) {
        for (uint64_t i = 0; i < per_blob; ++i) {
            vectors.push_back(c[0] + jitter(gen));
            vectors.push_back(c[1] + jitter(gen));
        }
    }
    const uint64_t n = vectors.size() / d;
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto result = train_kmeans(Metric::L2, vectors.data(), n, d, 3, 50);
        std::set<uint64_t> blob_clusters;
        for (uint64_t b = 0; b < 3; ++b) blob_clusters.insert(result.assignment[b * per_blob]);
        // Random seeding may put two seeds in one blob; Lloyd's iterations then cannot split
        // them apart, so retry until a seeding hits all three.
        if (blob_clusters.size() < 3) continue;
        for (uint64_t b = 0; b < 3; ++b) {
            for (uint64_t i = 0; i < per_blob; ++i) {
                EXPECT_EQ(result.assignment[b * per_blob + i], result.assignment[b * per_blob]);
            }
            const float* centroid = result.centroids.data() + result.assignment[b * per_blob] * d;
            EXPECT_NEAR(centroid[0], centers[b][0], 1.0f);
            EXPECT_NEAR(centroid[1], centers[b][1], 1.0f);
        }
        return;
    }
    FAIL() << "no seeding separated the blobs in 20 attempts";
}

// Lloyd's rounds measuring every vector in every round, with the same update arithmetic.
KMeansResult full_lloyd(const std::vector<float>& vectors, uint64_t d, std::vector<float> centroids,
                        uint64_t k, uint64_t max_iter) {
    const uint64_t n = vectors.size() / d;
    KMeansResult result{std::move(centroids), k, std::vector<uint64_t>(n, 0)};
    for (uint64_t round = 0; round < max_iter; ++round) {
        auto assignment = batch_assign_l2_argmin(vectors.data(), n, result.centroids.data(), k, d);
        const bool changed = assignment != result.assignment;
        result.assignment = assignment;
        if (!changed) break;
        std::vector<float> sums(k * d, 0.0f);
        std::vector<uint64_t> counts(k, 0);
        for (uint64_t i = 0; i < n; ++i) {
            for (uint64_t t = 0; t < d; ++t) sums[assignment[i] * d + t] += vectors[i * d + t];
            ++counts[assignment[i]];
        }
        for (uint64_t j = 0; j < k; ++j) {
            if (counts[j] == 0) continue;
            for (uint64_t t = 0; t < d; ++t) {
                result.centroids[j * d + t] = sums[j * d + t] / static_cast<float>(counts[j]);
            }
        }
    }
    return result;
}

TEST(LloydRounds, SkippingVectorsByBoundsAssignsAsMeasuringEveryVector) {
    // Overlapping blobs converge over many rounds, so most rounds skip most vectors.
    const uint64_t d = 16, n = 3000, k = 40;
    std::mt19937 gen(6);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    auto centres = normal_rows(12, d, 7);
    std::vector<float> vectors;
    for (uint64_t i = 0; i < n; ++i) {
        for (uint64_t t = 0; t < d; ++t) vectors.push_back(3.0f * centres[(i % 12) * d + t] + normal(gen));
    }
    for (uint64_t start : {0u, 500u, 1700u}) {
        std::vector<float> seeds(vectors.begin() + start * d, vectors.begin() + (start + k) * d);
        auto expected = full_lloyd(vectors, d, seeds, k, 60);
        at_every_simd_level([&] {
            auto got = lloyd_rounds(Metric::L2, vectors.data(), n, d, seeds, k, 60);
            EXPECT_EQ(got.assignment, expected.assignment) << "seeds from " << start;
            EXPECT_EQ(got.centroids, expected.centroids) << "seeds from " << start;
        });
    }
}

}  // namespace
}  // namespace tvdb
