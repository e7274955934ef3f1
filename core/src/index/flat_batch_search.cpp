// FlatIndex::search_rows: many exact searches at once, pruned by a matrix product.
//
// For a block of queries, G = Q X^T (one sgemm per chunk of stored rows) gives every squared
// distance as |q|^2 + |x|^2 - 2 q.x up to a rounding error with a known bound. Each query
// then walks the rows in slot order exactly as `search` does, and skips a row only when that
// bound proves its kernel distance is not below the query's current k-th best: `search`
// would have offered the row to its TopK and seen it refused, so the TopK goes through the
// same states and the answer is the same, ties included.

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "detail/row_scan.hpp"
#include "detail/single_threaded_blas.hpp"
#include "detail/top_k.hpp"
#include "flat_index.hpp"

namespace tvdb {
namespace {

// Fewer queries are answered one by one: a matrix product would not pay for itself.
constexpr uint64_t kMatrixQueries = 20;
// Queries share one pass over the stored rows per block: the larger the block, the fewer
// times the rows are packed for the product; each worker gets at least one block.
constexpr size_t kLargestQueryBlock = 1024;
constexpr size_t kRowChunk = 512;
// Rows are tested a group at a time, so that a group that cannot enter is skipped at once.
constexpr size_t kGroup = 16;
// Beyond this squared norm a float product could overflow; such vectors are never skipped.
constexpr double kLargestBoundedNorm = 1e30;

constexpr double kUnitRoundoff = 0x1p-24;

// gamma_n = n u / (1 - n u): the relative error bound of n float operations in sequence.
double gamma(uint64_t n) { return n * kUnitRoundoff / (1.0 - n * kUnitRoundoff); }

double squared_norm(const float* v, size_t dims) {
    double sum = 0.0;
    for (size_t i = 0; i < dims; ++i) sum += static_cast<double>(v[i]) * v[i];
    return sum;
}

// The error budget, for stored row x, query q, D = |q - x|^2 (exact), d dimensions:
//  - sgemm: |G - q.x| <= gamma_d |q| |x| <= gamma_d (|q|^2 + |x|^2) / 2, in any summation
//    order, fused or not;
//  - evaluating (1 - c)|q|^2 + (1 - c)|x|^2 - 2G in float: a few roundings of terms bounded
//    by |q|^2 + |x|^2;
//  - the kernel's squared distance K >= D (1 - gamma_(d+2)).
// With c covering the first two twice over, lhs <= D; a row whose lhs reaches
// worst * (1 + 4 gamma_(d+2)) has K >= worst and cannot enter.
struct Bounds {
    explicit Bounds(uint64_t dims)
        : shrink(static_cast<float>(1.0 - 2.0 * (gamma(dims) + 16 * kUnitRoundoff))),
          inflate(static_cast<float>(1.0 + 4.0 * gamma(dims + 2))) {}
    float shrink;   // (1 - c)
    float inflate;  // applied to the k-th best kernel distance
};

}  // namespace

// One block of queries: G for the current chunk of rows, and one TopK per query.
class FlatIndex::MatrixScan {
public:
    MatrixScan(const FlatIndex& index, const QueryRows& queries, size_t first, size_t count,
               uint64_t k, const std::vector<float>& row_terms, const Bounds& bounds)
        : index_(index),
          queries_(queries),
          first_(first),
          count_(count),
          row_terms_(row_terms),
          bounds_(bounds),
          product_(count * kRowChunk),
          query_terms_(count),
          skip_at_(count, std::numeric_limits<float>::infinity()) {
        tops_.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            tops_.emplace_back(static_cast<size_t>(std::min<uint64_t>(k, index.count_)));
            query_terms_[i] = bounds.shrink *
                              static_cast<float>(squared_norm(queries.row(first + i).data(), queries.dims));
        }
    }

    void run() {
        const size_t slots = index_.ids_.size();
        const size_t dims = index_.config_.dimensions;
        for (size_t begin = 0; begin < slots; begin += kRowChunk) {
            const size_t rows = std::min(kRowChunk, slots - begin);
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(count_),
                        static_cast<int>(rows), static_cast<int>(dims), 1.0f,
                        queries_.row(first_).data(), static_cast<int>(dims),
                        index_.vectors_.data() + begin * dims, static_cast<int>(dims), 0.0f,
                        product_.data(), static_cast<int>(rows));
            for (size_t i = 0; i < count_; ++i) walk(i, begin, rows, product_.data() + i * rows);
        }
    }

    std::vector<SearchResult> take(size_t i) { return tops_[i].take_sorted(); }

