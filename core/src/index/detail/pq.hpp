#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec.hpp"
#include "vector_index.hpp"

namespace tvdb {

// A product quantizer: vectors are cut into `m` sub-vectors of `subvector_len` components,
// and each sub-vector is replaced by the index (one byte) of its nearest centroid among the
// `k_sub` centroids of its sub-space. Distances are squared Euclidean whatever the owning
// index's metric.
//
// Centroid j of sub-space s starts at float (s * k_sub + j) * subvector_len.
class PqCodebook {
public:
    // Per sub-space k-means over the n >= 1 training vectors of `dims` components, with
    // k = min(n, k_sub) trained centroids padded by zero centroids to exactly k_sub.
    // InvalidConfig for an empty set, m = 0, `dims` not divisible by m, or k_sub outside
    // 1..256 (a code byte could not hold the index).
    static Result<PqCodebook> train(const float* vectors, uint64_t n, uint64_t dims,
                                    const PqConfig& config);
    // The checks `train` makes on the configuration, for owners to run up front.
    static Result<void> check_config(uint64_t dims, const PqConfig& config);

    uint64_t m() const { return m_; }
    uint64_t k_sub() const { return k_sub_; }
    uint64_t subvector_len() const { return subvector_len_; }
    std::span<const float> centroids() const { return centroids_; }

    // Writes the m code bytes of `vector` (at least m * subvector_len floats) to `code`.
    void encode(std::span<const float> vector, uint8_t* code) const;
    // Encodes n vectors of `stride` floats each into n * m bytes, ranking centroids in the
    // matrix form (one sgemm per sub-space and block of vectors).
    void encode_batch(const float* vectors, uint64_t n, uint64_t stride, uint8_t* codes) const;
    // Entry s * k_sub + j is the squared distance from query sub-vector s to centroid j of
    // sub-space s; `table` holds m * k_sub floats.
    void compute_distance_table(std::span<const float> query, float* table) const;
    std::vector<float> compute_distance_table(std::span<const float> query) const;

    // The squared distance from a query residual q - c to reconstruction r_sj splits into
    // |q_s - c_s|^2 + (|r_sj|^2 + 2 <c_s, r_sj>) - 2 <q_s, r_sj>. The middle term depends
    // only on the coarse centroid c and is precomputed once per list; the last depends only
    // on the query and is computed once per search; m * k_sub floats each.
    void coarse_terms(std::span<const float> coarse_centroid, float* out) const;
    void query_terms(std::span<const float> query, float* out) const;

    // The encoded form: m u64, k_sub u64, subvector_len u64, centroid floats as a sequence.
    template <typename Sink>
    void write_to(RecordEncoder<Sink>& out) const {
        out.u64(m_);
        out.u64(k_sub_);
        out.u64(subvector_len_);
        out.f32_seq(centroids_);
    }
    // Reads the encoded form; a codebook whose centroid count disagrees with its shape marks
    // the decoder failed.
    static PqCodebook read_from(RecordDecoder& in);

private:
    std::span<const float> subspace_centroids(uint64_t s) const {
        return std::span(centroids_).subspan(s * k_sub_ * subvector_len_, k_sub_ * subvector_len_);
    }

    uint64_t m_ = 0;
    uint64_t k_sub_ = 0;
    uint64_t subvector_len_ = 0;
    std::vector<float> centroids_;
};

}  // namespace tvdb
