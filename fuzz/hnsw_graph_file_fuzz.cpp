// "hnsw.graph" attached to an index with load_graph_mmap, as a collection does on open. The
// first input byte picks the index's dimension and metric, the rest is the file. A failed
// attach must leave the index as it was; an accepted graph must search and change safely.

#include "fuzz_support.hpp"
#include "hnsw_index.hpp"

namespace tvdb::fuzz {

namespace {

constexpr Metric kMetrics[] = {Metric::L2, Metric::Cosine, Metric::DotProduct};

uint64_t dims_of(uint8_t selector) { return selector / 3 % 4 + 1; }
Metric metric_of(uint8_t selector) { return kMetrics[selector % 3]; }

std::unique_ptr<HnswIndex> empty_index(uint8_t selector) {
    return std::move(*HnswIndex::create(dims_of(selector), metric_of(selector),
                                        HnswConfig{.ef_construction = 16, .ef_search = 8, .m = 4}));
}

}  // namespace

void write_seeds(const std::string& dir) {
    const std::string graph = dir + "/graph.tmp";
    for (uint8_t selector = 0; selector < 12; ++selector) {
        auto index = empty_index(selector);
        index->seed_levels(selector);
        const uint64_t dims = dims_of(selector);
        for (int i = 0; i < 3 + selector * 3; ++i) {
            std::vector<float> v(dims);
            for (uint64_t d = 0; d < dims; ++d) v[d] = static_cast<float>((i * 5 + d) % 7) - 3.0f;
            (void)index->add(static_cast<VectorId>(i * 2 + 1), v);
        }
        (void)index->remove(3);
        if (!index->save_graph(graph)) continue;
        auto bytes = read_bytes(graph);
        bytes.insert(bytes.begin(), selector);
        write_bytes(dir + "/seed_" + std::to_string(selector), bytes);
    }
    std::filesystem::remove(graph);
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    if (size == 0) return 0;
    static const std::string input = fuzz::scratch_path("hnsw.graph");
    fuzz::write_bytes(input, data + 1, size - 1);
    auto index = fuzz::empty_index(data[0]);
    std::vector<float> before(index->config().dimensions, 1.0f);
    (void)index->add(1000, before);
    if (!index->load_graph_mmap(input)) {
        fuzz::require(index->len() == 1, "a failed attach keeps the index as it was");
        return 0;
    }
    fuzz::exercise_loaded_index(*index);
    return 0;
}
