#include "collection_records.hpp"

#include <algorithm>

namespace tvdb {
namespace {

bool payload_matches(const Collection& collection, VectorId id, const FilterCondition& filter) {
    static const Payload null_payload;
    const Payload* stored = collection.payload(id);
    return matches_filter(stored ? *stored : null_payload, filter);
}

std::optional<CollectionRecord> record_of(const Collection& collection, VectorId id) {
    auto vector = collection.index().vector_of(id);
    if (!vector) return std::nullopt;
    CollectionRecord record{.id = id, .vector = std::move(*vector), .payload = std::nullopt, .sparse = std::nullopt};
    record.payload = collection.payload_copy(id);
    if (const SparseVector* sparse = collection.sparse().get(id)) record.sparse = *sparse;
    return record;
}

}  // namespace

std::vector<std::optional<CollectionRecord>> get_records(const Collection& collection,
                                                         std::span<const VectorId> ids) {
    std::vector<std::optional<CollectionRecord>> records;
    records.reserve(ids.size());
    for (VectorId id : ids) records.push_back(record_of(collection, id));
    return records;
}

std::vector<CollectionRecord> scan_records(const Collection& collection,
                                           std::optional<VectorId> after, uint64_t limit,
                                           const FilterCondition* filter) {
    std::vector<VectorId> ids;
    collection.index().iter_ids([&](VectorId id) {
        if (after && id <= *after) return;
        if (filter && !payload_matches(collection, id, *filter)) return;
        ids.push_back(id);
    });
    // Only the page is sorted: a scan that pages through n IDs costs O(n) per page.
    if (ids.size() > limit) {
        std::nth_element(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(limit), ids.end());
        ids.resize(limit);
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::vector<CollectionRecord> records;
    records.reserve(ids.size());
    for (VectorId id : ids) {
        if (auto record = record_of(collection, id)) records.push_back(std::move(*record));
    }
    return records;
}

std::vector<VectorId> ids_where(const Collection& collection, const FilterCondition& filter) {
    std::vector<VectorId> ids;
    collection.index().iter_ids([&](VectorId id) {
        if (payload_matches(collection, id, filter)) ids.push_back(id);
    });
    return ids;
}

uint64_t count_where(const Collection& collection, const FilterCondition& filter) {
    uint64_t count = 0;
    collection.index().iter_ids([&](VectorId id) {
        if (payload_matches(collection, id, filter)) ++count;
    });
    return count;
}

Result<uint64_t> delete_where(Collection& collection, const FilterCondition& filter) {
    return collection.remove_batch(ids_where(collection, filter));
}

Result<std::vector<std::vector<CollectionHit>>> search_batch(const Collection& collection,
                                                             const QueryRows& queries, uint64_t k,
                                                             const FilterCondition* filter) {
    const uint64_t dimensions = collection.meta().dimensions;
    if (queries.dims != dimensions) {
        return fail(VectorDbError::dimension_mismatch(dimensions, queries.dims));
    }
    std::vector<std::vector<CollectionHit>> answers(queries.rows);
    auto done = for_each_query(queries.rows, 0, [&](size_t i) -> Result<void> {
        auto hits = collection.search(queries.row(i), k, filter);
        if (!hits) return fail(hits.error());
        answers[i] = std::move(*hits);
        return {};
    });
    if (!done) return fail(done.error());
    return answers;
}

}  // namespace tvdb
