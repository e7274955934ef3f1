#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec.hpp"
#include <tbb/task_arena.h>

#include "detail/hnsw_graph.hpp"
#include "vector_index.hpp"

namespace tvdb {

// Approximate nearest-neighbour search over an HNSW graph.
//
// Every insertion path rejects an ID that is live, or repeated inside one batch, with
// DuplicateId before anything changes; a removed ID may be added again (its slot is reused).
//
// Scratch state: a search borrows a visit tracker from a small pool guarded by a mutex, so
// concurrent searches (shared access) neither allocate per query nor wait for each other.
//
// Files: `save_graph` writes "hnsw.graph" (the graph record alone) through a temporary file
// renamed over the target; `load_graph_mmap` replaces the graph from such a file, and
// `load_graph_file` builds a new index from one. `save` / `load` use the standalone file
// (index parameters, then the graph record); `load` also reads the older layout that holds
// only vectors. Byte layouts: hnsw_format.hpp.
class HnswIndex final : public VectorIndex {
public:
    // m must be within 1..32 (InvalidConfig otherwise).
    static Result<void> check_config(const HnswConfig& config);
    static Result<std::unique_ptr<HnswIndex>> create(uint64_t dimensions, Metric metric,
                                                     const HnswConfig& config);

    Result<void> add(VectorId id, std::span<const float> vector) override;
    // Checks every entry before inserting any: all or nothing.
    Result<void> add_batch(std::span<const VectorEntry> entries) override;
    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    // `search` with the beam width `ef_search` instead of the configured one, for one call.
    Result<std::vector<SearchResult>> search_with_ef(std::span<const float> query, uint64_t k,
                                                     uint64_t ef_search) const;
    // Walks the graph keeping only admitted nodes, or, when so few are admitted that the walk
    // would cost more, measures the filter's candidates or scans every vector exactly; a walk
    // that finds fewer than k is completed by the scan, so the answer always holds
    // min(k, admitted) hits.
    Result<std::vector<SearchResult>> search_filtered(std::span<const float> query, uint64_t k,
                                                      const SearchFilter& filter) const override;
    bool stores_vector(VectorId id, std::span<const float> vector) const override;
    bool remove(VectorId id) override;
    uint64_t len() const override { return graph_.node_count(); }
    const IndexConfig& config() const override { return config_; }
    // Live vectors in ascending ID order.
    void iter_vectors(const VectorVisitor& visit) const override;
    void iter_ids(const std::function<void(VectorId)>& visit) const override;
    std::optional<std::vector<float>> vector_of(VectorId id) const override;
    // Writes nothing when the index is empty (an existing file stays as it is).
    Result<void> save_graph(const std::string& path) const override;
    // A missing file changes nothing; otherwise the saved graph (with its own m, m0,
    // ef_construction and level multiplier) replaces this one. A failed load changes nothing.
    Result<void> load_graph_mmap(const std::string& path) override;

    // Rows of `data` get IDs start_id, start_id + 1, ...; the caller has checked the width.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id);
    // The same insertion built on `num_threads` workers (0: the default concurrency): after a
    // bootstrap of one micro-batch inserted in order, each micro-batch (micro_batch_size
    // rows, 0 meaning 256) is staged, its neighbour searches run in parallel against the
    // read-only graph, and its links are applied as linking the rows in order would apply
    // them, list by list in parallel. For given levels the graph does not depend on the
    // number of threads. Fails with Io, before any change, when no worker can be started.
    Result<void> add_batch_parallel(std::span<const float> data, VectorId start_id,
                                    size_t num_threads, size_t micro_batch_size);
    // The parallel build over explicit IDs (all cores, micro-batches of 256): what collections
    // use for bulk writes and for rebuilding from their log. DuplicateId, before any change,
    // for an ID that is live or repeated.
    Result<void> add_rows_in_bulk(std::span<const VectorId> ids,
                                  std::span<const float> rows) override;

    Result<void> save(const std::string& path) const;
    static Result<std::unique_ptr<HnswIndex>> load(const std::string& path);
    // The standalone file's bytes, in memory.
    std::vector<uint8_t> to_bytes() const;
    static Result<std::unique_ptr<HnswIndex>> from_bytes(std::span<const uint8_t> bytes);
    // A new index with the given parameters and the graph of a saved "hnsw.graph" (Io when
    // the file is missing), e.g. to compare a saved graph with vectors rebuilt elsewhere.
    static Result<std::unique_ptr<HnswIndex>> load_graph_file(const std::string& path,
                                                              const IndexConfig& config,
                                                              const HnswConfig& hnsw_config);

    const HnswConfig& hnsw_config() const { return hnsw_config_; }
    const HnswGraph& graph() const { return graph_; }
    // Makes the levels of later insertions reproducible.
    void seed_levels(uint64_t seed) { graph_.seed_levels(seed); }

    HnswIndex(const IndexConfig& config, const HnswConfig& hnsw_config, HnswGraph graph);

private:
    class ScratchLease;

    template <typename Sink>
    void write_to(RecordEncoder<Sink>& out) const;
    bool is_live(VectorId id) const;
    // Share of live nodes `admit` accepts, estimated on evenly spaced slots.
    double admitted_share(const IdFilter& admit) const;
    std::vector<SearchResult> scan_admitted(std::span<const float> query, uint64_t k,
                                            const IdFilter& admit) const;
    std::vector<SearchResult> measure_candidates(std::span<const float> query, uint64_t k,
                                                 std::span<const VectorId> candidates,
                                                 const IdFilter& admit) const;
    // The first k found pairs as hits with reported distances.
    std::vector<SearchResult> report(std::span<const Candidate> found, uint64_t k) const;
    // DuplicateId for the first live ID of start_id .. start_id + rows - 1.
    Result<void> check_new_range(VectorId start_id, uint64_t rows) const;
    Result<void> check_room(size_t rows) const;
    std::vector<uint32_t> assign_slots(VectorId start_id, size_t rows);
    // Inserts rows[i] at slots[i]: the first micro-batch one by one, the rest with parallel
    // neighbour searches and linking on `arena` (absent when one micro-batch holds them all).
    void insert_in_parallel(std::span<const uint32_t> slots, std::span<const float> rows,
                            std::optional<tbb::task_arena>& arena, size_t micro_batch);

    HnswGraph graph_;
    IndexConfig config_;
    HnswConfig hnsw_config_;
    mutable std::mutex scratch_mutex_;
    mutable std::vector<std::unique_ptr<VisitedTracker>> spare_trackers_;
};

}  // namespace tvdb
