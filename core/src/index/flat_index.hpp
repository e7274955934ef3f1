#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "batch_search.hpp"
#include "codec.hpp"
#include "detail/huge_page_allocator.hpp"
#include "vector_index.hpp"

namespace tvdb {

// Exact brute force at full precision. Slots are appended and never reused or moved: a
// delete clears the slot's flag, and the slot stays in memory and in saved files.
class FlatIndex final : public VectorIndex {
public:
    FlatIndex(uint64_t dimensions, Metric metric);

    Result<void> add(VectorId id, std::span<const float> vector) override;
    // Checks every entry before storing any: all or nothing.
    Result<void> add_batch(std::span<const VectorEntry> entries) override;
    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    Result<std::vector<SearchResult>> search_filtered(std::span<const float> query, uint64_t k,
                                                      const SearchFilter& filter) const override;
    bool remove(VectorId id) override;
    uint64_t len() const override { return count_; }
    const IndexConfig& config() const override { return config_; }
    void iter_vectors(const VectorVisitor& visit) const override;
    void iter_ids(const std::function<void(VectorId)>& visit) const override;
    std::optional<std::vector<float>> vector_of(VectorId id) const override;
    // All or nothing, as add_batch, without copying the rows one by one.
    Result<void> add_rows(std::span<const VectorId> ids, std::span<const float> rows) override;

    // `search` for every row of `queries`, written as search_rows (batch_search.hpp) writes
    // it, on `num_threads` workers. For L2 and enough queries, a matrix product over blocks
    // of queries bounds each stored vector's distance from below, and only vectors that could
    // still enter a query's k nearest are measured by the kernel: the answers are those of
    // `search`, bit for bit, ties included.
    Result<void> search_rows(const QueryRows& queries, uint64_t k, size_t num_threads,
                             VectorId* ids, float* distances) const;

    // Rows of `data` get IDs start_id, start_id + 1, ...; the caller has checked the width.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id);
    Result<void> save(const std::string& path) const;
    static Result<FlatIndex> load(const std::string& path);
    // The saved file's bytes, in memory.
    std::vector<uint8_t> to_bytes() const;
    static Result<FlatIndex> from_bytes(std::span<const uint8_t> bytes);

    uint64_t slot_count() const { return ids_.size(); }

private:
    class MatrixScan;

    template <typename Sink>
    void write_to(RecordEncoder<Sink>& out) const;
    void reserve_rows(size_t rows);
    // The k nearest admitted vectors; every vector is admitted without a filter.
    Result<std::vector<SearchResult>> nearest(std::span<const float> query, uint64_t k,
                                              const IdFilter* admit) const;
    void append_slot(VectorId id, std::span<const float> vector);
    std::span<const float> slot_vector(size_t slot) const;

    std::vector<float, HugePageAllocator<float>> vectors_;
    std::vector<VectorId> ids_;
    std::vector<uint8_t> alive_;
    IndexConfig config_;
    std::unordered_map<VectorId, size_t> id_to_slot_;
    uint64_t count_ = 0;
};

}  // namespace tvdb
