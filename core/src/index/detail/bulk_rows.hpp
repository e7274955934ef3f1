#pragma once

#include <string>

#include "vector_index.hpp"

namespace tvdb {

// Row count of a bulk insertion into a kind whose bulk path is `add` per row (repeated IDs
// replace or supersede): a ragged float count is reported in the words of that path, and a
// dimension of 0 or IDs running past 2^64 - 1 are rejected as by `bulk_row_count`.
inline Result<uint64_t> raw_row_count(uint64_t dimensions, size_t floats, VectorId start_id) {
    if (dimensions != 0 && floats % dimensions != 0) {
        return fail(VectorDbError::invalid_config("raw_data length " + std::to_string(floats) +
                                                  " is not a multiple of dim " +
                                                  std::to_string(dimensions)));
    }
    return bulk_row_count(dimensions, floats, start_id);
}

}  // namespace tvdb
