#pragma once

// Many queries in one call: each query is answered exactly as a single search would answer
// it, with the queries spread over a pool of worker threads.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "vector_index.hpp"

namespace tvdb {

// Fills the places of a row of answers that a query with fewer than k hits leaves empty.
inline constexpr VectorId kPaddingId = std::numeric_limits<VectorId>::max();
inline constexpr float kPaddingDistance = std::numeric_limits<float>::infinity();

// Query vectors back to back, `dims` floats each.
struct QueryRows {
    std::span<const float> data;
    uint64_t rows = 0;
    uint64_t dims = 0;

    std::span<const float> row(uint64_t i) const { return data.subspan(i * dims, dims); }
};

// How many workers `for_each_query` uses for `num_threads` (0: one per core).
size_t worker_count(size_t num_threads);

// Runs run(i) for every i in [0, count) on `num_threads` workers (0: one per core); the
// calling thread takes part. Returns the error of the lowest failing i; Io when the workers
// cannot be started or a task fails outside `run`'s own error reporting.
Result<void> for_each_query(size_t count, size_t num_threads,
                            const std::function<Result<void>(size_t)>& run);

// Writes one query's hits (nearest first) into a row of k places, padding the rest.
void write_answer_row(std::span<const SearchResult> hits, uint64_t k, VectorId* ids,
                      float* distances);

using QuerySearch = std::function<Result<std::vector<SearchResult>>(std::span<const float>)>;

// Answers row i of `queries` with `search` into ids[i * k ...] and distances[i * k ...]: its
// hits nearest first, then kPaddingId / kPaddingDistance. DimensionMismatch (before any
// search) unless the rows are `dimensions` wide.
Result<void> search_rows(const QueryRows& queries, uint64_t dimensions, uint64_t k,
                         size_t num_threads, const QuerySearch& search, VectorId* ids,
                         float* distances);

}  // namespace tvdb
