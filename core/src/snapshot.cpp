#include "snapshot.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#include "codec.hpp"
#include "collection_meta.hpp"
#include "manager.hpp"
#include "quoted_literal.hpp"
#include "wal_format.hpp"

namespace tvdb {
namespace fs = std::filesystem;

namespace {

bool exists_at(const fs::path& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

Result<void> check_name(const std::string& name) {
    if (is_valid_snapshot_name(name)) return {};
    return fail(VectorDbError::invalid_config("invalid snapshot name: " + quoted_literal(name)));
}

fs::path snapshot_path(const Collection& collection, const std::string& name) {
    return fs::path(collection.dir()) / kSnapshotsDirectoryName / name;
}

uint64_t seconds_since_epoch() {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    return seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
}

Result<void> copy_file_over(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

// Copies beside the target and renames over it: the live file is replaced whole, and a file
// the open collection still holds (its log) keeps its own inode until it is dropped.
Result<void> replace_file(const fs::path& from, const fs::path& to, const fs::path& staging) {
    if (auto copied = copy_file_over(from, staging); !copied) return copied;
    std::error_code ec;
    fs::rename(staging, to, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

Result<void> remove_if_present(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

fs::path staging_path(const fs::path& target) {
    fs::path staging = target;
    staging += ".tmp";
    return staging;
}

// The snapshot.json of one snapshot directory, or nullopt when it has none that parses.
Result<std::optional<SnapshotMeta>> read_snapshot_meta(const fs::path& directory) {
    fs::path file = directory / kSnapshotMetaFileName;
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return std::nullopt;
    auto bytes = read_file(file.string());
    if (!bytes) return fail(bytes.error());
    std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    auto meta = snapshot_meta_from_json(text);
    if (!meta) return std::nullopt;
    return std::optional<SnapshotMeta>(std::move(*meta));
}

}  // namespace

bool is_valid_snapshot_name(std::string_view name) {
    return !name.empty() && name != "." && name.find('/') == std::string_view::npos &&
           name.find('\\') == std::string_view::npos && name.find("..") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::string snapshot_meta_to_json(const SnapshotMeta& meta) {
    nlohmann::ordered_json out;
    out["name"] = meta.name;
    out["created_at"] = meta.created_at;
    out["vector_count"] = meta.vector_count;
    out["sparse_count"] = meta.sparse_count;
    return out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<SnapshotMeta> snapshot_meta_from_json(std::string_view text) {
    std::vector<std::string> top_level_keys;
    auto note_keys = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        if (depth == 1 && event == nlohmann::json::parse_event_t::key) {
            top_level_keys.push_back(parsed.get<std::string>());
        }
        return true;
    };
    nlohmann::json value = nlohmann::json::parse(text, note_keys, false);
    if (value.is_discarded() || !value.is_object()) {
        return fail(VectorDbError::serialization("snapshot.json is not a JSON object"));
    }
    std::sort(top_level_keys.begin(), top_level_keys.end());
    auto repeated = std::adjacent_find(top_level_keys.begin(), top_level_keys.end());
    if (repeated != top_level_keys.end()) {
        return fail(VectorDbError::serialization("duplicate field `" + *repeated + "`"));
    }
    SnapshotMeta meta;
    auto name = value.find("name");
    if (name == value.end()) return fail(VectorDbError::serialization("missing field `name`"));
    if (!name->is_string()) return fail(VectorDbError::serialization("invalid type for `name`"));
    meta.name = name->get<std::string>();
    for (auto [key, field] : {std::pair{"created_at", &meta.created_at},
                              std::pair{"vector_count", &meta.vector_count},
                              std::pair{"sparse_count", &meta.sparse_count}}) {
        auto found = value.find(key);
        if (found == value.end()) {
            return fail(VectorDbError::serialization(std::string("missing field `") + key + "`"));
        }
        if (!found->is_number_unsigned()) {
            return fail(VectorDbError::serialization(std::string("invalid type for `") + key + "`"));
        }
        *field = found->get<uint64_t>();
    }
    return meta;
}

Result<SnapshotMeta> create_snapshot(const Collection& collection, const std::string& name) {
    if (auto valid = check_name(name); !valid) return fail(valid.error());
    fs::path directory = snapshot_path(collection, name);
    if (exists_at(directory)) return fail(VectorDbError::snapshot_already_exists(name));
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    fs::path live(collection.dir());
    if (auto copied = copy_file_over(live / kMetaFileName, directory / kMetaFileName); !copied) {
        return fail(copied.error());
    }
    auto frames = collection.write_live_log((directory / wal_format::kLogFileName).string());
    if (!frames) return fail(frames.error());
    // Only an HNSW index writes a graph. Restoring it spares a rebuild of the whole graph;
    // the collection adopts it only if it holds exactly the vectors the log restores.
    if (auto saved = collection.index().save_graph((directory / kGraphFileName).string()); !saved) {
        return fail(saved.error());
    }
    if (!collection.sparse().is_empty()) {
        if (auto saved = collection.sparse().save((directory / kSparseFileName).string()); !saved) {
            return fail(saved.error());
        }
    }
    SnapshotMeta meta{name, seconds_since_epoch(), *frames, collection.sparse_count()};
    const fs::path meta_path = directory / kSnapshotMetaFileName;
    if (auto written = write_file(meta_path.string(), snapshot_meta_to_json(meta)); !written) {
        return fail(written.error());
    }
    return meta;
}

Result<std::vector<SnapshotMeta>> list_snapshots(const Collection& collection) {
    fs::path root = fs::path(collection.dir()) / kSnapshotsDirectoryName;
    std::vector<SnapshotMeta> found;
    if (!exists_at(root)) return found;
    std::error_code ec;
    fs::directory_iterator entries(root, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    for (; entries != fs::directory_iterator(); entries.increment(ec)) {
        if (ec) return fail(VectorDbError::io_errno(ec));
        std::error_code type_ec;
        if (!entries->is_directory(type_ec)) continue;
        auto meta = read_snapshot_meta(entries->path());
        if (!meta) return fail(meta.error());
        if (*meta) found.push_back(std::move(**meta));
    }
    if (ec) return fail(VectorDbError::io_errno(ec));
    std::stable_sort(found.begin(), found.end(), [](const SnapshotMeta& a, const SnapshotMeta& b) {
        return a.created_at < b.created_at;
    });
    return found;
}

Result<void> restore_snapshot(CollectionManager& manager, const std::string& collection_name,
                              const std::string& name) {
    const Collection* collection = manager.get(collection_name);
    if (collection == nullptr) return fail(VectorDbError::collection_not_found(collection_name));
    if (auto valid = check_name(name); !valid) return valid;
    fs::path source = snapshot_path(*collection, name);
    if (!exists_at(source)) return fail(VectorDbError::snapshot_not_found(name));
    fs::path live(collection->dir());
    // A snapshot that could never be opened is refused before any live file is replaced.
    auto snapshot_meta = read_collection_meta((source / kMetaFileName).string());
    if (!snapshot_meta) return fail(snapshot_meta.error());
    if (snapshot_meta->index_type == IndexType::Faiss) {
        return fail(VectorDbError::invalid_config("snapshot " + quoted_literal(name) +
                                                  " uses the unavailable index type faiss"));
    }

    // Every file is copied beside its live counterpart and renamed over it, so the open
    // collection keeps reading (and mapping) its own files until it is replaced.
    //
    // A crash may stop this sequence anywhere, so each step leaves a directory that opens as
    // the old state or as the snapshot. The log alone carries every sparse vector (each Add
    // holds its ID's current one), while sparse.bin is a base the log only updates: a
    // sparse.bin older or newer than the log would keep sparse vectors the log dropped. So
    // the live sparse.bin goes first, the log is swapped next, and the snapshot's side files
    // follow it.
    if (auto removed = remove_if_present(live / kSparseFileName); !removed) return removed;
    if (auto copied = replace_file(source / wal_format::kLogFileName, live / wal_format::kLogFileName,
                                   live / wal_format::kRewriteFileName);
        !copied) {
        return copied;
    }
    for (const char* file : {kMetaFileName, kSparseFileName, kGraphFileName}) {
        fs::path target = live / file;
        std::error_code ec;
        Result<void> done = fs::exists(source / file, ec)
                                ? replace_file(source / file, target, staging_path(target))
                                : remove_if_present(target);
        if (!done) return done;
    }
    // The vector file of a memory-mapped index is rebuilt from the restored log.
    if (auto removed = remove_if_present(live / kMmapVectorsFileName); !removed) return removed;

    auto reopened = Collection::load(live.string());
    if (!reopened) return fail(reopened.error());
    manager.replace(collection_name, std::make_unique<Collection>(std::move(*reopened)));
    return {};
}

Result<void> delete_snapshot(const Collection& collection, const std::string& name) {
    if (auto valid = check_name(name); !valid) return valid;
    fs::path directory = snapshot_path(collection, name);
    if (!exists_at(directory)) return fail(VectorDbError::snapshot_not_found(name));
    std::error_code ec;
    fs::remove_all(directory, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

}  // namespace tvdb
