// QuantizedFlatIndex::load (int8 codes) on arbitrary bytes: fail cleanly or give an index that
// works and survives a save/load round trip.

#include "fuzz_support.hpp"
#include "quantized_flat_index.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    write_flat_kind_seeds<QuantizedFlatIndex>(dir, {1, 4, 9});
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using tvdb::QuantizedFlatIndex;
    tvdb::fuzz::check_index_file<QuantizedFlatIndex>("quantized_flat_index", data, size);
    return 0;
}
