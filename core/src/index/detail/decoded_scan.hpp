#pragma once

#include <algorithm>
#include <span>
#include <vector>

#include "detail/top_k.hpp"
#include "vector_index.hpp"

namespace tvdb {

// Brute-force scan of a compressed store: decodes a block of slots at a time into one scratch
// buffer, measures the block with the vectorised row kernel, and keeps the k nearest. The
// block is small enough to stay in cache between decoding and measuring. With `admit`, only
// the IDs it accepts are kept.
// `decode_rows(first_slot, n, out)` writes n decoded rows of query.size() floats to `out`.
template <typename DecodeRows>
std::vector<SearchResult> scan_decoded(Metric metric, std::span<const float> query,
                                       std::span<const VectorId> ids, uint64_t k,
                                       DecodeRows&& decode_rows,
                                       const IdFilter* admit = nullptr) {
    const size_t dims = query.size();
    const size_t slots = ids.size();
    if (k == 0 || slots == 0) return {};
    const size_t block = std::clamp<size_t>(16384 / std::max<size_t>(dims, 1), 8, 64);
    std::vector<float> decoded(block * dims);
    float distances[64];
    TopK top(std::min<uint64_t>(k, slots), admit);
    for (size_t first = 0; first < slots; first += block) {
        size_t n = std::min(block, slots - first);
        decode_rows(first, n, decoded.data());
        distance_rows(metric, query, decoded.data(), n, distances);
        for (size_t i = 0; i < n; ++i) top.push(ids[first + i], distances[i]);
    }
    return top.take_sorted();
}

}  // namespace tvdb
