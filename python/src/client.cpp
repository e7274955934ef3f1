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
    hnsw_config: Optional graph parameters of an "hnsw" collection, a dict with any of
        "m", "ef_construction" and "ef_search" (defaults 12, 200, 50), kept in meta.json.

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

// The client's manager; RuntimeError once the client is closed.
SharedManager& open_manager(PyClient& self) {
    if (!self.shared) raise_python(PyExc_RuntimeError, "client is closed");
    return *self.shared;
}

// {"m", "ef_construction", "ef_search"}, each optional (default as for any new collection).
std::optional<HnswConfig> extract_hnsw_config(nb::handle object) {
    if (object.is_none()) return std::nullopt;
    if (!PyDict_Check(object.ptr())) {
        raise_python(PyExc_TypeError, "argument 'hnsw_config': '" +
                                          std::string(nb::type_name(object.type()).c_str()) +
                                          "' object cannot be converted to 'PyDict'");
    }
    HnswConfig config;
    for (auto [key, value] : nb::borrow<nb::dict>(object)) {
        std::string name = PyUnicode_Check(key.ptr()) ? nb::cast<std::string>(key) : std::string();
        uint64_t* field = name == "m"                 ? &config.m
                          : name == "ef_construction" ? &config.ef_construction
                          : name == "ef_search"       ? &config.ef_search
                                                      : nullptr;
        if (field == nullptr) {
            raise_python(PyExc_ValueError, "unknown hnsw_config key " +
                                               std::string(nb::repr(key).c_str()) +
                                               "; expected \"m\", \"ef_construction\" or \"ef_search\"");
        }
        *field = to_u64(value, name.c_str());
    }
    return config;
}

void open_client(PyClient* self, const PathArg& path) {
    auto manager = unwrap(CollectionManager::open(path));
    new (self) PyClient{std::make_shared<SharedManager>(std::move(manager)), {}};
}

nb::object create_collection(PyClient& self, const std::string& name, U64Arg<"dimensions"> dimensions,
                             const std::string& metric, const std::string& index_type,
                             nb::handle hnsw_config) {
    BorrowFlag::Exclusive borrow(self.borrow);
    SharedManager& shared = open_manager(self);
    Metric parsed_metric = parse_metric(metric);
    IndexType parsed_type = parse_index_type(index_type);
    std::optional<HnswConfig> graph = extract_hnsw_config(hnsw_config);
    auto created = manager_call(shared, Access::Exclusive, Gil::Held,
                                [&](CollectionManager& manager) -> Result<void> {
                                    auto made = manager.create(name, dimensions, parsed_metric,
                                                               parsed_type, graph);
                                    if (!made) return fail(made.error());
                                    return {};
                                });
    unwrap(std::move(created));
    return new_collection_handle(self.shared, name);
}

nb::object get_collection(PyClient& self, const std::string& name) {
    BorrowFlag::Shared borrow(self.borrow);
    bool open = manager_call(open_manager(self), Access::Shared, Gil::Held,
                             [&](CollectionManager& manager) { return manager.get(name) != nullptr; });
    if (!open) raise_collection_missing(name);
    return new_collection_handle(self.shared, name);
}

nb::object get_or_create_collection(PyClient& self, const std::string& name,
                                    U64Arg<"dimensions"> dimensions,
                                    const std::string& metric, const std::string& index_type) {
    BorrowFlag::Exclusive borrow(self.borrow);
    SharedManager& shared = open_manager(self);
    // The metric and index type are only checked when the collection has to be created, so
    // they are parsed here and any error raised after the lock is released.
    std::optional<Metric> parsed_metric = metric_from_name(metric);
    std::optional<IndexType> parsed_type = index_type_from_name(index_type);
    if (parsed_type == IndexType::Faiss) parsed_type.reset();
    // Lookup and creation share one exclusive section: a collection created meanwhile by
    // another thread is found, not reported as already existing.
    auto outcome = manager_call(
        shared, Access::Exclusive, Gil::Held,
        [&](CollectionManager& manager) -> std::optional<Result<void>> {
            if (manager.get(name) != nullptr) return Result<void>{};
            if (!parsed_metric || !parsed_type) return std::nullopt;
            auto made = manager.get_or_create(name, dimensions, *parsed_metric, *parsed_type);
            if (!made) return Result<void>(fail(made.error()));
            return Result<void>{};
        });
    if (!outcome) {
        parse_metric(metric);
        parse_index_type(index_type);
    }
    unwrap(std::move(*outcome));
    return new_collection_handle(self.shared, name);
}

