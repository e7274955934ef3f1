// Collection methods that take or give many records at once: batch search, column-wise and
// hybrid batch upserts, reading records back, counting and deleting by filter, payload
// updates, and the collection's shape.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "array_convert.hpp"
#include "collection_args.hpp"
#include "collection_handles.hpp"
#include "collection_records.hpp"
#include "convert.hpp"
#include "json_convert.hpp"

namespace nb = nanobind;

namespace tvdb::py {
namespace {

constexpr const char* kSearchBatchDoc = R"(Search many queries at once, in parallel with the interpreter lock released.

`queries` is a 2-D array of any float dtype or a list of vectors. Returns one list per query,
each exactly what search(query, k, filter) returns.)";

constexpr const char* kUpsertArraysDoc = R"(Column-wise bulk upsert: row i of `vectors` under ids[i], with payloads[i].

Args:
    ids: 1-D integer array (or sequence of ints), one per row.
    vectors: 2-D float array (any float dtype) or list of vectors.
    payloads: Optional list of payloads (None for none), one per row.

As upsert_batch: every entry is checked before anything is written and the log is flushed
once; a later row of a repeated ID wins.)";

constexpr const char* kUpsertHybridBatchDoc = R"(Batch upsert_hybrid: a list of (id, vector, sparse_vector) or
(id, vector, sparse_vector, payload) tuples, with upsert_batch's rules. A sparse_vector of
None keeps the ID's earlier sparse vector.)";

constexpr const char* kGetDoc = R"(Read records back by ID.

Returns a list with, per ID, {"id", "vector" (float32 array), "payload", "sparse_vector"
({index: weight} or None)}, or None when the ID is absent. Kinds that store an approximation
(quantized_flat, fp16_flat, binary_flat, ivf_pq) give the decoded vector.)";

constexpr const char* kScanDoc = R"(Page through the collection in ascending ID order.

Returns at most `limit` records (shaped as get() returns them) with IDs above `after_id`
(from the start when None) whose payload matches `filter`. Pass the last ID of a page as
`after_id` to get the next one.)";

constexpr const char* kUpdatePayloadDoc = R"(Replace only the payload of an existing ID (None removes it).

Returns False, writing nothing, when the ID is absent. The change is logged as an ordinary
upsert of the vector the index holds; for kinds that store an approximation (quantized_flat,
fp16_flat, binary_flat) that is the decoded vector, which is what a reopened collection
holds afterwards. The index itself is not touched.)";

std::optional<FilterCondition> optional_filter(nb::handle filter) {
    if (filter.is_none()) return std::nullopt;
    return py_to_filter(filter);
}

const FilterCondition* filter_ptr(const std::optional<FilterCondition>& filter) {
    return filter ? &*filter : nullptr;
}

uint64_t dimensions_of(PyCollection& self) {
    return collection_call(self, Access::Shared, Gil::Held,
                           [](Collection& c) -> Result<uint64_t> { return c.meta().dimensions; });
}

[[noreturn]] void raise_count_mismatch(const char* name, size_t entries, uint64_t rows) {
    raise_python(PyExc_ValueError, std::string(name) + " has " + std::to_string(entries) +
                                       " entries for " + std::to_string(rows) + " rows");
}

std::vector<std::optional<Payload>> extract_payload_column(nb::handle payloads, uint64_t rows) {
    std::vector<std::optional<Payload>> column;
    if (payloads.is_none()) return column;
    if (!PyList_Check(payloads.ptr())) {
        raise_python(PyExc_TypeError, "argument 'payloads': '" +
                                          std::string(nb::type_name(payloads.type()).c_str()) +
                                          "' object cannot be converted to 'PyList'");
    }
    // Converting a payload may run Python code that changes the list: re-read its size.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(payloads.ptr()); ++i) {
        column.push_back(extract_payload(nb::borrow(PyList_GET_ITEM(payloads.ptr(), i))));
    }
    if (column.size() != rows) raise_count_mismatch("payloads", column.size(), rows);
    return column;
}

