#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "collection_args.hpp"
#include "collection_handles.hpp"
#include "convert.hpp"
#include "hybrid.hpp"
#include "snapshot.hpp"

namespace nb = nanobind;

namespace tvdb::py {
namespace {

constexpr const char* kCollectionDoc = R"(A named collection of vectors with WAL-backed persistence.

Obtained via Client.create_collection() or Client.get_collection().

Supports upsert, search, delete, hybrid search, and payload filtering.
)";

constexpr const char* kUpsertBatchDoc = R"(Batch insert or update multiple vectors at once. More efficient than
calling upsert in a loop.

Args:
    entries: List of (id, vector) tuples or (id, vector, payload) tuples.
)";

constexpr const char* kSearchDoc = R"(Search for the k nearest vectors. Returns list of {id, distance, payload}.

Supports optional payload filtering with operators: $eq, $ne, $in, $gt, $gte, $lt, $lte, $and, $or.

Example:
    >>> collection.search(query, k=10, filter={"year": {"$gte": 2020}})
    >>> collection.search(query, k=10, filter={"$or": [{"lang": {"$eq": "en"}}, {"lang": {"$eq": "de"}}]})
)";

constexpr const char* kUpsertHybridDoc = R"(Insert or update a vector together with an optional sparse vector and payload.

Args:
    id: Vector ID.
    vector: Dense vector.
    sparse_vector: Optional sparse vector as a dict {dimension_index: weight}, for example
        keyword weights. Without one, an earlier sparse vector of the ID is kept.
    payload: Optional metadata payload.
)";

constexpr const char* kSearchHybridDoc = R"(Hybrid search: fuse dense vector distance with sparse dot-product scores.

Both sides contribute 10*k candidates; each side is min-max normalised over its candidates and
score = (1 - normalised distance) * dense_weight + normalised sparse score * sparse_weight.

Args:
    dense_query: Dense query vector.
    sparse_query: Sparse query as a dict {dimension_index: weight}.
    k: Number of results.
    dense_weight: Weight of the dense side (default 0.7).
    sparse_weight: Weight of the sparse side (default 0.3).
    filter: Optional payload filter, as in search().

Returns:
    List of {id, score, dense_distance, sparse_score, payload}, best score first.
)";

constexpr const char* kHybridCandidatesDoc = R"(The raw candidate pools search_hybrid fuses, before any normalisation.

Returns (dense, sparse): dense is a list of (id, distance), the 10*k nearest, ascending
distance; sparse is a list of (id, score), the 10*k best sparse dot-product scores, best first
(equal scores by ascending ID). With a filter both are drawn from the matching vectors only.
Pools of several collections holding disjoint IDs can be merged and fused once.
)";

constexpr const char* kCreateSnapshotDoc = R"(Create a named snapshot of the collection's current state.

The name must not be empty or ".", and must not contain "/", "\", ".." or NUL.
Returns {name, created_at, vector_count, sparse_count}.
)";

constexpr const char* kListSnapshotsDoc =
    R"(List the collection's snapshots, oldest first: {name, created_at, vector_count, sparse_count}.)";

constexpr const char* kRestoreSnapshotDoc = R"(Restore the collection to a snapshot.

Afterwards the collection holds exactly the snapshot's vectors, payloads and sparse vectors.
The snapshot is kept and can be restored again.
)";

constexpr const char* kDeleteSnapshotDoc = "Delete a snapshot and all its files.";

void refuse_construction(PyCollection*, nb::args, nb::kwargs) {
    raise_python(PyExc_TypeError, "No constructor defined for Collection");
}

void upsert(PyCollection& self, U64Arg<"id"> id, nb::handle vector, nb::handle payload) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto values = extract_f32_vec(vector, "vector");
    auto converted = extract_payload(payload);
    collection_call(self, Access::Exclusive, Gil::Released, [&](Collection& collection) {
        return collection.upsert(id, values, std::move(converted));
    });
}

void upsert_batch(PyCollection& self, nb::handle entries) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto converted = extract_upsert_entries(entries);
    collection_call(self, Access::Exclusive, Gil::Released, [&](Collection& collection) {
        return collection.upsert_batch(std::move(converted));
    });
}

