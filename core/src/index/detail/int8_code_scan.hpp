#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vector_index.hpp"

namespace tvdb {

// The stored rows of an int8 code index: n rows of `dimensions` codes (-127..127) back to
// back, one scale per row (decoded component = code / scale), and one exact sum of squared
// codes per row.
struct Int8Rows {
    std::span<const VectorId> ids;
    const int8_t* codes;
    const float* scales;
    const uint32_t* code_norms;
};

// Sum of squared codes of one row, as kept in Int8Rows::code_norms.
uint32_t code_norm(std::span<const int8_t> codes);

// The k nearest rows (among those `admit` accepts, when given) under `metric`, measured
// exactly as `distance(metric, query, decoded row)` and collected in row order by a TopK, so
// the answer is the one of a plain scan.
//
// It is faster than that scan: an integer dot product of the codes with an int8 rounding of
// the query, plus rigorous bounds on every rounding involved, gives each row a lower bound
// of its exact distance; a row is decoded and measured only when that bound does not already
// rule it out of the k kept so far. Queries or rows the bounds do not cover (non-finite
// values, extreme scales) are measured exactly.
std::vector<SearchResult> scan_int8_rows(Metric metric, std::span<const float> query,
                                         const Int8Rows& rows, uint64_t k,
                                         const IdFilter* admit = nullptr);

}  // namespace tvdb
