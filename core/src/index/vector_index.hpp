#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "distance.hpp"
#include "error.hpp"

namespace tvdb {

using VectorId = uint64_t;

struct IndexConfig {
    uint64_t dimensions = 0;
    Metric metric = Metric::L2;
};

// One hit; a search answer is ordered by ascending distance (ties in no particular order).
struct SearchResult {
    VectorId id;
    float distance;
};

struct HnswConfig {
    uint64_t ef_construction = 200;
    uint64_t ef_search = 50;
    uint64_t m = 12;
};

struct IvfConfig {
    uint64_t n_lists = 256;
    uint64_t nprobe = 16;
    uint64_t train_size = 4096;
    uint64_t max_iter = 25;
};

struct PqConfig {
    uint64_t m = 8;
    uint64_t k_sub = 256;
    uint64_t max_iter = 25;
};

struct IvfPqConfig {
    uint64_t n_lists = 256;
    uint64_t nprobe = 16;
    uint64_t train_size = 4096;
    uint64_t max_iter = 25;
    PqConfig pq;
};

using VectorEntry = std::pair<VectorId, std::vector<float>>;
// Decides whether a filtered search may return a vector; asked from the searching thread.
using IdFilter = std::function<bool(VectorId)>;

// Lists every ID a filter may admit (others too, perhaps), or nullopt when it does not know
// at most `limit` such IDs.
using CandidateLister = std::function<std::optional<std::vector<VectorId>>(size_t limit)>;

// What a filtered search may return: the IDs `admit` accepts. `candidates`, when set, lets
// a kind measure just the few IDs that can be admitted.
struct SearchFilter {
    IdFilter admit;
    CandidateLister candidates;
};
// Receives one live vector: (ID, the stored vector or its decoded approximation).
using VectorVisitor = std::function<void(VectorId, std::span<const float>)>;

// The interface every index kind serves. One writer at a time: the owner provides the
// exclusion (mutating operations exclusively, reading ones shared).
class VectorIndex {
public:
    virtual ~VectorIndex() = default;

    // Fails with DimensionMismatch first; what a repeated ID does is the kind's own rule.
    virtual Result<void> add(VectorId id, std::span<const float> vector) = 0;
    // Default: `add` in order, stopping at the first error (earlier entries stay added).
    virtual Result<void> add_batch(std::span<const VectorEntry> entries);
    // Row i of `rows` (config().dimensions floats each) under ids[i], by the rules of
    // `add_batch`; InvalidConfig unless there is exactly one row per ID. Default: `add_batch`
    // of copies.
    virtual Result<void> add_rows(std::span<const VectorId> ids, std::span<const float> rows);
    // `add_rows` for a large batch of new IDs, built as fast as the kind can on every core;
    // the structure may differ from the one `add_rows` builds (equally valid). Default:
    // `add_rows`.
    virtual Result<void> add_rows_in_bulk(std::span<const VectorId> ids,
                                          std::span<const float> rows) {
        return add_rows(ids, rows);
    }
    // At most k hits, ascending by distance; an index without live vectors answers empty.
    virtual Result<std::vector<SearchResult>> search(std::span<const float> query,
                                                     uint64_t k) const = 0;
    // The k nearest among the vectors the filter admits, ranked as `search` ranks them:
    // min(k, admitted vectors) hits, where `search` would reach every vector.
    virtual Result<std::vector<SearchResult>> search_filtered(std::span<const float> query,
                                                              uint64_t k,
                                                              const SearchFilter& filter) const = 0;
    // Whether a live vector with that ID is stored bit for bit as `vector`, so that writing
    // it again would change nothing. Kinds that keep an approximation answer false.
    virtual bool stores_vector(VectorId /*id*/, std::span<const float> /*vector*/) const {
        return false;
    }
    // True when a live vector with that ID existed and is now gone.
    virtual bool remove(VectorId id) = 0;
    virtual uint64_t len() const = 0;
    virtual bool is_empty() const { return len() == 0; }
    virtual const IndexConfig& config() const = 0;
    // Visits every live vector; the index must not change during the visit.
    virtual void iter_vectors(const VectorVisitor& visit) const = 0;
    // Visits the ID of every live vector, as `iter_vectors` would, without producing vectors.
    virtual void iter_ids(const std::function<void(VectorId)>& visit) const;
    // A copy of the vector `iter_vectors` yields for `id` (for kinds that store an
    // approximation, the decoded one), or nothing when the ID is not live. Default: a walk
    // of `iter_vectors`.
    virtual std::optional<std::vector<float>> vector_of(VectorId id) const;
    // The live vector of `id` as stored, valid until the next change; nullopt when the ID is
    // not live or the kind does not lend its stored vectors (the default).
    virtual std::optional<std::span<const float>> find(VectorId /*id*/) const {
        return std::nullopt;
    }
    // Deletes every live vector whose ID `drop` accepts; returns how many. Default: `remove`
    // of each such ID, in `iter_ids` order.
    virtual size_t drop_if(const std::function<bool(VectorId)>& drop);
    // Finishes deferred work; failures are not reported.
    virtual void flush() {}
    // Writes the changes a kind with a file of its own still holds in memory; on failure they
    // stay pending and a later call retries. Default: nothing to write.
    virtual Result<void> persist() { return {}; }
    virtual Result<void> save_graph(const std::string& path) const;
    // Default: flush() and succeed, so deferred training happens after a rebuild.
    virtual Result<void> load_graph_mmap(const std::string& path);
};

// Checks a query or vector length against the index dimension.
inline Result<void> check_dimensions(uint64_t dimensions, size_t got) {
    if (got != dimensions) return fail(VectorDbError::dimension_mismatch(dimensions, got));
    return {};
}

// Checks that bulk insertion of `rows` rows from `start_id` has dimensions to divide by
// and does not run past the largest ID.
Result<uint64_t> bulk_row_count(uint64_t dimensions, size_t floats, VectorId start_id);

// InvalidConfig unless `floats` values are exactly `id_count` rows of `dimensions` (rows of
// no dimensions hold no floats, whatever their count).
Result<void> check_row_ids(uint64_t dimensions, size_t id_count, size_t floats);
// One entry per ID with its row copied out, after `check_row_ids`.
Result<std::vector<VectorEntry>> rows_to_entries(uint64_t dimensions, std::span<const VectorId> ids,
                                                 std::span<const float> rows);

}  // namespace tvdb
