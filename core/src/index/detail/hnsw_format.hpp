#pragma once

// The bytes of both HNSW files, in the record encoding of codec.hpp (little-endian
// integers at full width, u64 counts, one tag byte for an optional value).
//
// Graph record ("hnsw.graph" is exactly one, from its first byte; bytes after it are
// ignored):
//   nodes            u64 n, then n times:
//     id             u64    the vector ID
//     vector         u64 d, then d f32                     (d = the index dimension)
//     neighbors      u64 (level + 1), then per list: u64 c, then c u64 vector IDs;
//                    list 0 is layer 0, list l layer l
//     level          u64    (at most 255)
//   entry_point      u8 0, or u8 1 then u64 vector ID (a saved node)
//   m                u64    1..32, the longest upper-layer list
//   m0               u64    0..64, the longest layer-0 list (longer saved lists are cut)
//   ef_construction  u64
//   level_multiplier f64
// Only live nodes and live neighbours are written, nodes in slot order. Neighbour IDs that
// are not saved nodes are ignored on reading (older writers kept one-way links to removed
// nodes).
//
// Standalone index file ("HnswIndex.save"):
//   dimension u64, metric u32 (0 L2, 1 Cosine, 2 DotProduct), ef_construction u64,
//   ef_search u64, m u64, then one graph record.
// Older standalone layout, still read: the same five fields, then u64 n and n times
//   { u64 vector ID, u64 d, d f32 } (vectors only; the graph is rebuilt on load).

#include <cstdint>
#include <span>
#include <vector>

#include "codec.hpp"
#include "detail/hnsw_graph.hpp"
#include "vector_index.hpp"

namespace tvdb::hnsw_format {

struct IndexHeader {
    uint64_t dimension = 0;
    Metric metric = Metric::L2;
    HnswConfig config;
};

template <typename Sink>
void write_graph(RecordEncoder<Sink>& out, const HnswGraph& graph);
template <typename Sink>
void write_header(RecordEncoder<Sink>& out, const IndexHeader& header);

// Decodes a graph record for an index of `dimension` and checks it against itself;
// anything inconsistent is Serialization.
Result<HnswGraph> read_graph(std::span<const uint8_t> bytes, uint64_t dimension);
// The five leading fields of either standalone layout; `in` keeps the first failure.
IndexHeader read_header(RecordDecoder& in);
// The vector map of the older standalone layout, after its header.
Result<std::vector<VectorEntry>> read_older_vectors(RecordDecoder& in, uint64_t dimension);

}  // namespace tvdb::hnsw_format
