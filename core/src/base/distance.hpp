#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tvdb {

// The id is what saved files store.
enum class Metric : uint32_t { L2 = 0, Cosine = 1, DotProduct = 2 };

inline constexpr uint32_t kMetricCount = 3;

// Indexed by the id: the names of Python arguments, getters and meta.json.
inline constexpr std::array<std::string_view, kMetricCount> kMetricNames = {"l2", "cosine",
                                                                           "dot_product"};

// "l2", "cosine", "dot_product": Python arguments, getters and meta.json.
std::string_view metric_name(Metric metric);
// "L2", "Cosine", "DotProduct": messages meant for a person.
std::string_view metric_debug_name(Metric metric);
std::optional<Metric> metric_from_name(std::string_view name);
std::optional<Metric> metric_from_id(uint32_t id);

// Every sum is formed the same way so that all kernels agree bit for bit: four running
// partial sums over blocks of four elements, combined as (s0 + s1) + (s2 + s3), then the
// remaining (at most three) terms added one at a time in index order.
//
// The reported distance: Euclidean for L2, 1 - cosine similarity for Cosine (1.0 when either
// norm is zero), the negated inner product for DotProduct. Lower is nearer for all three.
float distance(Metric metric, std::span<const float> a, std::span<const float> b);

// One query against four candidates in one pass over the query. Each candidate holds at
// least query.size() floats. L2 yields the squared distance (same order, no square root);
// Cosine and DotProduct yield exactly what `distance` yields.
std::array<float, 4> distance_ord_batch4(Metric metric, std::span<const float> query,
                                         const std::array<const float*, 4>& candidates);

// One pair's ordering distance: exactly the value `distance_ord_batch4` yields for it.
float distance_ord(Metric metric, std::span<const float> query, const float* candidate);

// `distance` of the query against `n_rows` rows stored back to back (row r starts at
// rows + r * query.size()), written to out[r]. Bit-identical to calling `distance` per row;
// vectorised across rows so that each query block is loaded once for several rows.
void distance_rows(Metric metric, std::span<const float> query, const float* rows,
                   std::size_t n_rows, float* out);

// As `distance_rows`, but yielding what `distance_ord_batch4` yields: for L2 the squared
// distance, whose square root is bit-identical to `distance`. Lets a scan rank by the sum and
// take square roots of the kept hits only.
void distance_rows_ord(Metric metric, std::span<const float> query, const float* rows,
                       std::size_t n_rows, float* out);

// `distance_rows_ord` over rows that start `row_stride` floats apart (row_stride >=
// query.size()), for rows interleaved with other data such as records of a mapped file.
void distance_rows_strided_ord(Metric metric, std::span<const float> query, const float* rows,
                               std::size_t row_stride, std::size_t n_rows, float* out);

}  // namespace tvdb
