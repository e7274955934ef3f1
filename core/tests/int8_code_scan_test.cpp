#include "detail/int8_code_scan.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "detail/top_k.hpp"
#include "quantized_flat_index.hpp"

namespace tvdb {
namespace {

// Rows as the index keeps them.
struct Rows {
    std::vector<VectorId> ids;
    std::vector<int8_t> codes;
    std::vector<float> scales;
    std::vector<uint32_t> norms;

    void add(std::span<const float> v) {
        size_t at = codes.size();
        codes.resize(at + v.size());
        scales.push_back(quantize_into(v, codes.data() + at));
        norms.push_back(code_norm(std::span(codes.data() + at, v.size())));
        ids.push_back(ids.size());
    }
    Int8Rows view() const { return {ids, codes.data(), scales.data(), norms.data()}; }
};

// The plain scan: every row decoded and measured, in row order.
std::vector<SearchResult> plain_scan(Metric metric, std::span<const float> query,
                                     const Rows& rows, uint64_t k) {
    const size_t dims = query.size();
    TopK top(std::min<uint64_t>(k, rows.ids.size()));
    std::vector<float> decoded(dims);
    for (size_t r = 0; r < rows.ids.size(); ++r) {
        dequantize_into(rows.codes.data() + r * dims, dims, rows.scales[r], decoded.data());
        top.push(rows.ids[r], distance(metric, query, decoded));
    }
    return top.take_sorted();
}

void expect_same(const std::vector<SearchResult>& got, const std::vector<SearchResult>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id) << i;
        EXPECT_EQ(std::bit_cast<uint32_t>(got[i].distance), std::bit_cast<uint32_t>(want[i].distance))
            << i;
    }
}

TEST(Int8CodeScan, AnswersExactlyLikeThePlainScanOnClusteredData) {
    std::mt19937 rng(17);
    std::normal_distribution<float> normal;
    for (size_t dims : {1u, 3u, 31u, 32u, 45u, 128u, 200u}) {
        std::vector<std::vector<float>> centres(8, std::vector<float>(dims));
        for (auto& c : centres)
            for (float& x : c) x = normal(rng);
        Rows rows;
        std::vector<float> v(dims);
        for (int i = 0; i < 1500; ++i) {
            const auto& c = centres[rng() % centres.size()];
            for (size_t j = 0; j < dims; ++j) v[j] = c[j] + 0.2f * normal(rng);
            rows.add(v);
            if (i % 97 == 0) rows.add(v);  // exact duplicates: ties at the boundary
        }
        for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
            for (int trial = 0; trial < 6; ++trial) {
                const auto& c = centres[rng() % centres.size()];
                for (size_t j = 0; j < dims; ++j) v[j] = c[j] + 0.2f * normal(rng);
                for (uint64_t k : {1u, 10u, 100u}) {
                    SCOPED_TRACE(testing::Message() << "dims " << dims << " metric "
                                                    << static_cast<int>(metric) << " k " << k);
                    expect_same(scan_int8_rows(metric, v, rows.view(), k),
                                plain_scan(metric, v, rows, k));
                }
            }
        }
    }
}

TEST(Int8CodeScan, UnusualQueriesAndRowsStillMatchThePlainScan) {
    const size_t dims = 40;
    std::mt19937 rng(23);
    std::normal_distribution<float> normal;
    Rows rows;
    std::vector<float> v(dims);
    for (int i = 0; i < 400; ++i) {
        float magnitude = std::pow(10.0f, static_cast<float>(i % 9) - 4.0f);
        for (float& x : v) x = magnitude * normal(rng);
        rows.add(v);
    }
    rows.add(std::vector<float>(dims, 0.0f));
    std::vector<float> with_inf(dims, 1.0f);
    with_inf[3] = std::numeric_limits<float>::infinity();
    rows.add(with_inf);  // scale 0: decodes to NaN
    std::vector<float> tiny(dims, 1e-30f);
    rows.add(tiny);  // scale beyond the bounded range
    std::vector<std::vector<float>> queries = {
        std::vector<float>(dims, 0.0f), std::vector<float>(dims, 1e-20f),
        std::vector<float>(dims, 3e18f), with_inf};
    for (float& x : v) x = normal(rng);
    queries.push_back(v);
    v[5] = std::numeric_limits<float>::quiet_NaN();
    queries.push_back(v);
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (const auto& query : queries) {
            expect_same(scan_int8_rows(metric, query, rows.view(), 7),
                        plain_scan(metric, query, rows, 7));
        }
    }
}

}  // namespace
}  // namespace tvdb
