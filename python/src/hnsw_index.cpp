#include "hnsw_index.hpp"

#include "classes.hpp"
#include "index_class.hpp"

namespace tvdb::py {

namespace {
using HnswWrapper = PyIndex<HnswIndex>;

constexpr const char* kHnswIndexDoc =
    R"(Graph-based approximate nearest-neighbour index (HNSW). 95-99% recall.

The best general-purpose index for datasets of any size.

Args:
    dimensions: Number of dimensions per vector.
    metric: Distance metric - "l2", "cosine", or "dot_product".
    ef_construction: Build beam width (default 200). Higher = better recall, slower build.
    ef_search: Query beam width (default 50). Tunable at runtime.
    m: Graph edges per node (default 12). Higher = better recall, more RAM.

Example:
    >>> index = HnswIndex(dimensions=384, metric="cosine")
    >>> index.add(id=1, vector=[0.1] * 384)
    >>> index.flush()
    >>> results = index.search(query=[0.1] * 384, k=10)
)";

constexpr const char* kAddBatchNpDoc =
    R"(Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`.

Row i gets the ID start_id + i. This is the fastest way to insert: the whole float32 array
is copied at once, with no per-element Python extraction.

Example:
    >>> import numpy as np
    >>> data = np.random.rand(10000, 128).astype(np.float32)
    >>> index.add_batch_np(data)                 # IDs 0..9999
    >>> other.add_batch_np(data, start_id=5000)  # IDs 5000..14999
)";

constexpr const char* kAddBatchParallelDoc =
    R"(Add vectors from a 2D numpy array (N × dim) with parallel graph construction.

The batch is split into micro-batches. The first micro-batch is inserted sequentially to
bootstrap the graph; for every later one the neighbour searches run in parallel on
`num_threads` threads (0 = all cores) and the links are then added in row order.
`micro_batch_size` rows go into each micro-batch (default 256). Row i gets the ID
start_id + i.)";

constexpr const char* kFlushDoc = "Build the HNSW graph. Call after bulk inserts for best performance.";

// Members documented by their signature alone.
constexpr const char* kNoDoc = "";
}  // namespace

void register_hnsw_index(nb::module_& module) {
    IndexClass<HnswIndex> hnsw(module, "HnswIndex", kHnswIndexDoc);
    hnsw.cls().def(
        "__init__",
        [](HnswWrapper* self, U64Arg<"dimensions"> dimensions, const std::string& metric,
           U64Arg<"ef_construction"> ef_construction, U64Arg<"ef_search"> ef_search,
           U64Arg<"m"> m) {
            Metric parsed = parse_metric(metric);
            HnswConfig config{.ef_construction = ef_construction, .ef_search = ef_search, .m = m};
            new (self) HnswWrapper{unwrap(HnswIndex::create(dimensions, parsed, config)), {}};
        },
        nb::arg("dimensions"), nb::arg("metric") = "l2", nb::arg("ef_construction") = 200,
        nb::arg("ef_search") = 50, nb::arg("m") = 12);
    hnsw.add(kNoDoc)
        .add_batch(kNoDoc)
        .add_batch_np(kAddBatchNpDoc)
        .tuned_searches(kNoDoc, "ef_search", &HnswIndex::search_with_ef)
        .remove(kNoDoc)
        .flush(kFlushDoc)
        .save_load(kNoDoc, kNoDoc)
        .properties(nullptr, nullptr)
        .pickling();
    hnsw.cls().def(
        "add_batch_parallel",
        [](HnswWrapper& self, nb::handle vectors, U64Arg<"start_id"> start_id,
           U64Arg<"num_threads"> num_threads, U64Arg<"micro_batch_size"> micro_batch_size) {
            Matrix matrix = extract_2d_f32_buffer(vectors);
            BorrowFlag::Exclusive borrow(self.borrow);
            Result<void> added;
            {
                nb::gil_scoped_release release;
                const uint64_t dimensions = self.core->config().dimensions;
                if (matrix.columns != dimensions) {
                    added = fail(VectorDbError::dimension_mismatch(dimensions, matrix.columns));
                } else {
                    added = self.core->add_batch_parallel(matrix.data, start_id, num_threads,
                                                          micro_batch_size);
                }
            }
            unwrap(std::move(added));
        },
        nb::arg("vectors"), nb::arg("start_id") = 0, nb::arg("num_threads") = 0,
        nb::arg("micro_batch_size") = 256, kAddBatchParallelDoc);
}

}  // namespace tvdb::py
