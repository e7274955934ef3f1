#include "index_factory.hpp"

#include "binary_flat_index.hpp"
#include "collection_files.hpp"
#include "file_io.hpp"
#include "flat_index.hpp"
#include "fp16_flat_index.hpp"
#include "hnsw_index.hpp"
#include "ivf_index.hpp"
#include "ivf_pq_index.hpp"
#include "mmap_flat_index.hpp"
#include "quantized_flat_index.hpp"

namespace tvdb {
namespace {

template <typename Index>
Result<std::unique_ptr<VectorIndex>> as_index(Result<std::unique_ptr<Index>> made) {
    if (!made) return fail(made.error());
    return std::unique_ptr<VectorIndex>(std::move(*made));
}

// The vectors file is derived from the log: one that cannot be used as it is (damaged,
// truncated, another dimension or metric) is replaced on the next flush.
Result<std::unique_ptr<VectorIndex>> open_mmap_index(const CollectionMeta& meta,
                                                     const std::string& dir) {
    std::string path = collection_file(dir, kMmapVectorsFileName);
    // A link in its place is replaced, never written through: the index appends to the file
    // in place.
    auto opened = is_symlink(path) ? MmapFlatIndex::open_discarding(path, meta.dimensions, meta.metric)
                                   : MmapFlatIndex::open(path, meta.dimensions, meta.metric);
    if (!opened) opened = MmapFlatIndex::open_discarding(path, meta.dimensions, meta.metric);
    if (!opened) {
        return fail(VectorDbError::invalid_config("failed to open MmapFlatIndex at " + path + ": " +
                                                  opened.error().message()));
    }
    return std::unique_ptr<VectorIndex>(std::make_unique<MmapFlatIndex>(std::move(*opened)));
}

IndexConfig index_config(const CollectionMeta& meta) {
    return {.dimensions = meta.dimensions, .metric = meta.metric};
}
}  // namespace

std::string faiss_refusal(const std::string& name) {
    return "collection '" + name +
           "' uses IndexType::Faiss but tolvane-core was compiled without the 'faiss' feature; "
           "rebuild with `--features faiss`";
}

Result<std::unique_ptr<VectorIndex>> build_hnsw_index(const CollectionMeta& meta,
                                                      const HnswConfig& config) {
    return as_index(HnswIndex::create(meta.dimensions, meta.metric, config));
}

Result<std::unique_ptr<VectorIndex>> load_graph_index(const CollectionMeta& meta,
                                                      const std::string& path) {
    return as_index(HnswIndex::load_graph_file(path, index_config(meta),
                                               meta.hnsw_config.value_or(HnswConfig{})));
}

Result<std::unique_ptr<VectorIndex>> build_index(const CollectionMeta& meta, const std::string& dir) {
    const uint64_t dims = meta.dimensions;
    const Metric metric = meta.metric;
    switch (meta.index_type) {
        case IndexType::Flat: return std::make_unique<FlatIndex>(dims, metric);
        case IndexType::Hnsw: return build_hnsw_index(meta, meta.hnsw_config.value_or(HnswConfig{}));
        case IndexType::QuantizedFlat: return std::make_unique<QuantizedFlatIndex>(dims, metric);
        case IndexType::Ivf:
            return as_index(IvfIndex::create(index_config(meta), meta.ivf_config.value_or(kCollectionIvfDefaults)));
        case IndexType::IvfPq:
            return as_index(IvfPqIndex::create(index_config(meta),
                                               meta.ivf_pq_config.value_or(kCollectionIvfPqDefaults)));
        case IndexType::Fp16Flat: return std::make_unique<Fp16FlatIndex>(dims, metric);
        case IndexType::MmapFlat: return open_mmap_index(meta, dir);
        case IndexType::BinaryFlat: return std::make_unique<BinaryFlatIndex>(dims, metric);
        case IndexType::Faiss: break;
    }
    return fail(VectorDbError::invalid_config(faiss_refusal(meta.name)));
}

}  // namespace tvdb
