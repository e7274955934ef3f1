#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "training_buffer.hpp"
#include "vector_index.hpp"

namespace tvdb {

// The vectors of one cluster, back to back, with their IDs in the same order; `dim` is the
// stride of `vectors` (the index's dimensions).
struct PostingList {
    std::vector<VectorId> ids;
    std::vector<float> vectors;
    uint64_t dim = 0;
};

// Rows in a bulk block of `floats` values of width `dims` for IDs from `start_id`:
// InvalidConfig when the block is ragged, the width is 0, or the IDs would pass 2^64 - 1.
Result<uint64_t> raw_row_count(uint64_t dims, size_t floats, VectorId start_id);

// Inverted file over k-means clusters. Until trained, vectors wait in a buffer and searches
// are exact over it; training (when the buffer reaches `train_size`, or on flush) clusters
// the buffer once and for all, and from then on each vector goes to the posting list of its
// nearest centroid and a search scans the `nprobe` lists nearest to the query.
//
// No ID is checked for repeats: re-adding an ID after training keeps the old copy in its
// list, and `id_to_list_` points at the newest.
class IvfIndex final : public VectorIndex {
public:
    // The only way to build one: fails with InvalidConfig when training could never succeed
    // (n_lists = 0). Collections building index type "ivf" go through here too.
    static Result<std::unique_ptr<IvfIndex>> create(IndexConfig config, IvfConfig ivf);

    // No duplicate check; may train (see class comment).
    Result<void> add(VectorId id, std::span<const float> vector) override;
    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    bool remove(VectorId id) override;
    uint64_t len() const override;
    const IndexConfig& config() const override { return config_; }
    // The buffer in insertion order, then list 0, 1, ... each in its own order.
    void iter_vectors(const VectorVisitor& visit) const override;
    // Trains if untrained and vectors are buffered.
    void flush() override;
    // Reopening a collection replays its log through `add` and then calls this. It trains
    // only when the buffer has reached `train_size` (which `add` already handles), never
    // below it: a reopened collection must not cluster a handful of vectors that happened
    // to be buffered when it was closed. Callers that want training now use `flush`.
    Result<void> load_graph_mmap(const std::string& path) override;

    // Rows of `data` get IDs start_id, start_id + 1, ...; the caller has checked the width.
    // Untrained, rows are buffered until the buffer reaches `train_size` and trains; every
    // row after that is assigned in bulk.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id);
    // Clusters the buffer (k-means) and moves it into the lists; nothing when it is empty.
    void train();

    Result<void> save(const std::string& path) const;
    // Serialization for any file whose fields disagree with each other.
    static Result<std::unique_ptr<IvfIndex>> load(const std::string& path);

    bool is_trained() const { return trained_; }
    uint64_t n_centroids() const { return n_centroids_; }
    const IvfConfig& ivf_config() const { return ivf_; }
    const std::vector<PostingList>& lists() const { return lists_; }

private:
    IvfIndex(IndexConfig config, IvfConfig ivf);

    void insert_trained(VectorId id, std::span<const float> vector);
    void insert_trained_rows(std::span<const float> rows, uint64_t count, VectorId first_id);

    IndexConfig config_;
    IvfConfig ivf_;
    TrainingBuffer buffer_;
    std::vector<float> centroids_;
    uint64_t n_centroids_ = 0;
    std::vector<PostingList> lists_;
    std::unordered_map<VectorId, uint64_t> id_to_list_;
    bool trained_ = false;
};

}  // namespace tvdb
