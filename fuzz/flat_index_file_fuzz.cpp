// FlatIndex::load on arbitrary bytes: it must fail cleanly or give an index that works,
// and whatever it accepts must save and load back to the same contents.

#include "fuzz_support.hpp"
#include "index/flat_index.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    int seed = 0;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (uint64_t dims : {1, 3, 8}) {
            FlatIndex index(dims, metric);
            for (VectorId id = 0; id < 5; ++id) {
                std::vector<float> v(dims, static_cast<float>(id) - 1.5f);
                (void)index.add(id * 7 + 1, v);
            }
            (void)index.remove(8);
            (void)index.save(dir + "/seed_" + std::to_string(seed++));
        }
    }
    (void)FlatIndex(4, Metric::L2).save(dir + "/seed_empty");
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    static const std::string input = fuzz::scratch_path("flat_index.bin");
    static const std::string resaved = fuzz::scratch_path("flat_index.resaved.bin");
    fuzz::write_bytes(input, data, size);
    auto loaded = FlatIndex::load(input);
    if (!loaded) return 0;

    fuzz::require(loaded->save(resaved).has_value(), "an accepted index saves");
    auto again = FlatIndex::load(resaved);
    fuzz::require(again.has_value(), "a saved index loads");
    fuzz::require(again->len() == loaded->len(), "save and load keep len()");
    fuzz::exercise_loaded_index(*loaded);
    return 0;
}
