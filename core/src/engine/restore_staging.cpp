#include "restore_staging.hpp"

#include <filesystem>
#include <system_error>

#include "collection.hpp"
#include "file_io.hpp"
#include "wal_format.hpp"

namespace tvdb {
namespace fs = std::filesystem;

namespace {

// Side files a snapshot may carry; when it does not, the live ones must go.
constexpr const char* kOptionalFiles[] = {kSparseFileName, kGraphFileName};
// Moved after the side files, the log last: until the log moves, an interrupted finish is
// visible only in derived files, which an open checks against the log anyway.
constexpr const char* kRequiredFiles[] = {kMetaFileName, wal_format::kLogFileName};

bool exists_at(const fs::path& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

Result<void> remove_tree(const fs::path& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

Result<void> remove_file(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

Result<void> move_over(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

Result<void> copy_snapshot_files(const fs::path& snapshot, const fs::path& staging) {
    std::error_code ec;
    fs::create_directory(staging, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    for (const char* name : kRequiredFiles) {
        if (auto copied = copy_regular_file((snapshot / name).string(), (staging / name).string());
            !copied) {
            return copied;
        }
    }
    for (const char* name : kOptionalFiles) {
        if (!exists_at(snapshot / name)) continue;
        if (auto copied = copy_regular_file((snapshot / name).string(), (staging / name).string());
            !copied) {
            return copied;
        }
    }
    return {};
}

}  // namespace

Result<void> stage_restore(const std::string& snapshot_dir, const std::string& collection_dir) {
    const fs::path live(collection_dir);
    const fs::path staging = live / kRestoreStagingDirectoryName;
    if (auto removed = remove_tree(staging); !removed) return removed;
    auto staged = copy_snapshot_files(snapshot_dir, staging);
    if (staged) staged = move_over(staging, live / kRestoreReadyDirectoryName);
    if (!staged) (void)remove_tree(staging);
    return staged;
}

Result<void> finish_restore(const std::string& collection_dir) {
    const fs::path live(collection_dir);
    // Never committed: the live files are still the truth.
    if (auto removed = remove_tree(live / kRestoreStagingDirectoryName); !removed) return removed;
    const fs::path ready = live / kRestoreReadyDirectoryName;
    if (!exists_at(ready)) return {};
    for (const char* name : kOptionalFiles) {
        Result<void> done = exists_at(ready / name) ? move_over(ready / name, live / name)
                                                    : remove_file(live / name);
        if (!done) return done;
    }
    // The vector file of a memory-mapped index is rebuilt from the restored log.
    if (auto removed = remove_file(live / kMmapVectorsFileName); !removed) return removed;
    for (const char* name : kRequiredFiles) {
        if (!exists_at(ready / name)) continue;  // moved before an interruption
        if (auto moved = move_over(ready / name, live / name); !moved) return moved;
    }
    return remove_tree(ready);
}

}  // namespace tvdb
