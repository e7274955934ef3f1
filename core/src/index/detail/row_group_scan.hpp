#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "distance.hpp"

namespace tvdb {

// Rows laid out for scans that stop measuring rows early. Rows form groups of four; a block
// is four consecutive components of the four rows of a group (row 0's four, then row 1's,
// 2's, 3's), the last block padded with zeros. Blocks are gathered into segments of up to
// four blocks (sixteen components). A region of groups stores segment 0 of all its groups,
// then segment 1 of all its groups, and so on.
//
// So the first segments of a region form one contiguous run that a scan streams through, one
// block load feeds the four partial sums of all four rows (the distance kernels sum in blocks
// of four), and the later segments of a group are read only while the group can still be
// kept.
struct GroupLayout {
    static constexpr size_t kGroupRows = 4;
    static constexpr size_t kBlockElements = 16;
    static constexpr size_t kSegmentBlocks = 4;
    static constexpr size_t kSegmentElements = kSegmentBlocks * kBlockElements;

    explicit GroupLayout(uint64_t dimensions)
        : dimensions(dimensions),
          blocks(dimensions / 4 + (dimensions % 4 != 0)),
          segments(blocks / kSegmentBlocks + (blocks % kSegmentBlocks != 0)) {}

    size_t blocks_in_segment(size_t segment) const {
        return segment + 1 < segments ? kSegmentBlocks : blocks - segment * kSegmentBlocks;
    }
    // Elements one region of `groups` groups holds.
    size_t region_elements(size_t groups) const { return groups * blocks * kBlockElements; }
    // Offset within a region of `region_groups` groups of block `block` of group `group`.
    size_t block_offset(size_t region_groups, size_t group, size_t block) const {
        size_t segment = block / kSegmentBlocks;
        return segment * region_groups * kSegmentElements +
               group * blocks_in_segment(segment) * kBlockElements +
               (block % kSegmentBlocks) * kBlockElements;
    }
    // Offset within such a region of component `component` of row `row`.
    size_t offset(size_t region_groups, size_t row, size_t component) const {
        return block_offset(region_groups, row / kGroupRows, component / 4) +
               (row % kGroupRows) * 4 + component % 4;
    }

    uint64_t dimensions;
    size_t blocks;
    size_t segments;
};

// Half-precision rows in regions (chunks) of kChunkGroups groups, one after another.
struct HalfLayout : GroupLayout {
    static constexpr size_t kChunkGroups = 128;
    static constexpr size_t kChunkRows = kGroupRows * kChunkGroups;

    explicit HalfLayout(uint64_t dimensions)
        : GroupLayout(dimensions), chunk_halves(region_elements(kChunkGroups)) {}

    // Offset of component `component` of row `row` from the start of the store.
    size_t offset(size_t row, size_t component) const {
        return (row / kChunkRows) * chunk_halves +
               GroupLayout::offset(kChunkGroups, row % kChunkRows, component);
    }

    size_t chunk_halves;
};

// Most groups one call measures.
inline constexpr size_t kScanGroups = 128;

// The ordering distance of the query to each of `n_rows` rows, bit for bit what
// `distance_ord_batch4` gives for the (widened) row: for L2 the sum of squares, whose square
// root is `distance`. The rows are groups first_group ... of a region of `region_groups`
// groups starting at `region`, at most kScanGroups groups; out[r] is row r of them and
// needs room for n_rows rounded up to a whole group.
//
// Under L2 a group may be abandoned early: when the partial sums of squared differences of
// all four rows reach `abandon_at`, their final sums cannot be below it, so they are not
// measured further. Pass +infinity to measure every row. Returns the number of groups
// measured to the end; their numbers (from first_group) are in `measured` (room for
// kScanGroups), ascending, and out holds the rows of those groups only.
size_t group_distances(Metric metric, std::span<const float> query, const GroupLayout& layout,
                       const uint16_t* region, size_t region_groups, size_t first_group,
                       size_t n_rows, float abandon_at, float* out, uint8_t* measured);
size_t group_distances(Metric metric, std::span<const float> query, const GroupLayout& layout,
                       const float* region, size_t region_groups, size_t first_group,
                       size_t n_rows, float abandon_at, float* out, uint8_t* measured);

}  // namespace tvdb
