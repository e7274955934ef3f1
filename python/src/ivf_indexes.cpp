#include <string>
#include <string_view>

#include "ivf_index.hpp"
#include "ivf_pq_index.hpp"

#include "classes.hpp"
#include "index_class.hpp"

namespace tvdb::py {

namespace {

// The standalone classes always iterate k-means 25 times at most.
constexpr uint64_t kStandaloneMaxIter = 25;

// Constructor arguments both classes take and document alike.
constexpr std::string_view kSharedArgsDoc = R"(Args:
    dimensions: Number of dimensions per vector.
    metric: Distance metric - "l2", "cosine", or "dot_product".
    n_lists: Number of clusters (default 256).
    nprobe: Clusters scanned per query (default 16).
    train_size: Vectors buffered before auto-training (default 4096).
)";

const std::string kIvfIndexDoc = std::string(R"(Inverted file index. Cluster-based ANN using k-means.

Auto-trains after train_size inserts. Rule of thumb: n_lists = sqrt(N).

)") + std::string(kSharedArgsDoc);

const std::string kIvfPqIndexDoc =
    std::string(R"(IVF with product quantization. Extreme memory reduction (~96x for 1536-dim).

Combines the IVF coarse quantizer with PQ compression of the residual vectors (vector minus
its cluster centroid). Meant for million-scale datasets.

)") + std::string(kSharedArgsDoc) +
    R"(    pq_m: Number of PQ sub-quantizers (default 8, must divide dimensions).
    pq_k_sub: Centroids per sub-quantizer (default 256).
)";

// The members the two inverted-file classes share, all as in FlatIndex plus a lock-free flush.
template <typename Core>
void bind_common_members(IndexClass<Core>& cls) {
    cls.add(kSignatureOnly)
        .add_batch(kSignatureOnly)
        .add_batch_np(kPlainAddBatchNpDoc)
        .tuned_searches(kSignatureOnly, "nprobe", &Core::search_with_nprobe)
        .remove(kSignatureOnly)
        .flush(kSignatureOnly)
        .save_load(kSignatureOnly, kSignatureOnly)
        .properties(nullptr, nullptr)
        .pickling();
}

}  // namespace

void register_ivf_index(nb::module_& module) {
    IndexClass<IvfIndex> ivf(module, "IvfIndex", kIvfIndexDoc.c_str());
    ivf.cls().def(
        "__init__",
        [](PyIndex<IvfIndex>* self, U64Arg<"dimensions"> dimensions, const std::string& metric,
           U64Arg<"n_lists"> n_lists, U64Arg<"nprobe"> nprobe, U64Arg<"train_size"> train_size) {
            Metric parsed = parse_metric(metric);
            IvfConfig config{.n_lists = n_lists,
                             .nprobe = nprobe,
                             .train_size = train_size,
                             .max_iter = kStandaloneMaxIter};
            auto core = unwrap(IvfIndex::create({.dimensions = dimensions, .metric = parsed}, config));
            new (self) PyIndex<IvfIndex>{std::move(core), {}};
        },
        nb::arg("dimensions"), nb::arg("metric") = "l2", nb::arg("n_lists") = 256,
        nb::arg("nprobe") = 16, nb::arg("train_size") = 4096);
    bind_common_members(ivf);
}

void register_ivf_pq_index(nb::module_& module) {
    IndexClass<IvfPqIndex> ivf_pq(module, "IvfPqIndex", kIvfPqIndexDoc.c_str());
    ivf_pq.cls().def(
        "__init__",
        [](PyIndex<IvfPqIndex>* self, U64Arg<"dimensions"> dimensions, const std::string& metric,
           U64Arg<"n_lists"> n_lists, U64Arg<"nprobe"> nprobe, U64Arg<"train_size"> train_size,
           U64Arg<"pq_m"> pq_m, U64Arg<"pq_k_sub"> pq_k_sub) {
            Metric parsed = parse_metric(metric);
            IvfPqConfig config{
                .n_lists = n_lists,
                .nprobe = nprobe,
                .train_size = train_size,
                .max_iter = kStandaloneMaxIter,
                .pq = {.m = pq_m, .k_sub = pq_k_sub, .max_iter = kStandaloneMaxIter}};
            auto core =
                unwrap(IvfPqIndex::create({.dimensions = dimensions, .metric = parsed}, config));
            new (self) PyIndex<IvfPqIndex>{std::move(core), {}};
        },
        nb::arg("dimensions"), nb::arg("metric") = "l2", nb::arg("n_lists") = 256,
        nb::arg("nprobe") = 16, nb::arg("train_size") = 4096, nb::arg("pq_m") = 8,
        nb::arg("pq_k_sub") = 256);
    bind_common_members(ivf_pq);
}

}  // namespace tvdb::py