std::vector<UpsertEntry> extract_hybrid_entries(nb::handle list) {
    if (!PyList_Check(list.ptr())) {
        raise_python(PyExc_TypeError, "argument 'entries': '" +
                                          std::string(nb::type_name(list.type()).c_str()) +
                                          "' object cannot be converted to 'PyList'");
    }
    std::vector<UpsertEntry> entries;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
        Py_ssize_t size = PyTuple_Check(entry.ptr()) ? PyTuple_GET_SIZE(entry.ptr()) : 0;
        if (size != 3 && size != 4) {
            raise_python(PyExc_ValueError,
                         "each entry must be a tuple of (id, vector, sparse_vector) or "
                         "(id, vector, sparse_vector, payload)");
        }
        UpsertEntry converted;
        converted.id = to_u64(PyTuple_GET_ITEM(entry.ptr(), 0), "id");
        converted.vector = extract_f32_vec(PyTuple_GET_ITEM(entry.ptr(), 1), "vector");
        nb::handle sparse = PyTuple_GET_ITEM(entry.ptr(), 2);
        if (!sparse.is_none()) converted.sparse = py_dict_to_sparse(sparse, "sparse_vector");
        if (size == 4) converted.payload = extract_payload(PyTuple_GET_ITEM(entry.ptr(), 3));
        entries.push_back(std::move(converted));
    }
    return entries;
}

nb::object sparse_to_py(const SparseVector& sparse) {
    nb::dict out;
    for (size_t i = 0; i < sparse.indices.size(); ++i) {
        out[nb::int_(sparse.indices[i])] = static_cast<double>(sparse.values[i]);
    }
    return out;
}

nb::dict record_to_py(CollectionRecord& record) {
    nb::dict out;
    out["id"] = record.id;
    out["vector"] = float32_array(std::move(record.vector));
    out["payload"] = record.payload ? json_to_py(*record.payload) : nb::none();
    out["sparse_vector"] = record.sparse ? sparse_to_py(*record.sparse) : nb::none();
    return out;
}

nb::list search_batch(PyCollection& self, nb::handle queries, U64Arg<"k"> k, nb::handle filter) {
    BorrowFlag::Shared borrow(self.borrow);
    Matrix matrix = extract_float_rows(queries, "queries", dimensions_of(self));
    auto condition = optional_filter(filter);
    auto answers = collection_call(self, Access::Shared, Gil::Released, [&](Collection& c) {
        return tvdb::search_batch(c, query_rows(matrix), k, filter_ptr(condition));
    });
    nb::list out;
    for (const auto& hits : answers) out.append(collection_hits_to_list(hits));
    return out;
}

void upsert_arrays(PyCollection& self, nb::handle ids, nb::handle vectors, nb::handle payloads) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto row_ids = extract_ids(ids, "ids");
    Matrix matrix = extract_float_rows(vectors, "vectors", dimensions_of(self));
    if (row_ids.size() != matrix.rows) raise_count_mismatch("ids", row_ids.size(), matrix.rows);
    auto column = extract_payload_column(payloads, matrix.rows);
    collection_call(self, Access::Exclusive, Gil::Released, [&](Collection& c) -> Result<void> {
        const uint64_t dimensions = c.meta().dimensions;
        if (matrix.columns != dimensions) {
            return fail(VectorDbError::dimension_mismatch(dimensions, matrix.columns));
        }
        return c.upsert_rows(row_ids, matrix.data, std::move(column));
    });
}

void upsert_hybrid_batch(PyCollection& self, nb::handle entries) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto converted = extract_hybrid_entries(entries);
    collection_call(self, Access::Exclusive, Gil::Released, [&](Collection& c) {
        return c.upsert_batch(std::move(converted));
    });
}

nb::list get(PyCollection& self, nb::handle ids) {
    BorrowFlag::Shared borrow(self.borrow);
    auto wanted = extract_ids(ids, "ids");
    auto records = collection_call(self, Access::Shared, Gil::Released, [&](Collection& c) {
        return Result<std::vector<std::optional<CollectionRecord>>>(get_records(c, wanted));
    });
    nb::list out;
    for (auto& record : records) out.append(record ? nb::object(record_to_py(*record)) : nb::none());
    return out;
}

