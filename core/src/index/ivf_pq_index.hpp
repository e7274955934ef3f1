#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "pq.hpp"
#include "training_buffer.hpp"
#include "vector_index.hpp"

namespace tvdb {

// The entries of one coarse cluster: IDs, and their codes back to back (m bytes each, in the
// same order), so a probe reads both arrays front to back.
struct CodeList {
    std::vector<VectorId> ids;
    std::vector<uint8_t> codes;
};

// Inverted file whose lists hold product-quantized residuals (vector minus its coarse
// centroid). Buffers and searches exactly until trained, like IvfIndex; after training a
// probed list is scored by asymmetric distance: one table of squared sub-distances from the
// query's residual per list, then m lookups per entry. Coded hits report that approximate
// squared L2 distance whatever the metric; buffered hits report the metric's distance.
//
// Every trained vector is also kept at full precision, for `iter_vectors` only. No ID is
// checked for repeats; the full-precision map and `id_to_list_` follow the newest copy.
class IvfPqIndex final : public VectorIndex {
public:
    // The only way to build one: InvalidConfig when training could never succeed (n_lists
    // 0, pq.m 0, dimensions not divisible by pq.m, pq.k_sub 0 or above 256). Collections
    // building index type "ivf_pq" go through here too.
    static Result<std::unique_ptr<IvfPqIndex>> create(IndexConfig config, IvfPqConfig ivf_pq);

    Result<void> add(VectorId id, std::span<const float> vector) override;
    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    bool remove(VectorId id) override;
    uint64_t len() const override;
    const IndexConfig& config() const override { return config_; }
    // The buffer in insertion order, then each list entry that still has a full-precision
    // vector (list 0, 1, ..., each in its own order), paired with that vector.
    void iter_vectors(const VectorVisitor& visit) const override;
    // Trains if untrained and vectors are buffered.
    void flush() override;
    // As IvfIndex::load_graph_mmap: trains only a buffer that has reached `train_size`, so
    // reopening a collection never clusters a few buffered vectors; `flush` trains at once.
    Result<void> load_graph_mmap(const std::string& path) override;

    // Rows of `data` get IDs start_id, start_id + 1, ...; the caller has checked the width.
    // Rows are buffered until training, then assigned and encoded in bulk.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id);
    // Coarse k-means on the buffer, then the codebook on the residuals; nothing when empty.
    void train();

    Result<void> save(const std::string& path) const;
    // Serialization for any file whose fields disagree with each other.
    static Result<std::unique_ptr<IvfPqIndex>> load(const std::string& path);

    bool is_trained() const { return trained_; }
    uint64_t n_centroids() const { return n_centroids_; }
    const std::vector<float>& centroids() const { return centroids_; }
    const IvfPqConfig& ivf_pq_config() const { return ivf_pq_; }
    const std::optional<PqCodebook>& codebook() const { return codebook_; }
    const std::vector<CodeList>& lists() const { return lists_; }

private:
    IvfPqIndex(IndexConfig config, IvfPqConfig ivf_pq);

    // Appends one encoded entry to its list and records it in both maps.
    void file_entry(VectorId id, std::span<const float> vector, uint64_t list,
                    const uint8_t* code);
    // Encodes n rows against their assigned lists in bulk and files them; row i gets ID
    // ids[i], or first_id + i when `ids` is null.
    void file_rows(const float* rows, const VectorId* ids, VectorId first_id, uint64_t n,
                   const std::vector<uint64_t>& lists);
    // Builds `coarse_terms_` when the codebook exists and the table stays within bounds.
    void prepare_search_tables();
    // The table of list `list` for a query: from the precomputed terms when present,
    // otherwise directly from the query's residual. `scratch` holds `dims` floats.
    void list_table(std::span<const float> query, uint64_t list, const float* query_terms,
                    float* scratch, float* table) const;

    IndexConfig config_;
    IvfPqConfig ivf_pq_;
    TrainingBuffer buffer_;
    std::vector<float> centroids_;
    uint64_t n_centroids_ = 0;
    std::optional<PqCodebook> codebook_;
    std::vector<CodeList> lists_;
    std::unordered_map<VectorId, std::vector<float>> full_vectors_;
    std::unordered_map<VectorId, uint64_t> id_to_list_;
    bool trained_ = false;
    // Derived, not saved: PqCodebook::coarse_terms of every coarse centroid, list after list.
    std::vector<float> coarse_terms_;
};

}  // namespace tvdb
