// IvfPqIndex::load (coarse lists of product-quantized codes) on arbitrary bytes: fail cleanly or give an index that searches, changes
// (including training, when the file leaves it untrained) and saves and loads back.

#include "fuzz_support.hpp"
#include "index/ivf_pq_index.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    int seed = 0;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (uint64_t count : {0, 3, 24}) {
            auto index = IvfPqIndex::create(
                IndexConfig{.dimensions = 4, .metric = metric},
                IvfPqConfig{.n_lists = 3, .nprobe = 2, .train_size = 12, .max_iter = 3,
                            .pq = PqConfig{.m = 2, .k_sub = 4, .max_iter = 3}});
            if (!index) continue;
            for (uint64_t i = 0; i < count; ++i) {
                std::vector<float> v{static_cast<float>(i % 5), static_cast<float>(i % 3) - 1.0f,
                                     static_cast<float>(i) * 0.1f, 1.0f};
                (void)(*index)->add(i + 1, v);
            }
            (void)(*index)->remove(2);
            (void)(*index)->save(dir + "/seed_" + std::to_string(seed++));
        }
    }
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    static const std::string input = fuzz::scratch_path("ivf_pq.bin");
    static const std::string resaved = fuzz::scratch_path("ivf_pq.resaved.bin");
    fuzz::write_bytes(input, data, size);
    auto loaded = IvfPqIndex::load(input);
    if (!loaded) return 0;

    fuzz::require((*loaded)->save(resaved).has_value(), "an accepted index saves");
    auto again = IvfPqIndex::load(resaved);
    fuzz::require(again.has_value(), "a saved index loads");
    fuzz::require((*again)->len() == (*loaded)->len(), "save and load keep len()");
    // A repeated ID is allowed in the lists (see IvfPqIndex), so iteration may repeat IDs.
    fuzz::exercise_loaded_index(**loaded, {.readd_succeeds = true, .unique_iteration = false});
    return 0;
}
