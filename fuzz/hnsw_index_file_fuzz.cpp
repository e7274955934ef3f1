// HnswIndex::load (the standalone file, current and older layout) on arbitrary bytes: fail
// cleanly or give an index whose graph searches, iterates and changes safely and survives
// a save/load round trip.

#include "fuzz_support.hpp"
#include "hnsw_index.hpp"

namespace tvdb::fuzz {

namespace {

std::unique_ptr<HnswIndex> filled_index(uint64_t dims, Metric metric, uint64_t m, int count) {
    auto index = HnswIndex::create(dims, metric, HnswConfig{.ef_construction = 16, .ef_search = 8, .m = m});
    (*index)->seed_levels(7);
    for (int i = 0; i < count; ++i) {
        std::vector<float> v(dims);
        for (uint64_t d = 0; d < dims; ++d) v[d] = static_cast<float>((i * 7 + d * 3) % 11) - 5.0f;
        (void)(*index)->add(static_cast<VectorId>(i * 3 + 1), v);
    }
    return std::move(*index);
}

}  // namespace

void write_seeds(const std::string& dir) {
    int seed = 0;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (int count : {0, 1, 6, 40}) {
            auto index = filled_index(count % 3 + 2, metric, count % 2 ? 2 : 5, count);
            (void)index->remove(4);
            (void)index->save(dir + "/seed_" + std::to_string(seed++));
        }
    }
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tvdb::fuzz::check_index_file<tvdb::HnswIndex>("hnsw_index", data, size);
    return 0;
}
