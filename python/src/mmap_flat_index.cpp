#include "mmap_flat_index.hpp"

#include "classes.hpp"
#include "index_class.hpp"

namespace tvdb::py {

namespace {
constexpr const char* kMmapFlatIndexDoc = R"(Memory-mapped brute-force index. Near-zero RAM usage.

Vectors are stored in a flat binary file that the operating system memory-maps; pages are
loaded on demand. Best when the dataset is larger than available RAM. New vectors and
deletions stay in memory until flush() writes them to the file.

Args:
    dimensions: Number of dimensions per vector.
    metric: Distance metric - "l2", "cosine", or "dot_product".
    path: Path to the memory-mapped vector file.
)";

}  // namespace

void register_mmap_flat_index(nb::module_& module) {
    using Wrapper = PyIndex<MmapFlatIndex>;
    IndexClass<MmapFlatIndex> index(module, "MmapFlatIndex", kMmapFlatIndexDoc);
    index.cls().def(
        "__init__",
        [](Wrapper* self, U64Arg<"dimensions"> dimensions, const std::string& metric, const PathArg& path) {
            Metric parsed = parse_metric(metric);
            auto opened = unwrap(MmapFlatIndex::open(path, dimensions, parsed));
            new (self) Wrapper{std::make_unique<MmapFlatIndex>(std::move(opened)), {}};
        },
        nb::arg("dimensions"), nb::arg("metric") = "l2", nb::arg("path") = "./mmap_index.tvec");
    index.add(kSignatureOnly)
        .add_batch(kSignatureOnly)
        .add_batch_np(kPlainAddBatchNpDoc)
        .searches(kSignatureOnly)
        .remove(kSignatureOnly)
        .properties(nullptr, nullptr);
    // Unlike the interface's flush, a file that cannot be written raises OSError; the
    // changes stay pending so that a later flush retries.
    index.cls().def(
        "flush",
        [](Wrapper& self) {
            BorrowFlag::Exclusive borrow(self.borrow);
            Result<void> written;
            {
                nb::gil_scoped_release release;
                written = self.core->persist();
            }
            unwrap(std::move(written));
        },
        kSignatureOnly);
}

}  // namespace tvdb::py
