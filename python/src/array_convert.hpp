#pragma once

// Whole arrays in and out: query blocks of any real float type, columns of IDs, and the
// padded (ids, distances) numpy pair of a batch search.

#include <cstdint>
#include <vector>

#include <nanobind/nanobind.h>

#include "batch_search.hpp"
#include "convert.hpp"

namespace tvdb::py {

// A 2-D array of any real float type (float32 used in place when C-contiguous, float16,
// float64 and long double converted once) or a sequence of vectors of equal length. An empty
// sequence has `empty_columns` columns.
Matrix extract_float_rows(nanobind::handle object, const char* name, uint64_t empty_columns);

inline QueryRows query_rows(const Matrix& matrix) {
    return {.data = matrix.data, .rows = matrix.rows, .dims = matrix.columns};
}

// A 1-D array of integers or a sequence of integers, each as `to_u64` converts one:
// OverflowError for a negative or too large value, TypeError naming the argument otherwise.
std::vector<uint64_t> extract_ids(nanobind::handle object, const char* name);

// A float32 numpy vector that takes over `values` without a copy.
nanobind::object float32_array(std::vector<float>&& values);

// The answer block of `rows` queries of k hits each, filled in place and handed to Python as
// (ids uint64 array, distances float32 array), both of shape (rows, k), without a copy.
class AnswerArrays {
public:
    AnswerArrays(uint64_t rows, uint64_t k);
    VectorId* ids() { return ids_->data(); }
    float* distances() { return distances_->data(); }
    // Gives both arrays to Python; call once.
    nanobind::tuple release();

private:
    uint64_t rows_;
    uint64_t k_;
    std::unique_ptr<std::vector<VectorId>> ids_;
    std::unique_ptr<std::vector<float>> distances_;
};

}  // namespace tvdb::py
