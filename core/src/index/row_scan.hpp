#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "top_k.hpp"

namespace tvdb {

// Offers each of `n_rows` rows stored back to back (query.size() floats each) to `top`
// under its ID, at the metric's reported distance. Rows are measured a block at a time by
// the vectorised row kernel.
inline void scan_rows(Metric metric, std::span<const float> query, const VectorId* ids,
                      const float* rows, size_t n_rows, TopK& top) {
    constexpr size_t kBlock = 256;
    float distances[kBlock];
    const size_t dims = query.size();
    for (size_t first = 0; first < n_rows; first += kBlock) {
        const size_t count = std::min(kBlock, n_rows - first);
        distance_rows(metric, query, rows + first * dims, count, distances);
        for (size_t r = 0; r < count; ++r) top.push(ids[first + r], distances[r]);
    }
}

}  // namespace tvdb