nb::list scan(PyCollection& self, nb::handle after_id, U64Arg<"limit"> limit, nb::handle filter) {
    BorrowFlag::Shared borrow(self.borrow);
    std::optional<VectorId> after;
    if (!after_id.is_none()) after = to_u64(after_id, "after_id");
    auto condition = optional_filter(filter);
    auto records = collection_call(self, Access::Shared, Gil::Released, [&](Collection& c) {
        return Result<std::vector<CollectionRecord>>(
            scan_records(c, after, limit, filter_ptr(condition)));
    });
    nb::list out;
    for (auto& record : records) out.append(record_to_py(record));
    return out;
}

uint64_t count_where(PyCollection& self, nb::handle filter) {
    BorrowFlag::Shared borrow(self.borrow);
    FilterCondition condition = py_to_filter(filter);
    return collection_call(self, Access::Shared, Gil::Released, [&](Collection& c) {
        return Result<uint64_t>(tvdb::count_where(c, condition));
    });
}

uint64_t delete_batch(PyCollection& self, nb::handle ids) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto doomed = extract_ids(ids, "ids");
    return collection_call(self, Access::Exclusive, Gil::Released,
                           [&](Collection& c) { return c.remove_batch(doomed); });
}

uint64_t delete_where(PyCollection& self, nb::handle filter) {
    BorrowFlag::Exclusive borrow(self.borrow);
    FilterCondition condition = py_to_filter(filter);
    return collection_call(self, Access::Exclusive, Gil::Released,
                           [&](Collection& c) { return tvdb::delete_where(c, condition); });
}

bool update_payload(PyCollection& self, U64Arg<"id"> id, nb::handle payload) {
    BorrowFlag::Exclusive borrow(self.borrow);
    auto converted = extract_payload(payload);
    return collection_call(self, Access::Exclusive, Gil::Released, [&](Collection& c) {
        return c.update_payload(id, std::move(converted));
    });
}

template <typename Read>
auto read_meta(PyCollection& self, Read&& read) {
    BorrowFlag::Shared borrow(self.borrow);
    return collection_call(self, Access::Shared, Gil::Held, [&](Collection& c) {
        return Result<decltype(read(c.meta()))>(read(c.meta()));
    });
}

}  // namespace

void define_collection_bulk_methods(nb::class_<PyCollection>& cls) {
    cls.def("search_batch", &search_batch, nb::arg("queries"), nb::arg("k"),
            nb::arg("filter") = nb::none(), kSearchBatchDoc)
        .def("upsert_arrays", &upsert_arrays, nb::arg("ids"), nb::arg("vectors"),
             nb::arg("payloads") = nb::none(), kUpsertArraysDoc)
        .def("upsert_hybrid_batch", &upsert_hybrid_batch, nb::arg("entries"), kUpsertHybridBatchDoc)
        .def("get", &get, nb::arg("ids"), kGetDoc)
        .def("scan", &scan, nb::arg("after_id") = nb::none(), nb::arg("limit") = 1000,
             nb::arg("filter") = nb::none(), kScanDoc)
        .def("count_where", &count_where, nb::arg("filter"),
             "Number of vectors whose payload (None when absent) matches the filter.")
        .def("delete_batch", &delete_batch, nb::arg("ids"),
             "Delete many IDs with one log flush. Returns how many were present.")
        .def("delete_where", &delete_where, nb::arg("filter"),
             "Delete every vector whose payload (None when absent) matches the filter. Returns "
             "how many were deleted.")
        .def("update_payload", &update_payload, nb::arg("id"), nb::arg("payload"), kUpdatePayloadDoc)
        .def_prop_ro(
            "dimensions",
            [](PyCollection& self) { return read_meta(self, [](const CollectionMeta& m) { return m.dimensions; }); },
            "Vector dimensions.")
        .def_prop_ro(
            "metric",
            [](PyCollection& self) {
                return read_meta(self, [](const CollectionMeta& m) { return std::string(metric_name(m.metric)); });
            },
            R"(Distance metric: "l2", "cosine", or "dot_product".)")
        .def_prop_ro(
            "index_type",
            [](PyCollection& self) {
                return read_meta(self, [](const CollectionMeta& m) {
                    return std::string(index_type_name(m.index_type));
                });
            },
            R"(Index kind, e.g. "hnsw" or "flat" ("hnsw" after a flat collection was promoted).)");
}

}  // namespace tvdb::py
