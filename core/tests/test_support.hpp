#pragma once

// Helpers shared by the core tests: reproducible data, scratch files, saved indexes read back,
// a structural check of HNSW graphs, and checks run under every kernel level.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec.hpp"
#include "detail/hnsw_graph.hpp"
#include "simd_level.hpp"
#include "vector_index.hpp"

namespace tvdb {

// Runs a check once under every kernel level up to the processor's, so that the paths a
// newer machine would not take are tested there too.
template <typename Check>
void at_every_simd_level(Check check) {
    for (SimdLevel level : {SimdLevel::Baseline, SimdLevel::Avx2, SimdLevel::Avx512}) {
        limit_simd_level(level);
        SCOPED_TRACE("kernel level " + std::to_string(static_cast<int>(level)));
        check();
    }
    limit_simd_level(SimdLevel::Avx512);
}

}  // namespace tvdb

namespace tvdb::testing {

// n rows of d components, each drawn from a normal distribution around 0 of the given spread.
inline std::vector<float> normal_rows(uint64_t n, uint64_t d, uint32_t seed, float spread = 1.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal(0.0f, spread);
    std::vector<float> rows(n * d);
    for (float& x : rows) x = normal(gen);
    return rows;
}

inline std::span<const float> row(const std::vector<float>& points, uint64_t dims, uint64_t i) {
    return std::span(points).subspan(i * dims, dims);
}

// A path in the temporary directory, unique within the run, removed on destruction.
class TempFile {
public:
    TempFile()
        : path_(std::filesystem::temp_directory_path() /
                ("tvdb_clustered_test_" + std::to_string(getpid()) + "_" +
                 std::to_string(counter_++))) {}
    ~TempFile() { std::filesystem::remove(path_); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    std::string path() const { return path_.string(); }
    void write(const std::vector<uint8_t>& bytes) const {
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    std::vector<uint8_t> read() const { return *read_file(path()); }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

// The first list of an inverted-file index that holds `id`; UINT64_MAX when none does.
template <typename Index>
uint64_t list_of(const Index& index, VectorId id) {
    for (uint64_t list = 0; list < index.lists().size(); ++list) {
        const auto& ids = index.lists()[list].ids;
        if (std::find(ids.begin(), ids.end(), id) != ids.end()) return list;
    }
    return UINT64_MAX;
}

// An inverted-file index saved and loaded back. nprobe is fixed at construction; when given,
// it is rewritten in the saved record, where it follows dimensions, metric and n_lists
// (bytes 20..28) in both formats.
template <typename Index>
std::unique_ptr<Index> reload(const Index& index, std::optional<uint64_t> nprobe = {}) {
    TempFile file;
    EXPECT_TRUE(index.save(file.path()));
    if (nprobe) {
        auto bytes = file.read();
        std::memcpy(bytes.data() + 20, &*nprobe, sizeof *nprobe);
        file.write(bytes);
    }
    auto loaded = Index::load(file.path());
    EXPECT_TRUE(loaded.has_value()) << (loaded ? "" : loaded.error().message());
    return loaded ? std::move(*loaded) : nullptr;
}

// An ID-to-list map as both inverted-file records hold it: a count, then ID and list index.
inline void put_id_to_list(ByteEncoder& out,
                           const std::vector<std::pair<VectorId, uint64_t>>& id_to_list) {
    out.count(id_to_list.size());
    for (const auto& [id, list] : id_to_list) {
        out.u64(id);
        out.u64(list);
    }
}

// Each named record, written to a file, is refused by `Index::load` as Serialization.
template <typename Index, typename Fields, typename Encode>
void expect_each_rejected(const std::vector<std::pair<const char*, Fields>>& cases,
                          Encode&& encode) {
    TempFile file;
    for (const auto& [name, fields] : cases) {
        file.write(encode(fields));
        auto loaded = Index::load(file.path());
        ASSERT_FALSE(loaded.has_value()) << name;
        EXPECT_EQ(loaded.error().kind, ErrorKind::Serialization) << name;
    }
}

// Every cut of `bytes` is refused by `Index::load` as Serialization: each one within the
// first `dense` bytes, then every `step`-th.
template <typename Index>
void expect_truncations_rejected(const std::vector<uint8_t>& bytes, size_t dense, size_t step) {
    TempFile file;
    for (size_t cut = 0; cut < bytes.size(); cut += (cut < dense ? 1 : step)) {
        file.write({bytes.begin(), bytes.begin() + cut});
        auto loaded = Index::load(file.path());
        ASSERT_FALSE(loaded.has_value()) << "cut at " << cut;
        EXPECT_EQ(loaded.error().kind, ErrorKind::Serialization);
    }
}

// Points around a few random centres, like embeddings that form topics. The default spread
// makes the clusters overlap: with a pure nearest-neighbour link rule, well separated
// clusters end up as separate components of the graph.
inline std::vector<float> clustered_rows(size_t rows, size_t dims, uint64_t seed,
                                         size_t clusters = 8, float centre_scale = 1.0f) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> centres(clusters * dims);
    for (float& x : centres) x = centre_scale * normal(rng);
    std::vector<float> data(rows * dims);
    for (size_t r = 0; r < rows; ++r) {
        size_t c = rng() % clusters;
        for (size_t d = 0; d < dims; ++d) data[r * dims + d] = centres[c * dims + d] + normal(rng);
    }
    return data;
}

// Every link as (owner, layer, entry), read from the lists or, seen from the other end,
// from what the graph finds to list each node.
inline std::multiset<std::tuple<uint32_t, size_t, uint32_t>> links_of(const HnswGraph& graph,
                                                                      bool from_listed_by) {
    std::multiset<std::tuple<uint32_t, size_t, uint32_t>> links;
    for (uint32_t slot = 0; slot < graph.slot_count(); ++slot) {
        for (size_t layer = 0; layer <= graph.level_of(slot); ++layer) {
            if (from_listed_by) {
                for (uint32_t n : graph.listed_by(slot, layer)) links.emplace(n, layer, slot);
            } else {
                for (uint32_t n : graph.neighbors(slot, layer)) links.emplace(slot, layer, n);
            }
        }
    }
    return links;
}

// List lengths within m0 / m; lists hold live nodes of their layer, once each, never their
// owner, and what the graph finds to list each node mirrors them exactly; entry point live and of the highest
// live level; node_count equal to the live slots.
inline void expect_graph_invariants(const HnswGraph& graph) {
    uint64_t live = 0;
    int top_level = -1;
    for (uint32_t slot = 0; slot < graph.slot_count(); ++slot) {
        if (!graph.is_live(slot)) {
            EXPECT_TRUE(graph.neighbors(slot, 0).empty()) << "removed slot " << slot;
            continue;
        }
        ++live;
        top_level = std::max<int>(top_level, graph.level_of(slot));
        EXPECT_LE(graph.neighbors(slot, 0).size(), graph.m0()) << "slot " << slot;
        for (size_t layer = 1; layer <= graph.level_of(slot); ++layer) {
            EXPECT_LE(graph.neighbors(slot, layer).size(), graph.m()) << "slot " << slot;
        }
        for (size_t layer = 0; layer <= graph.level_of(slot); ++layer) {
            auto list = graph.neighbors(slot, layer);
            EXPECT_EQ(std::set<uint32_t>(list.begin(), list.end()).size(), list.size());
            for (uint32_t n : list) {
                ASSERT_LT(n, graph.slot_count());
                EXPECT_TRUE(n != slot && graph.is_live(n) && graph.level_of(n) >= layer)
                    << "slot " << slot << " lists " << n << " on layer " << layer;
            }
        }
    }
    EXPECT_EQ(graph.node_count(), live);
    EXPECT_EQ(links_of(graph, true), links_of(graph, false));
    if (live == 0) {
        EXPECT_FALSE(graph.entry_point().has_value());
    } else {
        ASSERT_TRUE(graph.entry_point().has_value());
        EXPECT_TRUE(graph.is_live(*graph.entry_point()));
        EXPECT_EQ(graph.level_of(*graph.entry_point()), top_level);
    }
}

// Searches for every live vector with k = the live count and counts the live IDs the
// answers miss: zero when every live node is reachable from wherever a search enters.
inline size_t missed_live_ids(const VectorIndex& index) {
    std::vector<VectorEntry> live;
    index.iter_vectors([&](VectorId id, std::span<const float> v) {
        live.emplace_back(id, std::vector<float>(v.begin(), v.end()));
    });
    size_t missed = 0;
    for (const auto& [id, vector] : live) {
        auto hits = index.search(vector, live.size());
        std::set<VectorId> found;
        if (hits) {
            for (const SearchResult& hit : *hits) found.insert(hit.id);
        }
        missed += live.size() - found.size();
    }
    return missed;
}

}  // namespace tvdb::testing
