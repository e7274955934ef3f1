#pragma once

// The collections of one data directory. Each collection lives in its own subdirectory,
// named by the collection; the manager opens them all at start and keeps them by name.
//
// The manager itself has no lock: `SharedManager` pairs it with the one read/write lock that
// serialises all collection work of a client (shared for reads, exclusive for writes).

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collection.hpp"
#include "error.hpp"

namespace tvdb {

inline constexpr const char* kDefaultDataDirectory = "./data";

// Collection names become directory names: refused when empty, ".", or containing "/",
// "\", ".." or NUL, so no name can reach outside the data directory.
bool is_valid_collection_name(std::string_view name);

class CollectionManager {
public:
    // Creates the directory (with parents) and opens every subdirectory holding a
    // "meta.json"; a collection that fails to open for any reason is skipped. What an
    // interrupted delete left behind is removed first. Io when the directory cannot be
    // created or listed.
    static Result<CollectionManager> open(std::string base_directory);

    CollectionManager(CollectionManager&&) noexcept = default;
    CollectionManager& operator=(CollectionManager&&) noexcept = default;

    const std::string& base_directory() const { return base_; }

    Collection* get(const std::string& name);
    const Collection* get(const std::string& name) const;
    // In the map's own order.
    std::vector<std::string> names() const;
    size_t size() const { return collections_.size(); }

    // InvalidConfig for a bad name, or for graph parameters given to a kind other than
    // "hnsw" or that HnswIndex refuses; CollectionAlreadyExists when the name is open or its
    // directory already holds a collection that could not be opened. Without `hnsw_config`
    // an "hnsw" collection gets the defaults.
    Result<Collection*> create(const std::string& name, uint64_t dimensions, Metric metric,
                               IndexType index_type,
                               const std::optional<HnswConfig>& hnsw_config = std::nullopt);
    // The open collection of that name as it is, or a new one of `index_type`.
    Result<Collection*> get_or_create(const std::string& name, uint64_t dimensions,
                                      Metric metric, IndexType index_type = IndexType::Hnsw);
    // Deletes the open collection of that name with the directory it was opened from. The
    // directory is first renamed to a name no collection can have, so a crash part-way never
    // brings the collection back; Io when that rename fails (nothing changed then) or when
    // the removal after it fails (the collection is gone; the next open removes the rest).
    // A directory of that name whose meta.json does not parse is deleted the same way, since
    // nothing else could ever free the name. False when there is neither (nothing is
    // touched then).
    Result<bool> remove(const std::string& name);
    // Installs a freshly opened collection under an existing name, dropping the old one.
    void replace(const std::string& name, std::unique_ptr<Collection> collection);
    // Drops the open collection of that name without touching its files.
    void forget(const std::string& name) { collections_.erase(name); }
    // Saves every HNSW graph that changed since it was last written. Best effort: the log
    // holds every acknowledged write, and a graph that could not be saved is rebuilt from it
    // at the next open.
    void save_changed_graphs();

private:
    explicit CollectionManager(std::string base) : base_(std::move(base)) {}

    std::string base_;
    std::unordered_map<std::string, std::unique_ptr<Collection>> collections_;
};

// A manager behind its read/write lock, shared by a client and its collection handles. A
// failure that aborts an operation while the lock is held poisons it: the manager may be
// half-changed, so every later access is refused.
class SharedManager {
public:
    explicit SharedManager(CollectionManager manager) : manager_(std::move(manager)) {}
    // The last client or collection handle is gone: leave graphs that the next open can
    // adopt instead of rebuilding, unless a failure left the manager half-changed.
    ~SharedManager() {
        if (!poisoned()) manager_.save_changed_graphs();
    }
    SharedManager(const SharedManager&) = delete;
    SharedManager& operator=(const SharedManager&) = delete;

    std::shared_mutex& lock() { return lock_; }
    bool poisoned() const { return poisoned_.load(); }
    void poison() { poisoned_.store(true); }

    // Only while holding `lock()` (shared for reading, exclusive for writing).
    CollectionManager& manager() { return manager_; }

private:
    std::shared_mutex lock_;
    std::atomic<bool> poisoned_{false};
    CollectionManager manager_;
};

}  // namespace tvdb
