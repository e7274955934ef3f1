#pragma once

// The description of a collection kept in its "meta.json".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "distance.hpp"
#include "error.hpp"
#include "index_type.hpp"
#include "vector_index.hpp"

namespace tvdb {

inline constexpr uint64_t kDefaultWalCompactThreshold = 50000;

// Fields in their file order; meta.json writes them in this order and omits absent ones.
struct CollectionMeta {
    std::string name;
    uint64_t dimensions = 0;
    Metric metric = Metric::Cosine;
    IndexType index_type = IndexType::Hnsw;
    std::optional<HnswConfig> hnsw_config;
    uint64_t wal_compact_threshold = kDefaultWalCompactThreshold;
    std::optional<uint64_t> auto_promote_threshold;
    std::optional<HnswConfig> promotion_hnsw_config;
    // Carried and preserved; nothing uses them.
    std::optional<std::string> embedding_model;
    std::optional<IvfConfig> ivf_config;
    std::optional<IvfPqConfig> ivf_pq_config;
    std::optional<std::string> faiss_factory;
};

// The metadata of a new collection: tuning defaults only for the kind that uses them
// (hnsw_config for "hnsw", ivf_config for "ivf", ivf_pq_config for "ivf_pq").
CollectionMeta new_collection_meta(std::string name, uint64_t dimensions, Metric metric,
                                   IndexType index_type);

// Pretty JSON: two-space indentation, declaration order, absent optionals omitted.
std::string collection_meta_to_json(const CollectionMeta& meta);
// Accepts the object form (any key order, unknown keys ignored) and the array form (values
// in declaration order, trailing optionals may be left out). Errors are Serialization with
// texts such as "missing field `name`", "duplicate field `metric`" and
// "invalid length 3, expected struct CollectionMeta with 12 elements".
Result<CollectionMeta> collection_meta_from_json(std::string_view text);

// Io when the file cannot be read (a symbolic link is not followed); Serialization when it
// does not parse.
Result<CollectionMeta> read_collection_meta(const std::string& path);
// Writes "<path>.tmp" and renames it over `path`, so a crash never leaves a torn meta.json.
Result<void> write_collection_meta(const std::string& path, const CollectionMeta& meta);

}  // namespace tvdb
