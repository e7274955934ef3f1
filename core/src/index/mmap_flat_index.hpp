#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "detail/slot_map.hpp"
#include "mapped_file.hpp"
#include "vector_index.hpp"

namespace tvdb {

// Exact brute force over a TVEC file (see tvec_format.hpp) mapped read-only, so the operating
// system pages vectors in on demand. Adds wait in memory (pending) and deletions of file
// records are marks in memory until `flush` appends the pending records in place or, when
// file records died, rewrites the file.
//
// Each ID has at most one live vector: adding an ID whose record is in the file supersedes
// that record (it stays dead), and after a flush the file holds exactly one record per live
// ID. Every whole-file write goes to "<path>.tmp" and is renamed over the file before it is
// mapped again; an append writes the records first and the header count last, so a torn
// append leaves the old count and readers ignore the bytes past it.
//
// For an owner that keeps the file next to a log it replays (a collection):
//  - `open` reports a file that is too short, has a bad magic, an unknown metric id or a
//    count larger than the file holds as Serialization; such a file can be treated as absent
//    by starting over with `open_discarding`, which ignores it and replaces it on the next
//    flush.
//  - `find` tells whether the file already holds a vector for an ID (and which), so replayed
//    entries that match need no rewrite; `drop_if` kills every vector whose ID the owner no
//    longer has. `persist` then writes the result and reports failures.
class MmapFlatIndex final : public VectorIndex {
public:
    // Maps and validates the file at `path` if it exists, in this order: Io (open, size or
    // map failure), Serialization "mmap file too small", "invalid TVEC magic",
    // DimensionMismatch (expected = `dimensions`, got = the file's), Serialization "unknown
    // metric id {id}", InvalidConfig "metric mismatch: file={file}, expected={expected}",
    // Serialization when the count needs more bytes than the file has. A missing file gives
    // an empty index and no file is created until a flush. InvalidConfig when `dimensions`
    // does not fit the file's 32-bit field.
    static Result<MmapFlatIndex> open(std::string path, uint64_t dimensions, Metric metric);
    // An empty index whose next flush writes a complete file at `path`, whatever lies there.
    static Result<MmapFlatIndex> open_discarding(std::string path, uint64_t dimensions,
                                                 Metric metric);

    Result<void> add(VectorId id, std::span<const float> vector) override;
    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    Result<std::vector<SearchResult>> search_filtered(std::span<const float> query, uint64_t k,
                                                      const SearchFilter& filter) const override;
    bool remove(VectorId id) override;
    uint64_t len() const override { return record_of_.size() + pending_ids_.size(); }
    const IndexConfig& config() const override { return config_; }
    // Live file records in file order, then pending vectors.
    void iter_vectors(const VectorVisitor& visit) const override;
    void iter_ids(const std::function<void(VectorId)>& visit) const override;
    std::optional<std::vector<float>> vector_of(VectorId id) const override;
    // `persist`, with any failure dropped (the interface's flush reports nothing).
    void flush() override { (void)persist(); }

    // Writes pending vectors and deletions to the file. Io when the file cannot be written or
    // mapped again; then every change stays pending and a later call retries.
    Result<void> persist() override;
    // Row i of `data` is added under start_id + i; nothing is added when the float count is
    // not a whole number of rows.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id);

    // The live vector of `id`, pending or in the file; valid until the next change.
    std::optional<std::span<const float>> find(VectorId id) const override;
    // Deletes every live vector whose ID `drop` accepts; returns how many.
    size_t drop_if(const std::function<bool(VectorId)>& drop) override;
    const std::string& path() const { return path_; }
    // Records counted by the mapped file's header, live or dead.
    uint64_t file_record_count() const { return file_count_; }
    bool has_unflushed_changes() const {
        return rewrite_required_ || pending_ids_.size() != 0 || dead_records() > 0;
    }

private:
    // The k nearest admitted vectors; every vector is admitted without a filter.
    Result<std::vector<SearchResult>> nearest(std::span<const float> query, uint64_t k,
                                              const IdFilter* admit) const;
    MmapFlatIndex(std::string path, uint64_t dimensions, Metric metric);

    uint64_t dead_records() const { return file_count_ - record_of_.size(); }
    const uint8_t* record(uint64_t i) const;
    VectorId record_id(uint64_t i) const;
    const float* record_vector(uint64_t i) const;
    void kill_record(std::unordered_map<VectorId, uint64_t>::iterator it);
    // Marks records from `first` on live and maps their IDs; a later record of an ID wins.
    void index_records(uint64_t first);
    Result<void> append_pending();
    Result<void> rewrite();
    // Maps the file just written with `count` records, of which those from `first_new` on
    // were pending, and forgets what is now on disk.
    Result<void> adopt_file(uint64_t count, uint64_t first_new);

    std::string path_;
    IndexConfig config_;
    MappedFile mapping_;
    bool has_file_ = false;
    uint64_t file_count_ = 0;
    std::unordered_map<VectorId, uint64_t> record_of_;  // live file records only
    std::vector<uint8_t> record_live_;                  // one flag per file record
    SlotMap pending_ids_;
    std::vector<float> pending_vectors_;  // dimensions floats per pending slot
    bool rewrite_required_ = false;
};

}  // namespace tvdb
