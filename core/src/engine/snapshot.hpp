#pragma once

// Named, self-contained copies of a collection, kept in its "snapshots" directory:
//
//   snapshots/{name}/meta.json      the collection's metadata as it stood on disk
//   snapshots/{name}/wal.log        a compacted log: one Add per live vector
//   snapshots/{name}/sparse.bin     the sparse vectors, only when there are any
//   snapshots/{name}/hnsw.graph     the HNSW graph, only for an HNSW index
//   snapshots/{name}/snapshot.json  the SnapshotMeta below, pretty-printed
//
// Restoring copies these files over the live ones and reopens the collection from them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "collection.hpp"
#include "error.hpp"

namespace tvdb {

class CollectionManager;

inline constexpr const char* kSnapshotsDirectoryName = "snapshots";
inline constexpr const char* kSnapshotMetaFileName = "snapshot.json";

struct SnapshotMeta {
    std::string name;
    // Whole seconds since the Unix epoch (0 when the clock reads earlier).
    uint64_t created_at = 0;
    uint64_t vector_count = 0;
    uint64_t sparse_count = 0;
};

// Snapshot names become directory names: refused when empty, ".", or containing "/", "\",
// ".." or NUL, so no name reaches outside the "snapshots" directory.
bool is_valid_snapshot_name(std::string_view name);

// "snapshot.json": exactly the four keys in declaration order, two-space indentation.
std::string snapshot_meta_to_json(const SnapshotMeta& meta);
// Unknown keys and any key order are accepted; a missing, duplicated or mistyped key fails.
Result<SnapshotMeta> snapshot_meta_from_json(std::string_view text);

// A symbolic link in place of the "snapshots" directory fails every operation below with Io
// (ELOOP).
//
// InvalidConfig for a bad name, SnapshotAlreadyExists when anything is at its path. A
// failure after the directory was made leaves it behind; the collection never changes.
Result<SnapshotMeta> create_snapshot(const Collection& collection, const std::string& name);
// Every snapshot with a readable "snapshot.json", oldest first (ties in listing order).
Result<std::vector<SnapshotMeta>> list_snapshots(const Collection& collection);
// Replaces the live files with the snapshot's (a side file the snapshot lacks is removed, and
// vectors.mmap is always rebuilt) and opens the collection afresh in place of the open one.
// All or nothing: a failure before the commit (see restore_staging.hpp) changes nothing; once
// committed, the old collection is dropped, and if the fresh open fails the collection is
// left out of the manager until the next open of the data directory completes the restore.
Result<void> restore_snapshot(CollectionManager& manager, const std::string& collection_name,
                              const std::string& name);
Result<void> delete_snapshot(const Collection& collection, const std::string& name);

}  // namespace tvdb
