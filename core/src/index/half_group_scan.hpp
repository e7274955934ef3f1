#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../distance.hpp"

namespace tvdb {

// Where the halves of half-precision rows live. Rows form groups of four; a block is four
// consecutive components of the four rows of a group (row 0's four, then row 1's, 2's, 3's),
// the last block padded with zeros. Blocks are gathered into segments of up to four blocks
// (sixteen components), and groups into chunks of kChunkGroups: a chunk stores segment 0 of
// all its groups, then segment 1 of all its groups, and so on.
//
// So the first segments of a chunk form one contiguous run that a scan streams through, one
// block load feeds the four partial sums of all four rows (the distance kernels sum in blocks
// of four), and the later segments of a group are read only while the group can still be
// kept.
struct HalfLayout {
    static constexpr size_t kGroupRows = 4;
    static constexpr size_t kChunkGroups = 128;
    static constexpr size_t kChunkRows = kGroupRows * kChunkGroups;
    static constexpr size_t kBlockHalves = 16;
    static constexpr size_t kSegmentBlocks = 4;

    explicit HalfLayout(uint64_t dimensions)
        : dimensions(dimensions),
          blocks(dimensions / 4 + (dimensions % 4 != 0)),
          segments(blocks / kSegmentBlocks + (blocks % kSegmentBlocks != 0)),
          chunk_halves(kChunkGroups * blocks * kBlockHalves) {}

    size_t blocks_in_segment(size_t segment) const {
        return segment + 1 < segments ? kSegmentBlocks : blocks - segment * kSegmentBlocks;
    }
    // Offset within a chunk of block `block` of group `group`.
    size_t block_offset(size_t group, size_t block) const {
        size_t segment = block / kSegmentBlocks;
        return segment * kChunkGroups * kSegmentBlocks * kBlockHalves +
               group * blocks_in_segment(segment) * kBlockHalves +
               (block % kSegmentBlocks) * kBlockHalves;
    }
    // Offset of component `component` of row `row` from the start of the store.
    size_t offset(size_t row, size_t component) const {
        size_t in_chunk = row % kChunkRows;
        return (row / kChunkRows) * chunk_halves +
               block_offset(in_chunk / kGroupRows, component / 4) + (in_chunk % kGroupRows) * 4 +
               component % 4;
    }

    uint64_t dimensions;
    size_t blocks;
    size_t segments;
    size_t chunk_halves;
};

// The ordering distance of the query to each of the first `n_rows` rows of one chunk, bit
// for bit what `distance_ord_batch4` gives for the widened row (for L2 the sum of squares,
// whose square root is `distance`); out[r] is row r of the chunk. out needs room for n_rows
// rounded up to a whole group.
//
// Under L2 a group may be abandoned early: when the partial sums of squared differences of
// all four rows reach `abandon_at`, their final sums cannot be below it, so they are not
// measured further. Pass +infinity to measure every row. Returns the number of groups
// measured to the end; their numbers are in `measured` (room for kChunkGroups), ascending,
// and out holds the rows of those groups only.
size_t half_chunk_distances(Metric metric, std::span<const float> query,
                            const HalfLayout& layout, const uint16_t* chunk, size_t n_rows,
                            float abandon_at, float* out, uint8_t* measured);

}  // namespace tvdb
