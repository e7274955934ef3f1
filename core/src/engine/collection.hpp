#pragma once

// One open collection: its metadata, log, vector index, payloads and sparse vectors, kept
// in one directory. Every change is written to the log first and applied in memory after.
// A collection has no lock of its own: its owner serialises writes against everything
// (mutating calls exclusively, const calls shared).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "collection_files.hpp"
#include "collection_meta.hpp"
#include "error.hpp"
#include "filter.hpp"
#include "payload.hpp"
#include "payload_index.hpp"
#include "payload_store.hpp"
#include "sparse_index.hpp"
#include "vector_index.hpp"
#include "wal.hpp"

namespace tvdb {

// One search hit with a copy of its payload (absent when the ID has none).
struct CollectionHit {
    VectorId id = 0;
    float distance = 0.0f;
    std::optional<Payload> payload;
};

// One entry of upsert_batch.
struct UpsertEntry {
    VectorId id = 0;
    std::vector<float> vector;
    std::optional<Payload> payload;
    // Absent keeps the ID's existing sparse vector.
    std::optional<SparseVector> sparse;
};

class Collection {
public:
    // Writes meta.json into the existing directory `dir` (through a temporary file), builds
    // the empty index and creates the log.
    static Result<Collection> create(const std::string& dir, CollectionMeta meta);
    // Opens the collection stored in `dir`: an interrupted restore finished, then metadata,
    // index, sparse vectors, log replay. Files inside `dir` that are symbolic links are not
    // followed: a linked meta.json or wal.log fails the open, a linked derived file is
    // ignored and rebuilt.
    static Result<Collection> load(const std::string& dir);

    Collection(Collection&&) noexcept;
    Collection& operator=(Collection&&) noexcept;
    ~Collection();

    // Inserts or replaces a vector; no payload removes an existing one. The sparse vector of
    // the ID is kept. DimensionMismatch (before anything is written) on a wrong length.
    Result<void> upsert(VectorId id, std::span<const float> vector,
                        std::optional<Payload> payload = std::nullopt);
    // As upsert, also storing a sparse vector when one is given (none keeps the old one).
    Result<void> upsert_hybrid(VectorId id, std::span<const float> vector,
                               std::optional<SparseVector> sparse,
                               std::optional<Payload> payload = std::nullopt);
    // Every entry is checked first; a batch with any bad entry writes nothing. One flush,
    // then one compaction and promotion check. Later entries of a repeated ID win.
    Result<void> upsert_batch(std::vector<UpsertEntry> entries);
    // upsert_batch in columns: row i of `rows` (dimensions floats each) under ids[i], with
    // payloads[i] and sparse[i] when those are given (empty: none for every row; otherwise
    // one per ID, else InvalidConfig).
    Result<void> upsert_rows(std::span<const VectorId> ids, std::span<const float> rows,
                             std::vector<std::optional<Payload>> payloads,
                             std::vector<std::optional<SparseVector>> sparse = {});
    // Logs a delete (even for an unknown ID) and removes the ID everywhere; true when the
    // index held it.
    Result<bool> remove(VectorId id);
    // remove for each ID, with one flush: every frame is written before anything changes in
    // memory. Returns how many IDs the index held.
    Result<uint64_t> remove_batch(std::span<const VectorId> ids);
    // Replaces the payload of a live ID (none removes it), logged as an Add of the vector the
    // index holds, which stays untouched; false, with nothing written, for an unknown ID.
    Result<bool> update_payload(VectorId id, std::optional<Payload> payload);

    uint64_t len() const;
    uint64_t sparse_count() const { return sparse_.len(); }

    // The k nearest with their payloads, ascending distance.
    Result<std::vector<CollectionHit>> search_inner(std::span<const float> query,
                                                    uint64_t k) const;
    // With a filter: the k nearest vectors whose payload (null when absent) matches, so
    // min(k, matching vectors) hits; without one, search_inner.
    Result<std::vector<CollectionHit>> search(std::span<const float> query, uint64_t k,
                                              const FilterCondition* filter = nullptr) const;

    // Admits the vectors whose payload (null when absent) matches `filter`, which must
    // outlive the returned filter.
    SearchFilter search_filter(const FilterCondition& filter) const;

    // Rewrites the log from the live state, then saves hnsw.graph and sparse.bin beside it.
    Result<void> compact();
    // Rebuilds a flat collection as HNSW and rewrites meta.json through meta.json.tmp.
    Result<void> promote_to_hnsw();

    // Writes a compacted log of the live state (one Add per live vector, with payload and
    // sparse vector) at `path` through its ".log.tmp" sibling; returns the frames written.
    // The live log is not touched (snapshots use this).
    Result<uint64_t> write_live_log(const std::string& path) const;

    const CollectionMeta& meta() const { return meta_; }
    const std::string& dir() const { return dir_; }
    const VectorIndex& index() const { return *index_; }
    const SparseIndex& sparse() const { return sparse_; }
    // Every payload as a value tree (built on first use).
    const PayloadMap& payloads() const { return payloads_->values(); }
    // nullptr when the ID has no payload. Builds every payload's tree on first use; a
    // caller that only copies a payload out should use payload_copy.
    const Payload* payload(VectorId id) const { return payloads_->value(id); }
    std::optional<Payload> payload_copy(VectorId id) const { return payloads_->copy(id); }
    // Frames counted toward the compaction threshold.
    uint64_t wal_count() const;
    // Writes hnsw.graph when the in-memory graph differs from the one on disk (writes since
    // the last compaction, or a graph rebuilt from the log at open), so the next open adopts
    // it instead of rebuilding. Nothing to do for other index kinds.
    Result<void> save_graph_if_changed();

private:
    Collection(CollectionMeta meta, std::string dir, std::unique_ptr<VectorIndex> index,
               SparseIndex sparse, std::unique_ptr<PayloadStore> payloads, Wal wal,
               bool graph_on_disk);

    Result<void> check_add_record(VectorId id, size_t components,
                                  std::optional<size_t> payload_bytes,
                                  std::optional<size_t> sparse_bytes) const;
    std::optional<size_t> carried_sparse_size(
        VectorId id, const std::optional<std::vector<uint8_t>>& given) const;
    // The log writer, reopened if a compaction could not reopen it.
    Result<Wal*> open_wal();
    Result<void> write_single_add(VectorId id, std::span<const float> vector,
                                  std::optional<Payload> payload,
                                  std::optional<SparseVector> sparse);
    // Compaction and (when asked) promotion checks after a write; `index_changed` false keeps
    // a saved graph valid.
    Result<void> after_write(bool promotion_check, bool index_changed = true);
    // Removes each ID from the index and adds the last row of every ID, in row order.
    Result<void> replace_rows(std::span<const VectorId> ids, std::span<const float> rows);
    Result<void> save_graph();
    void set_payload(VectorId id, std::optional<Payload> payload, std::optional<std::string> text);
    std::string file_path(const char* name) const;
    std::vector<CollectionHit> with_payloads(std::span<const SearchResult> found) const;

    CollectionMeta meta_;
    std::string dir_;
    std::unique_ptr<VectorIndex> index_;
    SparseIndex sparse_;
    // Behind a pointer, as the payload index below, so that the collection stays movable.
    std::unique_ptr<PayloadStore> payloads_;
    std::unique_ptr<PayloadIndex> payload_index_ = std::make_unique<PayloadIndex>();
    std::unique_ptr<Wal> wal_;
    // Whether hnsw.graph holds exactly the in-memory graph.
    bool graph_on_disk_;
};

}  // namespace tvdb
