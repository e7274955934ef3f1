#include "snapshot.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#include "codec.hpp"
#include "collection_meta.hpp"
#include "manager.hpp"
#include "payload.hpp"
#include "quoted_literal.hpp"
#include "restore_staging.hpp"
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

bool is_link(const fs::path& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() == fs::file_type::symlink;
}

// The collection's "snapshots" directory. A symbolic link in its place would send snapshots
// (and their removal) outside the data directory, so it is refused with ELOOP.
Result<fs::path> snapshots_root(const Collection& collection) {
    fs::path root = fs::path(collection.dir()) / kSnapshotsDirectoryName;
    if (is_link(root)) return fail(VectorDbError::io_errno(ELOOP));
    return root;
}

uint64_t seconds_since_epoch() {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    return seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
}

// The snapshot.json of one snapshot directory, or nullopt when it has none that parses.
Result<std::optional<SnapshotMeta>> read_snapshot_meta(const fs::path& directory) {
    fs::path file = directory / kSnapshotMetaFileName;
    std::error_code ec;
    if (fs::symlink_status(file, ec).type() != fs::file_type::regular) return std::nullopt;
    auto bytes = read_file(file.string(), Symlinks::Refuse);
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
    if (!json_nesting_within(text)) {
        return fail(VectorDbError::serialization("snapshot.json nests deeper than " +
                                                 std::to_string(kMaxJsonNesting) + " levels"));
    }
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
    auto root = snapshots_root(collection);
    if (!root) return fail(root.error());
    fs::path directory = *root / name;
    if (exists_at(directory)) return fail(VectorDbError::snapshot_already_exists(name));
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    fs::path live(collection.dir());
    if (auto copied = copy_regular_file((live / kMetaFileName).string(), (directory / kMetaFileName).string());
        !copied) {
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
    if (auto written = write_file_replacing(meta_path.string(), snapshot_meta_to_json(meta)); !written) {
        return fail(written.error());
    }
    return meta;
}

Result<std::vector<SnapshotMeta>> list_snapshots(const Collection& collection) {
    auto root = snapshots_root(collection);
    if (!root) return fail(root.error());
    std::vector<SnapshotMeta> found;
    if (!exists_at(*root)) return found;
    std::error_code ec;
    fs::directory_iterator entries(*root, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    for (; entries != fs::directory_iterator(); entries.increment(ec)) {
        if (ec) return fail(VectorDbError::io_errno(ec));
        std::error_code type_ec;
        if (entries->symlink_status(type_ec).type() != fs::file_type::directory) continue;
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
    auto root = snapshots_root(*collection);
    if (!root) return fail(root.error());
    fs::path source = *root / name;
    if (!exists_at(source)) return fail(VectorDbError::snapshot_not_found(name));
    if (is_link(source)) return fail(VectorDbError::io_errno(ELOOP));
    // A snapshot that could never be opened is refused before anything is staged.
    auto snapshot_meta = read_collection_meta((source / kMetaFileName).string());
    if (!snapshot_meta) return fail(snapshot_meta.error());
    if (snapshot_meta->index_type == IndexType::Faiss) {
        return fail(VectorDbError::invalid_config("snapshot " + quoted_literal(name) +
                                                  " uses the unavailable index type faiss"));
    }

    // Every file is checked and copied before the one rename that commits the restore; a
    // failure up to there leaves the live collection as it was, in memory and on disk.
    const std::string live = collection->dir();
    if (auto staged = stage_restore(source.string(), live); !staged) return staged;

    // Committed: opening finishes the moves and reads the snapshot's state. The old object
    // must go whatever happens, since its log is no longer the collection's; when the open
    // fails the collection is left out of the manager until the next open finishes it.
    auto reopened = Collection::load(live);
    if (!reopened) {
        manager.forget(collection_name);
        return fail(reopened.error());
    }
    manager.replace(collection_name, std::make_unique<Collection>(std::move(*reopened)));
    return {};
}

Result<void> delete_snapshot(const Collection& collection, const std::string& name) {
    if (auto valid = check_name(name); !valid) return valid;
    auto root = snapshots_root(collection);
    if (!root) return fail(root.error());
    fs::path directory = *root / name;
    if (!exists_at(directory)) return fail(VectorDbError::snapshot_not_found(name));
    std::error_code ec;
    fs::remove_all(directory, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

}  // namespace tvdb
