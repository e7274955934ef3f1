#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "detail/top_k.hpp"

namespace tvdb {

// What a scan offers to its collector: the metric's reported distance, or the ordering
// distance (squared for L2), which ranks the same and costs no square root per row.
enum class ScanDistance { Reported, Ordering };

// Offers each of `n_rows` rows stored back to back (query.size() floats each) to `top`
// under its ID. Rows are measured a block at a time by the vectorised row kernels.
inline void scan_rows(Metric metric, ScanDistance kind, std::span<const float> query,
                      const VectorId* ids, const float* rows, size_t n_rows, TopK& top) {
    constexpr size_t kBlock = 256;
    float distances[kBlock];
    const size_t dims = query.size();
    for (size_t first = 0; first < n_rows; first += kBlock) {
        const size_t count = std::min(kBlock, n_rows - first);
        if (kind == ScanDistance::Ordering) {
            distance_rows_ord(metric, query, rows + first * dims, count, distances);
        } else {
            distance_rows(metric, query, rows + first * dims, count, distances);
        }
        top.push_all(ids + first, distances, count);
    }
}

// Turns hits collected by ordering distance into reported ones: the square root of the
// squared L2 sum is bit-identical to `distance`; the other metrics already report it.
inline void report_ordering_distances(Metric metric, std::vector<SearchResult>& hits) {
    if (metric != Metric::L2) return;
    for (SearchResult& hit : hits) hit.distance = std::sqrt(hit.distance);
}

}  // namespace tvdb
