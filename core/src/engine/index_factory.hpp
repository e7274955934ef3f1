#pragma once

// Builds the index a collection's metadata names. The only place of the engine that knows
// the concrete index kinds; everything else works through VectorIndex.

#include <memory>
#include <string>

#include "collection_meta.hpp"
#include "error.hpp"
#include "vector_index.hpp"

namespace tvdb {

// An empty index of the kind the metadata names, for a collection in `dir`.
// "faiss" and kinds this build lacks fail with InvalidConfig.
Result<std::unique_ptr<VectorIndex>> build_index(const CollectionMeta& meta,
                                                 const std::string& dir);

// An empty HNSW index with the graph parameters `config`.
Result<std::unique_ptr<VectorIndex>> build_hnsw_index(const CollectionMeta& meta,
                                                      const HnswConfig& config);

// The HNSW index a saved graph file at `path` describes, with the collection's graph
// parameters; any failure to read it is an error.
Result<std::unique_ptr<VectorIndex>> load_graph_index(const CollectionMeta& meta,
                                                      const std::string& path);

// The refusal of a collection of the kind "faiss", which no build has.
std::string faiss_refusal(const std::string& name);

}  // namespace tvdb
