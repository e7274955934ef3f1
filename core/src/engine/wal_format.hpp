#pragma once

// The bytes of "wal.log", in one place.
//
// The file is a sequence of frames with no header, padding or checksum:
//
//   frame  := u32 L (little-endian) | record of L bytes
//   record := Add | Delete (the binary record encoding of a two-variant enumeration)
//   Add    := u32 0 | u64 id | u64 n | n x f32 | optional-bytes payload | optional-bytes sparse
//   Delete := u32 1 | u64 id
//   optional-bytes := u8 0 | u8 1, u64 c, c bytes
//
// The payload is compact JSON text, the sparse field one encoded SparseVector record.
// Readers stop at a torn frame or at a length above kMaxRecordLength and skip frames
// whose record does not decode.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tvdb::wal_format {

inline constexpr const char* kLogFileName = "wal.log";
inline constexpr const char* kRewriteFileName = "wal.log.tmp";

inline constexpr size_t kLengthPrefixSize = 4;
inline constexpr uint32_t kAddVariant = 0;
inline constexpr uint32_t kDeleteVariant = 1;
inline constexpr uint32_t kVariantCount = 2;
// Variant index, id and component count.
inline constexpr uint64_t kAddFixedSize = 4 + 8 + 8;
inline constexpr uint64_t kDeleteRecordSize = 4 + 8;
// A length prefix above this ends the log.
inline constexpr uint64_t kMaxRecordLength = 0x10000000;

// Size of an optional byte string: one tag byte, plus a u64 count and the bytes if present.
inline constexpr uint64_t optional_bytes_size(std::optional<uint64_t> byte_count) {
    return byte_count ? 1 + 8 + *byte_count : 1;
}

// L of an Add record.
inline constexpr uint64_t add_record_length(uint64_t components,
                                            std::optional<uint64_t> payload_bytes,
                                            std::optional<uint64_t> sparse_bytes) {
    return kAddFixedSize + 4 * components + optional_bytes_size(payload_bytes) +
           optional_bytes_size(sparse_bytes);
}

}  // namespace tvdb::wal_format