nb::list search(PyCollection& self, nb::handle query, U64Arg<"k"> k, nb::handle filter) {
    BorrowFlag::Shared borrow(self.borrow);
    auto values = extract_f32_vec(query, "query");
    std::optional<FilterCondition> condition;
    if (!filter.is_none()) condition = py_to_filter(filter);
    auto hits = collection_call(self, Access::Shared, Gil::Released, [&](Collection& collection) {
        return collection.search(values, k, condition ? &*condition : nullptr);
    });
    return collection_hits_to_list(hits);
}

void upsert_hybrid(PyCollection& self, U64Arg<"id"> id, nb::handle vector, nb::handle sparse_vector,
                   nb::handle payload) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto values = extract_f32_vec(vector, "vector");
    std::optional<SparseVector> sparse;
    if (!sparse_vector.is_none()) sparse = py_dict_to_sparse(sparse_vector, "sparse_vector");
    auto converted = extract_payload(payload);
    collection_call(self, Access::Exclusive, Gil::Released, [&](Collection& collection) {
        return collection.upsert_hybrid(id, values, std::move(sparse), std::move(converted));
    });
}

nb::list search_hybrid(PyCollection& self, nb::handle dense_query, nb::handle sparse_query,
                       U64Arg<"k"> k, double dense_weight, double sparse_weight, nb::handle filter) {
    BorrowFlag::Shared borrow(self.borrow);
    auto dense = extract_f32_vec(dense_query, "dense_query");
    SparseVector sparse = py_dict_to_sparse(sparse_query, "sparse_query");
    std::optional<FilterCondition> condition;
    if (!filter.is_none()) condition = py_to_filter(filter);
    auto hits = collection_call(self, Access::Shared, Gil::Released, [&](Collection& collection) {
        return search_hybrid(collection, dense, sparse, k,
                             {static_cast<float>(dense_weight), static_cast<float>(sparse_weight)},
                             condition ? &*condition : nullptr);
    });
    return hybrid_hits_to_list(hits);
}

nb::tuple hybrid_candidates(PyCollection& self, nb::handle dense_query, nb::handle sparse_query,
                            U64Arg<"k"> k, nb::handle filter) {
    BorrowFlag::Shared borrow(self.borrow);
    auto dense = extract_f32_vec(dense_query, "dense_query");
    SparseVector sparse = py_dict_to_sparse(sparse_query, "sparse_query");
    std::optional<FilterCondition> condition;
    if (!filter.is_none()) condition = py_to_filter(filter);
    auto pools = collection_call(self, Access::Shared, Gil::Released, [&](Collection& collection) {
        return hybrid_candidates(collection, dense, sparse, k, condition ? &*condition : nullptr);
    });
    return hybrid_pools_to_tuple(pools);
}

bool remove(PyCollection& self, U64Arg<"id"> id) {
    BorrowFlag::Exclusive borrow(self.borrow);
    return collection_call(self, Access::Exclusive, Gil::Released,
                           [&](Collection& collection) { return collection.remove(id); });
}

nb::dict create_snapshot(PyCollection& self, const std::string& name) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto meta = collection_call(self, Access::Exclusive, Gil::Held, [&](Collection& collection) {
        return tvdb::create_snapshot(collection, name);
    });
    return snapshot_to_dict(meta);
}

nb::list list_snapshots(PyCollection& self) {
    BorrowFlag::Shared borrow(self.borrow);
    auto snapshots = collection_call(self, Access::Shared, Gil::Held, [](Collection& collection) {
        return tvdb::list_snapshots(collection);
    });
    nb::list out;
    for (const SnapshotMeta& meta : snapshots) out.append(snapshot_to_dict(meta));
    return out;
}

void restore_snapshot(PyCollection& self, const std::string& name) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto restored = manager_call(*self.shared, Access::Exclusive, Gil::Held,
                                 [&](CollectionManager& manager) -> std::optional<Result<void>> {
                                     if (manager.get(self.name) == nullptr) return std::nullopt;
                                     return tvdb::restore_snapshot(manager, self.name, name);
                                 });
    if (!restored) raise_collection_missing(self.name);
    unwrap(std::move(*restored));
}

