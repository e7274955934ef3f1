#pragma once

#include <memory>
#include <string>
#include <vector>

#include "detail/grouped_rows.hpp"
#include "detail/inverted_file_index.hpp"
#include "detail/top_k.hpp"

namespace tvdb {

// The vectors of one cluster, laid out for scans that stop measuring a vector once it cannot
// be kept, with their IDs in the same order; `dim` is the length of each (the index's
// dimensions).
struct PostingList {
    using Element = float;

    std::vector<VectorId> ids;
    GroupedRows vectors;
    uint64_t dim = 0;

    void reserve_payloads(size_t extra, uint64_t) { vectors.reserve(vectors.size() + extra); }
    void append_payload(const float* vector, uint64_t) { vectors.push_back(vector); }
    void move_last_payload_into(size_t position, uint64_t) { vectors.move_last_into(position); }
    void swap_payloads(size_t a, size_t b, uint64_t) { vectors.swap_rows(a, b); }
};

// Inverted file over k-means clusters whose lists keep the vectors themselves: a search
// scans the `nprobe` lists nearest to the query, plus the buffer, at full precision.
//
// No ID is checked for repeats: re-adding an ID after training keeps the old copy in its
// list, and only the newest is mapped (see InvertedFile).
class IvfIndex final : public InvertedFileIndex<PostingList> {
public:
    // The only way to build one: fails with InvalidConfig when training could never succeed
    // (n_lists = 0). Collections building index type "ivf" go through here too.
    static Result<std::unique_ptr<IvfIndex>> create(IndexConfig config, IvfConfig ivf);

    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    Result<std::vector<SearchResult>> search_with_nprobe(std::span<const float> query, uint64_t k,
                                                         uint64_t nprobe) const override;
    // The buffered vector, or else the list entry `remove` would take out.
    std::optional<std::vector<float>> vector_of(VectorId id) const override;
    Result<std::vector<SearchResult>> search_filtered(std::span<const float> query, uint64_t k,
                                                      const SearchFilter& filter) const override;
    // The buffer in insertion order, then list 0, 1, ... each in its own order.
    void iter_vectors(const VectorVisitor& visit) const override;
    // Clusters the buffer (k-means) and moves it into the lists; nothing when it is empty.
    void train() override;

    Result<void> save(const std::string& path) const;
    // Serialization for any file whose fields disagree with each other.
    static Result<std::unique_ptr<IvfIndex>> load(const std::string& path);
    // The saved file's bytes, in memory.
    std::vector<uint8_t> to_bytes() const;
    static Result<std::unique_ptr<IvfIndex>> from_bytes(std::span<const uint8_t> bytes);

    const IvfConfig& ivf_config() const { return ivf_; }

private:
    // The k nearest admitted vectors, scanning `nprobe` lists and more when a filter keeps
    // fewer than k there; every vector is admitted without a filter.
    Result<std::vector<SearchResult>> nearest(std::span<const float> query, uint64_t k,
                                              uint64_t nprobe, const IdFilter* admit) const;
    // Offers every vector of `list` to `top` by ordering distance.
    void scan_list(std::span<const float> query, const PostingList& list, TopK& top) const;
    IvfIndex(IndexConfig config, IvfConfig ivf, InvertedFile<PostingList> file);

    template <typename Sink>
    void write_to(RecordEncoder<Sink>& out) const;
    void file_trained(VectorId id, std::span<const float> vector) override;
    void file_trained_rows(const float* rows, uint64_t n, VectorId first_id) override;

    IvfConfig ivf_;
};

}  // namespace tvdb
