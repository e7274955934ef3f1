#include "collection_args.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "convert.hpp"
#include "errors.hpp"
#include "json_convert.hpp"

namespace nb = nanobind;

namespace tvdb::py {
namespace {

std::string type_name_of(nb::handle object) { return nb::type_name(object.type()).c_str(); }

[[noreturn]] void raise_not_convertible(const char* argument, nb::handle object,
                                        const char* target) {
    raise_python(PyExc_TypeError, std::string("argument '") + argument + "': '" +
                                      type_name_of(object) + "' object cannot be converted to '" +
                                      target + "'");
}

nb::object optional_payload_to_py(const std::optional<Payload>& payload) {
    return payload ? json_to_py(*payload) : nb::none();
}

// A dimension index: any integer, which must then fit in 32 unsigned bits.
uint32_t sparse_dimension(PyObject* key) {
    nb::object index = nb::steal(PyNumber_Index(key));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0 || value < 0 || value > static_cast<long long>(std::numeric_limits<uint32_t>::max())) {
        raise_python(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<uint32_t>(value);
}

float sparse_weight(PyObject* value) {
    double weight = PyFloat_AsDouble(value);
    if (weight == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return static_cast<float>(weight);
}

}  // namespace

std::optional<Payload> extract_payload(nb::handle object) {
    if (object.is_none()) return std::nullopt;
    return py_to_json(object);
}

std::vector<UpsertEntry> extract_upsert_entries(nb::handle list) {
    if (!PyList_Check(list.ptr())) raise_not_convertible("entries", list, "PyList");
    std::vector<UpsertEntry> entries;
    // Converting an item may run Python code that changes the list: re-read its size.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
        Py_ssize_t size = PyTuple_Check(entry.ptr()) ? PyTuple_GET_SIZE(entry.ptr()) : 0;
        if (size != 2 && size != 3) {
            raise_python(PyExc_ValueError,
                         "each entry must be a tuple of (id, vector) or (id, vector, payload)");
        }
        UpsertEntry converted;
        converted.id = to_u64(PyTuple_GET_ITEM(entry.ptr(), 0), "id");
        converted.vector = extract_f32_vec(PyTuple_GET_ITEM(entry.ptr(), 1), "vector");
        if (size == 3) converted.payload = extract_payload(PyTuple_GET_ITEM(entry.ptr(), 2));
        entries.push_back(std::move(converted));
    }
    return entries;
}

FilterCondition py_to_filter(nb::handle object) {
    Payload value = py_to_json(object);
    auto parsed = parse_filter(value);
    if (!parsed) raise_python(PyExc_ValueError, "invalid filter: " + parsed.error());
    return std::move(*parsed);
}

SparseVector py_dict_to_sparse(nb::handle object, const char* name) {
    if (!PyDict_Check(object.ptr())) raise_not_convertible(name, object, "PyDict");
    nb::object items = nb::steal(PyDict_Items(object.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    std::vector<std::pair<uint32_t, float>> pairs;
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    pairs.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        uint32_t dimension = sparse_dimension(PyTuple_GET_ITEM(item, 0));
        pairs.emplace_back(dimension, sparse_weight(PyTuple_GET_ITEM(item, 1)));
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    SparseVector vector;
    vector.indices.reserve(pairs.size());
    vector.values.reserve(pairs.size());
    for (const auto& [dimension, weight] : pairs) {
        vector.indices.push_back(dimension);
        vector.values.push_back(weight);
    }
    return vector;
}

nb::list collection_hits_to_list(const std::vector<CollectionHit>& hits) {
    nb::list out;
    for (const CollectionHit& hit : hits) {
        nb::dict item;
        item["id"] = hit.id;
        item["distance"] = static_cast<double>(hit.distance);
        item["payload"] = optional_payload_to_py(hit.payload);
        out.append(item);
    }
    return out;
}

nb::list hybrid_hits_to_list(const std::vector<HybridHit>& hits) {
    nb::list out;
    for (const HybridHit& hit : hits) {
        nb::dict item;
        item["id"] = hit.id;
        item["score"] = static_cast<double>(hit.score);
        item["dense_distance"] = static_cast<double>(hit.dense_distance);
        item["sparse_score"] = static_cast<double>(hit.sparse_score);
        item["payload"] = optional_payload_to_py(hit.payload);
        out.append(item);
    }
    return out;
}

nb::tuple hybrid_pools_to_tuple(const HybridCandidates& pools) {
    nb::list dense;
    for (const SearchResult& hit : pools.dense) {
        dense.append(nb::make_tuple(hit.id, static_cast<double>(hit.distance)));
    }
    nb::list sparse;
    for (const SparseScore& hit : pools.sparse) {
        sparse.append(nb::make_tuple(hit.id, static_cast<double>(hit.score)));
    }
    return nb::make_tuple(dense, sparse);
}

nb::dict snapshot_to_dict(const SnapshotMeta& meta) {
    nb::dict out;
    out["name"] = meta.name;
    out["created_at"] = meta.created_at;
    out["vector_count"] = meta.vector_count;
    out["sparse_count"] = meta.sparse_count;
    return out;
}

}  // namespace tvdb::py
