#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "classes.hpp"
#include "collection_handles.hpp"
#include "convert.hpp"
#include "quoted_literal.hpp"

namespace nb = nanobind;

namespace tvdb::py {
namespace {

constexpr const char* kClientDoc = R"(Persistent vector database client.

Opens a directory on disk. All writes are WAL-backed and survive restarts.

Args:
    path: Data directory (default "./data"); created with its parents if missing. Every
        subdirectory holding a collection is opened; one that cannot be opened is skipped.

Example:
    >>> client = Client("./data")
    >>> docs = client.create_collection("docs", dimensions=384, metric="cosine")
    >>> docs.upsert(1, [0.1] * 384, payload={"title": "Hello"})
    >>> results = docs.search([0.1] * 384, k=5)
)";

constexpr const char* kCreateCollectionDoc = R"(Create a new collection.

Args:
    name: Collection name.
    dimensions: Vector dimensions.
    metric: "cosine", "l2", or "dot_product".
    index_type: "hnsw", "flat", "quantized_flat", "fp16_flat", "ivf", "ivf_pq", or
        "mmap_flat" ("binary_flat" is accepted too).

Raises:
    KeyError: a collection of that name already exists.
    ValueError: unknown metric or index type, or a name that cannot be a directory name
        (empty, ".", or containing "/", "\", ".." or NUL).
)";

// The index kinds a collection can be created with: every kind except "faiss".
IndexType parse_index_type(const std::string& text) {
    auto type = index_type_from_name(text);
    if (!type || *type == IndexType::Faiss) {
        raise_python(PyExc_ValueError, "unknown index_type " + quoted_literal(text));
    }
    return *type;
}

void open_client(PyClient* self, const PathArg& path) {
    auto manager = unwrap(CollectionManager::open(path));
    new (self) PyClient{std::make_shared<SharedManager>(std::move(manager)), {}};
}

nb::object create_collection(PyClient& self, const std::string& name, U64Arg<"dimensions"> dimensions,
                             const std::string& metric, const std::string& index_type) {
    BorrowFlag::Exclusive borrow(self.borrow);
    Metric parsed_metric = parse_metric(metric);
    IndexType parsed_type = parse_index_type(index_type);
    auto created = manager_call(*self.shared, Access::Exclusive, Gil::Held,
                                [&](CollectionManager& manager) -> Result<void> {
                                    auto made = manager.create(name, dimensions, parsed_metric,
                                                               parsed_type);
                                    if (!made) return fail(made.error());
                                    return {};
                                });
    unwrap(std::move(created));
    return new_collection_handle(self.shared, name);
}

nb::object get_collection(PyClient& self, const std::string& name) {
    BorrowFlag::Shared borrow(self.borrow);
    bool open = manager_call(*self.shared, Access::Shared, Gil::Held,
                             [&](CollectionManager& manager) { return manager.get(name) != nullptr; });
    if (!open) raise_collection_missing(name);
    return new_collection_handle(self.shared, name);
}

nb::object get_or_create_collection(PyClient& self, const std::string& name,
                                    U64Arg<"dimensions"> dimensions,
                                    const std::string& metric) {
    BorrowFlag::Exclusive borrow(self.borrow);
    // The metric is only checked when the collection has to be created, so it is parsed here
    // and any error raised after the lock is released.
    std::optional<Metric> parsed_metric = metric_from_name(metric);
    // Lookup and creation share one exclusive section: a collection created meanwhile by
    // another thread is found, not reported as already existing.
    auto outcome = manager_call(
        *self.shared, Access::Exclusive, Gil::Held,
        [&](CollectionManager& manager) -> std::optional<Result<void>> {
            if (manager.get(name) != nullptr) return Result<void>{};
            if (!parsed_metric) return std::nullopt;
            auto made = manager.get_or_create(name, dimensions, *parsed_metric);
            if (!made) return Result<void>(fail(made.error()));
            return Result<void>{};
        });
    if (!outcome) parse_metric(metric);
    unwrap(std::move(*outcome));
    return new_collection_handle(self.shared, name);
}

bool delete_collection(PyClient& self, const std::string& name) {
    BorrowFlag::Exclusive borrow(self.borrow);
    return unwrap(manager_call(*self.shared, Access::Exclusive, Gil::Held,
                               [&](CollectionManager& manager) { return manager.remove(name); }));
}

std::vector<std::string> list_collections(PyClient& self) {
    BorrowFlag::Shared borrow(self.borrow);
    return manager_call(*self.shared, Access::Shared, Gil::Held,
                        [](CollectionManager& manager) { return manager.names(); });
}

std::string client_repr(PyClient& self) {
    BorrowFlag::Shared borrow(self.borrow);
    size_t count = manager_call(*self.shared, Access::Shared, Gil::Held,
                                [](CollectionManager& manager) { return manager.size(); });
    return "Client(collections=" + std::to_string(count) + ")";
}

}  // namespace

void register_client(nb::module_& module) {
    nb::class_<PyClient>(module, "Client", kClientDoc)
        .def("__init__", &open_client, nb::arg("path") = kDefaultDataDirectory)
        .def("create_collection", &create_collection, nb::arg("name"), nb::arg("dimensions"),
             nb::arg("metric") = "cosine", nb::arg("index_type") = "hnsw", kCreateCollectionDoc)
        .def("get_collection", &get_collection, nb::arg("name"),
             "Get an existing collection by name. Raises KeyError if not found.")
        .def("get_or_create_collection", &get_or_create_collection, nb::arg("name"),
             nb::arg("dimensions"), nb::arg("metric") = "cosine",
             "Get a collection by name, or create it if it doesn't exist (uses HNSW).")
        .def("delete_collection", &delete_collection, nb::arg("name"),
             "Delete a collection and all its data from disk.")
        .def("list_collections", &list_collections, "List all collection names.")
        .def("__repr__", &client_repr);
}

void register_client_classes(nb::module_& module) {
    register_client(module);
    register_collection(module);
}

}  // namespace tvdb::py
