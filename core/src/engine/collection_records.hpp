#pragma once

// Reading a collection back: stored records by ID or in ID order, counting and selecting by
// payload filter, and many searches in one call.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "batch_search.hpp"
#include "collection.hpp"
#include "error.hpp"
#include "filter.hpp"
#include "payload.hpp"

namespace tvdb {

// Everything stored under one ID. The vector is the one the index holds: for kinds that
// store an approximation, the decoded one.
struct CollectionRecord {
    VectorId id = 0;
    std::vector<float> vector;
    std::optional<Payload> payload;
    std::optional<SparseVector> sparse;
};

// The record of each ID in the order given; nothing for an ID the collection does not hold.
std::vector<std::optional<CollectionRecord>> get_records(const Collection& collection,
                                                         std::span<const VectorId> ids);

// At most `limit` records in ascending ID order, of IDs above `after` (all when absent)
// whose payload (null when absent) matches `filter` (all when null).
std::vector<CollectionRecord> scan_records(const Collection& collection,
                                           std::optional<VectorId> after, uint64_t limit,
                                           const FilterCondition* filter);

// The IDs whose payload (null when absent) matches, in the index's iteration order.
std::vector<VectorId> ids_where(const Collection& collection, const FilterCondition& filter);
uint64_t count_where(const Collection& collection, const FilterCondition& filter);
// Collection::remove_batch of ids_where; returns how many were deleted.
Result<uint64_t> delete_where(Collection& collection, const FilterCondition& filter);

// Collection::search for every row of `queries`, on one worker thread per core. The
// dimension is checked once, before any search.
Result<std::vector<std::vector<CollectionHit>>> search_batch(const Collection& collection,
                                                             const QueryRows& queries, uint64_t k,
                                                             const FilterCondition* filter);

}  // namespace tvdb
