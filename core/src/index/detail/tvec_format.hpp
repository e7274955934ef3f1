#pragma once

// The TVEC vector file, all fields little-endian, no padding:
//
//   offset  size  field
//   0       4     magic, the ASCII bytes "TVEC"
//   4       4     version, u32 = 1 (written, not checked)
//   8       4     dimensions, u32
//   12      4     metric id, u32 (0 L2, 1 Cosine, 2 DotProduct)
//   16      8     count, u64: number of records; authoritative, bytes past them are ignored
//   24      8     reserved, u64 = 0 (written, not checked)
//   32      ...   count records of (ID u64, dimensions x f32); record i starts at
//                 32 + i * (8 + 4 * dimensions), so an ID may be only 4-byte aligned
//
// The file has no deletion marker: which records are live is the owner's knowledge.

#include <cstddef>
#include <cstdint>
#include <limits>

namespace tvdb::tvec {

inline constexpr char kMagic[4] = {'T', 'V', 'E', 'C'};
inline constexpr uint32_t kVersion = 1;

inline constexpr size_t kMagicOffset = 0;
inline constexpr size_t kVersionOffset = 4;
inline constexpr size_t kDimensionsOffset = 8;
inline constexpr size_t kMetricOffset = 12;
inline constexpr size_t kCountOffset = 16;
inline constexpr size_t kReservedOffset = 24;
inline constexpr size_t kHeaderSize = 32;

// Dimensions are stored in 32 bits.
inline constexpr uint64_t kMaxDimensions = std::numeric_limits<uint32_t>::max();

inline constexpr uint64_t record_size(uint64_t dimensions) { return 8 + 4 * dimensions; }
inline constexpr uint64_t record_offset(uint64_t record, uint64_t dimensions) {
    return kHeaderSize + record * record_size(dimensions);
}
// The vector of a record starts right after its ID.
inline constexpr uint64_t kVectorOffsetInRecord = 8;

}  // namespace tvdb::tvec
