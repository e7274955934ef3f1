#pragma once

// Centroid assignment and Lloyd's k-means, shared by the inverted-file indexes (coarse
// clusters) and the product quantizer (sub-space codebooks).
//
// Every "nearest centroid" here follows one argmin rule: start from the largest finite f32
// and index 0, walk the centroids in index order, and move only on a strictly smaller
// distance. The lowest index wins a tie, a NaN distance never wins, and with no candidate
// (or only NaN ones) the answer is 0.

#include <cstdint>
#include <span>
#include <vector>

#include "distance.hpp"
#include "error.hpp"

namespace tvdb {

// Vectors and centroids are stored row-major, `dims` floats each (for a single vector,
// `dims` is its length). Counts are passed explicitly so that zero dimensions work too.
//
// Order-preserving distances from `query` to each of `n_centroids` centroids, written to
// out[0..n_centroids): squared Euclidean for L2, the reported distance for the other
// metrics, bit for bit what the batch-of-four kernel gives; several centroids share each
// pass over the query.
void centroid_distances(Metric metric, std::span<const float> query, const float* centroids,
                        uint64_t n_centroids, float* out);

// Index of the nearest centroid by the order-preserving distance (argmin rule above).
uint64_t nearest_centroid(Metric metric, std::span<const float> vector, const float* centroids,
                          uint64_t n_centroids);

struct RankedCentroid {
    uint64_t index;
    float distance;
};

// The `count` nearest centroids (all of them if there are fewer), nearest first; the order
// of equal distances is unspecified and NaN distances rank last.
std::vector<RankedCentroid> nearest_centroids(Metric metric, std::span<const float> query,
                                              const float* centroids, uint64_t n_centroids,
                                              uint64_t count);

// Nearest of k centroids for each of n vectors by squared L2 in matrix form: with
// xnorm[i] = |x_i|^2, cnorm[j] = |c_j|^2 and G = X * C^T from single-threaded sgemm, vector
// i goes to the argmin over j of (xnorm[i] + cnorm[j]) - (G[i][j] + G[i][j]).
std::vector<uint64_t> batch_assign_l2_argmin(const float* vectors, uint64_t n,
                                             const float* centroids, uint64_t k, uint64_t d);

// Nearest centroid of each of n vectors: the matrix form for L2, the order-preserving
// kernel for the other metrics.
std::vector<uint64_t> assign_to_centroids(Metric metric, const float* vectors, uint64_t n,
                                          const float* centroids, uint64_t k, uint64_t d);

// The most Lloyd rounds a configuration may ask for. Each round costs a pass over the
// training set; the bound keeps a configuration read from a file (a saved index, meta.json)
// from making one training run for hours. Real configurations use tens of rounds.
inline constexpr uint64_t kMaxKMeansRounds = 1000;

// InvalidConfig naming `field` unless `rounds` is at most kMaxKMeansRounds.
Result<void> check_kmeans_rounds(const char* field, uint64_t rounds);

struct KMeansResult {
    // k centroids, row-major.
    std::vector<float> centroids;
    uint64_t k = 0;
    // The cluster of every input vector as found by the last assignment step.
    std::vector<uint64_t> assignment;
};

// Lloyd's k-means over n >= 1 vectors with k = min(n, max_clusters): the centroids start as
// the vectors picked by a uniform shuffle drawn from the per-thread generator, then at most
// `max_iter` rounds of assignment and update run, stopping early when no assignment
// changes. An empty cluster keeps its centroid. When the round limit ends the loop, the
// centroids were updated once more after the returned assignment.
KMeansResult train_kmeans(Metric metric, const float* vectors, uint64_t n, uint64_t dims,
                          uint64_t max_clusters, uint64_t max_iter);

// The rounds of `train_kmeans` from given starting centroids (k of them, row-major). Under
// L2, vectors whose bounds prove their centroid unchanged are not measured again; the
// assignments are those of measuring every vector in every round.
KMeansResult lloyd_rounds(Metric metric, const float* vectors, uint64_t n, uint64_t dims,
                          std::vector<float> centroids, uint64_t k, uint64_t max_iter);

}  // namespace tvdb
