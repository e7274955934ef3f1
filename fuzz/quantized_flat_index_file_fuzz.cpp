// QuantizedFlatIndex::load (int8 codes) on arbitrary bytes: fail cleanly or give an index
// that works and survives a save/load round trip.

#include "fuzz_support.hpp"
#include "index/quantized_flat_index.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    int seed = 0;
    for (Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        for (uint64_t dims : {1, 4, 9}) {
            QuantizedFlatIndex index(dims, metric);
            for (VectorId id = 0; id < 5; ++id) {
                std::vector<float> v(dims);
                for (uint64_t i = 0; i < dims; ++i) v[i] = static_cast<float>(id * 3 + i) - 4.0f;
                (void)index.add(id * 11 + 2, v);
            }
            (void)index.remove(13);
            (void)index.save(dir + "/seed_" + std::to_string(seed++));
        }
    }
    (void)QuantizedFlatIndex(4, Metric::L2).save(dir + "/seed_empty");
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    static const std::string input = fuzz::scratch_path("quantized_flat.bin");
    static const std::string resaved = fuzz::scratch_path("quantized_flat.resaved.bin");
    fuzz::write_bytes(input, data, size);
    auto loaded = QuantizedFlatIndex::load(input);
    if (!loaded) return 0;

    fuzz::require(loaded->save(resaved).has_value(), "an accepted index saves");
    auto again = QuantizedFlatIndex::load(resaved);
    fuzz::require(again.has_value(), "a saved index loads");
    fuzz::require(again->len() == loaded->len(), "save and load keep len()");
    fuzz::exercise_loaded_index(*loaded);
    return 0;
}
