#include "flat_index.hpp"

#include "classes.hpp"
#include "index_class.hpp"

namespace tvdb::py {

namespace {
constexpr const char* kFlatIndexDoc = R"(Exact brute-force vector index. 100% recall, O(N*D) per query.

Best for small datasets (fewer than 100K vectors) or when exact results are required.

Args:
    dimensions: Number of dimensions per vector.
    metric: Distance metric - "l2", "cosine", or "dot_product".

Example:
    >>> index = FlatIndex(dimensions=384, metric="cosine")
    >>> index.add(id=1, vector=[0.1] * 384)
    >>> results = index.search(query=[0.1] * 384, k=10)
)";

constexpr const char* kAddBatchNpDoc =
    R"(Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`.

Row i gets the ID start_id + i. This is the fastest way to insert: the whole float32 array
is copied at once, with no per-element Python extraction.

With `ids` (a 1-D integer array or sequence, one ID per row) row i gets ids[i] instead;
`start_id` must then stay 0.)";

constexpr const char* kSearchDoc =
    R"(Search for the k nearest vectors. Returns a list of dicts with "id" (int) and "distance" (float), nearest first.)";
}  // namespace

void register_flat_index(nb::module_& module) {
    IndexClass<FlatIndex> flat(module, "FlatIndex", kFlatIndexDoc);
    flat.cls().def(
        "__init__",
        [](PyIndex<FlatIndex>* self, U64Arg<"dimensions"> dimensions, const std::string& metric) {
            Metric parsed = parse_metric(metric);
            new (self) PyIndex<FlatIndex>{std::make_unique<FlatIndex>(dimensions, parsed), {}};
        },
        nb::arg("dimensions"), nb::arg("metric") = "l2");
    flat.add("Add a single vector with the given ID.")
        .add_batch("Add multiple vectors at once. Takes a list of (id, vector) tuples.")
        .add_batch_np(kAddBatchNpDoc)
        .searches(kSearchDoc)
        .remove("Remove a vector by ID. Returns True if found and removed.")
        .save_load("Save index to a binary file.",
                   "Load a previously saved index from a binary file.")
        .properties("Number of dimensions per vector.",
                    R"(Distance metric: "l2", "cosine", or "dot_product".)")
        .pickling();
}

}  // namespace tvdb::py
