#pragma once

// The index kinds a collection can be configured with, their names in meta.json and the
// Python arguments, and the tuning a collection gets when its meta.json holds none.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "vector_index.hpp"

namespace tvdb {

// In variant order: the position is the variant index of the array form of meta.json.
enum class IndexType : uint32_t {
    Flat,
    Hnsw,
    QuantizedFlat,
    Ivf,
    IvfPq,
    Fp16Flat,
    MmapFlat,
    BinaryFlat,
    // Recognised by name, but no index of this kind exists.
    Faiss,
};

// Indexed by the variant.
inline constexpr std::array<std::string_view, 9> kIndexTypeNames = {
    "flat", "hnsw", "quantized_flat", "ivf", "ivf_pq", "fp16_flat", "mmap_flat", "binary_flat",
    "faiss"};

std::string_view index_type_name(IndexType type);
std::optional<IndexType> index_type_from_name(std::string_view name);

// Defaults of a collection whose meta.json holds no tuning record: the coarse quantizer
// iterates 10 times there, against 25 in the standalone Python classes.
inline constexpr IvfConfig kCollectionIvfDefaults{.max_iter = 10};
inline constexpr IvfPqConfig kCollectionIvfPqDefaults{.max_iter = 10, .pq = {}};

}  // namespace tvdb