private:
    // Offers the rows of one chunk to query i in slot order, skipping those proven out.
    void walk(size_t i, size_t begin, size_t rows, const float* products) {
        const float query_term = query_terms_[i];
        const float* row_terms = row_terms_.data() + begin;
        size_t r = 0;
        while (r < rows) {
            const size_t end = std::min(rows, r + kGroup);
            // Counted rather than and-ed so that the test vectorises; a NaN never counts.
            const float skip_at = skip_at_[i];
            unsigned out = 0;
            for (size_t j = r; j < end; ++j) {
                out += query_term + row_terms[j] - 2.0f * products[j] >= skip_at ? 1u : 0u;
            }
            if (out != end - r) {
                for (size_t j = r; j < end; ++j) {
                    if (query_term + row_terms[j] - 2.0f * products[j] >= skip_at_[i]) continue;
                    offer(i, begin + j);
                }
            }
            r = end;
        }
    }

    void offer(size_t i, size_t slot) {
        if (!index_.alive_[slot]) return;
        const float* row = index_.vectors_.data() + slot * index_.config_.dimensions;
        TopK& top = tops_[i];
        top.push(index_.ids_[slot], distance_ord(Metric::L2, queries_.row(first_ + i), row));
        if (top.full()) skip_at_[i] = top.worst() * bounds_.inflate;
    }

    const FlatIndex& index_;
    const QueryRows& queries_;
    size_t first_;
    size_t count_;
    const std::vector<float>& row_terms_;
    const Bounds& bounds_;
    std::vector<float> product_;
    std::vector<float> query_terms_;
    std::vector<float> skip_at_;
    std::vector<TopK> tops_;
};

Result<void> FlatIndex::search_rows(const QueryRows& queries, uint64_t k, size_t num_threads,
                                    VectorId* ids, float* distances) const {
    auto one_by_one = [&] {
        return tvdb::search_rows(queries, config_.dimensions, k, num_threads,
                                 [&](std::span<const float> q) { return search(q, k); }, ids,
                                 distances);
    };
    const uint64_t dims = config_.dimensions;
    const bool blas_fits = dims > 0 && dims < (1u << 20) && queries.dims == dims;
    if (config_.metric != Metric::L2 || queries.rows < kMatrixQueries || k == 0 || k >= count_ ||
        !blas_fits) {
        return one_by_one();
    }
    keep_blas_single_threaded();
    const Bounds bounds(dims);
    // Dead rows always test as out; rows too large to bound never do.
    std::vector<float> row_terms(ids_.size());
    for (size_t slot = 0; slot < ids_.size(); ++slot) {
        const double norm = squared_norm(vectors_.data() + slot * dims, dims);
        row_terms[slot] = !alive_[slot] ? std::numeric_limits<float>::infinity()
                          : norm <= kLargestBoundedNorm
                              ? bounds.shrink * static_cast<float>(norm)
                              : -std::numeric_limits<float>::infinity();
    }
    const size_t workers = worker_count(num_threads);
    const size_t block_rows =
        std::min<size_t>(kLargestQueryBlock, (queries.rows + workers - 1) / workers);
    const size_t blocks = (queries.rows + block_rows - 1) / block_rows;
    return for_each_query(blocks, num_threads, [&](size_t block) -> Result<void> {
        const size_t first = block * block_rows;
        const size_t count = std::min<size_t>(block_rows, queries.rows - first);
        MatrixScan scan(*this, queries, first, count, k, row_terms, bounds);
        scan.run();
        for (size_t i = 0; i < count; ++i) {
            const size_t row = first + i;
            std::vector<SearchResult> hits = scan.take(i);
            report_ordering_distances(Metric::L2, hits);
            // A query too large to bound is answered the plain way.
            if (squared_norm(queries.row(row).data(), dims) > kLargestBoundedNorm) {
                auto plain = search(queries.row(row), k);
                if (!plain) return fail(plain.error());
                hits = std::move(*plain);
            }
            write_answer_row(hits, k, ids + row * k, distances + row * k);
        }
        return {};
    });
}

}  // namespace tvdb
