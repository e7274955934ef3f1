#pragma once

// Shared pieces of the libFuzzer targets in this directory. Each target defines
// LLVMFuzzerTestOneInput and `write_seeds`; the same source linked with seed_main.cpp
// becomes a program that writes the target's seed corpus with the project's own writers.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "vector_index.hpp"

namespace tvdb::fuzz {

// Writes the seed corpus of the target into the existing directory `dir`.
void write_seeds(const std::string& dir);

// A directory private to this process, on a RAM-backed file system when there is one, and
// removed at exit: loaders read paths, so every input goes through a file.
inline const std::string& scratch_directory() {
    static const std::string dir = [] {
        std::error_code ec;
        std::filesystem::path root = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
        auto path = root / ("tvdb-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        return path.string();
    }();
    // Registered after `dir` is constructed, so it runs before `dir` is destroyed.
    static const bool removed_at_exit = (std::atexit([] {
                                             std::error_code ignored;
                                             std::filesystem::remove_all(scratch_directory(),
                                                                         ignored);
                                         }),
                                         true);
    (void)removed_at_exit;
    return dir;
}

inline std::string scratch_path(std::string_view name) {
    return scratch_directory() + "/" + std::string(name);
}

inline void write_bytes(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    write_bytes(path, bytes.data(), bytes.size());
}

inline std::vector<uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A broken invariant is a finding just like a crash: report it and abort.
inline void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

// Searches, iteration and writes on an index a loader accepted must work and agree with
// each other. Dimensions are bounded so a tiny file cannot demand a huge query vector.
inline constexpr uint64_t kMaxExercisedDimensions = 4096;

// What a kind promises beyond the common interface.
struct IndexPromises {
    // A removed ID can be added again (every flat kind and HNSW).
    bool readd_succeeds = true;
    // Iteration yields each ID once, len() counts the yielded vectors, each of them can be
    // removed, and searches find only them. The inverted files keep stale copies of a
    // re-added ID in their lists by design, so none of this holds for them.
    bool unique_iteration = true;
};

inline void exercise_loaded_index(VectorIndex& index, IndexPromises promises = {}) {
    const uint64_t dims = index.config().dimensions;
    if (dims > kMaxExercisedDimensions) return;

    std::unordered_set<VectorId> live;
    uint64_t visits = 0;
    index.iter_vectors([&](VectorId id, std::span<const float> vector) {
        require(vector.size() == dims, "iterated vector has the index's dimensions");
        live.insert(id);
        ++visits;
    });
    if (promises.unique_iteration) {
        require(visits == index.len(), "len() counts the iterated vectors");
        require(live.size() == visits, "iteration yields each ID once");
    }

    std::vector<float> query(dims, 0.5f);
    if (dims == 0) return;
    auto hits = index.search(query, index.len() + 1);
    if (hits) {
        require(hits->size() <= index.len(), "search returns at most len() hits");
        if (promises.unique_iteration) {
            for (const auto& hit : *hits) require(live.contains(hit.id), "hits are live IDs");
        }
    }

    if (!live.empty()) {
        VectorId first = *live.begin();
        const uint64_t before = index.len();
        const bool removed = index.remove(first);
        if (promises.unique_iteration) {
            require(removed, "removing a live ID succeeds");
            require(index.len() < before, "remove shrinks len()");
        }
        bool readded = index.add(first, query).has_value();
        if (promises.readd_succeeds && promises.unique_iteration) {
            require(readded, "re-adding a removed ID succeeds");
            require(index.len() == visits, "add grows len()");
        }
    }
    (void)index.search(query, 3);
}

// Seeds for the inverted-file targets: for each metric, indexes built by `make(metric)` and
// given 0, 3 and 24 vectors of `dims` >= 3 components (enough to train with a small
// train_size), less ID 2, each saved as a seed.
template <typename Make>
void write_clustered_seeds(const std::string& dir, uint64_t dims, Make&& make) {
    int seed = 0;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (uint64_t count : {0, 3, 24}) {
            auto index = make(metric);
            if (!index) continue;
            for (uint64_t i = 0; i < count; ++i) {
                std::vector<float> v(dims, 1.0f);
                v[0] = static_cast<float>(i % 5);
                v[1] = static_cast<float>(i % 3) - 1.0f;
                v[2] = static_cast<float>(i) * 0.1f;
                (void)(*index)->add(i + 1, v);
            }
            (void)(*index)->remove(2);
            (void)(*index)->save(dir + "/seed_" + std::to_string(seed++));
        }
    }
}

// Index kinds load either by value or, when not movable, behind a unique_ptr.
template <typename Index>
Index& loaded_index(Index& index) {
    return index;
}
template <typename Index>
Index& loaded_index(std::unique_ptr<Index>& index) {
    return *index;
}

// The round of a target for the loader of a saved index kind: the input goes through the
// file `<name>.bin`; an index the loader accepts must save, load back with the same len(),
// and pass exercise_loaded_index.
template <typename Index>
void check_index_file(std::string_view name, const uint8_t* data, size_t size,
                      IndexPromises promises = {}) {
    const std::string input = scratch_path(std::string(name) + ".bin");
    const std::string resaved = scratch_path(std::string(name) + ".resaved.bin");
    write_bytes(input, data, size);
    auto loaded = Index::load(input);
    if (!loaded) return;
    auto& index = loaded_index(*loaded);

    require(index.save(resaved).has_value(), "an accepted index saves");
    auto again = Index::load(resaved);
    require(again.has_value(), "a saved index loads");
    require(loaded_index(*again).len() == index.len(), "save and load keep len()");
    exercise_loaded_index(index, promises);
}

// Seeds of a brute-force kind: every metric, each of `dimension_counts`, five rows of
// distinct components of both signs with one removed, and an empty index.
template <typename Index>
void write_flat_kind_seeds(const std::string& dir,
                           std::initializer_list<uint64_t> dimension_counts) {
    int seed = 0;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (uint64_t dims : dimension_counts) {
            Index index(dims, metric);
            for (VectorId id = 0; id < 5; ++id) {
                std::vector<float> v(dims);
                for (uint64_t i = 0; i < dims; ++i) v[i] = static_cast<float>(id * 3 + i) - 4.5f;
                (void)index.add(id * 5 + 3, v);
            }
            (void)index.remove(8);
            (void)index.save(dir + "/seed_" + std::to_string(seed++));
        }
    }
    (void)Index(4, Metric::L2).save(dir + "/seed_empty");
}

}  // namespace tvdb::fuzz
