// Fp16FlatIndex::load (half-precision codes) on arbitrary bytes: fail cleanly or give an index that
// works and survives a save/load round trip.

#include "fuzz_support.hpp"
#include "index/fp16_flat_index.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    int seed = 0;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (uint64_t dims : {1, 7, 16, 65}) {
            Fp16FlatIndex index(dims, metric);
            for (VectorId id = 0; id < 5; ++id) {
                std::vector<float> v(dims);
                for (uint64_t i = 0; i < dims; ++i) v[i] = static_cast<float>(id * 3 + i) - 4.5f;
                (void)index.add(id * 5 + 3, v);
            }
            (void)index.remove(8);
            (void)index.save(dir + "/seed_" + std::to_string(seed++));
        }
    }
    (void)Fp16FlatIndex(4, Metric::L2).save(dir + "/seed_empty");
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    static const std::string input = fuzz::scratch_path("fp16_flat_index.bin");
    static const std::string resaved = fuzz::scratch_path("fp16_flat_index.resaved.bin");
    fuzz::write_bytes(input, data, size);
    auto loaded = Fp16FlatIndex::load(input);
    if (!loaded) return 0;

    fuzz::require(loaded->save(resaved).has_value(), "an accepted index saves");
    auto again = Fp16FlatIndex::load(resaved);
    fuzz::require(again.has_value(), "a saved index loads");
    fuzz::require(again->len() == loaded->len(), "save and load keep len()");
    fuzz::exercise_loaded_index(*loaded);
    return 0;
}
