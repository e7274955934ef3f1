#pragma once

// Arguments and results of the `Collection` methods: batch entries, filters, sparse
// dictionaries, and the dictionaries that searches and snapshots return.

#include <optional>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "collection.hpp"
#include "filter.hpp"
#include "hybrid.hpp"
#include "payload.hpp"
#include "snapshot.hpp"
#include "sparse_index.hpp"

namespace tvdb::py {

// None (or an omitted argument) is no payload.
std::optional<Payload> extract_payload(nanobind::handle object);

// A list of (id, vector) or (id, vector, payload) tuples, all converted before any is used.
std::vector<UpsertEntry> extract_upsert_entries(nanobind::handle list);

// A filter dictionary parsed into a tree; ValueError "invalid filter: {e}" when malformed.
FilterCondition py_to_filter(nanobind::handle object);

// {dimension_index: weight} sorted by index; an index above 2^32 - 1 is an OverflowError.
SparseVector py_dict_to_sparse(nanobind::handle object, const char* name);

// {"id", "distance", "payload"} per hit, in answer order.
nanobind::list collection_hits_to_list(const std::vector<CollectionHit>& hits);
// {"id", "score", "dense_distance", "sparse_score", "payload"} per hit, best first.
nanobind::list hybrid_hits_to_list(const std::vector<HybridHit>& hits);
// ([(id, distance), ...], [(id, score), ...]), each pool in its order.
nanobind::tuple hybrid_pools_to_tuple(const HybridCandidates& pools);
// {"name", "created_at", "vector_count", "sparse_count"}.
nanobind::dict snapshot_to_dict(const SnapshotMeta& meta);

}  // namespace tvdb::py
