#include "pq.hpp"

#include <algorithm>
#include <string>

#include "detail/kmeans.hpp"

namespace tvdb {
namespace {

// Codes are single bytes.
constexpr uint64_t kMaxCentroidsPerSubspace = 256;
constexpr uint64_t kMaxSubspacesWithoutComponents = 256;

// Copies sub-vector s of each of n vectors (`stride` floats apart) into n contiguous rows.
std::vector<float> gather_subvectors(const float* vectors, uint64_t n, uint64_t stride,
                                     uint64_t offset, uint64_t len) {
    std::vector<float> rows(n * len);
    for (uint64_t i = 0; i < n; ++i) {
        std::copy_n(vectors + i * stride + offset, len, rows.begin() + i * len);
    }
    return rows;
}

}  // namespace

Result<void> PqCodebook::check_config(uint64_t dims, const PqConfig& config) {
    if (config.m == 0) return fail(VectorDbError::invalid_config("pq_m must be at least 1"));
    if (dims % config.m != 0) {
        return fail(VectorDbError::invalid_config("dimensions (" + std::to_string(dims) +
                                                  ") must be divisible by m (" +
                                                  std::to_string(config.m) + ")"));
    }
    // A divisor of positive dimensions cannot exceed them; zero dimensions divide by any m,
    // and every code would still take m bytes.
    if (dims == 0 && config.m > kMaxSubspacesWithoutComponents) {
        return fail(VectorDbError::invalid_config(
            "pq_m must be at most " + std::to_string(kMaxSubspacesWithoutComponents) +
            " for zero dimensions, got " + std::to_string(config.m)));
    }
    if (config.k_sub == 0 || config.k_sub > kMaxCentroidsPerSubspace) {
        return fail(VectorDbError::invalid_config("pq_k_sub must be between 1 and 256, got " +
                                                  std::to_string(config.k_sub)));
    }
    return check_kmeans_rounds("pq max_iter", config.max_iter);
}

Result<PqCodebook> PqCodebook::train(const float* vectors, uint64_t n, uint64_t dims,
                                     const PqConfig& config) {
    if (n == 0) return fail(VectorDbError::invalid_config("cannot train PQ on empty set"));
    if (auto ok = check_config(dims, config); !ok) return fail(ok.error());
    PqCodebook book;
    book.m_ = config.m;
    book.k_sub_ = config.k_sub;
    book.subvector_len_ = dims / config.m;
    const uint64_t len = book.subvector_len_;
    book.centroids_.reserve(book.m_ * book.k_sub_ * len);
    for (uint64_t s = 0; s < book.m_; ++s) {
        auto rows = gather_subvectors(vectors, n, dims, s * len, len);
        KMeansResult clusters =
            train_kmeans(Metric::L2, rows.data(), n, len, config.k_sub, config.max_iter);
        book.centroids_.insert(book.centroids_.end(), clusters.centroids.begin(),
                               clusters.centroids.end());
        book.centroids_.resize(book.centroids_.size() + (book.k_sub_ - clusters.k) * len, 0.0f);
    }
    return book;
}

void PqCodebook::encode(std::span<const float> vector, uint8_t* code) const {
    for (uint64_t s = 0; s < m_; ++s) {
        auto sub = vector.subspan(s * subvector_len_, subvector_len_);
        code[s] = static_cast<uint8_t>(
            nearest_centroid(Metric::L2, sub, subspace_centroids(s).data(), k_sub_));
    }
}

void PqCodebook::encode_batch(const float* vectors, uint64_t n, uint64_t stride,
                              uint8_t* codes) const {
    for (uint64_t s = 0; s < m_; ++s) {
        auto rows = gather_subvectors(vectors, n, stride, s * subvector_len_, subvector_len_);
        auto nearest = batch_assign_l2_argmin(rows.data(), n, subspace_centroids(s).data(),
                                              k_sub_, subvector_len_);
        for (uint64_t i = 0; i < n; ++i) codes[i * m_ + s] = static_cast<uint8_t>(nearest[i]);
    }
}

void PqCodebook::compute_distance_table(std::span<const float> query, float* table) const {
    for (uint64_t s = 0; s < m_; ++s) {
        centroid_distances(Metric::L2, query.subspan(s * subvector_len_, subvector_len_),
                           subspace_centroids(s).data(), k_sub_, table + s * k_sub_);
    }
}

std::vector<float> PqCodebook::compute_distance_table(std::span<const float> query) const {
    std::vector<float> table(m_ * k_sub_);
    compute_distance_table(query, table.data());
    return table;
}

void PqCodebook::coarse_terms(std::span<const float> coarse_centroid, float* out) const {
    for (uint64_t s = 0; s < m_; ++s) {
        auto c = coarse_centroid.subspan(s * subvector_len_, subvector_len_);
        const float* sub = subspace_centroids(s).data();
        float* terms = out + s * k_sub_;
        // DotProduct yields the negated inner product.
        centroid_distances(Metric::DotProduct, c, sub, k_sub_, terms);
        for (uint64_t j = 0; j < k_sub_; ++j) {
            std::span<const float> r(sub + j * subvector_len_, subvector_len_);
            const float norm = -distance_ord(Metric::DotProduct, r, r.data());
            terms[j] = norm - 2.0f * terms[j];
        }
    }
}

void PqCodebook::query_terms(std::span<const float> query, float* out) const {
    for (uint64_t s = 0; s < m_; ++s) {
        float* terms = out + s * k_sub_;
        centroid_distances(Metric::DotProduct, query.subspan(s * subvector_len_, subvector_len_),
                           subspace_centroids(s).data(), k_sub_, terms);
        for (uint64_t j = 0; j < k_sub_; ++j) terms[j] *= 2.0f;
    }
}

PqCodebook PqCodebook::read_from(RecordDecoder& in) {
    PqCodebook book;
    book.m_ = in.u64();
    book.k_sub_ = in.u64();
    book.subvector_len_ = in.u64();
    book.centroids_ = in.f32_seq();
    if (!in.ok()) return book;
    uint64_t floats = 0;
    const bool overflow = __builtin_mul_overflow(book.m_, book.k_sub_, &floats) ||
                          __builtin_mul_overflow(floats, book.subvector_len_, &floats);
    if (overflow || floats != book.centroids_.size()) {
        in.fail("codebook of m " + std::to_string(book.m_) + ", k_sub " +
                std::to_string(book.k_sub_) + ", subvector_len " +
                std::to_string(book.subvector_len_) + " holds " +
                std::to_string(book.centroids_.size()) + " centroid floats");
    }
    return book;
}

}  // namespace tvdb
