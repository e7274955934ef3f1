#pragma once

// Restoring a snapshot replaces several files of a collection directory at once: the log,
// meta.json, and the derived sparse.bin, hnsw.graph and vectors.mmap. No single rename can
// swap them all, so a restore goes through two directories inside the collection directory:
//
//   restore.staging/  the snapshot's files are copied here first; until it is renamed, the
//                     live files are untouched and an open simply removes it.
//   restore.ready/    the renamed staging directory: the restore is committed. Its files are
//                     moved into place (a side file it lacks is removed from the live ones),
//                     the log last, and the directory is removed. An open finds a leftover
//                     one only after a crash part-way, and finishes the moves first.
//
// Each move is a rename or an unlink, so finishing again after a crash is always possible. A
// side file that a repeated finish removes instead of moving costs only a rebuild: the log
// alone restores every vector, payload and sparse vector.

#include <string>

#include "error.hpp"

namespace tvdb {

inline constexpr const char* kRestoreStagingDirectoryName = "restore.staging";
inline constexpr const char* kRestoreReadyDirectoryName = "restore.ready";

// Copies the snapshot in `snapshot_dir` (wal.log and meta.json required, sparse.bin and
// hnsw.graph when present; each must be a regular file, not a link) into the staging
// directory of `collection_dir` and renames it to ready. On failure nothing live has changed
// and the staging directory is gone.
Result<void> stage_restore(const std::string& snapshot_dir, const std::string& collection_dir);

// Removes an uncommitted staging directory and moves the files of a committed restore into
// place; nothing to do when neither exists. Io when a move fails (the ready directory stays
// for the next attempt).
Result<void> finish_restore(const std::string& collection_dir);

}  // namespace tvdb
