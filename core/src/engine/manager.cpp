#include "manager.hpp"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "collection_meta.hpp"
#include "hnsw_index.hpp"
#include "quoted_literal.hpp"

namespace tvdb {
namespace fs = std::filesystem;

namespace {

// A collection directory being deleted is renamed to "{name}..deleted" first. Collection
// names never contain "..", so no collection is ever opened from it, and an open removes it.
constexpr std::string_view kDeletedSuffix = "..deleted";

bool holds_meta(const fs::path& directory) {
    std::error_code ec;
    return fs::symlink_status(directory / kMetaFileName, ec).type() == fs::file_type::regular;
}

bool is_deleted_leftover(const fs::path& path) {
    return path.filename().string().ends_with(kDeletedSuffix);
}

// Renames `directory` to "{directory}..deleted", replacing an older leftover of that name.
// The new path, or nullopt when there was no directory to move.
Result<std::optional<fs::path>> move_aside(const fs::path& directory) {
    fs::path doomed = directory.parent_path() / (directory.filename().string() + std::string(kDeletedSuffix));
    std::error_code ec;
    fs::remove_all(doomed, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    fs::rename(directory, doomed, ec);
    if (ec == std::errc::no_such_file_or_directory) return std::nullopt;
    if (ec) return fail(VectorDbError::io_errno(ec));
    return std::optional<fs::path>(std::move(doomed));
}

Result<void> remove_tree(const std::optional<fs::path>& doomed) {
    if (!doomed) return {};
    std::error_code ec;
    fs::remove_all(*doomed, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    return {};
}

// A directory whose meta.json is there but does not parse: no open can ever succeed, and
// create refuses the name while it exists.
bool holds_unreadable_meta(const fs::path& directory) {
    if (!holds_meta(directory)) return false;
    auto meta = read_collection_meta((directory / kMetaFileName).string());
    return !meta && meta.error().kind == ErrorKind::Serialization;
}

}  // namespace

bool is_valid_collection_name(std::string_view name) {
    return !name.empty() && name != "." && name.find('/') == std::string_view::npos &&
           name.find('\\') == std::string_view::npos && name.find("..") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

Result<CollectionManager> CollectionManager::open(std::string base_directory) {
    std::error_code ec;
    fs::create_directories(base_directory, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    CollectionManager manager(base_directory);
    fs::directory_iterator entries(base_directory, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    std::vector<fs::path> leftovers;
    for (; entries != fs::directory_iterator(); entries.increment(ec)) {
        if (ec) return fail(VectorDbError::io_errno(ec));
        const fs::path& path = entries->path();
        std::error_code type_ec;
        if (!entries->is_directory(type_ec)) continue;
        if (is_deleted_leftover(path)) {
            leftovers.push_back(path);
            continue;
        }
        if (!holds_meta(path)) continue;
        // One collection that cannot be opened must not keep the others from opening.
        auto loaded = Collection::load(path.string());
        if (!loaded) continue;
        auto collection = std::make_unique<Collection>(std::move(*loaded));
        std::string name = collection->meta().name;
        manager.collections_.insert_or_assign(std::move(name), std::move(collection));
    }
    if (ec) return fail(VectorDbError::io_errno(ec));
    // Best effort: a leftover that stays is never opened, and the next open tries again.
    for (const fs::path& leftover : leftovers) fs::remove_all(leftover, ec);
    return manager;
}

Collection* CollectionManager::get(const std::string& name) {
    auto found = collections_.find(name);
    return found == collections_.end() ? nullptr : found->second.get();
}

const Collection* CollectionManager::get(const std::string& name) const {
    auto found = collections_.find(name);
    return found == collections_.end() ? nullptr : found->second.get();
}

std::vector<std::string> CollectionManager::names() const {
    std::vector<std::string> out;
    out.reserve(collections_.size());
    for (const auto& entry : collections_) out.push_back(entry.first);
    return out;
}

Result<Collection*> CollectionManager::create(const std::string& name, uint64_t dimensions,
                                              Metric metric, IndexType index_type,
                                              const std::optional<HnswConfig>& hnsw_config) {
    if (!is_valid_collection_name(name)) {
        return fail(VectorDbError::invalid_config("invalid collection name: " + quoted_literal(name)));
    }
    if (index_type == IndexType::Faiss) {
        return fail(VectorDbError::invalid_config("index type faiss is not available"));
    }
    if (hnsw_config) {
        if (index_type != IndexType::Hnsw) {
            return fail(VectorDbError::invalid_config("hnsw_config applies to index_type \"hnsw\" only"));
        }
        if (auto ok = HnswIndex::check_config(*hnsw_config); !ok) return fail(ok.error());
    }
    fs::path directory = fs::path(base_) / name;
    // A directory that already holds a collection, even one that failed to open, is never
    // overwritten: its meta.json and log stay as they are.
    if (collections_.contains(name) || holds_meta(directory)) {
        return fail(VectorDbError::collection_already_exists(name));
    }
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) return fail(VectorDbError::io_errno(ec));
    CollectionMeta meta = new_collection_meta(name, dimensions, metric, index_type);
    if (hnsw_config) meta.hnsw_config = *hnsw_config;
    auto created = Collection::create(directory.string(), std::move(meta));
    if (!created) return fail(created.error());
    auto collection = std::make_unique<Collection>(std::move(*created));
    Collection* raw = collection.get();
    collections_.emplace(name, std::move(collection));
    return raw;
}

Result<Collection*> CollectionManager::get_or_create(const std::string& name, uint64_t dimensions,
                                                     Metric metric, IndexType index_type) {
    if (Collection* existing = get(name)) return existing;
    return create(name, dimensions, metric, index_type);
}

Result<bool> CollectionManager::remove(const std::string& name) {
    auto found = collections_.find(name);
    fs::path directory;
    if (found != collections_.end()) {
        directory = found->second->dir();
    } else if (is_valid_collection_name(name) && holds_unreadable_meta(fs::path(base_) / name)) {
        directory = fs::path(base_) / name;
    } else {
        return false;
    }
    // The rename is the point of no return: when it fails, the collection stays open and
    // whole. Its log may stay open across the rename; it is closed before the files go.
    auto moved = move_aside(directory);
    if (!moved) return fail(moved.error());
    if (found != collections_.end()) collections_.erase(found);
    if (auto removed = remove_tree(*moved); !removed) return fail(removed.error());
    return true;
}

void CollectionManager::replace(const std::string& name, std::unique_ptr<Collection> collection) {
    collections_.insert_or_assign(name, std::move(collection));
}

void CollectionManager::save_changed_graphs() {
    for (auto& [name, collection] : collections_) (void)collection->save_graph_if_changed();
}

}  // namespace tvdb
