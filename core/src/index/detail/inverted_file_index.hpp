#pragma once

#include <string>
#include <utility>
#include <vector>

#include "detail/bulk_rows.hpp"
#include "detail/inverted_file.hpp"
#include "vector_index.hpp"

namespace tvdb {

// What the inverted-file kinds do alike around their InvertedFile: until trained, vectors
// wait in the buffer and searches are exact over it; training (when the buffer reaches
// `train_size`, or on flush) clusters the buffer once and for all, and from then on each
// vector is filed in the list of its coarse centroid in the kind's own form.
template <typename List>
class InvertedFileIndex : public VectorIndex {
public:
    // No duplicate check; may train (see class comment).
    Result<void> add(VectorId id, std::span<const float> vector) final {
        if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
        if (inverted_.trained()) {
            file_trained(id, vector);
        } else if (inverted_.hold(id, vector, train_size_)) {
            train();
        }
        return {};
    }

    // Rows of `data` get IDs start_id, start_id + 1, ...; the caller has checked the width.
    // Untrained, rows are buffered until the buffer reaches `train_size` and trains; every
    // row after that is filed in bulk.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id) {
        const uint64_t dims = config_.dimensions;
        auto rows = raw_row_count(dims, data.size(), start_id);
        if (!rows) return fail(rows.error());
        const uint64_t held =
            inverted_.hold_rows(data, *rows, start_id, train_size_, [this] { train(); });
        if (held < *rows) file_trained_rows(data.data() + held * dims, *rows - held, start_id + held);
        return {};
    }

    // `search` probing `nprobe` lists instead of the configured number, for one call.
    virtual Result<std::vector<SearchResult>> search_with_nprobe(std::span<const float> query,
                                                                 uint64_t k,
                                                                 uint64_t nprobe) const = 0;

    // The buffered entry, or else the newest list entry of the ID.
    bool remove(VectorId id) override { return inverted_.remove_buffered(id) || inverted_.remove_listed(id); }
    uint64_t len() const final { return inverted_.len(); }
    const IndexConfig& config() const final { return config_; }

    // Trains if untrained and vectors are buffered.
    void flush() final {
        if (inverted_.training_due(0)) train();
    }

    // Reopening a collection replays its log through `add` and then calls this. It trains
    // only when the buffer has reached `train_size` (which `add` already handles), never
    // below it: a reopened collection must not cluster a handful of vectors that happened
    // to be buffered when it was closed. Callers that want training now use `flush`.
    Result<void> load_graph_mmap(const std::string&) final {
        if (inverted_.training_due(train_size_)) train();
        return {};
    }

    // Clusters the buffer and files it in the lists; nothing when it is empty.
    virtual void train() = 0;

    bool is_trained() const { return inverted_.trained(); }
    uint64_t n_centroids() const { return inverted_.n_centroids(); }
    const std::vector<List>& lists() const { return inverted_.lists(); }

protected:
    InvertedFileIndex(IndexConfig config, uint64_t train_size, InvertedFile<List> file)
        : config_(config), train_size_(train_size), inverted_(std::move(file)) {}

    // Files one vector of the right length in a trained index.
    virtual void file_trained(VectorId id, std::span<const float> vector) = 0;
    // Files `n` rows in a trained index; row i gets ID first_id + i.
    virtual void file_trained_rows(const float* rows, uint64_t n, VectorId first_id) = 0;

    const IndexConfig config_;
    const uint64_t train_size_;
    InvertedFile<List> inverted_;
};

}  // namespace tvdb
