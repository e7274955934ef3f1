#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "detail/inverted_file_index.hpp"
#include "detail/pq.hpp"

namespace tvdb {

// The entries of one coarse cluster: IDs, and their codes back to back (m bytes each, in the
// same order), so a probe reads both arrays front to back.
struct CodeList {
    using Element = uint8_t;

    std::vector<VectorId> ids;
    std::vector<uint8_t> codes;

    void reserve_payloads(size_t extra, uint64_t m) { codes.reserve(codes.size() + extra * m); }
    void append_payload(const uint8_t* code, uint64_t m) { codes.insert(codes.end(), code, code + m); }
    void move_last_payload_into(size_t position, uint64_t m) {
        const size_t last = codes.size() / m - 1;
        std::copy_n(codes.begin() + last * m, m, codes.begin() + position * m);
        codes.resize(last * m);
    }
    void swap_payloads(size_t a, size_t b, uint64_t m) {
        std::swap_ranges(codes.begin() + a * m, codes.begin() + (a + 1) * m, codes.begin() + b * m);
    }
};

// Inverted file whose lists hold product-quantized residuals (vector minus its coarse
// centroid). Buffers and searches exactly until trained, like IvfIndex; after training a
// probed list is scored by asymmetric distance: one table of squared sub-distances from the
// query's residual per list, then m lookups per entry. Coded hits report that approximate
// squared L2 distance whatever the metric; buffered hits report the metric's distance.
//
// Every trained vector is also kept at full precision, for `iter_vectors` only. No ID is
// checked for repeats; the full-precision map and `id_to_list` follow the newest copy.
class IvfPqIndex final : public InvertedFileIndex<CodeList> {
public:
    // The only way to build one: InvalidConfig when training could never succeed (n_lists
    // 0, pq.m 0, dimensions not divisible by pq.m, pq.k_sub 0 or above 256). Collections
    // building index type "ivf_pq" go through here too.
    static Result<std::unique_ptr<IvfPqIndex>> create(IndexConfig config, IvfPqConfig ivf_pq);

    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    Result<std::vector<SearchResult>> search_with_nprobe(std::span<const float> query, uint64_t k,
                                                         uint64_t nprobe) const override;
    // The buffered vector, or else the full-precision vector of the filed entry.
    std::optional<std::vector<float>> vector_of(VectorId id) const override;
    Result<std::vector<SearchResult>> search_filtered(std::span<const float> query, uint64_t k,
                                                      const SearchFilter& filter) const override;
    // Also drops the full-precision vector of a list entry it removes.
    bool remove(VectorId id) override;
    // The buffer in insertion order, then each list entry that still has a full-precision
    // vector (list 0, 1, ..., each in its own order), paired with that vector.
    void iter_vectors(const VectorVisitor& visit) const override;
    // Coarse k-means on the buffer, then the codebook on the residuals; nothing when empty.
    void train() override;

    Result<void> save(const std::string& path) const;
    // Serialization for any file whose fields disagree with each other.
    static Result<std::unique_ptr<IvfPqIndex>> load(const std::string& path);
    // The saved file's bytes, in memory.
    std::vector<uint8_t> to_bytes() const;
    static Result<std::unique_ptr<IvfPqIndex>> from_bytes(std::span<const uint8_t> bytes);

    const std::vector<float>& centroids() const { return inverted_.centroids(); }
    const IvfPqConfig& ivf_pq_config() const { return ivf_pq_; }
    const std::optional<PqCodebook>& codebook() const { return codebook_; }

private:
    // The k nearest admitted vectors, scanning `nprobe` lists and more when a filter keeps
    // fewer than k there; every vector is admitted without a filter.
    Result<std::vector<SearchResult>> nearest(std::span<const float> query, uint64_t k,
                                              uint64_t nprobe, const IdFilter* admit) const;
    IvfPqIndex(IndexConfig config, IvfPqConfig ivf_pq, InvertedFile<CodeList> file);

    template <typename Sink>
    void write_to(RecordEncoder<Sink>& out) const;
    void file_trained(VectorId id, std::span<const float> vector) override;
    void file_trained_rows(const float* rows, uint64_t n, VectorId first_id) override;

    // Encodes n rows against their assigned lists in bulk and files them with their full
    // vectors; row i gets ID ids[i], or first_id + i when `ids` is null.
    void file_rows(const float* rows, const VectorId* ids, VectorId first_id, uint64_t n,
                   const std::vector<uint64_t>& lists);
    // Builds `coarse_terms_` when the codebook exists and the table stays within bounds.
    void prepare_search_tables();
    // The table of list `list` for a query: from the precomputed terms when present,
    // otherwise directly from the query's residual. `scratch` holds `dims` floats.
    void list_table(std::span<const float> query, uint64_t list, const float* query_terms,
                    float* scratch, float* table) const;

    IvfPqConfig ivf_pq_;
    std::optional<PqCodebook> codebook_;
    std::unordered_map<VectorId, std::vector<float>> full_vectors_;
    // Derived, not saved: PqCodebook::coarse_terms of every coarse centroid, list after list.
    std::vector<float> coarse_terms_;
};

}  // namespace tvdb