bool delete_collection(PyClient& self, const std::string& name) {
    BorrowFlag::Exclusive borrow(self.borrow);
    return unwrap(manager_call(open_manager(self), Access::Exclusive, Gil::Held,
                               [&](CollectionManager& manager) { return manager.remove(name); }));
}

std::vector<std::string> list_collections(PyClient& self) {
    BorrowFlag::Shared borrow(self.borrow);
    return manager_call(open_manager(self), Access::Shared, Gil::Held,
                        [](CollectionManager& manager) { return manager.names(); });
}

std::string client_repr(PyClient& self) {
    BorrowFlag::Shared borrow(self.borrow);
    if (!self.shared) return "Client(closed)";
    size_t count = manager_call(*self.shared, Access::Shared, Gil::Held,
                                [](CollectionManager& manager) { return manager.size(); });
    return "Client(collections=" + std::to_string(count) + ")";
}

// Saves what dropping the last handle would save, then lets go of the manager; the
// client's Collection objects keep theirs. Closing twice is harmless.
void close_client(PyClient& self) {
    BorrowFlag::Exclusive borrow(self.borrow);
    if (!self.shared) return;
    std::shared_ptr<SharedManager> shared = std::move(self.shared);
    if (!shared->poisoned()) {
        manager_call(*shared, Access::Exclusive, Gil::Released, [](CollectionManager& manager) {
            manager.save_changed_graphs();
            return true;
        });
    }
    nb::gil_scoped_release release;
    shared.reset();
}

nb::handle enter_client(nb::handle self) {
    PyClient& client = nb::cast<PyClient&>(self);
    BorrowFlag::Shared borrow(client.borrow);
    open_manager(client);
    return self;
}

constexpr const char* kCloseDoc = R"(Save changed HNSW graphs and let go of the data directory.

Later calls on this Client raise RuntimeError("client is closed"); Collection objects it
handed out keep working. `with Client(path) as client:` closes on leaving the block.)";

}  // namespace

void register_client(nb::module_& module) {
    nb::class_<PyClient>(module, "Client", kClientDoc)
        .def("__init__", &open_client, nb::arg("path") = kDefaultDataDirectory)
        .def("create_collection", &create_collection, nb::arg("name"), nb::arg("dimensions"),
             nb::arg("metric") = "cosine", nb::arg("index_type") = "hnsw",
             nb::arg("hnsw_config") = nb::none(), kCreateCollectionDoc)
        .def("get_collection", &get_collection, nb::arg("name"),
             "Get an existing collection by name. Raises KeyError if not found.")
        .def("get_or_create_collection", &get_or_create_collection, nb::arg("name"),
             nb::arg("dimensions"), nb::arg("metric") = "cosine", nb::arg("index_type") = "hnsw",
             "Get a collection by name, or create it if it doesn't exist (uses HNSW).")
        .def("delete_collection", &delete_collection, nb::arg("name"),
             "Delete a collection and all its data from disk.")
        .def("list_collections", &list_collections, "List all collection names.")
        .def("__repr__", &client_repr)
        .def("close", &close_client, kCloseDoc)
        .def("__enter__", &enter_client, nb::rv_policy::reference)
        .def("__exit__", [](PyClient& self, nb::args) { close_client(self); });
}

void register_client_classes(nb::module_& module) {
    register_client(module);
    register_collection(module);
}

}  // namespace tvdb::py