void delete_snapshot(PyCollection& self, const std::string& name) {
    BorrowFlag::Exclusive borrow(self.borrow);
    collection_call(self, Access::Exclusive, Gil::Held, [&](Collection& collection) {
        return tvdb::delete_snapshot(collection, name);
    });
}

// The count and sparse_count of a collection that is gone are 0, not an error.
uint64_t count_of(PyCollection& self, uint64_t (*measure)(const Collection&)) {
    return manager_call(*self.shared, Access::Shared, Gil::Held, [&](CollectionManager& manager) {
        const Collection* collection = manager.get(self.name);
        return collection == nullptr ? uint64_t{0} : measure(*collection);
    });
}

uint64_t count(PyCollection& self) {
    BorrowFlag::Shared borrow(self.borrow);
    return count_of(self, [](const Collection& c) { return c.len(); });
}

uint64_t sparse_count(PyCollection& self) {
    BorrowFlag::Shared borrow(self.borrow);
    return count_of(self, [](const Collection& c) { return c.sparse_count(); });
}

std::string name(PyCollection& self) {
    BorrowFlag::Shared borrow(self.borrow);
    return self.name;
}

std::string collection_repr(PyCollection& self) {
    BorrowFlag::Shared borrow(self.borrow);
    uint64_t n = count_of(self, [](const Collection& c) { return c.len(); });
    return "Collection(name=\"" + self.name + "\", count=" + std::to_string(n) + ")";
}

}  // namespace

void register_collection(nb::module_& module) {
    nb::class_<PyCollection> cls(module, "Collection", kCollectionDoc);
    cls
        .def("__init__", &refuse_construction)
        .def("upsert", &upsert, nb::arg("id"), nb::arg("vector"), nb::arg("payload") = nb::none(),
             "Insert or update a vector by ID with optional metadata payload.")
        .def("upsert_batch", &upsert_batch, nb::arg("entries"), kUpsertBatchDoc)
        .def("search", &search, nb::arg("query"), nb::arg("k"), nb::arg("filter") = nb::none(),
             kSearchDoc)
        .def("upsert_hybrid", &upsert_hybrid, nb::arg("id"), nb::arg("vector"),
             nb::arg("sparse_vector") = nb::none(), nb::arg("payload") = nb::none(),
             kUpsertHybridDoc)
        .def("search_hybrid", &search_hybrid, nb::arg("dense_query"), nb::arg("sparse_query"),
             nb::arg("k"), nb::arg("dense_weight") = 0.7,
             nb::arg("sparse_weight") = 0.3, nb::arg("filter") = nb::none(),
             kSearchHybridDoc)
        .def("hybrid_candidates", &hybrid_candidates, nb::arg("dense_query"),
             nb::arg("sparse_query"), nb::arg("k"), nb::arg("filter") = nb::none(),
             kHybridCandidatesDoc)
        .def("delete", &remove, nb::arg("id"),
             "Delete a vector by ID. Returns True if found and removed.")
        .def("create_snapshot", &create_snapshot, nb::arg("name"), kCreateSnapshotDoc)
        .def("list_snapshots", &list_snapshots, kListSnapshotsDoc)
        .def("restore_snapshot", &restore_snapshot, nb::arg("name"), kRestoreSnapshotDoc)
        .def("delete_snapshot", &delete_snapshot, nb::arg("name"), kDeleteSnapshotDoc)
        .def_prop_ro("name", &name, "The collection name.")
        .def_prop_ro("count", &count,
                     "Number of vectors in the collection (0 once the collection is deleted).")
        .def_prop_ro("sparse_count", &sparse_count,
                     "Number of stored sparse vectors (0 once the collection is deleted).")
        .def("__len__", &count)
        .def("__repr__", &collection_repr);
    define_collection_bulk_methods(cls);
}

}  // namespace tvdb::py
