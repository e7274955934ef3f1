#pragma once

// Shared helpers of the clustered-index tests (k-means, product quantizer, IVF, IVF-PQ):
// reproducible data, a scratch file, and saved indexes read back.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec.hpp"
#include "vector_index.hpp"

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

}  // namespace tvdb::testing
